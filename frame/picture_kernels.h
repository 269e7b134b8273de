// The per-pixel work of the frame processing: fitting the decoded 640 × 480 picture to the
// output size, the 180° turn fused with the tone curve, and the zoom. Each kernel exists as a
// plain version and, where it pays, AVX2 and AVX-512 VBMI versions that give the same bytes; the
// dispatching entries choose at run time. Pictures are RGB24 rows; strides are in bytes; no kernel allocates.
#pragma once

#include "platform/nt_types.h"

struct ZoomWindow;

#define DECODED_STRIDE 1920       // 640 × 3
#define RESAMPLED_WIDTH 355
#define RESAMPLED_HEIGHT 290
#define RESAMPLED_STRIDE 1065     // 355 × 3

// Halving: out (outWidth × outHeight, packed) from a (2 outWidth) × (2 outHeight) source; each
// byte the truncated mean of its 2 × 2 block.
VOID HalvePicture(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out);
VOID HalvePicturePlain(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out);

// Quartering: 160 × 120 (packed) from the 640 × 480 decoded picture, from four pixels of each
// 4 × 4 block: (0, 0), (2, 0), (0, 2), (2, 2).
VOID QuarterPicture(const UCHAR* decoded, UCHAR* out);
VOID QuarterPicturePlain(const UCHAR* decoded, UCHAR* out);

// 8-to-5 resampling: 355 × 290 (stride 1065) from columns 40..607 and rows 10..473 of the
// 640 × 480 decoded picture; of each 8 columns or rows s0..s7 the output takes s0, s1+s2, s3,
// s5, s6+s7, and sums of two or four are shifted right by 1 or 2.
VOID ResamplePicture(const UCHAR* decoded, UCHAR* out);
VOID ResamplePicturePlain(const UCHAR* decoded, UCHAR* out);

// The turn by 180° and the tone curve in one pass: out pixel k (packed) is the tone curve of
// source pixel width × height − 1 − k, byte by byte. source and out must not overlap.
VOID TurnAndTone(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out);
VOID TurnAndTonePlain(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out);

// The same for a packed picture turned where it lies.
VOID TurnAndToneInPlace(UCHAR* picture, LONG width, LONG height);
VOID TurnAndTonePlainInPlace(UCHAR* picture, LONG width, LONG height);

// Bilinear enlargement of the zoom window of source (width × height, sourceStride) to
// width × height (packed) in out, in double precision. Sample positions are kept inside the
// picture, so a window that does not fit the current size cannot read outside it.
VOID ZoomPicture(const UCHAR* source, LONG sourceStride, LONG width, LONG height, const ZoomWindow* window,
                 UCHAR* out);

// The kernel sets, each a superset of the one before: the AVX-512 VBMI set runs the fittings with
// byte permutes and the turn and tone curve with 64-byte table permutes.
#define FRAME_KERNELS_PLAIN 1
#define FRAME_KERNELS_AVX2 2
#define FRAME_KERNELS_AVX512_VBMI 3

// The kernel set in use (FRAME_KERNELS_...).
ULONG FrameKernelsInUse();
// Only for tests: choose the plain versions (FALSE) or the best ones the processor has (TRUE).
// Not to be called while frames are processed.
VOID FrameKernelsSelect(BOOLEAN avx2);
// Only for tests and benchmarks: choose one kernel set. False, changing nothing, when the
// processor lacks it. Not to be called while frames are processed.
BOOLEAN FrameKernelsSelectSet(ULONG set);
