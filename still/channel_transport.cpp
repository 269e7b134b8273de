// Messages and register queries of the still-image channel, and the pipe requests.
#include <cstring>

#include "driver/adapter_record.h"
#include "driver/camera_session.h"
#include "driver/driver_globals.h"
#include "still/camera_protocol.h"
#include "usb/capture_device.h"

#define REPLY_BYTES 16
#define REQUEST_BLOCK_BYTES 128  // what a request block uses of its 152 bytes
#define PIPE_REQUEST_BYTES 40

static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) <= REQUEST_BLOCK_BYTES);
static_assert(sizeof(struct _URB_PIPE_REQUEST) <= PIPE_REQUEST_BYTES);

_Use_decl_annotations_
CaptureDevice* StillCaptureDevice()
{
    AdapterRecord* adapter = CurrentAdapter.load(std::memory_order_relaxed);
    if (adapter == nullptr || adapter->cameraSession == nullptr) {
        return nullptr;
    }
    return adapter->cameraSession->captureDevice;
}

_Use_decl_annotations_
PDEVICE_OBJECT StillLowerDevice()
{
    CaptureDevice* device = StillCaptureDevice();
    return device == nullptr ? nullptr : device->cameraSession->lowerDevice;
}

_Use_decl_annotations_
bool BuildStillTransfer(PURB urb, ULONG pipe, ULONG flags, PVOID buffer, ULONG length)
{
    CaptureDevice* device = StillCaptureDevice();
    USBD_PIPE_HANDLE handle = device == nullptr ? nullptr : InterfacePipeHandle(device, pipe);
    if (handle == nullptr) {
        return false;
    }
    std::memset(urb, 0, REQUEST_BLOCK_BYTES);
    FillBulkTransfer(urb, handle, flags, buffer, length);
    return true;
}

PURB AllocateStillRequestBlock()
{
    return static_cast<PURB>(ExAllocatePool(NonPagedPool, STILL_QUERY_REQUEST_BYTES));
}

_Use_decl_annotations_
NTSTATUS SubmitChannelRequest(PURB urb, BOOLEAN* pended)
{
    *pended = FALSE;
    PDEVICE_OBJECT lower = StillLowerDevice();
    if (lower == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS status = SubmitUrbToDevice(lower, urb, pended);
    // A transfer that went on the bus and finished counts as done, whatever its own outcome.
    if (*pended && status != STATUS_TIMEOUT) {
        status = STATUS_SUCCESS;
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS SendChannelMessage(const UCHAR* bytes, ULONG length)
{
    PAGED_CODE();
    PURB urb = AllocateStillRequestBlock();
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (BuildStillTransfer(urb, PIPE_BRIDGE_MESSAGES, 0, const_cast<PUCHAR>(bytes), length % 256)) {
        BOOLEAN pended;
        status = SubmitChannelRequest(urb, &pended);
    }
    ExFreePool(urb);
    return status;
}

_Use_decl_annotations_
NTSTATUS QueryChannelRegister(StillImageChannel* channel, UCHAR reg, PUCHAR answer)
{
    PAGED_CODE();
    *answer = 0;
    auto* reply = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, REPLY_BYTES));
    if (reply == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (reg != STILL_NO_SELECTION) {
        (void)SendChannelMessage(&reg, 1);
    }
    std::memset(reply, 0, REPLY_BYTES);
    if (channel->queryRequest == nullptr) {
        channel->queryRequest = reinterpret_cast<PUCHAR>(AllocateStillRequestBlock());
    }
    auto* urb = reinterpret_cast<PURB>(channel->queryRequest);
    if (urb == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (!BuildStillTransfer(urb, PIPE_REGISTER_REPLY, USBD_TRANSFER_DIRECTION_IN, reply, REPLY_BYTES)) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        BOOLEAN pended;
        status = SubmitChannelRequest(urb, &pended);
        if (pended) {
            *answer = reply[0];  // a reply that did not arrive was withdrawn and reads as 0
        }
    }
    ExFreePool(reply);
    return status;
}

_Use_decl_annotations_
VOID SendPipeRequest(USHORT function, ULONG pipe)
{
    PAGED_CODE();
    CaptureDevice* device = StillCaptureDevice();
    USBD_PIPE_HANDLE handle = device == nullptr ? nullptr : InterfacePipeHandle(device, pipe);
    if (handle == nullptr) {
        return;
    }
    auto* urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, PIPE_REQUEST_BYTES));
    if (urb == nullptr) {
        return;  // nothing to send it with; the caller does not examine the outcome
    }
    std::memset(urb, 0, PIPE_REQUEST_BYTES);
    urb->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.Hdr.Function = function;
    urb->UrbPipeRequest.PipeHandle = handle;
    BOOLEAN pended;
    (void)SubmitChannelRequest(urb, &pended);
    ExFreePool(urb);
}

_Use_decl_annotations_
VOID ResetStillPipes()
{
    PAGED_CODE();
    for (ULONG pipe : {PIPE_VIDEO_BULK, PIPE_REGISTER_REPLY, PIPE_BRIDGE_MESSAGES}) {
        SendPipeRequest(URB_FUNCTION_ABORT_PIPE, pipe);
    }
    for (ULONG pipe : {PIPE_VIDEO_BULK, PIPE_REGISTER_REPLY, PIPE_BRIDGE_MESSAGES}) {
        SendPipeRequest(URB_FUNCTION_RESET_PIPE, pipe);
    }
}
