// FrameProcessor creation, set-up for an output size, zoom settings and release.
#include "frame/frame_processor.h"

#include <cstring>

#include "camera/exposure_model.h"
#include "frame/header_template.h"

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

bool IsOfferedSize(LONG width, LONG height)
{
    return (width == 640 && height == 480) || (width == 352 && height == 288) || (width == 320 && height == 240) ||
           (width == 176 && height == 144) || (width == 160 && height == 120);
}

VOID FreeBuffer(PUCHAR* buffer)
{
    if (*buffer != nullptr) {
        ExFreePool(*buffer);
        *buffer = nullptr;
    }
}

}  // namespace

_Use_decl_annotations_
FrameProcessor* CreateFrameProcessor(ExposureModel* model)
{
    PAGED_CODE();
    auto* processor = static_cast<FrameProcessor*>(ExAllocatePool(NonPagedPool, sizeof(FrameProcessor)));
    if (processor == nullptr) {
        return nullptr;
    }
    std::memset(static_cast<void*>(processor), 0, sizeof(*processor));
    processor->decoder = static_cast<JpegDecoder*>(ExAllocatePool(NonPagedPool, sizeof(JpegDecoder)));
    processor->workBuffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, FRAME_WORK_BUFFER_BYTES));
    if (processor->workBuffer != nullptr) {
        processor->cifBuffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, FRAME_CIF_BUFFER_BYTES));
    }
    if (processor->cifBuffer != nullptr) {
        processor->resampleBuffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, FRAME_RESAMPLE_BUFFER_BYTES));
    }
    // A processor without its decoder or any of its buffers cannot run a capture: the caller
    // gets none and may try again at the next capture start.
    if (processor->decoder == nullptr || processor->resampleBuffer == nullptr) {
        FreeFrameProcessor(processor);
        return nullptr;
    }
    // The decode targets start black, so a damaged first frame yields a defined picture.
    std::memset(processor->workBuffer, 0, FRAME_WORK_BUFFER_BYTES);
    std::memset(processor->cifBuffer, 0, FRAME_CIF_BUFFER_BYTES);
    std::memset(processor->resampleBuffer, 0, FRAME_RESAMPLE_BUFFER_BYTES);
    ExInitializeFastMutex(&processor->zoomLock);
    KeInitializeEvent(&processor->snapshotDone, NotificationEvent, FALSE);
    KeInitializeSpinLock(&processor->snapshotLock);
    processor->snapshotState = SNAPSHOT_IDLE;
    processor->exposureModel = model;
    return processor;
}

NTSTATUS SetUpFrameProcessor(FrameProcessor* processor, ULONG packedSize)
{
    ExposureModel* model = processor->exposureModel;
    if (model != nullptr && model->mode.load(kRelaxed) != EXPOSURE_MODE_VIDEO) {
        model->mode.store(EXPOSURE_MODE_VIDEO, kRelaxed);
        UpdateExposureModel(model);
    }

    JpegDecoder* decoder = processor->decoder;
    decoder->outputWidth = FRAME_DECODE_WIDTH;
    decoder->outputHeight = FRAME_DECODE_HEIGHT;
    decoder->outputStride = FRAME_DECODE_STRIDE;
    std::memcpy(decoder->headerTemplate, JpegHeaderTemplate, JPEG_HEADER_TEMPLATE_BYTES);
    decoder->headerLength = JPEG_HEADER_TEMPLATE_BYTES;
    decoder->headerTemplate[JPEG_HEADER_SOF_HEIGHT] = FRAME_DECODE_HEIGHT >> 8;
    decoder->headerTemplate[JPEG_HEADER_SOF_HEIGHT + 1] = FRAME_DECODE_HEIGHT & 0xFF;
    decoder->headerTemplate[JPEG_HEADER_SOF_WIDTH] = FRAME_DECODE_WIDTH >> 8;
    decoder->headerTemplate[JPEG_HEADER_SOF_WIDTH + 1] = FRAME_DECODE_WIDTH & 0xFF;

    const LONG width = static_cast<SHORT>(packedSize & 0xFFFF);
    const LONG height = static_cast<SHORT>(packedSize >> 16);
    if (!IsOfferedSize(width, height)) {
        return STATUS_INVALID_PARAMETER;  // the fitting knows the five offered sizes only
    }
    processor->pictureWidth = static_cast<SHORT>(width);
    processor->pictureHeight = static_cast<SHORT>(height);
    processor->rowBytes = static_cast<SHORT>(3 * width);
    processor->frameBytes = 3 * width * height;
    return STATUS_SUCCESS;
}

ULONG FrameProcessorPictureBytes(const FrameProcessor* processor)
{
    return static_cast<ULONG>(processor->frameBytes);
}

_Use_decl_annotations_
VOID SetZoomLevel(FrameProcessor* processor, UCHAR level)
{
    PAGED_CODE();
    if (level == processor->zoomLevel.load(kRelaxed)) {
        return;
    }
    ExAcquireFastMutex(&processor->zoomLock);
    processor->zoomLevel.store(level, kRelaxed);
    if (level >= 1 && level <= FRAME_ZOOM_MAX_LEVEL) {
        const LONG left = processor->pictureWidth * level / 64;
        const LONG top = processor->pictureHeight * level / 64;
        processor->zoomWindow.left = static_cast<SHORT>(left);
        processor->zoomWindow.top = static_cast<SHORT>(top);
        processor->zoomWindow.width = static_cast<SHORT>(processor->pictureWidth - 2 * left);
        processor->zoomWindow.height = static_cast<SHORT>(processor->pictureHeight - 2 * top);
    }
    ExReleaseFastMutex(&processor->zoomLock);
}

_Use_decl_annotations_
VOID ResetZoom(FrameProcessor* processor)
{
    PAGED_CODE();
    processor->zoomEnabled.store(0, kRelaxed);
    if (processor->zoomLevel.load(kRelaxed) != 0) {
        ExAcquireFastMutex(&processor->zoomLock);
        processor->zoomLevel.store(0, kRelaxed);
        ExReleaseFastMutex(&processor->zoomLock);
    }
}

VOID FreeFrameProcessor(FrameProcessor* processor)
{
    if (processor == nullptr) {
        return;
    }
    if (processor->decoder != nullptr) {
        ExFreePool(processor->decoder);
    }
    FreeBuffer(&processor->workBuffer);
    FreeBuffer(&processor->cifBuffer);
    FreeBuffer(&processor->resampleBuffer);
    ExFreePool(processor);
}
