// Adapter lifecycle: the per-device records from SRB_INITIALIZE_DEVICE to
// SRB_UNINITIALIZE_DEVICE, opening to clients, power changes and surprise removal.
#include <cstring>

#include "camera/exposure_model.h"
#include "driver/camera_session.h"
#include "driver/driver_globals.h"
#include "driver/request_handlers.h"
#include "frame/frame_processor.h"
#include "stream/read_request_entry.h"
#include "stream/stream_lifecycle.h"
#include "stream/stream_description.h"
#include "still/camera_protocol.h"
#include "still/still_image_channel.h"
#include "usb/bridge_state.h"
#include "usb/bulk_capture.h"
#include "usb/capture_control.h"
#include "usb/capture_device.h"
#include "usb/iso_capture.h"

#define WORKER_SIGNAL_LIMIT 0x7FFFFFFF
#define CHANNEL_RELEASE_DELAY_100NS (-5000000LL)  // 0.5 s before the channel is freed

// Releases a CaptureDevice and everything it owns.
static VOID FreeCaptureDevice(CaptureDevice* device)
{
    FreeTransferSets(device);
    FreeCaptureDeviceConfiguration(device);
    if (device->assemblyBuffer != nullptr) {
        ExFreePool(device->assemblyBuffer);
    }
    for (PUCHAR slot : device->frameRing) {
        if (slot != nullptr) {
            ExFreePool(slot);
        }
    }
    FreeBulkFrameSlots(device);
    if (device->frameProcessor != nullptr) {
        FreeFrameProcessor(device->frameProcessor);
    }
    ExFreePool(device);
}

// Releases the CameraSession and every record under it, in the order they are listed.
static VOID FreeCameraSession(CameraSession* session)
{
    if (session->streamRecord != nullptr) {
        if (session->streamRecord->formatCopy[0] != nullptr) {
            ExFreePool(session->streamRecord->formatCopy[0]);
        }
        ExFreePool(session->streamRecord);
    }
    if (session->captureDevice != nullptr) {
        FreeCaptureDevice(session->captureDevice);
    }
    if (session->bridgeState != nullptr) {
        FreeBridgeBuffers(session->bridgeState);
        ExFreePool(session->bridgeState);
    }
    if (session->exposureModel != nullptr) {
        ExFreePool(session->exposureModel);
    }
    ExFreePool(session);
}

// One record of `bytes` from non-paged pool, zero-filled, or null.
template <typename Record>
static Record* AllocateRecord()
{
    auto* record = static_cast<Record*>(ExAllocatePool(NonPagedPool, sizeof(Record)));
    if (record != nullptr) {
        std::memset(static_cast<void*>(record), 0, sizeof(Record));
    }
    return record;
}

// Builds the CameraSession with its records; null (nothing left allocated) when memory runs out.
static CameraSession* CreateCameraSession(AdapterRecord* adapter, PDEVICE_OBJECT lowerDevice)
{
    auto* session = AllocateRecord<CameraSession>();
    if (session == nullptr) {
        return nullptr;
    }
    session->lowerDevice = lowerDevice;
    session->adapter = adapter;

    session->streamRecord = AllocateRecord<StreamRecord>();
    if (session->streamRecord == nullptr) {
        goto Fail;
    }
    session->streamRecord->cameraSession = session;
    session->streamRecord->streamIndex.store(-1, std::memory_order_relaxed);

    session->captureDevice = AllocateRecord<CaptureDevice>();
    if (session->captureDevice == nullptr) {
        goto Fail;
    }
    // The bridge and exposure records exist before the USB set-up so that a failure there can
    // still be released normally.
    session->bridgeState = AllocateRecord<BridgeState>();
    if (session->bridgeState == nullptr) {
        goto Fail;
    }
    InitializeBridgeState(session->bridgeState, session);
    session->exposureModel = AllocateRecord<ExposureModel>();
    if (session->exposureModel == nullptr) {
        goto Fail;
    }
    InitializeExposureModel(session->exposureModel, session);

    InitializeCaptureDevice(session->captureDevice, session);
    return session;

Fail:
    if (session->captureDevice != nullptr) {
        ExFreePool(session->captureDevice);
        session->captureDevice = nullptr;
    }
    FreeCameraSession(session);
    return nullptr;
}

_Use_decl_annotations_
VOID HandleInitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb)
{
    DbgPrint(">>InitializeDevice\n");
    Srb->Status = STATUS_SUCCESS;
    PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;
    auto* adapter = static_cast<AdapterRecord*>(config->HwDeviceExtension);
    adapter->closing.store(FALSE, std::memory_order_relaxed);

    // The lists and objects come first: every later request, even after a failed set-up, uses them.
    InitializeListHead(&adapter->readQueue);
    KeInitializeSpinLock(&adapter->readQueueLock);
    InitializeListHead(&adapter->readyQueue);
    KeInitializeSpinLock(&adapter->readyQueueLock);
    KeInitializeSemaphore(&adapter->workerSignal, 0, WORKER_SIGNAL_LIMIT);
    KeInitializeEvent(&adapter->workerExited, NotificationEvent, FALSE);
    KeInitializeMutex(&adapter->settingsLock, 0);

    adapter->cameraSession = CreateCameraSession(adapter, config->PhysicalDeviceObject);
    config->StreamDescriptorSize = STREAM_DESCRIPTOR_BYTES;
    CurrentAdapter.store(adapter, std::memory_order_relaxed);

    if (adapter->cameraSession == nullptr) {
        Srb->Status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (!adapter->cameraSession->captureDevice->configured) {
        Srb->Status = STATUS_IO_DEVICE_ERROR;
    }
    CompleteAdapterRequest(Srb);
}

_Use_decl_annotations_
VOID HandleInitializationComplete(PHW_STREAM_REQUEST_BLOCK Srb)
{
    Srb->Status = STATUS_SUCCESS;
    CompleteAdapterRequest(Srb);
    DeviceAccessMode.store(AccessIdle, std::memory_order_relaxed);
}

_Use_decl_annotations_
VOID HandleChangePowerState(PHW_STREAM_REQUEST_BLOCK Srb)
{
    AdapterRecord* adapter = AdapterOfRequest(Srb);
    const ULONG requested = static_cast<ULONG>(Srb->CommandData.DeviceState);
    const ULONG previous = adapter->powerState;
    Srb->Status = STATUS_SUCCESS;

    if (requested != previous) {
        CaptureDevice* device = adapter->cameraSession ? adapter->cameraSession->captureDevice : nullptr;
        switch (requested) {
        case PowerDeviceD0:
            if (device != nullptr && previous == PowerDeviceD3 && device->transfersStarted.load() &&
                device->captureState.load() == CAPTURE_STOPPED) {
                device->captureState.store(CAPTURE_RUNNING);
                if (device->isochronousMode.load(std::memory_order_relaxed)) {
                    StartIsochronousTransfers(device);
                } else {
                    StartBulkTransfers(device);
                }
            }
            break;
        case PowerDeviceD1:
        case PowerDeviceD2:
            break;
        case PowerDeviceD3:
            if (device != nullptr && previous == PowerDeviceD0 && device->transfersStarted.load() &&
                device->captureState.load() == CAPTURE_RUNNING) {
                StopTransfers(device);
            }
            break;
        default:
            Srb->Status = STATUS_INVALID_PARAMETER;
            break;
        }
        adapter->powerState = requested;  // recorded even when invalid
    }
    CompleteAdapterRequest(Srb);
}

// Completes every read still waiting in readQueue with STATUS_CANCELLED.
static VOID CancelWaitingReads(AdapterRecord* adapter)
{
    for (;;) {
        PLIST_ENTRY link = ExInterlockedRemoveHeadList(&adapter->readQueue, &adapter->readQueueLock);
        if (link == nullptr) {
            break;
        }
        PHW_STREAM_REQUEST_BLOCK read = CONTAINING_RECORD(link, ReadRequestEntry, links)->request;
        read->CommandData.DataBufferArray->DataUsed = 0;
        read->Status = STATUS_CANCELLED;
        CompleteStreamRequest(read);
    }
}

_Use_decl_annotations_
VOID HandleSurpriseRemoval(PHW_STREAM_REQUEST_BLOCK Srb)
{
    AdapterRecord* adapter = AdapterOfRequest(Srb);
    if (!adapter->closing.load(std::memory_order_relaxed)) {
        adapter->closing.store(TRUE, std::memory_order_relaxed);
        if (adapter->cameraSession != nullptr) {
            TearDownStream(adapter->cameraSession->streamRecord, Srb);
        }
        if (adapter->readQueue.Flink != nullptr) {
            CancelWaitingReads(adapter);
        }
    }
    Srb->Status = STATUS_SUCCESS;
    CompleteAdapterRequest(Srb);
}

// Aborts the still-image pipes (when the device still has its session), waits for the aborts to
// settle and frees the channel.
static VOID ReleaseStillImageChannel(bool abortPipes)
{
    StillImageChannel* channel = StillImageChannelPointer.load(std::memory_order_relaxed);
    if (channel == nullptr) {
        return;
    }
    if (abortPipes) {
        SendPipeRequest(URB_FUNCTION_ABORT_PIPE, PIPE_BRIDGE_MESSAGES);
        SendPipeRequest(URB_FUNCTION_ABORT_PIPE, PIPE_REGISTER_REPLY);
        SendPipeRequest(URB_FUNCTION_ABORT_PIPE, PIPE_VIDEO_BULK);
    }
    LARGE_INTEGER delay;
    delay.QuadPart = CHANNEL_RELEASE_DELAY_100NS;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    // A private request still under way (the aborts end its transfers) finishes first.
    KeWaitForSingleObject(&channel->requestLock, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&channel->requestLock, FALSE);
    FreeStillImageChannel(channel);
    StillImageChannelPointer.store(nullptr, std::memory_order_relaxed);
}

_Use_decl_annotations_
VOID HandleUninitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb)
{
    AdapterRecord* adapter = AdapterOfRequest(Srb);
    DeviceAccessMode.store(AccessClosed, std::memory_order_relaxed);
    adapter->closing.store(TRUE, std::memory_order_relaxed);

    CameraSession* session = adapter->cameraSession;
    ReleaseStillImageChannel(session != nullptr);
    if (session != nullptr) {
        TearDownStream(session->streamRecord, Srb);
    }
    Srb->Status = STATUS_SUCCESS;
    if (session != nullptr) {
        // Later requests find no session rather than released records.
        adapter->cameraSession = nullptr;
        FreeCameraSession(session);
        SessionReleased.store(1, std::memory_order_relaxed);
    }
    CompleteAdapterRequest(Srb);
}
