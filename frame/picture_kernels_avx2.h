// AVX2 versions of the picture kernels, compiled for AVX2 function by function; called only
// when the processor has AVX2. Each gives the same bytes as its plain version.
#pragma once

#include "platform/nt_types.h"

bool Avx2Available();
VOID HalvePictureAvx2(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out);
VOID QuarterPictureAvx2(const UCHAR* decoded, UCHAR* out);
VOID ResamplePictureAvx2(const UCHAR* decoded, UCHAR* out);
VOID TurnAndToneAvx2(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out);
VOID TurnAndToneAvx2InPlace(UCHAR* picture, LONG width, LONG height);
