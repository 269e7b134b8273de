// The bus object and the submission side: the driver object and physical device object, the
// IRP_MJ_INTERNAL_DEVICE_CONTROL entry that takes URBs, the checks a URB passes before it is
// queued, the cancel routine, and the host API (knobs, trace, statistics).
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/kernel/host_kernel.h"
#include "host/usbbus/usb_bus_internal.h"

namespace nimbra::host {

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;
constexpr ULONG kMaxIsoPackets = 1024;

// IRP_MJ_INTERNAL_DEVICE_CONTROL of the bus driver. Returns STATUS_PENDING or the final status
// of a request completed at once. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS BusInternalDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return static_cast<UsbBusCore*>(deviceObject->DeviceExtension)->Submit(irp);
}

// Cancel routine of every pending URB: called with the cancel spin lock held; releases it and
// hands the transfer to the host-controller thread, which completes it with STATUS_CANCELLED.
VOID BusCancelRoutine(PDEVICE_OBJECT /*deviceObject*/, PIRP irp)
{
    auto* transfer = static_cast<UsbTransfer*>(irp->Tail.Overlay.DriverContext[0]);
    auto* core = static_cast<UsbBusCore*>(irp->Tail.Overlay.DriverContext[1]);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    core->OnCancel(transfer);
}

// The transfer buffer of a data URB: the virtual address, else the MDL's system address.
uint8_t* ResolveBuffer(PVOID buffer, PMDL mdl)
{
    if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
    if (mdl != nullptr) return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return nullptr;
}

void PutSetup(uint8_t* setup, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length)
{
    setup[0] = requestType;
    setup[1] = request;
    setup[2] = static_cast<uint8_t>(value);
    setup[3] = static_cast<uint8_t>(value >> 8);
    setup[4] = static_cast<uint8_t>(index);
    setup[5] = static_cast<uint8_t>(index >> 8);
    setup[6] = static_cast<uint8_t>(length);
    setup[7] = static_cast<uint8_t>(length >> 8);
}

}  // namespace

NTSTATUS NtStatusOfUsbd(USBD_STATUS status)
{
    switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_BAD_START_FRAME: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    default: return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

// ---- UsbBus: the host API ----------------------------------------------------------------

UsbBus::UsbBus(UsbDeviceModel& device, UsbBusOptions options) : core_(std::make_unique<UsbBusCore>(device, options)) {}
UsbBus::~UsbBus() = default;
PDEVICE_OBJECT UsbBus::PhysicalDeviceObject() { return core_->Pdo(); }
void UsbBus::SetPaced(bool paced) { core_->SetPaced(paced); }
uint64_t UsbBus::CurrentFrame() const { return core_->CurrentFrame(); }
bool UsbBus::StartTrace(const std::string& pcapPath, std::string* error) { return core_->StartTrace(pcapPath, error); }
void UsbBus::StopTrace() { core_->StopTrace(); }
void UsbBus::StallEndpoint(uint8_t endpointAddress, bool stalled) { core_->StallEndpoint(endpointAddress, stalled); }
void UsbBus::SetEndpointUnresponsive(uint8_t endpointAddress, bool unresponsive)
{
    core_->SetEndpointUnresponsive(endpointAddress, unresponsive);
}
void UsbBus::SetIsoErrorEvery(uint32_t n) { core_->SetIsoErrorEvery(n); }
void UsbBus::SetIsoLossEvery(uint32_t n) { core_->SetIsoLossEvery(n); }
void UsbBus::Unplug() { core_->Unplug(); }
UsbBus::Stats UsbBus::GetStats() const { return core_->GetStats(); }
size_t UsbBus::PendingCount() const { return core_->PendingCount(); }

// ---- UsbBusCore: life, knobs ---------------------------------------------------------------

UsbBusCore::UsbBusCore(UsbDeviceModel& device, UsbBusOptions options) : device_(device), paced_(options.paced)
{
    driver_.Type = kIoTypeDriver;
    driver_.Size = sizeof(DRIVER_OBJECT);
    driver_.DeviceObject = &pdo_;
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalDeviceControl;
    pdo_.Type = kIoTypeDevice;
    pdo_.Size = sizeof(DEVICE_OBJECT);
    pdo_.ReferenceCount = 1;
    pdo_.DriverObject = &driver_;
    pdo_.DeviceExtension = this;
    pdo_.DeviceType = FILE_DEVICE_USB;
    pdo_.StackSize = 1;
    currentFrame_.store(static_cast<uint64_t>(HostTimeNow() / 10000), std::memory_order_relaxed);
    thread_ = std::thread([this] { Run(); });
}

UsbBusCore::~UsbBusCore()
{
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        FailAllLocked(USBD_STATUS_DEVICE_GONE);
        wake_.notify_all();
    }
    thread_.join();
    trace_.Close();
}

void UsbBusCore::SetPaced(bool paced)
{
    std::lock_guard guard(lock_);
    if (paced && !paced_) {
        // Continue from the current frame: the next one runs 1 ms of host time from now.
        paceOffset_ = static_cast<int64_t>(CurrentFrame()) - HostTimeNow() / 10000;
    }
    paced_ = paced;
    lastFrameProgressed_ = true;
    wake_.notify_all();
}

bool UsbBusCore::StartTrace(const std::string& path, std::string* error)
{
    return trace_.Open(path, error);
}

void UsbBusCore::StopTrace()
{
    trace_.Close();
}

void UsbBusCore::StallEndpoint(uint8_t endpoint, bool stalled)
{
    std::lock_guard guard(lock_);
    if (stalled) {
        stalled_.insert(endpoint);
    } else {
        stalled_.erase(endpoint);
    }
    wake_.notify_all();
}

void UsbBusCore::SetEndpointUnresponsive(uint8_t endpoint, bool unresponsive)
{
    std::lock_guard guard(lock_);
    if (unresponsive) {
        unresponsive_.insert(endpoint);
    } else {
        unresponsive_.erase(endpoint);
    }
    lastFrameProgressed_ = true;
    wake_.notify_all();
}

void UsbBusCore::SetIsoErrorEvery(uint32_t n)
{
    std::lock_guard guard(lock_);
    isoErrorEvery_ = n;
}

void UsbBusCore::SetIsoLossEvery(uint32_t n)
{
    std::lock_guard guard(lock_);
    isoLossEvery_ = n;
}

void UsbBusCore::Unplug()
{
    std::lock_guard guard(lock_);
    if (unplugged_) return;
    unplugged_ = true;
    resetPending_ = true;
    FailAllLocked(USBD_STATUS_DEVICE_GONE);
    wake_.notify_all();
}

UsbBus::Stats UsbBusCore::GetStats() const
{
    std::lock_guard guard(lock_);
    return stats_;
}

size_t UsbBusCore::PendingCount() const
{
    std::lock_guard guard(lock_);
    return pending_;
}

// ---- Submission ----------------------------------------------------------------------------

// Takes one IRP with IOCTL_INTERNAL_USB_SUBMIT_URB. A URB that fails its checks, or arrives
// after the device left, completes at once with its final status; every other one is queued,
// marked pending with a cancel routine, and STATUS_PENDING is returned. Any IRQL up to
// DISPATCH_LEVEL; takes lock_.
NTSTATUS UsbBusCore::Submit(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        {
            std::lock_guard guard(lock_);
            ++stats_.completed;
        }
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    {
        std::lock_guard guard(lock_);
        ++stats_.submitted;
    }
    if (urb == nullptr) return CompleteAtOnce(irp, nullptr, USBD_STATUS_INVALID_PARAMETER);

    auto transfer = std::make_unique<UsbTransfer>();
    transfer->irp = irp;
    transfer->urb = urb;
    USBD_STATUS status = CheckUrb(urb, transfer.get());
    if (status != USBD_STATUS_SUCCESS) return CompleteAtOnce(irp, urb, status);

    std::unique_lock guard(lock_);
    if (unplugged_ || stopping_) {
        status = USBD_STATUS_DEVICE_GONE;
    } else if (transfer->kind == UsbTransferKind::Bulk || transfer->kind == UsbTransferKind::Isochronous) {
        status = CheckDataTransferLocked(urb, transfer.get());
    } else if (transfer->kind == UsbTransferKind::AbortPipe || transfer->kind == UsbTransferKind::ResetPipe) {
        UsbPipe* pipe = FindPipeLocked(transfer->pipeHandle);
        if (pipe == nullptr) {
            status = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else if (transfer->kind == UsbTransferKind::ResetPipe && pipe->type != UsbdPipeTypeIsochronous) {
            // Only a non-isochronous pipe's reset goes on the wire (CLEAR_FEATURE(ENDPOINT_HALT)).
            transfer->traced = true;
            transfer->traceType = kUsbmonControl;
            transfer->traceSetup = true;
            PutSetup(transfer->setup, 0x02, USB_REQUEST_CLEAR_FEATURE, 0, pipe->endpointAddress, 0);
        }
    }
    if (status != USBD_STATUS_SUCCESS) {
        guard.unlock();
        return CompleteAtOnce(irp, urb, status);
    }

    if (transfer->kind != UsbTransferKind::Isochronous) transfer->notBeforeFrame = NextFrameForNowLocked();
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    TraceSubmission(transfer.get());
    UsbTransfer* queued = transfer.release();
    ++pending_;
    if (queued->pipe != nullptr) {
        queued->place = UsbTransferPlace::PipeQueue;
        queued->pipe->queue.push_back(queued);
    } else {
        queued->place = UsbTransferPlace::DefaultQueue;
        defaultQueue_.push_back(queued);
    }
    irp->Tail.Overlay.DriverContext[0] = queued;
    irp->Tail.Overlay.DriverContext[1] = this;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, BusCancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it was queued: complete it as the cancel routine would have.
        queued->cancelRequested = true;
        cancelRequests_.push_back(queued);
    }
    lastFrameProgressed_ = true;
    wake_.notify_all();
    return STATUS_PENDING;
}

// The checks that need no bus state: header length, function, buffers, packet layout. Fills the
// transfer's kind, buffer, direction and trace fields. Returns USBD_STATUS_SUCCESS or the
// status to fail with.
USBD_STATUS UsbBusCore::CheckUrb(PURB urb, UsbTransfer* transfer)
{
    USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        if (length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        auto& request = urb->UrbControlDescriptorRequest;
        transfer->kind = UsbTransferKind::Descriptor;
        transfer->buffer = ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL);
        transfer->length = std::min<ULONG>(request.TransferBufferLength, 0xFFFF);
        if (transfer->length != 0 && transfer->buffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;
        transfer->in = true;
        transfer->endpoint = 0x80;
        transfer->traced = true;
        transfer->traceType = kUsbmonControl;
        transfer->traceSetup = true;
        PutSetup(transfer->setup, 0x80, USB_REQUEST_GET_DESCRIPTOR,
                 static_cast<uint16_t>(request.DescriptorType << 8 | request.Index), request.LanguageId,
                 static_cast<uint16_t>(transfer->length));
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        if (length < sizeof(struct _URB_SELECT_CONFIGURATION)) return USBD_STATUS_INVALID_PARAMETER;
        PUSB_CONFIGURATION_DESCRIPTOR descriptor = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        if (descriptor != nullptr &&
            (descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
             descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
             descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        transfer->kind = UsbTransferKind::SelectConfiguration;
        transfer->traced = true;
        transfer->traceType = kUsbmonControl;
        transfer->traceSetup = true;
        PutSetup(transfer->setup, 0x00, USB_REQUEST_SET_CONFIGURATION,
                 descriptor != nullptr ? descriptor->bConfigurationValue : 0, 0, 0);
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
        if (length < sizeof(struct _URB_SELECT_INTERFACE)) return USBD_STATUS_INVALID_PARAMETER;
        const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectInterface.Interface;
        transfer->kind = UsbTransferKind::SelectInterface;
        transfer->traced = true;
        transfer->traceType = kUsbmonControl;
        transfer->traceSetup = true;
        PutSetup(transfer->setup, 0x01, USB_REQUEST_SET_INTERFACE, info.AlternateSetting, info.InterfaceNumber, 0);
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
        if (length < sizeof(struct _URB_PIPE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
        transfer->kind = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE ? UsbTransferKind::AbortPipe
                                                                             : UsbTransferKind::ResetPipe;
        transfer->pipeHandle = urb->UrbPipeRequest.PipeHandle;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        if (length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return USBD_STATUS_INVALID_PARAMETER;
        auto& request = urb->UrbBulkOrInterruptTransfer;
        transfer->kind = UsbTransferKind::Bulk;
        transfer->pipeHandle = request.PipeHandle;
        transfer->buffer = ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL);
        transfer->length = request.TransferBufferLength;
        if (transfer->length != 0 && transfer->buffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;
        transfer->in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        transfer->shortOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        transfer->traced = true;
        transfer->traceFlags = (transfer->in ? kUsbmonDirIn : 0) | (transfer->in && !transfer->shortOk ? kUsbmonShortNotOk : 0);
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
        auto& request = urb->UrbIsochronousTransfer;
        if (length < sizeof(struct _URB_ISOCH_TRANSFER)) return USBD_STATUS_INVALID_PARAMETER;
        ULONG packets = request.NumberOfPackets;
        if (packets == 0 || packets > kMaxIsoPackets) return USBD_STATUS_INVALID_PARAMETER;
        if (length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        transfer->kind = UsbTransferKind::Isochronous;
        transfer->pipeHandle = request.PipeHandle;
        transfer->buffer = ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL);
        transfer->length = request.TransferBufferLength;
        if (transfer->length != 0 && transfer->buffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;
        // Packet slots lie in order inside the buffer.
        const USBD_ISO_PACKET_DESCRIPTOR* packet = request.IsoPacket;
        for (ULONG i = 0; i < packets; ++i) {
            ULONG next = i + 1 < packets ? packet[i + 1].Offset : transfer->length;
            if (packet[i].Offset > next || next > transfer->length) return USBD_STATUS_INVALID_PARAMETER;
        }
        transfer->in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        transfer->traced = true;
        transfer->traceType = kUsbmonIsochronous;
        transfer->traceFlags = (transfer->in ? kUsbmonDirIn : 0) |
                               ((request.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) ? kUsbmonIsoAsap : 0);
        return USBD_STATUS_SUCCESS;
    }
    default:
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

// The checks of a data transfer against the current configuration: a live pipe handle of the
// right type and direction, and for isochronous transfers a place in the pipe's schedule
// (ASAP: right after what is queued). Caller holds lock_.
USBD_STATUS UsbBusCore::CheckDataTransferLocked(PURB urb, UsbTransfer* transfer)
{
    UsbPipe* pipe = FindPipeLocked(transfer->pipeHandle);
    if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
    bool endpointIn = (pipe->endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
    if (transfer->in != endpointIn) return USBD_STATUS_INVALID_PARAMETER;
    if (transfer->kind == UsbTransferKind::Bulk) {
        if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) return USBD_STATUS_INVALID_PARAMETER;
        transfer->traceType = pipe->type == UsbdPipeTypeBulk ? kUsbmonBulk : kUsbmonInterrupt;
        transfer->traceInterval = pipe->type == UsbdPipeTypeInterrupt ? pipe->interval : 0;
    } else {
        // The device model has isochronous IN only.
        if (pipe->type != UsbdPipeTypeIsochronous || !endpointIn) return USBD_STATUS_INVALID_PARAMETER;
        auto& request = urb->UrbIsochronousTransfer;
        uint64_t earliest = std::max(NextFrameForNowLocked(), pipe->isoScheduleEnd);
        uint64_t start = earliest;
        if (!(request.TransferFlags & USBD_START_ISO_TRANSFER_ASAP)) {
            // A 32-bit frame number: take the nearest frame at or after the earliest with it.
            start = (earliest & ~uint64_t{0xFFFFFFFF}) | request.StartFrame;
            if (start < earliest) return USBD_STATUS_BAD_START_FRAME;
        }
        transfer->notBeforeFrame = start;
        pipe->isoScheduleEnd = start + request.NumberOfPackets;
        request.StartFrame = static_cast<ULONG>(start);
        request.ErrorCount = 0;
        transfer->traceInterval = pipe->interval;
    }
    transfer->endpoint = pipe->endpointAddress;
    transfer->pipe = pipe;
    return USBD_STATUS_SUCCESS;
}

// Completes a request that never got queued, in the caller's context. Returns its status.
NTSTATUS UsbBusCore::CompleteAtOnce(PIRP irp, PURB urb, USBD_STATUS status)
{
    if (urb != nullptr) {
        urb->UrbHeader.Status = status;
        if (trace_.IsOpen()) {
            UsbmonEvent event;
            event.id = reinterpret_cast<uintptr_t>(urb);
            event.type = 'E';
            switch (urb->UrbHeader.Function) {
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: event.transferType = kUsbmonBulk; break;
            case URB_FUNCTION_ISOCH_TRANSFER: event.transferType = kUsbmonIsochronous; break;
            default: event.transferType = kUsbmonControl; break;
            }
            event.hostTime = HostTimeNow();
            event.status = UsbmonStatusOf(status);
            trace_.Write(event);
        }
    }
    {
        std::lock_guard guard(lock_);
        ++stats_.completed;
        if (status == USBD_STATUS_CANCELED) ++stats_.cancelled;
    }
    NTSTATUS ntStatus = NtStatusOfUsbd(status);
    irp->IoStatus.Status = ntStatus;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return ntStatus;
}

// The first frame a transfer submitted now may use. After an idle stretch the host-controller
// thread first passes the idle frames (see Run), so this is never a frame already past.
uint64_t UsbBusCore::NextFrameForNowLocked() const
{
    return CurrentFrame() + 1;
}

void UsbBusCore::OnCancel(UsbTransfer* transfer)
{
    std::lock_guard guard(lock_);
    transfer->cancelRequested = true;
    cancelRequests_.push_back(transfer);
    wake_.notify_all();
}

UsbPipe* UsbBusCore::FindPipeLocked(USBD_PIPE_HANDLE handle)
{
    auto it = pipes_.find(handle);
    return it == pipes_.end() ? nullptr : it->second.get();
}

// Writes the 'S' record: setup bytes for control requests, OUT data, the packet slots of an
// isochronous transfer. Caller holds lock_ (the URB is not yet visible to the HC thread).
void UsbBusCore::TraceSubmission(UsbTransfer* transfer)
{
    if (!transfer->traced || !trace_.IsOpen()) return;
    UsbmonEvent event;
    event.id = reinterpret_cast<uintptr_t>(transfer->urb);
    event.type = 'S';
    event.transferType = transfer->traceType;
    event.hasSetup = transfer->traceSetup;
    std::memcpy(event.setup, transfer->setup, 8);
    event.endpoint = transfer->traceSetup ? static_cast<uint8_t>(transfer->setup[0] & 0x80) : transfer->endpoint;
    event.hostTime = HostTimeNow();
    event.status = UsbmonStatusOf(USBD_STATUS_PENDING);
    event.length = transfer->traceSetup ? static_cast<uint32_t>(transfer->setup[6] | transfer->setup[7] << 8)
                                        : transfer->length;
    if (!transfer->in && transfer->kind == UsbTransferKind::Bulk && transfer->length != 0) {
        event.data = std::span<const uint8_t>(transfer->buffer, transfer->length);
    }
    event.interval = transfer->traceInterval;
    event.transferFlags = transfer->traceFlags;
    std::vector<UsbmonIsoDescriptor> iso;
    if (transfer->kind == UsbTransferKind::Isochronous) {
        auto& request = transfer->urb->UrbIsochronousTransfer;
        const USBD_ISO_PACKET_DESCRIPTOR* packet = request.IsoPacket;
        for (ULONG i = 0; i < request.NumberOfPackets; ++i) {
            ULONG next = i + 1 < request.NumberOfPackets ? packet[i + 1].Offset : transfer->length;
            iso.push_back({-EXDEV, packet[i].Offset, next - packet[i].Offset});
        }
        event.startFrame = static_cast<int32_t>(request.StartFrame);
        event.iso = iso;
    }
    trace_.Write(event);
}

}  // namespace nimbra::host
