// The URB functions of the bus against the test device: descriptors, selections, bulk and
// isochronous transfers, abort and reset, the fault knobs, cancellation and unplug.
#include <algorithm>
#include <array>

#include "tests/usbbus/usb_test_support.h"

namespace nimbra::host::test {
namespace {

TEST_F(UsbBusTest, DescriptorRequestsReturnAtMostTheRequestedLength)
{
    StartBus();
    struct Case {
        UCHAR type;
        ULONG requested;
        size_t expected;
    };
    const size_t total = device_.ConfigurationDescriptor().size();
    const Case cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 18, 18},
        {USB_DEVICE_DESCRIPTOR_TYPE, 64, 18},  // the device has only 18 bytes
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 9},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1000, total},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " length " << c.requested);
        std::vector<uint8_t> buffer(c.requested, 0xEE);
        URB urb;
        BuildDescriptorRequest(&urb, c.type, buffer.data(), c.requested);
        Submission submission;
        EXPECT_EQ(submission.Send(Pdo(), &urb), STATUS_PENDING);
        ASSERT_TRUE(submission.Wait());
        EXPECT_EQ(submission.status, STATUS_SUCCESS);
        EXPECT_EQ(submission.irql, DISPATCH_LEVEL);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
        ASSERT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.expected);
        const std::vector<uint8_t>& source =
            c.type == USB_DEVICE_DESCRIPTOR_TYPE ? device_.DeviceDescriptor() : device_.ConfigurationDescriptor();
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.expected, source.begin()));
        EXPECT_EQ(submission.calls, 1);
    }
    // On the wire: standard GET_DESCRIPTOR with wValue = type << 8 and wLength = the request.
    std::vector<UsbSetupPacket> setups = device_.Setups();
    ASSERT_EQ(setups.size(), 4u);
    EXPECT_EQ(setups[3].bmRequestType, 0x80);
    EXPECT_EQ(setups[3].bRequest, USB_REQUEST_GET_DESCRIPTOR);
    EXPECT_EQ(setups[3].wValue, 0x0200);
    EXPECT_EQ(setups[3].wLength, 1000);

    // A descriptor the device does not have: its STALL fails the request.
    std::vector<uint8_t> buffer(8);
    URB urb;
    BuildDescriptorRequest(&urb, USB_STRING_DESCRIPTOR_TYPE, buffer.data(), 8);
    EXPECT_EQ(SubmitSync(Pdo(), &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
}

TEST_F(UsbBusTest, SelectConfigurationDescribesEveryPipe)
{
    StartBus();
    Configure();
    EXPECT_NE(configurationHandle_, nullptr);
    EXPECT_EQ(device_.Configuration(), 1);
    const USBD_INTERFACE_INFORMATION& info = Interface();
    EXPECT_EQ(info.Length, GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(info.NumberOfPipes, 3u);
    EXPECT_EQ(info.Class, 0xFF);
    EXPECT_NE(info.InterfaceHandle, nullptr);
    struct Expected {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT packetSize;
    };
    const Expected expected[] = {{0x83, UsbdPipeTypeIsochronous, 0}, {0x81, UsbdPipeTypeBulk, 64}, {0x02, UsbdPipeTypeBulk, 64}};
    for (ULONG i = 0; i < 3; ++i) {
        const USBD_PIPE_INFORMATION& pipe = PipeAt(info, i);
        EXPECT_EQ(pipe.EndpointAddress, expected[i].address);
        EXPECT_EQ(pipe.PipeType, expected[i].type);
        EXPECT_EQ(pipe.MaximumPacketSize, expected[i].packetSize);
        EXPECT_NE(pipe.PipeHandle, nullptr);
        EXPECT_EQ(pipe.MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);  // left as requested
    }
    EXPECT_NE(Pipe(0), Pipe(1));
}

TEST_F(UsbBusTest, SelectInterfaceReplacesPipesOrKeepsThemWhenRefused)
{
    StartBus();
    Configure();
    USBD_PIPE_HANDLE setting0Bulk = Pipe(2);

    ASSERT_EQ(SelectAlternate(1, 3), STATUS_SUCCESS);
    EXPECT_EQ(device_.Alternate(), 1);
    EXPECT_EQ(Interface().AlternateSetting, 1);
    EXPECT_EQ(PipeAt(Interface(), 0).MaximumPacketSize, 256);
    EXPECT_NE(Pipe(2), setting0Bulk);
    USBD_PIPE_HANDLE setting1Bulk = Pipe(2);

    // A handle of the previous selection is no longer valid.
    uint8_t data[4] = {1, 2, 3, 4};
    URB urb;
    BuildBulk(&urb, setting0Bulk, USBD_TRANSFER_DIRECTION_OUT, data, sizeof data);
    EXPECT_EQ(SubmitSync(Pdo(), &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    struct Refusal {
        UCHAR alternate;
        ULONG urbPipes;
        NTSTATUS status;
        USBD_STATUS usbdStatus;
    };
    const Refusal refusals[] = {
        {2, 3, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},              // the device STALLs it
        {3, 3, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL},  // four pipes, room for three
        {9, 3, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},  // no such setting
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(testing::Message() << "alternate " << int(r.alternate));
        USBD_STATUS usbdStatus = 0;
        EXPECT_EQ(SelectAlternate(r.alternate, r.urbPipes, &usbdStatus), r.status);
        EXPECT_EQ(usbdStatus, r.usbdStatus);
        EXPECT_EQ(device_.Alternate(), 1);
        // The pipes of setting 1 still work.
        BuildBulk(&urb, setting1Bulk, USBD_TRANSFER_DIRECTION_OUT, data, sizeof data);
        EXPECT_EQ(SubmitSync(Pdo(), &urb), STATUS_SUCCESS);
    }

    ASSERT_EQ(SelectAlternate(3, 4), STATUS_SUCCESS);
    EXPECT_EQ(Interface().NumberOfPipes, 4u);
    EXPECT_EQ(PipeAt(Interface(), 3).EndpointAddress, 0x84);
    EXPECT_EQ(PipeAt(Interface(), 3).PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(PipeAt(Interface(), 3).Interval, 10);
}

TEST_F(UsbBusTest, BulkOutReachesTheDeviceAndBulkInPendsUntilItHasData)
{
    StartBus();
    Configure();
    std::array<uint8_t, 64> in{};
    URB inUrb;
    BuildBulk(&inUrb, Pipe(1), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in.data(), in.size());
    Submission reader;
    ASSERT_EQ(reader.Send(Pdo(), &inUrb), STATUS_PENDING);

    // An OUT transfer completes while the IN transfer is NAKed frame after frame.
    uint8_t out[5] = {0x22, 1, 2, 3, 4};
    URB outUrb;
    BuildBulk(&outUrb, Pipe(2), USBD_TRANSFER_DIRECTION_OUT, out, sizeof out);
    EXPECT_EQ(SubmitSync(Pdo(), &outUrb), STATUS_SUCCESS);
    EXPECT_EQ(outUrb.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    ASSERT_EQ(device_.Received().size(), 1u);
    EXPECT_EQ(device_.Received()[0], std::vector<uint8_t>(out, out + 5));
    EXPECT_FALSE(reader.Completed());

    device_.QueueReply({9, 8, 7});
    ASSERT_TRUE(reader.Wait());
    EXPECT_EQ(reader.status, STATUS_SUCCESS);
    EXPECT_EQ(inUrb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(in[0], 9);
    EXPECT_EQ(in[2], 7);

    UsbBus::Stats stats = bus_->GetStats();
    EXPECT_EQ(stats.bytesOut, 5u);
    EXPECT_GE(stats.bytesIn, 3u);
    EXPECT_EQ(stats.submitted, stats.completed);
}

TEST_F(UsbBusTest, ShortInReplyFailsUnlessShortTransfersAreAllowed)
{
    StartBus({.paced = false});
    Configure();
    struct Case {
        ULONG flags;
        size_t reply;
        NTSTATUS status;
        USBD_STATUS usbdStatus;
    };
    const Case cases[] = {
        {USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 10, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {USBD_TRANSFER_DIRECTION_IN, 10, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER},
        {USBD_TRANSFER_DIRECTION_IN, 16, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags << " reply " << c.reply);
        device_.QueueReply(std::vector<uint8_t>(c.reply, 0x5A));
        std::array<uint8_t, 16> buffer{};
        URB urb;
        BuildBulk(&urb, Pipe(1), c.flags, buffer.data(), buffer.size());
        EXPECT_EQ(SubmitSync(Pdo(), &urb), c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbdStatus);
        // The bytes that came are reported (and are in the buffer) either way.
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.reply);
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), static_cast<long>(c.reply));
    }
}

TEST_F(UsbBusTest, IsochronousPacketsOnePerFrameAndTransfersInSubmissionOrder)
{
    StartBus();
    Configure();
    ASSERT_EQ(SelectAlternate(1, 3), STATUS_SUCCESS);
    constexpr ULONG kPackets = 8;
    constexpr ULONG kSlot = 256;
    device_.SetIsoLength(200);

    // Two transfers circulate three rounds each, resubmitted from their completion routines.
    struct Circulating {
        UrbBuffer urb{GET_ISO_URB_SIZE(kPackets)};
        std::vector<uint8_t> buffer = std::vector<uint8_t>(kPackets * kSlot);
        Submission submission;
        std::vector<ULONG> startFrames;
        std::vector<int> orders;
        std::vector<ULONG> errorCounts;
        bool dataMatchesFrames = true;
    };
    std::array<Circulating, 2> transfers;
    USBD_PIPE_HANDLE pipe = Pipe(0);
    for (Circulating& t : transfers) {
        t.submission.onComplete = [&t, pipe](Submission& s) {
            auto& iso = t.urb->UrbIsochronousTransfer;
            t.startFrames.push_back(iso.StartFrame);
            t.orders.push_back(s.order);
            t.errorCounts.push_back(iso.ErrorCount);
            for (ULONG i = 0; i < kPackets; ++i) {
                const USBD_ISO_PACKET_DESCRIPTOR& packet = *(iso.IsoPacket + i);
                auto frameByte = static_cast<uint8_t>(iso.StartFrame + i);
                if (packet.Length != 200 || packet.Status != USBD_STATUS_SUCCESS ||
                    t.buffer[packet.Offset] != frameByte || t.buffer[packet.Offset + 199] != frameByte ||
                    t.buffer[packet.Offset + 200] != 0) {
                    t.dataMatchesFrames = false;
                }
            }
            if (t.startFrames.size() == 3 || s.status != STATUS_SUCCESS) return false;
            std::fill(t.buffer.begin(), t.buffer.end(), 0);
            BuildIso(t.urb.get(), pipe, t.buffer.data(), kPackets, kSlot);
            s.Send(s.target, t.urb.get());
            return true;
        };
        BuildIso(t.urb.get(), pipe, t.buffer.data(), kPackets, kSlot);
    }
    // Both are queued before the pipe runs (held by the knob), as the driver starts its pair.
    bus_->SetEndpointUnresponsive(0x83, true);
    ASSERT_EQ(transfers[0].submission.Send(Pdo(), transfers[0].urb.get()), STATUS_PENDING);
    ASSERT_EQ(transfers[1].submission.Send(Pdo(), transfers[1].urb.get()), STATUS_PENDING);
    bus_->SetEndpointUnresponsive(0x83, false);
    ASSERT_TRUE(transfers[0].submission.Wait());
    ASSERT_TRUE(transfers[1].submission.Wait());
    LONGLONG finished = HostTimeNow();

    for (Circulating& t : transfers) {
        EXPECT_EQ(t.submission.status, STATUS_SUCCESS);
        EXPECT_TRUE(t.dataMatchesFrames);
        EXPECT_EQ(t.errorCounts, std::vector<ULONG>(3, 0));
    }
    // Completions alternate A, B, A, B, ... and each transfer starts where the other ended.
    for (int round = 0; round < 3; ++round) {
        EXPECT_LT(transfers[0].orders[round], transfers[1].orders[round]);
        EXPECT_EQ(transfers[1].startFrames[round], transfers[0].startFrames[round] + kPackets);
        if (round > 0) {
            EXPECT_LT(transfers[1].orders[round - 1], transfers[0].orders[round]);
            EXPECT_EQ(transfers[0].startFrames[round], transfers[1].startFrames[round - 1] + kPackets);
        }
    }
    // One packet per frame, frames consecutive.
    std::vector<uint64_t> frames = device_.IsoFrames();
    ASSERT_EQ(frames.size(), 6 * kPackets);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i], frames[i - 1] + 1);
    EXPECT_EQ(bus_->GetStats().isoPackets, 6 * kPackets);
    // Paced: frame n runs no earlier than n ms of host time.
    EXPECT_GE(finished, static_cast<LONGLONG>(frames.back()) * 10000);
}

TEST_F(UsbBusTest, IsochronousErrorAndLossKnobsMarkPackets)
{
    StartBus({.paced = false});
    Configure();
    ASSERT_EQ(SelectAlternate(1, 3), STATUS_SUCCESS);
    constexpr ULONG kPackets = 30;
    constexpr ULONG kSlot = 256;
    struct Case {
        uint32_t errorEvery;
        uint32_t lossEvery;
        NTSTATUS status;
        USBD_STATUS usbdStatus;
        ULONG errors;
    };
    const Case cases[] = {
        {0, 0, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0},
        {3, 0, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 10},
        {0, 5, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 6},
        {3, 5, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 14},  // 15 and 30 are lost, not in error
        {0, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED, kPackets},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "error every " << c.errorEvery << ", loss every " << c.lossEvery);
        uint64_t served = bus_->GetStats().isoPackets;  // the knobs count packets since the bus started
        ASSERT_EQ(served % 30, 0u);
        bus_->SetIsoErrorEvery(c.errorEvery);
        bus_->SetIsoLossEvery(c.lossEvery);
        UrbBuffer urb(GET_ISO_URB_SIZE(kPackets));
        std::vector<uint8_t> buffer(kPackets * kSlot);
        BuildIso(urb.get(), Pipe(0), buffer.data(), kPackets, kSlot);
        EXPECT_EQ(SubmitSync(Pdo(), urb.get()), c.status);
        auto& iso = urb->UrbIsochronousTransfer;
        EXPECT_EQ(urb->UrbHeader.Status, c.usbdStatus);
        EXPECT_EQ(iso.ErrorCount, c.errors);
        ULONG total = 0;
        for (ULONG i = 0; i < kPackets; ++i) {
            const USBD_ISO_PACKET_DESCRIPTOR& packet = *(iso.IsoPacket + i);
            ULONG n = i + 1;
            bool lost = c.lossEvery != 0 && n % c.lossEvery == 0;
            bool error = !lost && c.errorEvery != 0 && n % c.errorEvery == 0;
            EXPECT_EQ(packet.Status,
                      lost ? USBD_STATUS_ISO_NOT_ACCESSED_BY_HW : error ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS)
                << "packet " << i;
            EXPECT_EQ(packet.Length, lost ? 0u : kSlot) << "packet " << i;
            total += packet.Length;
        }
        EXPECT_EQ(iso.TransferBufferLength, total);
    }
}

TEST_F(UsbBusTest, AbortCompletesQueuedTransfersBeforeItself)
{
    StartBus();
    Configure();
    std::array<std::array<uint8_t, 64>, 2> buffers{};
    std::array<URB, 2> urbs;
    std::array<Submission, 2> readers;
    for (int i = 0; i < 2; ++i) {
        BuildBulk(&urbs[i], Pipe(1), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffers[i].data(), 64);
        ASSERT_EQ(readers[i].Send(Pdo(), &urbs[i]), STATUS_PENDING);
    }
    URB abort;
    BuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, Pipe(1));
    Submission aborter;
    aborter.Send(Pdo(), &abort);
    ASSERT_TRUE(aborter.Wait());
    EXPECT_EQ(aborter.status, STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(readers[i].Completed());
        EXPECT_EQ(readers[i].status, STATUS_CANCELLED);
        EXPECT_EQ(urbs[i].UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_LT(readers[i].order, aborter.order);
        EXPECT_EQ(readers[i].calls, 1);
    }
    EXPECT_EQ(bus_->GetStats().cancelled, 2u);

    // The pipe still works after the abort.
    device_.QueueReply({1, 2});
    EXPECT_EQ(SubmitSync(Pdo(), &urbs[0]), STATUS_SUCCESS);
}

TEST_F(UsbBusTest, StalledEndpointHaltsThePipeUntilReset)
{
    StartBus({.paced = false});
    Configure();
    uint8_t data[3] = {1, 2, 3};
    URB urb;
    auto send = [&] {
        BuildBulk(&urb, Pipe(2), USBD_TRANSFER_DIRECTION_OUT, data, sizeof data);
        return SubmitSync(Pdo(), &urb);
    };
    bus_->StallEndpoint(0x02, true);
    EXPECT_EQ(send(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    // Halted on the host side until the pipe is reset.
    EXPECT_EQ(send(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_TRUE(device_.Received().empty());

    URB reset;
    BuildPipeRequest(&reset, URB_FUNCTION_RESET_PIPE, Pipe(2));
    EXPECT_EQ(SubmitSync(Pdo(), &reset), STATUS_SUCCESS);
    UsbSetupPacket clear = device_.Setups().back();
    EXPECT_EQ(clear.bmRequestType, 0x02);
    EXPECT_EQ(clear.bRequest, USB_REQUEST_CLEAR_FEATURE);
    EXPECT_EQ(clear.wValue, 0);  // ENDPOINT_HALT
    EXPECT_EQ(clear.wIndex, 0x02);
    EXPECT_EQ(send(), STATUS_SUCCESS);
    EXPECT_EQ(device_.Received().size(), 1u);

    // An isochronous pipe's reset does not go on the wire.
    size_t setups = device_.Setups().size();
    BuildPipeRequest(&reset, URB_FUNCTION_RESET_PIPE, Pipe(0));
    EXPECT_EQ(SubmitSync(Pdo(), &reset), STATUS_SUCCESS);
    EXPECT_EQ(device_.Setups().size(), setups);
}

TEST_F(UsbBusTest, UnresponsiveEndpointPendsUntilTheWaitRunsOutAndIoCancelIrp)
{
    StartBus();
    Configure();
    bus_->SetEndpointUnresponsive(0x81, true);
    device_.QueueReply({1, 2, 3});  // would be answered, if the endpoint answered

    std::array<uint8_t, 16> buffer{};
    URB urb;
    BuildBulk(&urb, Pipe(1), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer.data(), buffer.size());
    Submission reader;
    ASSERT_EQ(reader.Send(Pdo(), &urb), STATUS_PENDING);
    // Frames pass (a transfer on another pipe completes), the reader stays pending.
    uint8_t out[1] = {0};
    URB outUrb;
    BuildBulk(&outUrb, Pipe(2), USBD_TRANSFER_DIRECTION_OUT, out, 1);
    EXPECT_EQ(SubmitSync(Pdo(), &outUrb), STATUS_SUCCESS);
    EXPECT_FALSE(reader.Completed());
    EXPECT_EQ(bus_->PendingCount(), 1u);

    EXPECT_TRUE(IoCancelIrp(reader.irp));
    ASSERT_TRUE(reader.Wait());
    EXPECT_EQ(reader.status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(reader.calls, 1);
    EXPECT_EQ(bus_->PendingCount(), 0u);

    // The driver's synchronous form: a 1.5 s wait, then IoCancelIrp, then the completion.
    BuildBulk(&urb, Pipe(1), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer.data(), buffer.size());
    EXPECT_EQ(SubmitSync(Pdo(), &urb, 1500), STATUS_TIMEOUT);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);

    // Answering again, the queued reply comes through.
    bus_->SetEndpointUnresponsive(0x81, false);
    BuildBulk(&urb, Pipe(1), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer.data(), buffer.size());
    EXPECT_EQ(SubmitSync(Pdo(), &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
}

TEST_F(UsbBusTest, IoCancelIrpOnAnIsochronousTransferLeavesTheOtherRunning)
{
    StartBus();
    Configure();
    ASSERT_EQ(SelectAlternate(1, 3), STATUS_SUCCESS);
    constexpr ULONG kPackets = 16;
    UrbBuffer first(GET_ISO_URB_SIZE(kPackets));
    UrbBuffer second(GET_ISO_URB_SIZE(kPackets));
    std::vector<uint8_t> a(kPackets * 256), b(kPackets * 256);
    BuildIso(first.get(), Pipe(0), a.data(), kPackets, 256);
    BuildIso(second.get(), Pipe(0), b.data(), kPackets, 256);
    Submission one, two;
    // The knob holds the pipe so that the first transfer is still queued when it is cancelled.
    bus_->SetEndpointUnresponsive(0x83, true);
    ASSERT_EQ(one.Send(Pdo(), first.get()), STATUS_PENDING);
    ASSERT_EQ(two.Send(Pdo(), second.get()), STATUS_PENDING);
    IoCancelIrp(one.irp);
    ASSERT_TRUE(one.Wait());
    bus_->SetEndpointUnresponsive(0x83, false);
    ASSERT_TRUE(two.Wait());
    EXPECT_EQ(one.status, STATUS_CANCELLED);
    EXPECT_EQ(two.status, STATUS_SUCCESS);
    EXPECT_EQ(second->UrbIsochronousTransfer.ErrorCount, 0u);
    EXPECT_EQ(one.calls + two.calls, 2);
}

TEST_F(UsbBusTest, UnplugFailsPendingAndLaterTransfers)
{
    StartBus();
    Configure();
    std::array<uint8_t, 64> buffer{};
    URB urb;
    BuildBulk(&urb, Pipe(1), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer.data(), buffer.size());
    Submission reader;
    ASSERT_EQ(reader.Send(Pdo(), &urb), STATUS_PENDING);
    bus_->Unplug();
    ASSERT_TRUE(reader.Wait());
    EXPECT_EQ(reader.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(device_.Resets(), 1u);

    // A new submission fails at once, in the caller's context.
    Submission late;
    EXPECT_EQ(late.Send(Pdo(), &urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(late.Completed());
    EXPECT_EQ(late.calls, 1);
}

TEST_F(UsbBusTest, MalformedRequestsCompleteAtOnce)
{
    StartBus();
    Configure();
    uint8_t data[8] = {};
    struct Case {
        const char* what;
        std::function<void(PURB)> build;
        NTSTATUS status;
        USBD_STATUS usbdStatus;
    };
    const Case cases[] = {
        {"unknown function",
         [](PURB urb) {
             urb->UrbHeader.Length = sizeof(struct _URB_HEADER);
             urb->UrbHeader.Function = 0x0F0F;
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION},
        {"URB shorter than its function",
         [&](PURB urb) {
             BuildBulk(urb, Pipe(2), USBD_TRANSFER_DIRECTION_OUT, data, sizeof data);
             urb->UrbHeader.Length = 64;
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"bulk IN on an OUT pipe",
         [&](PURB urb) { BuildBulk(urb, Pipe(2), USBD_TRANSFER_DIRECTION_IN, data, sizeof data); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"bulk on the isochronous pipe",
         [&](PURB urb) { BuildBulk(urb, Pipe(0), USBD_TRANSFER_DIRECTION_IN, data, sizeof data); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"no buffer", [&](PURB urb) { BuildBulk(urb, Pipe(2), USBD_TRANSFER_DIRECTION_OUT, nullptr, 8); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"unknown pipe handle",
         [&](PURB urb) { BuildPipeRequest(urb, URB_FUNCTION_ABORT_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234)); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"isochronous packet past the buffer",
         [&](PURB urb) {
             BuildIso(urb, Pipe(0), data, 2, 4);
             (urb->UrbIsochronousTransfer.IsoPacket + 1)->Offset = 9;
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UrbBuffer urb(GET_ISO_URB_SIZE(2));
        c.build(urb.get());
        Submission submission;
        EXPECT_EQ(submission.Send(Pdo(), urb.get()), c.status);
        EXPECT_TRUE(submission.Completed());
        EXPECT_EQ(submission.calls, 1);
        EXPECT_EQ(urb->UrbHeader.Status, c.usbdStatus);
    }
}

TEST_F(UsbBusTest, UnpacedBusRunsFramesBackToBack)
{
    StartBus({.paced = false});
    Configure();
    ASSERT_EQ(SelectAlternate(1, 3), STATUS_SUCCESS);
    constexpr ULONG kPackets = 200;
    UrbBuffer urb(GET_ISO_URB_SIZE(kPackets));
    std::vector<uint8_t> buffer(kPackets * 256);
    BuildIso(urb.get(), Pipe(0), buffer.data(), kPackets, 256);
    uint64_t before = bus_->CurrentFrame();
    EXPECT_EQ(SubmitSync(Pdo(), urb.get()), STATUS_SUCCESS);
    EXPECT_GE(bus_->CurrentFrame(), before + kPackets);
    EXPECT_EQ(urb->UrbIsochronousTransfer.TransferBufferLength, kPackets * 256);

    // Switching to paced continues from the current frame number.
    uint64_t frame = bus_->CurrentFrame();
    bus_->SetPaced(true);
    BuildIso(urb.get(), Pipe(0), buffer.data(), 4, 256);
    EXPECT_EQ(SubmitSync(Pdo(), urb.get()), STATUS_SUCCESS);
    EXPECT_GT(urb->UrbIsochronousTransfer.StartFrame, static_cast<ULONG>(frame));
}

}  // namespace
}  // namespace nimbra::host::test
