// Run-time choice between the plain and the AVX2 picture kernels.
#include "frame/picture_kernels.h"

#include <atomic>

#include "frame/picture_kernels_avx2.h"

namespace {

// 0 not chosen yet, 1 plain, 2 AVX2. Chosen once, at the first frame.
std::atomic<int> chosenKernels{0};

bool UseAvx2()
{
    int chosen = chosenKernels.load(std::memory_order_relaxed);
    if (chosen == 0) {
        chosen = Avx2Available() ? 2 : 1;
        chosenKernels.store(chosen, std::memory_order_relaxed);
    }
    return chosen == 2;
}

}  // namespace

BOOLEAN FrameKernelsUseAvx2()
{
    return UseAvx2();
}

VOID FrameKernelsSelect(BOOLEAN avx2)
{
    chosenKernels.store(avx2 && Avx2Available() ? 2 : 1, std::memory_order_relaxed);
}

VOID HalvePicture(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out)
{
    if (UseAvx2()) {
        HalvePictureAvx2(source, sourceStride, outWidth, outHeight, out);
    } else {
        HalvePicturePlain(source, sourceStride, outWidth, outHeight, out);
    }
}

VOID QuarterPicture(const UCHAR* decoded, UCHAR* out)
{
    if (UseAvx2()) {
        QuarterPictureAvx2(decoded, out);
    } else {
        QuarterPicturePlain(decoded, out);
    }
}

VOID ResamplePicture(const UCHAR* decoded, UCHAR* out)
{
    if (UseAvx2()) {
        ResamplePictureAvx2(decoded, out);
    } else {
        ResamplePicturePlain(decoded, out);
    }
}

VOID TurnAndTone(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out)
{
    if (UseAvx2()) {
        TurnAndToneAvx2(source, sourceStride, width, height, out);
    } else {
        TurnAndTonePlain(source, sourceStride, width, height, out);
    }
}

VOID TurnAndToneInPlace(UCHAR* picture, LONG width, LONG height)
{
    if (UseAvx2()) {
        TurnAndToneAvx2InPlace(picture, width, height);
    } else {
        TurnAndTonePlainInPlace(picture, width, height);
    }
}
