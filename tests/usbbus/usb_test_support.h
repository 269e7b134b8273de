// Test plumbing: submitting URBs to the bus the two ways the driver does (its own IRP with a
// completion routine, or a built request waited for through an event), URB builders, and a
// fixture with the test device on a bus, configured at alternate setting 0.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/usbbus/usb_bus_host.h"
#include "tests/usbbus/test_usb_device.h"

namespace nimbra::host::test {

// Host milliseconds a test waits for something that must happen (a bound, not a pace).
constexpr LONGLONG kLongWaitMs = 600000;
constexpr double kTestClockRate = 50.0;

inline std::atomic<int>& CompletionSequence()
{
    static std::atomic<int> sequence{0};
    return sequence;
}

// One URB submission with an IRP of its own, completed back to the test
// (STATUS_MORE_PROCESSING_REQUIRED), as the driver's circulating transfers are.
struct Submission {
    Submission() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    ~Submission()
    {
        if (irp != nullptr) IoFreeIrp(irp);
    }
    Submission(const Submission&) = delete;
    Submission& operator=(const Submission&) = delete;

    NTSTATUS Send(PDEVICE_OBJECT pdo, PURB urb)
    {
        if (irp == nullptr) {
            irp = IoAllocateIrp(static_cast<CCHAR>(pdo->StackSize + 1), FALSE);
        } else {
            IoReuseIrp(irp, STATUS_SUCCESS);
        }
        target = pdo;
        this->urb = urb;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
        returned = IoCallDriver(pdo, irp);
        return returned;
    }

    bool Wait(LONGLONG hostMs = kLongWaitMs)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -hostMs * 10000;
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
    }
    bool Completed() { return KeReadStateEvent(&event) != 0; }

    static NTSTATUS Done(PDEVICE_OBJECT, PIRP completed, PVOID context)
    {
        auto* self = static_cast<Submission*>(context);
        self->status = completed->IoStatus.Status;
        self->irql = KeGetCurrentIrql();
        self->order = CompletionSequence()++;
        ++self->calls;
        // A resubmitting hook returns true: the request circulates, the event waits.
        if (self->onComplete && self->onComplete(*self)) return STATUS_MORE_PROCESSING_REQUIRED;
        KeSetEvent(&self->event, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PIRP irp = nullptr;
    PDEVICE_OBJECT target = nullptr;
    PURB urb = nullptr;
    KEVENT event;
    std::atomic<int> calls{0};
    NTSTATUS returned = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = 0xFF;
    int order = -1;
    std::function<bool(Submission&)> onComplete;
};

// The driver's synchronous form: a built request, an event, a bounded wait and, when the wait
// runs out, IoCancelIrp and a wait for the completion.
inline NTSTATUS SubmitSync(PDEVICE_OBJECT pdo, PURB urb, LONGLONG timeoutHostMs = kLongWaitMs)
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
    timeout.QuadPart = -timeoutHostMs * 10000;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        timeout.QuadPart = -kLongWaitMs * 10000;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) return STATUS_TIMEOUT;
        return ioStatus.Status == STATUS_CANCELLED ? STATUS_TIMEOUT : ioStatus.Status;
    }
    return ioStatus.Status;
}

// URB storage of any size, 8-byte aligned and zeroed.
class UrbBuffer {
public:
    explicit UrbBuffer(size_t bytes) : words_((bytes + 7) / 8 + 1, 0) {}
    PURB get() { return reinterpret_cast<PURB>(words_.data()); }
    PURB operator->() { return get(); }

private:
    std::vector<uint64_t> words_;
};

inline void BuildDescriptorRequest(PURB urb, UCHAR type, void* buffer, ULONG length)
{
    std::memset(urb, 0, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbControlDescriptorRequest.DescriptorType = type;
    urb->UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb->UrbControlDescriptorRequest.TransferBufferLength = length;
}

inline void BuildBulk(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length)
{
    std::memset(urb, 0, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
}

inline void BuildPipeRequest(PURB urb, USHORT function, USBD_PIPE_HANDLE pipe)
{
    std::memset(urb, 0, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
}

// An ASAP isochronous IN transfer of `packets` slots of `slot` bytes each.
inline void BuildIso(PURB urb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG packets, ULONG slot)
{
    ULONG size = GET_ISO_URB_SIZE(packets);
    std::memset(urb, 0, size);
    auto& iso = urb->UrbIsochronousTransfer;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipe;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = buffer;
    iso.TransferBufferLength = packets * slot;
    iso.NumberOfPackets = packets;
    PUSBD_ISO_PACKET_DESCRIPTOR packet = iso.IsoPacket;
    for (ULONG i = 0; i < packets; ++i) packet[i].Offset = i * slot;
}

inline const USBD_PIPE_INFORMATION& PipeAt(const USBD_INTERFACE_INFORMATION& info, ULONG index)
{
    return *(info.Pipes + index);
}

class UsbBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetClockRate(kTestClockRate);
        irpsAtStart_ = LiveIrpCount();
        config_ = device_.ConfigurationDescriptor();
    }
    void TearDown() override
    {
        bus_.reset();
        EXPECT_EQ(LiveIrpCount(), irpsAtStart_);
    }

    void StartBus(UsbBusOptions options = {}) { bus_ = std::make_unique<UsbBus>(device_, options); }
    PDEVICE_OBJECT Pdo() { return bus_->PhysicalDeviceObject(); }
    PUSB_CONFIGURATION_DESCRIPTOR Config() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data()); }

    // Selects the configuration with interface 0 at alternate setting 0; keeps the returned
    // interface information.
    void Configure()
    {
        PUSB_INTERFACE_DESCRIPTOR interface0 = USBD_ParseConfigurationDescriptorEx(Config(), Config(), 0, 0, -1, -1, -1);
        ASSERT_NE(interface0, nullptr);
        USBD_INTERFACE_LIST_ENTRY list[2] = {{interface0, nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(Config(), list);
        ASSERT_NE(urb, nullptr);
        ASSERT_EQ(SubmitSync(Pdo(), urb), STATUS_SUCCESS);
        configurationHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        KeepInterface(*list[0].Interface);
        ExFreePool(urb);
    }

    // SELECT_INTERFACE for interface 0 with a URB sized for `urbPipes` pipes. On success the
    // returned interface information replaces the kept one.
    NTSTATUS SelectAlternate(UCHAR alternate, ULONG urbPipes, USBD_STATUS* usbdStatus = nullptr)
    {
        USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(urbPipes);
        UrbBuffer urb(size);
        urb->UrbHeader.Length = size;
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
        urb->UrbSelectInterface.ConfigurationHandle = configurationHandle_;
        USBD_INTERFACE_INFORMATION& info = urb->UrbSelectInterface.Interface;
        info.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(urbPipes));
        info.InterfaceNumber = 0;
        info.AlternateSetting = alternate;
        info.NumberOfPipes = urbPipes;
        NTSTATUS status = SubmitSync(Pdo(), urb.get());
        if (usbdStatus != nullptr) *usbdStatus = urb->UrbHeader.Status;
        if (NT_SUCCESS(status)) KeepInterface(info);
        return status;
    }

    void KeepInterface(const USBD_INTERFACE_INFORMATION& info)
    {
        auto* bytes = reinterpret_cast<const uint8_t*>(&info);
        interface_.assign(bytes, bytes + info.Length);
    }
    const USBD_INTERFACE_INFORMATION& Interface()
    {
        return *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(interface_.data());
    }
    // Pipes of interface 0 in every setting: 0 isochronous IN, 1 bulk IN, 2 bulk OUT.
    USBD_PIPE_HANDLE Pipe(ULONG index) { return PipeAt(Interface(), index).PipeHandle; }

    TestUsbDevice device_;
    std::unique_ptr<UsbBus> bus_;
    std::vector<uint8_t> config_;
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    std::vector<uint8_t> interface_;

private:
    size_t irpsAtStart_ = 0;
};

}  // namespace nimbra::host::test
