// Stream lifecycle: SRB_OPEN_STREAM, SRB_CLOSE_STREAM, the forced teardown, the stream states
// and the master clock.
#include "stream/stream_lifecycle.h"

#include "driver/driver_globals.h"
#include "driver/dispatch.h"
#include "driver/request_handlers.h"
#include "frame/frame_processor.h"
#include "settings/persisted_settings.h"
#include "stream/read_requests.h"
#include "stream/stream_description.h"
#include "usb/capture_control.h"
#include "usb/capture_device.h"
#include "usb/iso_capture.h"

#define STREAM_FRAME_INFO_BYTES sizeof(KS_FRAME_INFO)  // 72, behind every stream header
#define INSTANCE_COUNT_INVALID 0xFFFFFFFFu

static CameraSession* SessionOfRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    return AdapterOfRequest(Srb)->cameraSession;
}

// Asks the FrameWorker to end and waits until it has: every queued read is then completed.
static VOID StopFrameWorker(AdapterRecord* adapter)
{
    if (!adapter->workerRunning) {
        return;
    }
    adapter->workerStop.store(TRUE);
    KeReleaseSemaphore(&adapter->workerSignal, IO_NO_INCREMENT, 1, TRUE);
    KeWaitForSingleObject(&adapter->workerExited, Executive, KernelMode, FALSE, nullptr);
    adapter->workerRunning = FALSE;
}

// Releases the stream's open instance (its count and format copy) when the count is sound.
// True when it did.
static bool ReleaseStreamInstance(StreamRecord* stream)
{
    if (stream->instanceCount[0] == INSTANCE_COUNT_INVALID || stream->instanceCount[0] > 1) {
        return false;
    }
    if (stream->instanceCount[0] != 0) {
        stream->instanceCount[0] -= 1;
    }
    if (stream->formatCopy[0] != nullptr) {
        ExFreePool(stream->formatCopy[0]);
        stream->formatCopy[0] = nullptr;
    }
    return true;
}

static VOID ApplyStreamObjectSettings(PHW_STREAM_OBJECT streamObject)
{
    streamObject->ReceiveDataPacket = StreamReceivePacket;
    streamObject->ReceiveControlPacket = StreamReceivePacket;
    streamObject->HwClockObject.HwClockFunction = nullptr;
    streamObject->HwClockObject.ClockSupportFlags = 0;
    streamObject->Dma = FALSE;
    streamObject->Pio = TRUE;
    streamObject->StreamHeaderMediaSpecific = STREAM_FRAME_INFO_BYTES;
    streamObject->StreamHeaderWorkspace = 0;
}

// Everything of SRB_OPEN_STREAM up to the thread start; the status of the open.
static NTSTATUS OpenStream(AdapterRecord* adapter, CameraSession* session, PHW_STREAM_REQUEST_BLOCK Srb)
{
    StreamRecord* stream = session->streamRecord;
    CaptureDevice* device = session->captureDevice;
    PHW_STREAM_OBJECT streamObject = Srb->StreamObject;
    const ULONG n = streamObject->StreamNumber;
    NTSTATUS status;

    adapter->closing.store(FALSE, std::memory_order_relaxed);
    const bool alreadyOpen = stream->streamIndex.load() == 0;
    stream->streamIndex.store(static_cast<LONG>(n));

    // Only stream 0 exists, and only the published sizes reach frame processing.
    const KS_VIDEOINFOHEADER* info = ValidatedVideoInfo(Srb->CommandData.OpenFormat);
    if (n != 0 || info == nullptr || !IsPublishedSize(info->bmiHeader.biWidth, info->bmiHeader.biHeight)) {
        stream->streamIndex.store(alreadyOpen ? 0 : -1);
        return STATUS_INVALID_PARAMETER;
    }
    if (stream->instanceCount[0] >= StreamInformation.NumberOfPossibleInstances) {
        return STATUS_INVALID_PARAMETER;  // the open stream stays as it is
    }
    if (!IsEqualGUID(Srb->CommandData.OpenFormat->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        stream->streamIndex.store(-1);
        return STATUS_INVALID_PARAMETER;
    }
    adapter->frameDuration = info->AvgTimePerFrame;
    status = SetStreamFormat(stream, info);
    if (!NT_SUCCESS(status)) {
        stream->streamIndex.store(-1);
        return status;
    }
    ApplyStreamObjectSettings(streamObject);
    stream->instanceCount[0] += 1;
    stream->streamObject = streamObject;

    status = ChooseStreamingAlternate(device);
    if (device->frameProcessor != nullptr) {
        ResetZoom(device->frameProcessor);
    }
    if (NT_SUCCESS(status)) {
        status = AllocateCaptureResources(device);
    }
    if (NT_SUCCESS(status)) {
        KeResetEvent(&adapter->workerExited);
        adapter->workerStop.store(FALSE);
        HANDLE thread = nullptr;
        status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, FrameWorker, adapter);
        if (NT_SUCCESS(status)) {
            adapter->workerRunning = TRUE;
            ZwClose(thread);
            return STATUS_SUCCESS;
        }
    }
    // A failed open gives back what it took, so that the next open can succeed.
    ReleaseStreamInstance(stream);
    stream->streamObject = nullptr;
    stream->streamIndex.store(-1);
    return status;
}

_Use_decl_annotations_
VOID HandleOpenStream(PHW_STREAM_REQUEST_BLOCK Srb)
{
    AdapterRecord* adapter = AdapterOfRequest(Srb);
    CameraSession* session = adapter->cameraSession;
    Srb->Status = session != nullptr ? OpenStream(adapter, session, Srb) : STATUS_INVALID_DEVICE_STATE;
    SessionReleased.store(0, std::memory_order_relaxed);
    CompleteAdapterRequest(Srb);
}

_Use_decl_annotations_
VOID HandleCloseStream(PHW_STREAM_REQUEST_BLOCK Srb)
{
    AdapterRecord* adapter = AdapterOfRequest(Srb);
    CameraSession* session = adapter->cameraSession;
    if (SessionReleased.load(std::memory_order_relaxed) == 1 || session == nullptr) {
        Srb->Status = STATUS_SUCCESS;
        CompleteAdapterRequest(Srb);
        return;
    }
    StreamRecord* stream = session->streamRecord;
    CaptureDevice* device = session->captureDevice;
    NTSTATUS status = STATUS_SUCCESS;
    if (stream->streamIndex.load() == 0) {
        status = StopCapture(device);
        StopFrameWorker(adapter);
        stream->streamObject = nullptr;
        stream->masterClock.store(nullptr);
        if (ReleaseStreamInstance(stream)) {
            status = SelectAlternateSetting(device, 0, 0);
            if (device->settingsLoaded) {
                SaveSettings(device);
            }
        }
    }
    stream->streamIndex.store(-1);
    Srb->Status = status;
    CompleteAdapterRequest(Srb);
}

_Use_decl_annotations_
NTSTATUS TearDownStream(StreamRecord* stream, PHW_STREAM_REQUEST_BLOCK Srb)
{
    PAGED_CODE();
    if (stream->streamIndex.load() != 0) {
        stream->streamIndex.store(-1);
        return STATUS_SUCCESS;
    }
    CameraSession* session = stream->cameraSession;
    CaptureDevice* device = session->captureDevice;
    device->streamState.store(KSSTATE_STOP);
    if (device->transfersStarted.load()) {
        StopTransfers(device);
        device->transfersStarted.store(FALSE);
    }
    StopFrameWorker(session->adapter);
    stream->streamObject = nullptr;
    stream->masterClock.store(nullptr);
    if (ReleaseStreamInstance(stream)) {
        Srb->Status = STATUS_SUCCESS;
    }
    stream->streamIndex.store(-1);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID HandleGetStreamState(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CameraSession* session = SessionOfRequest(Srb);
    if (session == nullptr) {
        Srb->Status = STATUS_INVALID_DEVICE_STATE;
    } else {
        const auto state = static_cast<KSSTATE>(session->captureDevice->streamState.load());
        Srb->CommandData.StreamState = state;
        Srb->ActualBytesTransferred = sizeof(KSSTATE);
        Srb->Status = state == KSSTATE_PAUSE ? STATUS_NO_DATA_DETECTED : STATUS_SUCCESS;
    }
    CompleteStreamRequest(Srb);
}

// Entering pause from stop: the frame numbering restarts at 1 and the assembly starts afresh.
static VOID EnterPause(AdapterRecord* adapter, CaptureDevice* device)
{
    const ULONG state = device->streamState.load();
    if (state != KSSTATE_STOP && state != KSSTATE_ACQUIRE) {
        return;  // from pause or run nothing changes
    }
    adapter->frameInfo.PictureNumber = 0;
    adapter->frameInfo.DropCount = 0;
    adapter->frameInfo.dwFrameFlags = 0;
    adapter->framesCaptured.store(0);
    device->syncState = 0;
    device->assemblyLength = 0;
    device->assemblyWritePos = device->assemblyBuffer;
    device->streamState.store(KSSTATE_PAUSE);
    device->captureState.store(CAPTURE_PAUSED);
}

_Use_decl_annotations_
VOID HandleSetStreamState(PHW_STREAM_REQUEST_BLOCK Srb)
{
    AdapterRecord* adapter = AdapterOfRequest(Srb);
    CameraSession* session = adapter->cameraSession;
    NTSTATUS status = STATUS_SUCCESS;
    if (session == nullptr) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        CaptureDevice* device = session->captureDevice;
        switch (Srb->CommandData.StreamState) {
        case KSSTATE_STOP:
            status = StopCapture(device);
            break;
        case KSSTATE_PAUSE:
            EnterPause(adapter, device);
            break;
        case KSSTATE_RUN:
            status = StartCapture(device);
            break;
        case KSSTATE_ACQUIRE:
        default:
            break;
        }
    }
    Srb->Status = status;
    CompleteStreamRequest(Srb);
}

_Use_decl_annotations_
VOID HandleOpenMasterClock(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CameraSession* session = SessionOfRequest(Srb);
    if (session != nullptr) {
        session->streamRecord->masterClock.store(Srb->CommandData.MasterClockHandle);
    }
    Srb->Status = session != nullptr ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    CompleteStreamRequest(Srb);
}

_Use_decl_annotations_
VOID HandleCloseMasterClock(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CameraSession* session = SessionOfRequest(Srb);
    if (session != nullptr) {
        session->streamRecord->masterClock.store(nullptr);
    }
    Srb->Status = session != nullptr ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    CompleteStreamRequest(Srb);
}
