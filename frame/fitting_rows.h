// Which source rows make each output row of the three fittings, shared by the vector kernel sets:
// each calls fitRow(upper, lower, sourcePixels, out) once per output row, with `lower` null where
// the output row comes from a single source row (then taken twice), and `sourcePixels` the row's
// pixels from `upper` on (a multiple of 8). The plain kernels spell the same patterns out.
#pragma once

#include "frame/picture_kernels.h"

template <typename FitRowFn>
inline VOID HalveRows(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out,
                      FitRowFn fitRow)
{
    for (LONG y = 0; y < outHeight; ++y) {
        const UCHAR* top = source + static_cast<size_t>(2 * y) * sourceStride;
        fitRow(top, top + sourceStride, 2 * outWidth, out + static_cast<size_t>(y) * outWidth * 3);
    }
}

template <typename FitRowFn>
inline VOID QuarterRows(const UCHAR* decoded, UCHAR* out, FitRowFn fitRow)
{
    for (LONG y = 0; y < 120; ++y) {
        const UCHAR* top = decoded + static_cast<size_t>(4 * y) * DECODED_STRIDE;
        fitRow(top, top + 2 * DECODED_STRIDE, 640, out + static_cast<size_t>(y) * 160 * 3);
    }
}

template <typename FitRowFn>
inline VOID ResampleRows(const UCHAR* decoded, UCHAR* out, FitRowFn fitRow)
{
    // Of each group of 8 rows: the first row of output row p, and the second (-1: none).
    static const int rowFirst[5] = {0, 1, 3, 5, 6};
    static const int rowSecond[5] = {-1, 2, -1, -1, 7};
    for (LONG group = 0; group < 58; ++group) {
        const UCHAR* rows = decoded + static_cast<size_t>(10 + 8 * group) * DECODED_STRIDE + 40 * 3;
        for (int p = 0; p < 5; ++p) {
            const UCHAR* upper = rows + static_cast<size_t>(rowFirst[p]) * DECODED_STRIDE;
            const UCHAR* lower = rowSecond[p] < 0 ? nullptr : rows + static_cast<size_t>(rowSecond[p]) * DECODED_STRIDE;
            fitRow(upper, lower, 568, out + static_cast<size_t>(5 * group + p) * RESAMPLED_STRIDE);
        }
    }
}
