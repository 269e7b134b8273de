// Configuration and interface selection, and the two pipe requests. A selection sends the
// standard request to the device (SET_CONFIGURATION, SET_INTERFACE); only when the device
// accepts it are the old pipes of what it replaces closed (their transfers cancelled) and new
// pipes opened with new handles, described by the configuration descriptor set the
// configuration was selected with.
#include <algorithm>
#include <cstring>

#include "host/usbbus/usb_bus_internal.h"

namespace nimbra::host {

namespace {

UsbSetupPacket SetConfigurationPacket(UCHAR value)
{
    return UsbSetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
}

UsbSetupPacket SetInterfacePacket(UCHAR interfaceNumber, UCHAR alternate)
{
    return UsbSetupPacket{0x01, USB_REQUEST_SET_INTERFACE, alternate, interfaceNumber, 0};
}

bool MatchAll(const UsbPipe&, UCHAR)
{
    return true;
}

bool MatchInterface(const UsbPipe& pipe, UCHAR interfaceNumber)
{
    return pipe.interfaceNumber == interfaceNumber;
}

}  // namespace

PVOID UsbBusCore::NewHandleLocked()
{
    // Opaque, never reused: a handle of an earlier selection stays invalid.
    return reinterpret_cast<PVOID>(0x5B000000 + (++handleCounter_) * 0x10);
}

// Finds an alternate setting in a descriptor set and lists its endpoints in descriptor order.
// False when the setting is missing or has fewer whole endpoint descriptors than it declares.
bool UsbBusCore::PlanInterface(const std::vector<uint8_t>& config, UCHAR interfaceNumber, UCHAR alternate,
                               PUSB_INTERFACE_DESCRIPTOR* found, std::vector<UsbPipePlan>* pipes) const
{
    if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return false;
    auto* descriptorSet = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(config.data()));
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(descriptorSet, descriptorSet, interfaceNumber, alternate, -1, -1, -1);
    if (interface == nullptr) return false;
    pipes->clear();
    auto* base = const_cast<uint8_t*>(config.data());
    auto total = static_cast<ULONG>(config.size());
    auto* p = reinterpret_cast<uint8_t*>(interface) + interface->bLength;
    while (pipes->size() < interface->bNumEndpoints && p < base + total) {
        PUSB_COMMON_DESCRIPTOR next = USBD_ParseDescriptors(base, total, p, -1);
        if (next == nullptr || next->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (next->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && next->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(next);
            pipes->push_back({endpoint->bEndpointAddress, endpoint->bmAttributes, endpoint->wMaxPacketSize,
                              endpoint->bInterval});
        }
        p = reinterpret_cast<uint8_t*>(next) + next->bLength;
    }
    if (pipes->size() < interface->bNumEndpoints) return false;
    *found = interface;
    return true;
}

// Closes the matching pipes; their queued transfers complete as cancelled. Caller holds lock_.
void UsbBusCore::DestroyPipesLocked(bool (*match)(const UsbPipe&, UCHAR), UCHAR interfaceNumber)
{
    for (auto it = pipes_.begin(); it != pipes_.end();) {
        UsbPipe* pipe = it->second.get();
        if (!match(*pipe, interfaceNumber)) {
            ++it;
            continue;
        }
        std::vector<UsbTransfer*> queued(pipe->queue.begin(), pipe->queue.end());
        for (UsbTransfer* transfer : queued) FinishLocked(transfer, USBD_STATUS_CANCELED);
        it = pipes_.erase(it);
    }
}

// Opens the pipes of a newly selected alternate setting and describes them in the caller's
// interface record. Caller holds lock_.
void UsbBusCore::ReplaceInterfacePipesLocked(UCHAR interfaceNumber, const std::vector<UsbPipePlan>& plan,
                                             PUSBD_INTERFACE_INFORMATION info, PUSB_INTERFACE_DESCRIPTOR descriptor)
{
    DestroyPipesLocked(MatchInterface, interfaceNumber);
    USBD_INTERFACE_HANDLE interfaceHandle = NewHandleLocked();
    interfaceHandles_[interfaceNumber] = interfaceHandle;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(plan.size())));
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->Class = descriptor->bInterfaceClass;
    info->SubClass = descriptor->bInterfaceSubClass;
    info->Protocol = descriptor->bInterfaceProtocol;
    info->InterfaceHandle = interfaceHandle;
    info->NumberOfPipes = static_cast<ULONG>(plan.size());
    PUSBD_PIPE_INFORMATION entries = info->Pipes;
    for (size_t j = 0; j < plan.size(); ++j) {
        auto pipe = std::make_unique<UsbPipe>();
        pipe->handle = NewHandleLocked();
        pipe->interfaceNumber = interfaceNumber;
        pipe->endpointAddress = plan[j].endpointAddress;
        pipe->type = static_cast<USBD_PIPE_TYPE>(plan[j].attributes & USB_ENDPOINT_TYPE_MASK);
        pipe->maxPacketSize = plan[j].maxPacketSize;
        pipe->interval = plan[j].interval;
        PUSBD_PIPE_INFORMATION entry = entries + j;
        entry->MaximumPacketSize = pipe->maxPacketSize;
        entry->EndpointAddress = pipe->endpointAddress;
        entry->Interval = pipe->interval;
        entry->PipeType = pipe->type;
        entry->PipeHandle = pipe->handle;
        pipes_.emplace(pipe->handle, std::move(pipe));
    }
}

// SELECT_CONFIGURATION: every interface record of the URB (each at the previous one's Length)
// is checked against the descriptor set before anything goes on the wire. A null descriptor
// unconfigures the device. Returns false when the device NAKed. Caller holds lock_.
bool UsbBusCore::ServeSelectConfigurationLocked(UsbTransfer* transfer)
{
    auto& request = transfer->urb->UrbSelectConfiguration;
    size_t actual = 0;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = request.ConfigurationDescriptor;
    if (descriptor == nullptr) {
        UsbHandshake handshake = ControlLocked(SetConfigurationPacket(0), {}, &actual);
        if (handshake == UsbHandshake::Nak) return false;
        if (handshake == UsbHandshake::Stall) {
            FinishLocked(transfer, USBD_STATUS_STALL_PID);
            return true;
        }
        DestroyPipesLocked(MatchAll, 0);
        configuration_.clear();
        configurationHandle_ = nullptr;
        interfaceHandles_.clear();
        request.ConfigurationHandle = nullptr;
        FinishLocked(transfer, USBD_STATUS_SUCCESS);
        return true;
    }

    auto* bytes = reinterpret_cast<const uint8_t*>(descriptor);
    std::vector<uint8_t> config(bytes, bytes + descriptor->wTotalLength);
    struct RecordPlan {
        PUSBD_INTERFACE_INFORMATION info;
        PUSB_INTERFACE_DESCRIPTOR descriptor;
        std::vector<UsbPipePlan> pipes;
    };
    std::vector<RecordPlan> records;
    auto* urbBytes = reinterpret_cast<uint8_t*>(transfer->urb);
    size_t end = transfer->urb->UrbHeader.Length;
    size_t position = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    constexpr size_t kSmallestRecord = GET_USBD_INTERFACE_SIZE(0);
    while (records.size() < descriptor->bNumInterfaces && end - position >= kSmallestRecord) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(urbBytes + position);
        if (info->Length < kSmallestRecord || info->Length > end - position) {
            FinishLocked(transfer, USBD_STATUS_INVALID_PARAMETER);
            return true;
        }
        RecordPlan record{info, nullptr, {}};
        if (!PlanInterface(config, info->InterfaceNumber, info->AlternateSetting, &record.descriptor, &record.pipes)) {
            FinishLocked(transfer, USBD_STATUS_INVALID_PARAMETER);
            return true;
        }
        if (info->Length < GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(record.pipes.size()))) {
            FinishLocked(transfer, USBD_STATUS_BUFFER_TOO_SMALL);
            return true;
        }
        position += info->Length;
        records.push_back(std::move(record));
    }
    if (records.empty()) {
        FinishLocked(transfer, USBD_STATUS_INVALID_PARAMETER);
        return true;
    }

    UsbHandshake handshake = ControlLocked(SetConfigurationPacket(descriptor->bConfigurationValue), {}, &actual);
    for (size_t i = 0; handshake == UsbHandshake::Ack && i < records.size(); ++i) {
        if (records[i].descriptor->bAlternateSetting == 0) continue;
        handshake = ControlLocked(
            SetInterfacePacket(records[i].descriptor->bInterfaceNumber, records[i].descriptor->bAlternateSetting), {},
            &actual);
    }
    if (handshake == UsbHandshake::Nak) return false;
    if (handshake == UsbHandshake::Stall) {
        FinishLocked(transfer, USBD_STATUS_STALL_PID);
        return true;
    }

    DestroyPipesLocked(MatchAll, 0);
    configuration_ = std::move(config);  // the buffer moves with it: record descriptors stay valid
    configurationHandle_ = NewHandleLocked();
    interfaceHandles_.clear();
    for (RecordPlan& record : records) {
        ReplaceInterfacePipesLocked(record.descriptor->bInterfaceNumber, record.pipes, record.info, record.descriptor);
    }
    request.ConfigurationHandle = configurationHandle_;
    FinishLocked(transfer, USBD_STATUS_SUCCESS);
    return true;
}

// SELECT_INTERFACE: the wanted alternate setting must exist in the selected configuration and
// its pipes must fit the URB; a STALL from the device keeps the old pipes. Returns false when
// the device NAKed. Caller holds lock_.
bool UsbBusCore::ServeSelectInterfaceLocked(UsbTransfer* transfer)
{
    auto& request = transfer->urb->UrbSelectInterface;
    if (configurationHandle_ == nullptr || request.ConfigurationHandle != configurationHandle_) {
        FinishLocked(transfer, USBD_STATUS_INVALID_PARAMETER);
        return true;
    }
    PUSB_INTERFACE_DESCRIPTOR descriptor = nullptr;
    std::vector<UsbPipePlan> plan;
    UCHAR interfaceNumber = request.Interface.InterfaceNumber;
    UCHAR alternate = request.Interface.AlternateSetting;
    if (!PlanInterface(configuration_, interfaceNumber, alternate, &descriptor, &plan)) {
        FinishLocked(transfer, USBD_STATUS_INVALID_PARAMETER);
        return true;
    }
    if (transfer->urb->UrbHeader.Length < GET_SELECT_INTERFACE_REQUEST_SIZE(static_cast<ULONG>(plan.size()))) {
        FinishLocked(transfer, USBD_STATUS_BUFFER_TOO_SMALL);
        return true;
    }
    size_t actual = 0;
    UsbHandshake handshake = ControlLocked(SetInterfacePacket(interfaceNumber, alternate), {}, &actual);
    if (handshake == UsbHandshake::Nak) return false;
    if (handshake == UsbHandshake::Stall) {
        FinishLocked(transfer, USBD_STATUS_STALL_PID);
        return true;
    }
    ReplaceInterfacePipesLocked(interfaceNumber, plan, &request.Interface, descriptor);
    FinishLocked(transfer, USBD_STATUS_SUCCESS);
    return true;
}

// RESET_PIPE: clears the pipe's halt. For a bulk or interrupt pipe the device gets
// CLEAR_FEATURE(ENDPOINT_HALT) first; an isochronous endpoint has no halt on the wire, so only
// the host side is reset. Returns false when the device NAKed. Caller holds lock_.
bool UsbBusCore::ServeResetPipeLocked(UsbTransfer* transfer)
{
    UsbPipe* pipe = FindPipeLocked(transfer->pipeHandle);
    if (pipe == nullptr) {
        FinishLocked(transfer, USBD_STATUS_INVALID_PIPE_HANDLE);
        return true;
    }
    if (pipe->type != UsbdPipeTypeIsochronous) {
        constexpr uint16_t kEndpointHalt = 0;
        UsbSetupPacket setup{0x02, USB_REQUEST_CLEAR_FEATURE, kEndpointHalt, pipe->endpointAddress, 0};
        size_t actual = 0;
        UsbHandshake handshake = ControlLocked(setup, {}, &actual);
        if (handshake == UsbHandshake::Nak) return false;
        if (handshake == UsbHandshake::Stall) {
            FinishLocked(transfer, USBD_STATUS_STALL_PID);
            return true;
        }
        stalled_.erase(pipe->endpointAddress);
    }
    pipe->halted = false;
    FinishLocked(transfer, USBD_STATUS_SUCCESS);
    return true;
}

// ABORT_PIPE: every transfer queued on the pipe completes with STATUS_CANCELLED, then the
// abort succeeds (its completion comes after theirs). Caller holds lock_.
void UsbBusCore::ServeAbortPipeLocked(UsbTransfer* transfer)
{
    UsbPipe* pipe = FindPipeLocked(transfer->pipeHandle);
    if (pipe == nullptr) {
        FinishLocked(transfer, USBD_STATUS_INVALID_PIPE_HANDLE);
        return;
    }
    std::vector<UsbTransfer*> queued(pipe->queue.begin(), pipe->queue.end());
    for (UsbTransfer* victim : queued) FinishLocked(victim, USBD_STATUS_CANCELED);
    pipe->isoScheduleEnd = 0;
    FinishLocked(transfer, USBD_STATUS_SUCCESS);
}

}  // namespace nimbra::host
