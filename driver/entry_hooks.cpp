// Entry-point hooks and the device access mode.
#include "driver/entry_hooks.h"

#include "driver/driver_globals.h"
#include "still/still_image_channel.h"

// Completes an IRP refused by the access mode.
static NTSTATUS RefuseRequest(PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INSUFFICIENT_RESOURCES;
}

// The channel record of the first private request: its event, and a query request buffer that may
// stay absent (the first query then makes it). Null when the record cannot be had.
static StillImageChannel* CreateStillImageChannel()
{
    auto* channel = static_cast<StillImageChannel*>(ExAllocatePool(NonPagedPool, sizeof(StillImageChannel)));
    if (channel == nullptr) {
        return nullptr;
    }
    KeInitializeEvent(&channel->transferDone, NotificationEvent, FALSE);
    KeInitializeMutex(&channel->requestLock, 0);
    channel->queryRequest = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, STILL_QUERY_REQUEST_BYTES));
    return channel;
}

VOID FreeStillImageChannel(StillImageChannel* channel)
{
    if (channel->queryRequest != nullptr) {
        ExFreePool(channel->queryRequest);
    }
    ExFreePool(channel);
}

_Use_decl_annotations_
NTSTATUS CreateHook(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DeviceAccessMode.load(std::memory_order_relaxed) != AccessIdle) {
        return RefuseRequest(Irp);
    }
    return ClassCreate(DeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS CloseHook(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceAccessMode.store(AccessIdle, std::memory_order_relaxed);
    return ClassClose(DeviceObject, Irp);
}

_Use_decl_annotations_
NTSTATUS DeviceControlHook(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;

    if (DeviceAccessMode.load(std::memory_order_relaxed) == AccessClosed) {
        return RefuseRequest(Irp);
    }

    if (code - PRIVATE_CODE_FIRST <= PRIVATE_CODE_SPAN) {
        DeviceAccessMode.store(AccessStillImage, std::memory_order_relaxed);
        StillImageChannel* channel = StillImageChannelPointer.load(std::memory_order_relaxed);
        if (channel == nullptr) {
            // Two first requests at once must not both install a record (one would leak).
            StillImageChannel* made = CreateStillImageChannel();
            if (made != nullptr && !StillImageChannelPointer.compare_exchange_strong(channel, made)) {
                FreeStillImageChannel(made);
            } else if (made != nullptr) {
                channel = made;
            }
        }
        if (channel == nullptr) {
            // No record to run the request with: refuse it rather than dispatch without one.
            Irp->IoStatus.Information = 0;
            Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            DispatchStillImageRequest(channel, DeviceObject, Irp);
        }
        const NTSTATUS status = Irp->IoStatus.Status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    if (code == IOCTL_KS_READ_STREAM) {
        DeviceAccessMode.store(AccessStreaming, std::memory_order_relaxed);
    }
    return ClassDeviceControl(DeviceObject, Irp);
}
