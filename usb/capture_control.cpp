// Capture start and stop: resources, frame processing, settings (first start only), bridge
// start-up, circulating transfers and the start-streaming command; and the orderly run-down.
#include "usb/capture_control.h"

#include <cstring>

#include "camera/bridge_startup.h"
#include "driver/camera_session.h"
#include "frame/frame_processor.h"
#include "settings/persisted_settings.h"
#include "usb/bridge_state.h"
#include "usb/bulk_capture.h"
#include "usb/iso_capture.h"
#include "usb/usb_transfer.h"

#define RUN_DOWN_WAIT_100NS (-20000000LL)  // 2 s, and 2 s more after an abort
#define PIPE_REQUEST_BYTES sizeof(struct _URB_PIPE_REQUEST)

static const UCHAR StartStreamingCommand[2] = {0x00, 0x4D};
static const UCHAR DisableCommand[2] = {0x01, 0x00};

// A reset or abort of the video pipe: pipe 0 in isochronous mode, else pipe 1.
static NTSTATUS SendVideoPipeRequest(CaptureDevice* device, USHORT function)
{
    const ULONG pipe = device->isochronousMode.load(std::memory_order_relaxed) ? PIPE_VIDEO_ISOCHRONOUS : PIPE_VIDEO_BULK;
    USBD_PIPE_HANDLE handle = InterfacePipeHandle(device, pipe);
    if (handle == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, PIPE_REQUEST_BYTES));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(urb, 0, PIPE_REQUEST_BYTES);
    urb->UrbPipeRequest.Hdr.Length = PIPE_REQUEST_BYTES;
    urb->UrbPipeRequest.Hdr.Function = function;
    urb->UrbPipeRequest.PipeHandle = handle;
    const NTSTATUS status = SubmitUrbSync(device, urb);
    ExFreePool(urb);
    return status;
}

_Use_decl_annotations_
NTSTATUS ResetVideoPipe(CaptureDevice* device)
{
    return SendVideoPipeRequest(device, URB_FUNCTION_RESET_PIPE);
}

_Use_decl_annotations_
NTSTATUS AbortVideoPipe(CaptureDevice* device)
{
    return SendVideoPipeRequest(device, URB_FUNCTION_ABORT_PIPE);
}

// Submits the transfers of one set that are not still with the bus driver. Every submission is
// counted before it is made, so that a completion (even an immediate one) always finds it counted.
static NTSTATUS SubmitTransferSet(CaptureDevice* device, UsbTransfer* const* set, PIO_COMPLETION_ROUTINE completion,
                                  bool isochronous)
{
    NTSTATUS status = STATUS_SUCCESS;
    KeResetEvent(&device->allStoppedEvent);
    for (int i = 0; i < 2; ++i) {
        UsbTransfer* transfer = set[i];
        if (transfer->outstanding.exchange(TRUE)) {
            continue;  // still out from an earlier run that did not run down: it circulates on
        }
        if (isochronous) {
            BuildIsoUrb(device, transfer);
        } else {
            BuildBulkUrb(device, transfer);
        }
        PrepareTransferSubmission(transfer, completion);
        device->inFlightCount.fetch_add(1);
        status = IofCallDriver(device->cameraSession->lowerDevice, transfer->request);
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS StartIsochronousTransfers(CaptureDevice* device)
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL || !device->configured ||
        !device->isochronousMode.load(std::memory_order_relaxed) || !device->resourcesReady) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_PIPE_INFORMATION pipe = InterfacePipe(device, PIPE_VIDEO_ISOCHRONOUS);
    if (pipe == nullptr || pipe->MaximumPacketSize == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;  // the selected setting has no isochronous pipe to read
    }
    ResetVideoPipe(device);
    return SubmitTransferSet(device, device->isoTransfers, IsoTransferDone, true);
}

_Use_decl_annotations_
NTSTATUS StartBulkTransfers(CaptureDevice* device)
{
    if (!device->resourcesReady || InterfacePipe(device, PIPE_VIDEO_BULK) == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const NTSTATUS status = PrepareBulkFrameSlots(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ResetVideoPipe(device);
    return SubmitTransferSet(device, device->bulkTransfers, BulkTransferDone, false);
}

_Use_decl_annotations_
NTSTATUS StopTransfers(CaptureDevice* device)
{
    PAGED_CODE();
    device->captureState.store(CAPTURE_STOPPED);
    NTSTATUS result = STATUS_SUCCESS;
    if (device->inFlightCount.load() == 0) {
        return STATUS_SUCCESS;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = RUN_DOWN_WAIT_100NS;
    if (KeWaitForSingleObject(&device->allStoppedEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        result = AbortVideoPipe(device);
        KeWaitForSingleObject(&device->allStoppedEvent, Executive, KernelMode, FALSE, &timeout);
    }
    // The count stays exact: a transfer that is still out is accounted for when it comes back,
    // and the teardown waits for it before its storage goes.
    return NT_SUCCESS(result) ? result : STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS StartCapture(CaptureDevice* device)
{
    PAGED_CODE();
    CameraSession* session = device->cameraSession;
    BridgeState* bridge = session->bridgeState;
    device->bulkFrameLimit = static_cast<ULONG>(bridge->maxCompressedFrame) + 6;

    if (!device->resourcesReady) {
        const NTSTATUS status = AllocateCaptureResources(device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    device->streamState.store(KSSTATE_RUN);
    const ULONG packedSize = (static_cast<ULONG>(bridge->outputWidth) & 0xFFFF) |
                             ((static_cast<ULONG>(bridge->outputHeight) & 0xFFFF) << 16);
    SetUpFrameProcessor(device->frameProcessor, packedSize);

    if (!device->settingsLoaded) {
        LoadSettings(device);
        device->settingsLoaded = TRUE;
    }
    if (!NT_SUCCESS(StartBridge(bridge))) {
        return STATUS_IO_DEVICE_ERROR;
    }
    device->captureState.store(CAPTURE_RUNNING);
    if (!device->transfersStarted.load()) {
        const NTSTATUS status = device->isochronousMode.load(std::memory_order_relaxed)
                                    ? StartIsochronousTransfers(device)
                                    : StartBulkTransfers(device);
        if (!NT_SUCCESS(status)) {
            device->streamState.store(KSSTATE_STOP);
            return STATUS_IO_DEVICE_ERROR;
        }
        device->transfersStarted.store(TRUE);
    }
    if (device->configured) {
        std::memcpy(bridge->commandBytes, StartStreamingCommand, sizeof(StartStreamingCommand));
        SendBridgeCommand(bridge, bridge->commandBytes, sizeof(bridge->commandBytes));
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS StopCapture(CaptureDevice* device)
{
    PAGED_CODE();
    BridgeState* bridge = device->cameraSession->bridgeState;
    device->streamState.store(KSSTATE_STOP);
    NTSTATUS result = STATUS_SUCCESS;
    if (device->transfersStarted.load()) {
        result = StopTransfers(device);
        device->transfersStarted.store(FALSE);
    }
    if (bridge->bridgeEnabled) {
        std::memcpy(bridge->commandBytes, DisableCommand, sizeof(DisableCommand));
        SendBridgeCommand(bridge, bridge->commandBytes, sizeof(bridge->commandBytes));
        bridge->bridgeEnabled = FALSE;
    }
    return result;
}
