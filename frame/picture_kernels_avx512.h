// AVX-512 VBMI versions of the picture kernels (the fittings, and the turn fused with the tone
// curve), compiled for AVX-512 function by function; called only when the processor has AVX-512
// F, BW and VBMI. Each gives the same bytes as its plain version.
#pragma once

#include "platform/nt_types.h"

bool Avx512VbmiAvailable();
VOID HalvePictureAvx512(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out);
VOID QuarterPictureAvx512(const UCHAR* decoded, UCHAR* out);
VOID ResamplePictureAvx512(const UCHAR* decoded, UCHAR* out);
VOID TurnAndToneAvx512(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out);
VOID TurnAndToneAvx512InPlace(UCHAR* picture, LONG width, LONG height);
