// Frame assembly from isochronous packets and from bulk transfers, and the hand-off to waiting
// reads, one packet or transfer at a time: a small capture device with its assembly buffer, ring
// and bulk frame slots, and reads queued by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "driver/camera_session.h"
#include "driver/dispatch.h"
#include "host/kernel/host_kernel.h"
#include "stream/read_request_entry.h"
#include "usb/bridge_state.h"
#include "usb/bulk_capture.h"
#include "usb/capture_device.h"
#include "usb/iso_capture.h"

namespace nimbra::test {
namespace {

const std::vector<uint8_t> kMarker = {0xFF, 0xFF, 0x00, 0xFF, 0x96, 0x64};

std::vector<uint8_t> Bytes(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((first + i) % 251);  // never 0xFF
    return bytes;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// One queued read: its SRB, per-request extension, stream header and data buffer.
struct TestRead {
    HW_STREAM_REQUEST_BLOCK srb{};
    ReadRequestEntry entry{};
    KSSTREAM_HEADER header{};
    std::vector<uint8_t> data;

    explicit TestRead(ULONG frameExtent) : data(frameExtent)
    {
        srb.SRBExtension = &entry;
        srb.CommandData.DataBufferArray = &header;
        srb.NumberOfBuffers = 1;
        entry.request = &srb;
        header.FrameExtent = frameExtent;
        header.Data = data.data();
    }
};

class IsoAssemblyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::memset(static_cast<void*>(&adapter_), 0, sizeof(adapter_));
        InitializeListHead(&adapter_.readQueue);
        KeInitializeSpinLock(&adapter_.readQueueLock);
        InitializeListHead(&adapter_.readyQueue);
        KeInitializeSpinLock(&adapter_.readyQueueLock);
        KeInitializeSemaphore(&adapter_.workerSignal, 0, 0x7FFFFFFF);
        session_.adapter = &adapter_;
        std::memset(static_cast<void*>(&device_), 0, sizeof(device_));
        device_.cameraSession = &session_;
        assembly_.resize(ASSEMBLY_BUFFER_BYTES);
        device_.assemblyBuffer = assembly_.data();
        device_.assemblyWritePos = assembly_.data();
        device_.assemblyCapacity = ASSEMBLY_BUFFER_BYTES;
        for (auto& slot : ring_) slot.resize(FRAME_RING_SLOT_BYTES);
        for (int i = 0; i < FRAME_RING_SLOTS; ++i) device_.frameRing[i] = ring_[i].data();
        device_.frameRingSlotSize = FRAME_RING_SLOT_BYTES;
    }

    TestRead& Queue(ULONG frameExtent)
    {
        reads_.push_back(std::make_unique<TestRead>(frameExtent));
        ExInterlockedInsertTailList(&adapter_.readQueue, &reads_.back()->entry.links, &adapter_.readQueueLock);
        return *reads_.back();
    }

    void Packet(const std::vector<uint8_t>& bytes)
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        AssemblePacket(&device_, bytes.data(), static_cast<ULONG>(bytes.size()));
    }

    // The frames handed over so far, oldest first, as the frame worker would take them.
    std::vector<std::vector<uint8_t>> Delivered()
    {
        std::vector<std::vector<uint8_t>> frames;
        for (PLIST_ENTRY link; (link = ExInterlockedRemoveHeadList(&adapter_.readyQueue, &adapter_.readyQueueLock));) {
            ReadRequestEntry* entry = CONTAINING_RECORD(link, ReadRequestEntry, links);
            const uint8_t* data = entry->inRing ? entry->frameData : static_cast<uint8_t*>(entry->request->CommandData.DataBufferArray->Data);
            frames.emplace_back(data, data + entry->frameLength);
        }
        return frames;
    }

    AdapterRecord adapter_;
    CameraSession session_{};
    CaptureDevice device_;
    std::vector<uint8_t> assembly_;
    std::vector<uint8_t> ring_[FRAME_RING_SLOTS];
    std::vector<std::unique_ptr<TestRead>> reads_;
};

TEST_F(IsoAssemblyTest, AFrameAcrossThreePacketsEndsAtTheNextMarker)
{
    Queue(921600);
    Queue(921600);
    const auto a = Bytes(100, 1), b = Bytes(300, 2), c = Bytes(50, 3), next = Bytes(20, 4);
    Packet(Join({kMarker, a}));
    Packet(b);
    Packet(Join({c, kMarker, next}));
    auto frames = Delivered();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Join({a, b, c}));
    EXPECT_EQ(device_.assemblyLength, 20u);  // the next frame starts with the 20 bytes
    EXPECT_EQ(std::vector<uint8_t>(assembly_.begin(), assembly_.begin() + 20), next);
    EXPECT_EQ(adapter_.framesCaptured.load(), 1u);
}

TEST_F(IsoAssemblyTest, OnlyWholeMarkersInOnePacketCountAndEmptyPacketsAreSkipped)
{
    Queue(921600);
    const auto a = Bytes(40, 5);
    Packet({});
    Packet({0xFF, 0xFF, 0x00});  // a marker split across packets is not recognised
    Packet({0xFF, 0x96, 0x64});
    EXPECT_EQ(device_.syncState, 0u);
    Packet(Bytes(5, 9));        // too short to hold a marker
    Packet(Join({kMarker, a, kMarker, a}));  // a marker inside the starting packet is data
    Packet({});
    EXPECT_TRUE(Delivered().empty());
    Packet(Join({a, kMarker}));
    auto frames = Delivered();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Join({a, kMarker, a, a}));
}

TEST_F(IsoAssemblyTest, TwoMarkersInOnePacketEndTheFrameAtTheFirst)
{
    Queue(921600);
    Queue(921600);
    const auto a = Bytes(30, 6), b = Bytes(10, 7), c = Bytes(12, 8);
    Packet(Join({kMarker, a}));
    Packet(Join({b, kMarker, c, kMarker, a}));
    auto frames = Delivered();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Join({a, b}));
    // Everything after the first marker, the second marker included, begins the next frame.
    EXPECT_EQ(device_.assemblyLength, c.size() + kMarker.size() + a.size());
}

TEST_F(IsoAssemblyTest, AnOverlongFrameIsCutAndTheCaptureHuntsAgain)
{
    Queue(921600);
    Queue(921600);
    Packet(Join({kMarker, Bytes(1000, 1)}));
    const auto filler = Bytes(1000, 2);
    for (int i = 0; i < 307; ++i) Packet(filler);
    auto frames = Delivered();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), 307200u);
    EXPECT_EQ(device_.syncState, 0u);
    Packet(Join({Bytes(50, 3), kMarker, Bytes(10, 4)}));  // the next marker starts a frame again
    EXPECT_EQ(device_.syncState, 2u);
}

TEST_F(IsoAssemblyTest, SmallReadsGoThroughTheRingInTurnAndLargeOnesGetTheFrameThemselves)
{
    TestRead& large = Queue(921600);
    std::vector<TestRead*> small;
    for (int i = 0; i < 6; ++i) small.push_back(&Queue(57600));
    Packet(Join({kMarker, Bytes(10, 1)}));
    for (int i = 0; i < 7; ++i) Packet(Join({Bytes(10, 2), kMarker, Bytes(10, 3)}));
    EXPECT_FALSE(large.entry.inRing);
    // Five slots in turn; the sixth frame finds slot 0 still busy (nothing consumed it) and is
    // dropped, counted, rather than overwriting a frame the worker may be decoding.
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(small[i]->entry.inRing);
        EXPECT_EQ(small[i]->entry.frameData, device_.frameRing[i]);
    }
    EXPECT_EQ(small[5]->entry.frameNumber, 0u);
    EXPECT_EQ(device_.framesDroppedRingFull.load(), 1u);
    EXPECT_EQ(adapter_.framesCaptured.load(), 7u);
    // Once the worker is done with slot 0 the next frame takes it.
    device_.frameRingBusy[0].store(FALSE);
    Packet(Join({Bytes(10, 4), kMarker, Bytes(10, 5)}));
    EXPECT_TRUE(small[5]->entry.inRing);
    EXPECT_EQ(small[5]->entry.frameData, device_.frameRing[0]);
    EXPECT_EQ(small[5]->entry.frameNumber, 8u);
}

TEST_F(IsoAssemblyTest, WithoutAWaitingReadTheFrameIsDroppedButCounted)
{
    Packet(Join({kMarker, Bytes(10, 1)}));
    Packet(Join({Bytes(10, 2), kMarker}));
    EXPECT_TRUE(Delivered().empty());
    EXPECT_EQ(adapter_.framesCaptured.load(), 1u);
    TestRead& read = Queue(921600);
    Packet(Join({Bytes(10, 3), kMarker}));
    EXPECT_EQ(read.entry.frameNumber, 2u);  // the number shows the gap
}

TEST_F(IsoAssemblyTest, CancellingAReadThatAlreadyHasItsFrameChangesNothing)
{
    TestRead& read = Queue(921600);
    read.srb.HwDeviceExtension = &adapter_;
    read.srb.Status = STATUS_PENDING;
    Packet(Join({kMarker, Bytes(10, 1)}));
    Packet(Join({Bytes(10, 2), kMarker}));
    ASSERT_EQ(read.entry.frameNumber, 1u);  // in readyQueue now, waiting for the worker
    CancelPacket(&read.srb);
    EXPECT_EQ(read.srb.Status, STATUS_PENDING);
    auto frames = Delivered();
    ASSERT_EQ(frames.size(), 1u);  // still there for the worker to complete normally
    EXPECT_EQ(frames[0], Join({Bytes(10, 1), Bytes(10, 2)}));
}

// Bulk video: the same device with its three frame slots; frames may be at most `limit` bytes.
class BulkAssemblyTest : public IsoAssemblyTest {
protected:
    void SetUp() override
    {
        IsoAssemblyTest::SetUp();
        std::memset(static_cast<void*>(&bridge_), 0, sizeof(bridge_));
        bridge_.maxCompressedFrame = 300;  // frames are cut at 306 bytes
        session_.bridgeState = &bridge_;
        ASSERT_EQ(PrepareBulkFrameSlots(&device_), STATUS_SUCCESS);
    }
    void TearDown() override { FreeBulkFrameSlots(&device_); }

    void Transfer(const std::vector<uint8_t>& bytes)
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        AssembleBulkTransfer(&device_, bytes.data(), static_cast<ULONG>(bytes.size()));
    }
    static std::vector<uint8_t> Marker(uint8_t last) { return {0xFF, 0xFF, 0x00, 0xFF, 0x96, last}; }

    BridgeState bridge_;
};

TEST_F(BulkAssemblyTest, AnyOfTheFourMarkersFramesDataAndTheSixBytesAfterTheEndFollowIt)
{
    for (int i = 0; i < 3; ++i) Queue(921600);
    const auto a = Bytes(100, 1), b = Bytes(40, 2), header = Bytes(6, 3), rest = Bytes(20, 4);
    Transfer({});  // nothing changes
    EXPECT_EQ(device_.syncState, 0u);
    Transfer(Join({Bytes(8, 9), Marker(0x65), a}));
    Transfer(b);
    Transfer(Join({Marker(0x66), header, rest}));
    Transfer(Join({Marker(0x67), Bytes(3, 5)}));
    auto frames = Delivered();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], Join({a, b, header}));  // 12 bytes followed the end marker
    EXPECT_EQ(frames[1], Join({header, rest}));  // too few followed this one
    EXPECT_EQ(device_.frameSlots[0].averageTransferSize, (114u + 40u + 32u) / 3u);
    EXPECT_EQ(device_.frameSlots[0].state.load(), 0u);  // delivered slots are free again
    EXPECT_EQ(device_.currentFrameSlot, 2);
}

TEST_F(BulkAssemblyTest, AnIsochronousMarkerIsFrameDataOnTheIsochronousPipeOnly)
{
    Queue(921600);
    Queue(921600);
    Packet(Join({kMarker, Bytes(10, 1)}));
    Packet(Join({Bytes(10, 2), Marker(0x65), Bytes(10, 3)}));  // not a marker there: data
    EXPECT_TRUE(Delivered().empty());
    device_.syncState = 0;  // as a new run starts the assembly afresh
    Transfer(Join({Marker(0x65), Bytes(10, 1)}));
    Transfer(Join({Marker(0x64), Bytes(10, 1)}));
    EXPECT_EQ(Delivered().size(), 1u);
}

TEST_F(BulkAssemblyTest, FramesCutAtTheLimitAreDroppedUntilOneHasEndedAtAMarker)
{
    for (int i = 0; i < 4; ++i) Queue(921600);
    // Cut before any frame ended at a marker: dropped, and the capture hunts again.
    Transfer(Join({Marker(0x64), Bytes(400, 1)}));
    Transfer(Bytes(400, 2));
    EXPECT_TRUE(Delivered().empty());
    EXPECT_EQ(device_.syncState, 0u);
    Transfer(Join({Marker(0x64), Bytes(50, 3)}));
    Transfer(Join({Marker(0x65), Bytes(20, 4)}));
    ASSERT_EQ(Delivered().size(), 1u);
    // Now a frame that reaches the limit is handed over, cut there, with the six bytes 6..11
    // after the cut point behind it.
    const auto big = Bytes(400, 5);
    Transfer(big);
    auto frames = Delivered();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].size(), 306u + 6u);
    EXPECT_EQ(std::vector<uint8_t>(frames[0].begin() + 20, frames[0].begin() + 306),
              std::vector<uint8_t>(big.begin(), big.begin() + 286));
    EXPECT_EQ(std::vector<uint8_t>(frames[0].begin() + 306, frames[0].end()),
              std::vector<uint8_t>(big.begin() + 292, big.begin() + 298));
}

TEST_F(BulkAssemblyTest, ArbitraryTransfersNeverWriteOutsideTheSlots)
{
    // Transfers of any length with markers anywhere, and reads that come and go; under the
    // sanitizers any write past a slot shows.
    std::mt19937 random(7);
    size_t delivered = 0;
    for (int i = 0; i < 3000; ++i) {
        if (random() % 6 == 0) Queue(random() % 8 == 0 ? 307200 : 57600);
        std::vector<uint8_t> transfer(random() % 9 == 0 ? 0 : random() % 8193);
        for (auto& byte : transfer) byte = static_cast<uint8_t>(random() % 4 == 0 ? 0xFF : random());
        for (int m = static_cast<int>(random() % 3); m > 0 && transfer.size() >= 6; --m) {
            const auto marker = Marker(static_cast<uint8_t>(0x63 + random() % 6));
            std::copy(marker.begin(), marker.end(), transfer.begin() + random() % (transfer.size() - 5));
        }
        Transfer(transfer);
        for (const auto& frame : Delivered()) {
            EXPECT_LE(frame.size(), 306u + 6u);
            ++delivered;
        }
        for (int k = 0; k < FRAME_RING_SLOTS; ++k) device_.frameRingBusy[k].store(FALSE);
        ASSERT_LE(device_.bulkWritePos, device_.bulkSlotStart + 306);
    }
    EXPECT_GT(delivered, 50u);
}

}  // namespace
}  // namespace nimbra::test
