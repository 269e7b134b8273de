// USB configuration: descriptors, the configuration request, interface selection, the choice
// of the streaming alternate setting, and the synchronous submission every set-up request uses.
#include "usb/capture_device.h"

#include <cstring>

#include "driver/camera_session.h"

ULONG interfaceCount;

#define SUBMIT_TIMEOUT_100NS (-15000000LL)  // 1.5 s for one request
#define CONFIG_HEADER_BYTES 18

// Completion of a synchronous submission: keeps the request with the submitter, which finishes it
// once it no longer needs the request for a cancel.
static NTSTATUS SyncSubmitDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_Use_decl_annotations_
NTSTATUS SubmitUrbToDevice(PDEVICE_OBJECT lower, PURB urb, BOOLEAN* pended)
{
    PAGED_CODE();
    *pended = FALSE;
    KEVENT finished;      // signalled by the I/O manager when it is done with the request
    KEVENT completed;     // signalled by our completion routine
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&finished, NotificationEvent, FALSE);
    KeInitializeEvent(&completed, NotificationEvent, FALSE);

    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0, nullptr, 0, TRUE,
                                             &finished, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SyncSubmitDone, &completed, TRUE, TRUE, TRUE);

    NTSTATUS status = IofCallDriver(lower, irp);
    *pended = status == STATUS_PENDING;
    LARGE_INTEGER timeout;
    timeout.QuadPart = SUBMIT_TIMEOUT_100NS;
    if (KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        // The request must not outlive the events and status block it completes into: withdraw
        // it and wait for its completion before this frame goes away.
        IoCancelIrp(irp);
        KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
        status = STATUS_TIMEOUT;
    } else if (status == STATUS_PENDING) {
        status = irp->IoStatus.Status;
    }
    // Let the I/O manager finish the request (status block, event, release).
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, nullptr);
    return status;
}

_Use_decl_annotations_
NTSTATUS SubmitUrbSync(CaptureDevice* device, PURB urb)
{
    BOOLEAN pended;
    return SubmitUrbToDevice(device->cameraSession->lowerDevice, urb, &pended);
}

VOID FillBulkTransfer(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length)
{
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe;
    transfer.TransferFlags = flags;
    transfer.TransferBuffer = buffer;
    transfer.TransferBufferLength = length;
    transfer.TransferBufferMDL = nullptr;
    transfer.UrbLink = nullptr;
}

// A GET_DESCRIPTOR_FROM_DEVICE request into buffer. Returns the status and the bytes received.
static NTSTATUS ReadDescriptor(CaptureDevice* device, UCHAR descriptorType, PVOID buffer, ULONG length,
                               ULONG* received)
{
    *received = 0;
    auto* urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(urb, 0, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    auto& request = urb->UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.DescriptorType = descriptorType;
    request.Index = 0;
    request.LanguageId = 0;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = length;

    NTSTATUS status = SubmitUrbSync(device, urb);
    if (NT_SUCCESS(status)) {
        *received = request.TransferBufferLength < length ? request.TransferBufferLength : length;
    }
    ExFreePool(urb);
    return status;
}

// Finds interface `number`, alternate `alternate` in the configuration descriptor, or null.
static PUSB_INTERFACE_DESCRIPTOR FindInterface(CaptureDevice* device, LONG number, LONG alternate)
{
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device->configDescriptor);
    return USBD_ParseConfigurationDescriptorEx(config, config, number, alternate, -1, -1, -1);
}

// Records wMaxPacketSize of the first endpoint after each alternate setting of interface 0,
// when that endpoint is exactly isochronous without synchronisation bits.
static VOID ParsePacketSizes(CaptureDevice* device)
{
    for (LONG alternate = 0; alternate < ALTERNATE_SETTING_SLOTS; ++alternate) {
        PUSB_INTERFACE_DESCRIPTOR iface = FindInterface(device, 0, alternate);
        if (iface == nullptr) {
            break;
        }
        PUSB_COMMON_DESCRIPTOR found = USBD_ParseDescriptors(device->configDescriptor, device->configDescriptorLength,
                                                             iface, USB_ENDPOINT_DESCRIPTOR_TYPE);
        if (found == nullptr || found->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            continue;
        }
        auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(found);
        if (endpoint->bmAttributes == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
            device->packetSizeByAlternate[alternate] = endpoint->wMaxPacketSize;
        }
    }
}

// Bytes of an interface information record that its own fields vouch for.
static ULONG InterfaceInfoBytes(const USBD_INTERFACE_INFORMATION* info)
{
    return info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ? 0 : info->Length;
}

// Selects the configuration with every interface at alternate setting 0 and keeps the
// returned interface information.
static NTSTATUS SelectConfiguration(CaptureDevice* device)
{
    NTSTATUS status = STATUS_IO_DEVICE_ERROR;
    PURB urb = nullptr;
    const ULONG listEntries = interfaceCount + 1;  // ends with an empty entry
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePool(NonPagedPool, sizeof(USBD_INTERFACE_LIST_ENTRY) * listEntries));
    if (list == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(list, 0, sizeof(USBD_INTERFACE_LIST_ENTRY) * listEntries);

    ULONG listed = 0;
    while (listed < interfaceCount) {
        PUSB_INTERFACE_DESCRIPTOR iface = FindInterface(device, static_cast<LONG>(listed), 0);
        if (iface == nullptr) {
            break;  // a missing interface ends the list
        }
        list[listed++].InterfaceDescriptor = iface;
    }

    urb = USBD_CreateConfigurationRequestEx(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device->configDescriptor),
                                            list);
    if (urb == nullptr) {
        goto Exit;
    }
    for (ULONG i = 0; i < listed; ++i) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        info->InterfaceNumber = static_cast<UCHAR>(i);
        info->AlternateSetting = 0;
        for (ULONG pipe = 0; pipe < info->NumberOfPipes; ++pipe) {
            info->Pipes[pipe].MaximumTransferSize = 0xFFFFFFFF;
        }
    }
    if (!NT_SUCCESS(SubmitUrbSync(device, urb))) {
        goto Exit;
    }

    device->configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    device->interfaceTable = static_cast<InterfaceTableEntry*>(
        ExAllocatePool(NonPagedPool, sizeof(InterfaceTableEntry) * (interfaceCount ? interfaceCount : 1)));
    if (device->interfaceTable == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    std::memset(device->interfaceTable, 0, sizeof(InterfaceTableEntry) * (interfaceCount ? interfaceCount : 1));
    for (ULONG i = 0; i < listed; ++i) {
        const ULONG bytes = InterfaceInfoBytes(list[i].Interface);
        auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(bytes ? ExAllocatePool(NonPagedPool, bytes) : nullptr);
        if (copy == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        std::memcpy(copy, list[i].Interface, bytes);
        device->interfaceTable[i].interfaceDescriptor = list[i].InterfaceDescriptor;
        device->interfaceTable[i].interfaceInfo = copy;
    }
    status = STATUS_SUCCESS;

Exit:
    if (urb != nullptr) {
        ExFreePool(urb);
    }
    ExFreePool(list);
    return status;
}

_Use_decl_annotations_
VOID InitializeCaptureDevice(CaptureDevice* device, CameraSession* session)
{
    PAGED_CODE();
    NTSTATUS status;
    ULONG received = 0;
    PUCHAR header = nullptr;
    ULONG totalLength = 0;

    std::memset(static_cast<void*>(device), 0, sizeof(*device));
    device->cameraSession = session;
    device->isochronousMode.store(TRUE, std::memory_order_relaxed);
    device->slotStateRefilling = 5;
    device->slotStateFilling = 4;
    device->slotStateReady = 1;
    device->slotStateFree = 0;
    device->slotStateTaken = 2;
    device->currentFrameSlot = 0;

    status = ReadDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, &device->deviceDescriptor,
                            sizeof(USB_DEVICE_DESCRIPTOR), &received);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    header = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, CONFIG_HEADER_BYTES));
    if (header == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    std::memset(header, 0, CONFIG_HEADER_BYTES);
    status = ReadDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, CONFIG_HEADER_BYTES, &received);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    totalLength = header[2] | (header[3] << 8);
    if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) || totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = STATUS_IO_DEVICE_ERROR;  // not a configuration descriptor
        goto Exit;
    }

    device->configDescriptor = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, totalLength));
    if (device->configDescriptor == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    std::memset(device->configDescriptor, 0, totalLength);
    status = ReadDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, device->configDescriptor, totalLength,
                            &received);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    // Every parse is bounded by the buffer, whatever the second read claimed.
    device->configDescriptorLength = totalLength;
    device->configDescriptor[2] = static_cast<UCHAR>(totalLength);
    device->configDescriptor[3] = static_cast<UCHAR>(totalLength >> 8);
    interfaceCount = device->configDescriptor[4];

    ParsePacketSizes(device);
    status = SelectConfiguration(device);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    status = SelectAlternateSetting(device, 0, 0);

Exit:
    if (header != nullptr) {
        ExFreePool(header);
    }
    device->configured = NT_SUCCESS(status) ? TRUE : FALSE;
    KeInitializeEvent(&device->allStoppedEvent, SynchronizationEvent, FALSE);
    device->settingsLoaded = FALSE;
}

// Pipes the stored interface information of interface 0 describes, bounded by its own length.
static ULONG PipeCount(const USBD_INTERFACE_INFORMATION* info)
{
    const ULONG bytes = InterfaceInfoBytes(info);
    const ULONG room = bytes < offsetof(USBD_INTERFACE_INFORMATION, Pipes)
                           ? 0
                           : (bytes - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
    return info->NumberOfPipes < room ? info->NumberOfPipes : room;
}

PUSBD_PIPE_INFORMATION InterfacePipe(const CaptureDevice* device, ULONG pipe)
{
    if (device->interfaceTable == nullptr || interfaceCount == 0) {
        return nullptr;
    }
    PUSBD_INTERFACE_INFORMATION info = device->interfaceTable[0].interfaceInfo;
    if (info == nullptr || pipe >= PipeCount(info)) {
        return nullptr;
    }
    return &info->Pipes[pipe];
}

USBD_PIPE_HANDLE InterfacePipeHandle(const CaptureDevice* device, ULONG pipe)
{
    PUSBD_PIPE_INFORMATION info = InterfacePipe(device, pipe);
    return info ? info->PipeHandle : nullptr;
}

_Use_decl_annotations_
NTSTATUS SelectAlternateSetting(CaptureDevice* device, ULONG interfaceIndex, UCHAR alternateSetting)
{
    PAGED_CODE();
    if (device->interfaceTable == nullptr || interfaceIndex >= interfaceCount ||
        device->interfaceTable[interfaceIndex].interfaceInfo == nullptr) {
        return STATUS_IO_DEVICE_ERROR;
    }
    PUSBD_INTERFACE_INFORMATION stored = device->interfaceTable[interfaceIndex].interfaceInfo;
    const ULONG pipes = PipeCount(stored);
    const USHORT urbLength = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    const ULONG infoBytes = GET_USBD_INTERFACE_SIZE(pipes);

    auto* urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, urbLength));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(urb, 0, urbLength);
    stored->AlternateSetting = alternateSetting;
    auto& request = urb->UrbSelectInterface;
    request.Hdr.Length = urbLength;
    request.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    request.ConfigurationHandle = device->configurationHandle;
    std::memcpy(&request.Interface, stored, infoBytes);
    request.Interface.Length = static_cast<USHORT>(infoBytes);
    request.Interface.NumberOfPipes = pipes;
    const ULONG transferSize = device->isochronousMode.load(std::memory_order_relaxed) ? 32768 : 8192;
    for (ULONG pipe = 0; pipe < pipes; ++pipe) {
        request.Interface.Pipes[pipe].MaximumTransferSize = transferSize;
    }

    NTSTATUS status = SubmitUrbSync(device, urb);
    if (!NT_SUCCESS(status)) {
        status = STATUS_IO_DEVICE_ERROR;  // the previous pipe handles stay
    } else {
        // The returned record fits the request's room, which is the stored copy's size.
        const ULONG returned = InterfaceInfoBytes(&request.Interface);
        const ULONG copyBytes = returned != 0 && returned <= infoBytes ? returned : infoBytes;
        std::memcpy(stored, &request.Interface, copyBytes);
        stored->Length = static_cast<USHORT>(copyBytes);
        const ULONG room = (copyBytes - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION);
        if (stored->NumberOfPipes > room) {
            stored->NumberOfPipes = room;
        }
    }
    ExFreePool(urb);
    return status;
}

_Use_decl_annotations_
NTSTATUS ChooseStreamingAlternate(CaptureDevice* device)
{
    PAGED_CODE();
    ULONG best = 0;
    for (ULONG k = 0; k < ALTERNATE_SETTING_SLOTS; k += 2) {
        if (device->packetSizeByAlternate[k] > best) {
            best = device->packetSizeByAlternate[k];
        }
    }
    LONG start = 0;
    for (LONG k = 0; k < ALTERNATE_SETTING_SLOTS; ++k) {
        if (device->packetSizeByAlternate[k] == best) {
            start = k;
            break;
        }
    }
    for (LONG alternate = start; alternate >= 0; --alternate) {
        NTSTATUS status = SelectAlternateSetting(device, 0, static_cast<UCHAR>(alternate));
        device->isochronousMode.store(alternate != 0 ? TRUE : FALSE, std::memory_order_relaxed);
        if (NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_IO_DEVICE_ERROR;
}

VOID FreeCaptureDeviceConfiguration(CaptureDevice* device)
{
    if (device->interfaceTable != nullptr) {
        for (ULONG i = 0; i < interfaceCount; ++i) {
            if (device->interfaceTable[i].interfaceInfo != nullptr) {
                ExFreePool(device->interfaceTable[i].interfaceInfo);
            }
        }
        ExFreePool(device->interfaceTable);
        device->interfaceTable = nullptr;
    }
    if (device->configDescriptor != nullptr) {
        ExFreePool(device->configDescriptor);
        device->configDescriptor = nullptr;
    }
}
