// ProcessFrame: decode, fit to the output size, zoom, turn by 180°, measure, tone curve and
// snapshot, in the fixed buffers of the FrameProcessor.
//
// The passes are fused where the outcome stays byte for byte the same: the fitted picture is
// built in a scratch buffer (cifBuffer, or the resampler's own buffer read with its stride), the
// exposure is measured on it at the positions that the turn brings to the sampled ones, and the
// turn and the tone curve then write the output in one pass. At 640 × 480 the decoded picture
// is the output, turned where it lies.
#include "camera/exposure_model.h"
#include "frame/frame_processor.h"
#include "frame/picture_kernels.h"

namespace {

// The fitted picture before the turn: where it lies and its row stride.
struct FittedPicture {
    const UCHAR* pixels;
    LONG stride;
};

// Step 1 below 640 × 480: decode into workBuffer and fit.
FittedPicture FitPicture(FrameProcessor* processor)
{
    const LONG width = processor->pictureWidth;
    switch (width) {
    case 352:
        ResamplePicture(processor->workBuffer, processor->resampleBuffer);
        return {processor->resampleBuffer, RESAMPLED_STRIDE};
    case 320:
        HalvePicture(processor->workBuffer, DECODED_STRIDE, 320, 240, processor->cifBuffer);
        return {processor->cifBuffer, 320 * 3};
    case 176:
        // The top-left 352 × 288 of the resampled picture, halved straight from its buffer.
        ResamplePicture(processor->workBuffer, processor->resampleBuffer);
        HalvePicture(processor->resampleBuffer, RESAMPLED_STRIDE, 176, 144, processor->cifBuffer);
        return {processor->cifBuffer, 176 * 3};
    default:  // 160
        QuarterPicture(processor->workBuffer, processor->cifBuffer);
        return {processor->cifBuffer, 160 * 3};
    }
}

}  // namespace

_Use_decl_annotations_
NTSTATUS ProcessFrame(FrameProcessor* processor, const CompressedFrame* frame, PUCHAR output)
{
    const LONG width = processor->pictureWidth;
    const LONG height = processor->pictureHeight;
    ExposureModel* model = processor->exposureModel;
    if (processor->frameBytes <= 0) {
        return STATUS_SUCCESS;  // never set up: there is no picture to make
    }

    if (width == FRAME_DECODE_WIDTH) {
        DecodeFrame(processor->decoder, frame, output);
        AdjustExposureBeforeTurn(model, output, width, height, processor->rowBytes);
        TurnAndToneInPlace(output, width, height);
    } else {
        DecodeFrame(processor->decoder, frame, processor->workBuffer);
        FittedPicture fitted = FitPicture(processor);
        if (processor->zoomEnabled.load(std::memory_order_relaxed) != 0 &&
            processor->zoomLevel.load(std::memory_order_relaxed) != 0) {
            ExAcquireFastMutex(&processor->zoomLock);
            ZoomPicture(fitted.pixels, fitted.stride, width, height, &processor->zoomWindow, processor->workBuffer);
            ExReleaseFastMutex(&processor->zoomLock);
            fitted = {processor->workBuffer, processor->rowBytes};
        }
        AdjustExposureBeforeTurn(model, fitted.pixels, width, height, fitted.stride);
        TurnAndTone(fitted.pixels, fitted.stride, width, height, output);
    }
    HandOverSnapshot(processor, output);
    return STATUS_SUCCESS;
}
