// The camera on the USB bus stand-in: configured, switched to its largest alternate, started
// with bridge messages and read with isochronous transfers of 32 packets, as the driver does.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/camsim/camera.h"
#include "host/camsim/frame_format.h"
#include "host/camsim/header_template.h"
#include "host/kernel/host_kernel.h"
#include "host/usbbus/usb_bus_host.h"

namespace nimbra::camsim::test {
namespace {

constexpr LONGLONG kWaitMs = 600000;  // a bound, not a pace

// A built request, waited for through its event.
NTSTATUS SubmitSync(PDEVICE_OBJECT pdo, PURB urb)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status != STATUS_PENDING) return status;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -kWaitMs * 10000;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) return STATUS_TIMEOUT;
    return ioStatus.Status;
}

struct UrbStorage {
    explicit UrbStorage(size_t bytes) : words((bytes + 7) / 8 + 1, 0) {}
    PURB get() { return reinterpret_cast<PURB>(words.data()); }
    std::vector<uint64_t> words;
};

TEST(CameraOnTheBus, StreamsFramesThatDecode)
{
    host::SetClockRate(50.0);
    Camera camera;
    host::UsbBus bus(camera, host::UsbBusOptions{false});
    PDEVICE_OBJECT pdo = bus.PhysicalDeviceObject();
    std::vector<uint8_t> config = camera.ConfigurationDescriptor();
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());

    // Configuration with interface 0 at alternate 0, then alternate 8 (1023-byte packets).
    PUSB_INTERFACE_DESCRIPTOR interface0 = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
    ASSERT_NE(interface0, nullptr);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{interface0, nullptr}, {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(select, nullptr);
    ASSERT_EQ(SubmitSync(pdo, select), STATUS_SUCCESS);
    const USBD_CONFIGURATION_HANDLE handle = select->UrbSelectConfiguration.ConfigurationHandle;
    ASSERT_EQ(list[0].Interface->NumberOfPipes, 7u);
    ExFreePool(select);

    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(7);
    UrbStorage alt(size);
    alt.get()->UrbHeader.Length = size;
    alt.get()->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    alt.get()->UrbSelectInterface.ConfigurationHandle = handle;
    USBD_INTERFACE_INFORMATION& info = alt.get()->UrbSelectInterface.Interface;
    info.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(7));
    info.AlternateSetting = 8;
    info.NumberOfPipes = 7;
    ASSERT_EQ(SubmitSync(pdo, alt.get()), STATUS_SUCCESS);
    ASSERT_EQ(camera.AlternateSetting(), 8);
    const USBD_PIPE_INFORMATION* pipes = info.Pipes;
    ASSERT_EQ(pipes[0].MaximumPacketSize, 1023);
    ASSERT_EQ(pipes[0].PipeType, UsbdPipeTypeIsochronous);

    // Bridge on, streaming: bulk messages on pipe 3.
    for (std::vector<uint8_t> message : {std::vector<uint8_t>{0x01, 0x01}, std::vector<uint8_t>{0x00, 0x4D}}) {
        UrbStorage bulk(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        auto& b = bulk.get()->UrbBulkOrInterruptTransfer;
        b.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        b.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        b.PipeHandle = pipes[3].PipeHandle;
        b.TransferBuffer = message.data();
        b.TransferBufferLength = static_cast<ULONG>(message.size());
        ASSERT_EQ(SubmitSync(pdo, bulk.get()), STATUS_SUCCESS);
    }
    ASSERT_TRUE(camera.VideoOn());

    // Isochronous transfers of 32 packets until two markers have passed.
    std::vector<uint8_t> stream;
    size_t markers = 0;
    std::vector<uint8_t> buffer(32 * 1023);
    for (int transfer = 0; transfer < 40 && markers < 3; ++transfer) {
        UrbStorage iso(GET_ISO_URB_SIZE(32));
        auto& t = iso.get()->UrbIsochronousTransfer;
        t.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(32));
        t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        t.PipeHandle = pipes[0].PipeHandle;
        t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
        t.TransferBuffer = buffer.data();
        t.TransferBufferLength = static_cast<ULONG>(buffer.size());
        t.NumberOfPackets = 32;
        for (ULONG i = 0; i < 32; ++i) t.IsoPacket[i].Offset = i * 1023;
        ASSERT_EQ(SubmitSync(pdo, iso.get()), STATUS_SUCCESS);
        for (ULONG i = 0; i < 32; ++i) {
            const std::span<const uint8_t> packet(buffer.data() + t.IsoPacket[i].Offset, t.IsoPacket[i].Length);
            if (FindFrameMarker(packet) == 0) ++markers;
            stream.insert(stream.end(), packet.begin(), packet.end());
        }
    }
    const size_t first = FindFrameMarker(stream);
    const size_t second = FindFrameMarker(stream, first + kMarkerSize);
    ASSERT_LT(second, stream.size());
    const std::vector<uint8_t> frame(stream.begin() + first + kMarkerSize, stream.begin() + second);
    const auto header = ParseFrameHeader(frame);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->dataLength, frame.size() - kFrameHeaderSize);
    const auto t = CameraHeaderTemplate();
    std::vector<uint8_t> jpeg(t.begin(), t.end());
    jpeg.insert(jpeg.end(), frame.begin() + kFrameHeaderSize, frame.end());
    RgbImage image;
    EXPECT_TRUE(DecodeJpeg(jpeg, image));
    EXPECT_EQ(image.width, 640);
    host::SetClockRate(1.0);
}

}  // namespace
}  // namespace nimbra::camsim::test
