// Run-time choice between the plain, the AVX2 and the AVX-512 VBMI picture kernels.
#include "frame/picture_kernels.h"

#include <atomic>

#include "frame/picture_kernels_avx2.h"
#include "frame/picture_kernels_avx512.h"

namespace {

// 0 not chosen yet, else a FRAME_KERNELS_ set. Chosen once, at the first frame.
std::atomic<ULONG> chosenKernels{0};

bool SetAvailable(ULONG set)
{
    switch (set) {
    case FRAME_KERNELS_PLAIN:
        return true;
    case FRAME_KERNELS_AVX2:
        return Avx2Available();
    case FRAME_KERNELS_AVX512_VBMI:
        return Avx2Available() && Avx512VbmiAvailable();
    default:
        return false;
    }
}

ULONG BestSet()
{
    for (ULONG set = FRAME_KERNELS_AVX512_VBMI; set > FRAME_KERNELS_PLAIN; --set) {
        if (SetAvailable(set)) {
            return set;
        }
    }
    return FRAME_KERNELS_PLAIN;
}

ULONG Chosen()
{
    ULONG chosen = chosenKernels.load(std::memory_order_relaxed);
    if (chosen == 0) {
        chosen = BestSet();
        chosenKernels.store(chosen, std::memory_order_relaxed);
    }
    return chosen;
}

}  // namespace

ULONG FrameKernelsInUse()
{
    return Chosen();
}

VOID FrameKernelsSelect(BOOLEAN avx2)
{
    chosenKernels.store(avx2 ? BestSet() : FRAME_KERNELS_PLAIN, std::memory_order_relaxed);
}

BOOLEAN FrameKernelsSelectSet(ULONG set)
{
    if (!SetAvailable(set)) {
        return FALSE;
    }
    chosenKernels.store(set, std::memory_order_relaxed);
    return TRUE;
}

VOID HalvePicture(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out)
{
    switch (Chosen()) {
    case FRAME_KERNELS_AVX512_VBMI:
        HalvePictureAvx512(source, sourceStride, outWidth, outHeight, out);
        break;
    case FRAME_KERNELS_AVX2:
        HalvePictureAvx2(source, sourceStride, outWidth, outHeight, out);
        break;
    default:
        HalvePicturePlain(source, sourceStride, outWidth, outHeight, out);
        break;
    }
}

VOID QuarterPicture(const UCHAR* decoded, UCHAR* out)
{
    switch (Chosen()) {
    case FRAME_KERNELS_AVX512_VBMI:
        QuarterPictureAvx512(decoded, out);
        break;
    case FRAME_KERNELS_AVX2:
        QuarterPictureAvx2(decoded, out);
        break;
    default:
        QuarterPicturePlain(decoded, out);
        break;
    }
}

VOID ResamplePicture(const UCHAR* decoded, UCHAR* out)
{
    switch (Chosen()) {
    case FRAME_KERNELS_AVX512_VBMI:
        ResamplePictureAvx512(decoded, out);
        break;
    case FRAME_KERNELS_AVX2:
        ResamplePictureAvx2(decoded, out);
        break;
    default:
        ResamplePicturePlain(decoded, out);
        break;
    }
}

VOID TurnAndTone(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out)
{
    switch (Chosen()) {
    case FRAME_KERNELS_AVX512_VBMI:
        TurnAndToneAvx512(source, sourceStride, width, height, out);
        break;
    case FRAME_KERNELS_AVX2:
        TurnAndToneAvx2(source, sourceStride, width, height, out);
        break;
    default:
        TurnAndTonePlain(source, sourceStride, width, height, out);
        break;
    }
}

VOID TurnAndToneInPlace(UCHAR* picture, LONG width, LONG height)
{
    switch (Chosen()) {
    case FRAME_KERNELS_AVX512_VBMI:
        TurnAndToneAvx512InPlace(picture, width, height);
        break;
    case FRAME_KERNELS_AVX2:
        TurnAndToneAvx2InPlace(picture, width, height);
        break;
    default:
        TurnAndTonePlainInPlace(picture, width, height);
        break;
    }
}
