// Plain versions of the picture kernels: byte-wise integer arithmetic, the reference the AVX2
// versions are checked against.
#include "frame/picture_kernels.h"
#include "frame/tone_curve.h"

namespace {

constexpr LONG kResampleLeft = 40;   // first source column of the window
constexpr LONG kResampleTop = 10;    // first source row of the window
constexpr LONG kResampleGroups = 71; // groups of 8 columns
constexpr LONG kResampleRowGroups = 58;

// Of each group of 8 source columns or rows: the first member of output position p, and
// whether a second member (first + 1) joins it.
constexpr LONG kGroupFirst[5] = {0, 1, 3, 5, 6};
constexpr LONG kGroupPair[5] = {0, 1, 0, 0, 1};

}  // namespace

VOID HalvePicturePlain(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out)
{
    for (LONG y = 0; y < outHeight; ++y) {
        const UCHAR* top = source + static_cast<size_t>(2 * y) * sourceStride;
        const UCHAR* bottom = top + sourceStride;
        UCHAR* row = out + static_cast<size_t>(y) * outWidth * 3;
        for (LONG x = 0; x < outWidth; ++x) {
            for (LONG c = 0; c < 3; ++c) {
                const LONG a = 6 * x + c;
                const USHORT sum = static_cast<USHORT>(top[a] + top[a + 3] + bottom[a] + bottom[a + 3]);
                row[3 * x + c] = static_cast<UCHAR>(sum >> 2);
            }
        }
    }
}

VOID QuarterPicturePlain(const UCHAR* decoded, UCHAR* out)
{
    for (LONG y = 0; y < 120; ++y) {
        const UCHAR* top = decoded + static_cast<size_t>(4 * y) * DECODED_STRIDE;
        const UCHAR* lower = top + 2 * DECODED_STRIDE;
        UCHAR* row = out + static_cast<size_t>(y) * 160 * 3;
        for (LONG x = 0; x < 160; ++x) {
            for (LONG c = 0; c < 3; ++c) {
                const LONG a = 12 * x + c;
                const USHORT sum = static_cast<USHORT>(top[a] + top[a + 6] + lower[a] + lower[a + 6]);
                row[3 * x + c] = static_cast<UCHAR>(sum >> 2);
            }
        }
    }
}

VOID ResamplePicturePlain(const UCHAR* decoded, UCHAR* out)
{
    for (LONG group = 0; group < kResampleRowGroups; ++group) {
        for (LONG p = 0; p < 5; ++p) {
            const UCHAR* rowA = decoded + static_cast<size_t>(kResampleTop + 8 * group + kGroupFirst[p]) * DECODED_STRIDE;
            const UCHAR* rowB = kGroupPair[p] ? rowA + DECODED_STRIDE : nullptr;
            UCHAR* row = out + static_cast<size_t>(5 * group + p) * RESAMPLED_STRIDE;
            for (LONG columnGroup = 0; columnGroup < kResampleGroups; ++columnGroup) {
                for (LONG q = 0; q < 5; ++q) {
                    const LONG column = kResampleLeft + 8 * columnGroup + kGroupFirst[q];
                    const LONG shift = kGroupPair[p] + kGroupPair[q];
                    for (LONG c = 0; c < 3; ++c) {
                        const LONG a = 3 * column + c;
                        USHORT sum = rowA[a];
                        if (kGroupPair[q]) {
                            sum = static_cast<USHORT>(sum + rowA[a + 3]);
                        }
                        if (rowB != nullptr) {
                            sum = static_cast<USHORT>(sum + rowB[a]);
                            if (kGroupPair[q]) {
                                sum = static_cast<USHORT>(sum + rowB[a + 3]);
                            }
                        }
                        row[3 * (5 * columnGroup + q) + c] = static_cast<UCHAR>(sum >> shift);
                    }
                }
            }
        }
    }
}

VOID TurnAndTonePlain(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out)
{
    for (LONG i = 0; i < height; ++i) {
        const UCHAR* from = source + static_cast<size_t>(height - 1 - i) * sourceStride;
        UCHAR* to = out + static_cast<size_t>(i) * width * 3;
        for (LONG j = 0; j < width; ++j) {
            const UCHAR* pixel = from + 3 * static_cast<size_t>(width - 1 - j);
            to[3 * j] = ToneCurve[pixel[0]];
            to[3 * j + 1] = ToneCurve[pixel[1]];
            to[3 * j + 2] = ToneCurve[pixel[2]];
        }
    }
}

VOID TurnAndTonePlainInPlace(UCHAR* picture, LONG width, LONG height)
{
    const size_t pixels = static_cast<size_t>(width) * height;
    if (pixels == 0) {
        return;  // the vector kernels hand over an empty middle when blocks cover the picture
    }
    UCHAR* low = picture;
    UCHAR* high = picture + 3 * (pixels - 1);
    for (size_t k = 0; k < pixels / 2; ++k, low += 3, high -= 3) {
        for (int c = 0; c < 3; ++c) {
            const UCHAR a = low[c];
            low[c] = ToneCurve[high[c]];
            high[c] = ToneCurve[a];
        }
    }
    if (pixels % 2 != 0) {
        for (int c = 0; c < 3; ++c) {
            low[c] = ToneCurve[low[c]];
        }
    }
}
