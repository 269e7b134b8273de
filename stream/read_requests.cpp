// SRB_READ_DATA, the FrameWorker, FillRead, CompleteRead and SRB_GET_STREAM_PROPERTY.
#include "stream/read_requests.h"

#include <cstring>

#include "camera/bridge_startup.h"
#include "camera/exposure_model.h"
#include "driver/request_handlers.h"
#include "frame/frame_processor.h"
#include "stream/read_request_entry.h"
#include "usb/bridge_state.h"
#include "usb/capture_device.h"

#define READ_TIMEOUT_SECONDS 9
#define FRAME_WORKER_PRIORITY 16
#define OPTIONS_TIME_AND_DURATION (KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID)
#define SENSOR_EXPOSURE_HIGH 3
#define SENSOR_EXPOSURE_LOW 4

struct FillResult {
    NTSTATUS status;
    ULONG dataUsed;
};

// The read's frame information, when its header has room for one behind it.
static PKS_FRAME_INFO FrameInfoOf(PKSSTREAM_HEADER header)
{
    return header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO) ? reinterpret_cast<PKS_FRAME_INFO>(header + 1)
                                                                          : nullptr;
}

_Use_decl_annotations_
VOID HandleReadData(PHW_STREAM_REQUEST_BLOCK Srb)
{
    ReadRequestEntry* entry = EntryOfRequest(Srb);
    AdapterRecord* adapter = AdapterOfRequest(Srb);
    CameraSession* session = adapter->cameraSession;
    entry->frameNumber = 0;

    if (session == nullptr) {
        Srb->Status = STATUS_INVALID_DEVICE_STATE;
    } else if (Srb->NumberOfBuffers == 0 || Srb->CommandData.DataBufferArray == nullptr) {
        Srb->Status = STATUS_INVALID_PARAMETER;  // a read needs one stream header with its buffer
    } else if (session->captureDevice->captureState.load() == CAPTURE_STOPPED) {
        Srb->Status = STATUS_SUCCESS;  // the header is left untouched
    } else if (Srb->CommandData.DataBufferArray->FrameExtent <
               static_cast<ULONG>(session->bridgeState->imageSize.load(std::memory_order_relaxed))) {
        Srb->Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        Srb->TimeoutOriginal = READ_TIMEOUT_SECONDS;
        Srb->TimeoutCounter = READ_TIMEOUT_SECONDS;
        ExInterlockedInsertTailList(&adapter->readQueue, &entry->links, &adapter->readQueueLock);
        return;  // pending until a frame, a cancel or a stop
    }
    CompleteStreamRequest(Srb);
}

// Writes a changed exposure to the sensor, each byte only while no other sensor write runs.
static VOID ApplyExposure(BridgeState* bridge, ExposureModel* model)
{
    if (!model->exposureChanged.load()) {
        return;
    }
    const USHORT value = model->exposureValue.load();
    if (value != model->appliedExposure.load()) {
        if (sensorWriteBusy.load() == 0) {
            const UCHAR high = static_cast<UCHAR>(value >> 8);
            WriteSensorRegister(bridge, &high, SENSOR_EXPOSURE_HIGH);
        }
        if (sensorWriteBusy.load() == 0) {
            const UCHAR low = static_cast<UCHAR>(value & 0xFF);
            WriteSensorRegister(bridge, &low, SENSOR_EXPOSURE_LOW);
        }
    }
    model->exposureChanged.store(0);
    model->appliedExposure.store(value);
}

// Turns the attached frame into the picture in the read's buffer and applies pending settings.
static FillResult FillRead(StreamRecord* stream, ReadRequestEntry* entry)
{
    CameraSession* session = stream->cameraSession;
    CaptureDevice* device = session->captureDevice;
    BridgeState* bridge = session->bridgeState;
    AdapterRecord* adapter = session->adapter;
    PKSSTREAM_HEADER header = entry->request->CommandData.DataBufferArray;

    if (device->captureState.load() != CAPTURE_RUNNING) {
        return {STATUS_SUCCESS, 0};
    }
    stream->inputFrame.data = entry->inRing ? entry->frameData : static_cast<PUCHAR>(header->Data);
    stream->inputFrame.count = entry->frameLength;
    stream->outputBuffer = static_cast<PUCHAR>(header->Data);

    // The picture is the size of the last capture start; a format changed since then may have
    // smaller reads, which never receive more than they hold.
    const ULONG pictureBytes = FrameProcessorPictureBytes(device->frameProcessor);
    bool written = false;
    if (pictureBytes <= header->FrameExtent) {
        ProcessFrame(device->frameProcessor, &stream->inputFrame, stream->outputBuffer);
        written = true;
    }

    KeWaitForSingleObject(&adapter->settingsLock, Executive, KernelMode, FALSE, nullptr);
    ApplyPictureSettings(bridge);
    ApplyExposure(bridge, session->exposureModel);
    KeReleaseMutex(&adapter->settingsLock, FALSE);

    if (!written) {
        return {STATUS_SUCCESS, 0};
    }
    ULONG dataUsed = static_cast<ULONG>(bridge->imageSize.load(std::memory_order_relaxed));
    if (dataUsed > header->FrameExtent) {
        dataUsed = header->FrameExtent;
    }
    if (dataUsed > pictureBytes) {
        dataUsed = pictureBytes;
    }
    return {STATUS_SUCCESS, dataUsed};
}

// Frees the frame-ring slot a read's frame occupied.
static VOID ReleaseRingSlot(CaptureDevice* device, ReadRequestEntry* entry)
{
    if (!entry->inRing) {
        return;
    }
    for (ULONG i = 0; i < FRAME_RING_SLOTS; ++i) {
        if (device->frameRing[i] == entry->frameData) {
            device->frameRingBusy[i].store(FALSE);
        }
    }
    entry->inRing = FALSE;
}

// The presentation time of a read, never before the previous one; fills the drop count and the
// picture number of the frame information template.
static VOID TimeStampRead(AdapterRecord* adapter, PHW_STREAM_REQUEST_BLOCK Srb, HANDLE clock,
                          ReadRequestEntry* entry, PKSSTREAM_HEADER header)
{
    HW_TIME_CONTEXT time = {};
    time.HwDeviceExtension = adapter;
    time.HwStreamObject = Srb->StreamObject;
    time.Function = TIME_GET_STREAM_TIME;
    StreamClassQueryMasterClockSync(clock, &time);
    const ULONGLONG now = time.Time;

    LONGLONG presentation;
    if (entry->frameNumber == 1 || now > static_cast<ULONGLONG>(adapter->lastPresentationTime)) {
        presentation = static_cast<LONGLONG>(now);
    } else {
        presentation = adapter->lastPresentationTime + header->Duration;
    }
    header->PresentationTime.Time = presentation;
    adapter->lastPresentationTime = presentation;

    // A format without a frame duration counts no drops.
    LONGLONG dropCount = 0;
    if (adapter->frameDuration > 0 && presentation >= adapter->frameDuration) {
        dropCount = presentation / adapter->frameDuration - static_cast<LONGLONG>(entry->frameNumber);
        if (dropCount < 0) {
            dropCount = 0;
        }
    }
    adapter->frameInfo.DropCount = dropCount;
    adapter->frameInfo.PictureNumber = static_cast<LONGLONG>(entry->frameNumber) + dropCount;
}

// Fills the read's stream header and frame information and completes it.
static VOID CompleteRead(StreamRecord* stream, ReadRequestEntry* entry, NTSTATUS status, ULONG dataUsed)
{
    PHW_STREAM_REQUEST_BLOCK Srb = entry->request;
    AdapterRecord* adapter = stream->cameraSession->adapter;
    PKSSTREAM_HEADER header = Srb->CommandData.DataBufferArray;
    PKS_FRAME_INFO frameInfo = FrameInfoOf(header);
    ReleaseRingSlot(stream->cameraSession->captureDevice, entry);

    Srb->Status = status;
    header->DataUsed = dataUsed;
    if (frameInfo != nullptr) {
        adapter->frameInfo.ExtendedHeaderSize = frameInfo->ExtendedHeaderSize;
    }
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = adapter->frameDuration;

    HANDLE clock = stream->masterClock.load();
    if (clock != nullptr && status != STATUS_CANCELLED) {
        TimeStampRead(adapter, Srb, clock, entry, header);
    } else {
        header->PresentationTime.Time = 0;
    }
    if (header->OptionsFlags == 0) {
        header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
    }
    if (clock != nullptr) {
        header->OptionsFlags |= OPTIONS_TIME_AND_DURATION;
    } else {
        header->OptionsFlags &= ~OPTIONS_TIME_AND_DURATION;
    }
    if (frameInfo != nullptr) {
        *frameInfo = adapter->frameInfo;
    }
    CompleteStreamRequest(Srb);
}

// Completes every read of a list with STATUS_CANCELLED, head first.
static VOID CancelList(StreamRecord* stream, PLIST_ENTRY list, PKSPIN_LOCK lock)
{
    for (;;) {
        PLIST_ENTRY link = ExInterlockedRemoveHeadList(list, lock);
        if (link == nullptr) {
            return;
        }
        CompleteRead(stream, CONTAINING_RECORD(link, ReadRequestEntry, links), STATUS_CANCELLED, 0);
    }
}

_Use_decl_annotations_
VOID FrameWorker(PVOID StartContext)
{
    auto* adapter = static_cast<AdapterRecord*>(StartContext);
    StreamRecord* stream = adapter->cameraSession->streamRecord;
    KeSetPriorityThread(KeGetCurrentThread(), FRAME_WORKER_PRIORITY);

    for (;;) {
        KeWaitForSingleObject(&adapter->workerSignal, Executive, KernelMode, FALSE, nullptr);
        if (adapter->workerStop.load()) {
            CancelList(stream, &adapter->readQueue, &adapter->readQueueLock);
            CancelList(stream, &adapter->readyQueue, &adapter->readyQueueLock);
            KeSetEvent(&adapter->workerExited, IO_NO_INCREMENT, FALSE);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        PLIST_ENTRY link = ExInterlockedRemoveHeadList(&adapter->readyQueue, &adapter->readyQueueLock);
        if (link == nullptr) {
            continue;
        }
        ReadRequestEntry* entry = CONTAINING_RECORD(link, ReadRequestEntry, links);
        const FillResult result = FillRead(stream, entry);
        CompleteRead(stream, entry, result.status, result.dataUsed);
    }
}

// The stream's format copy, or null when the stream is not open with one.
static PKS_VIDEOINFOHEADER OpenFormatCopy(StreamRecord* stream)
{
    const LONG index = stream->streamIndex.load();
    if (index != 0 || stream->instanceCount[0] == 0) {
        return nullptr;
    }
    return stream->formatCopy[0];
}

_Use_decl_annotations_
VOID HandleGetStreamProperty(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CameraSession* session = AdapterOfRequest(Srb)->cameraSession;
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
    const GUID& set = descriptor->Property->Set;
    const ULONG id = descriptor->Property->Id;
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;

    const bool connection = IsEqualGUID(set, KSPROPSETID_Connection);
    const bool droppedFrames = IsEqualGUID(set, PROPSETID_VIDCAP_DROPPEDFRAMES);
    if (connection || droppedFrames) {
        PKS_VIDEOINFOHEADER format = session ? OpenFormatCopy(session->streamRecord) : nullptr;
        if (format == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else if (connection && id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING &&
                   descriptor->PropertyOutputSize >= sizeof(KSALLOCATOR_FRAMING)) {
            auto* framing = static_cast<PKSALLOCATOR_FRAMING>(descriptor->PropertyInfo);
            std::memset(framing, 0, sizeof(KSALLOCATOR_FRAMING));
            framing->RequirementsFlags = KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY |
                                         KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER |
                                         KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY;
            framing->PoolType = PagedPool;
            framing->Frames = 5;
            framing->FrameSize = format->bmiHeader.biSizeImage;
            framing->FileAlignment = 0;
            framing->Reserved = 0;
            Srb->ActualBytesTransferred = sizeof(KSALLOCATOR_FRAMING);
            status = STATUS_SUCCESS;
        } else if (droppedFrames && id == KSPROPERTY_DROPPEDFRAMES_CURRENT &&
                   descriptor->PropertyOutputSize >= sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
            AdapterRecord* adapter = session->adapter;
            auto* dropped = static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(descriptor->PropertyInfo);
            dropped->PictureNumber = adapter->frameInfo.PictureNumber;
            dropped->DropCount = adapter->frameInfo.DropCount;
            dropped->AverageFrameSize = format->bmiHeader.biSizeImage;
            Srb->ActualBytesTransferred = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
            status = STATUS_SUCCESS;
        }
    }
    Srb->Status = status;
    CompleteStreamRequest(Srb);
}
