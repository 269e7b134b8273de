// The AVX-512 VBMI picture kernels, built over scalar stand-ins for their intrinsics, against the
// plain kernels: the fittings at every size they serve; the turn and tone at widths around the
// 64-pixel block, strided and packed, in place and not.
// The stand-ins run anywhere, so the kernels' logic is checked even where the processor lacks
// the instructions (the kernel-set test then skips the real ones).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "frame/picture_kernels.h"
#include "frame/picture_kernels_avx512.h"

namespace {

TEST(Avx512StandInKernels, GiveThePlainKernelsBytes)
{
    std::mt19937 random(11);
    std::vector<uint8_t> source(921600);
    for (auto& v : source) v = static_cast<uint8_t>(random());
    for (int w : {1, 31, 63, 64, 65, 127, 128, 129, 160, 176, 191, 320, 352, 640}) {
        for (int h : {1, 2, 3, 120, 480}) {
            const size_t bytes = static_cast<size_t>(w) * h * 3;
            if (bytes > source.size()) continue;
            for (int stride : {3 * w, 3 * w + 7, 1920}) {
                if (stride < 3 * w || static_cast<size_t>(stride) * (h - 1) + 3 * w > source.size()) continue;
                std::vector<uint8_t> want(bytes), got(bytes);
                TurnAndTonePlain(source.data(), stride, w, h, want.data());
                TurnAndToneAvx512(source.data(), stride, w, h, got.data());
                EXPECT_EQ(got, want) << w << "x" << h << " stride " << stride;
            }
            std::vector<uint8_t> want(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(bytes));
            std::vector<uint8_t> got = want;
            TurnAndTonePlainInPlace(want.data(), w, h);
            TurnAndToneAvx512InPlace(got.data(), w, h);
            EXPECT_EQ(got, want) << w << "x" << h << " in place";
        }
    }
}

TEST(Avx512StandInKernels, FitLikeThePlainKernels)
{
    std::mt19937 random(12);
    std::vector<uint8_t> decoded(921600);
    for (auto& v : decoded) v = static_cast<uint8_t>(random());
    // Outputs exactly as large as the pictures, so a write past one is seen.
    std::vector<uint8_t> want(355 * 290 * 3), got(want.size());
    ResamplePicturePlain(decoded.data(), want.data());
    ResamplePictureAvx512(decoded.data(), got.data());
    EXPECT_EQ(got, want) << "resampled";
    for (int w : {320, 176, 4, 12}) {
        const int h = w == 320 ? 240 : 144;
        std::vector<uint8_t> a(static_cast<size_t>(w) * h * 3), b(a.size());
        const int stride = w == 320 ? 1920 : 1065;
        HalvePicturePlain(decoded.data(), stride, w, h, a.data());
        HalvePictureAvx512(decoded.data(), stride, w, h, b.data());
        EXPECT_EQ(b, a) << "halved to " << w;
    }
    std::vector<uint8_t> a(160 * 120 * 3), b(a.size());
    QuarterPicturePlain(decoded.data(), a.data());
    QuarterPictureAvx512(decoded.data(), b.data());
    EXPECT_EQ(b, a) << "quartered";
}

}  // namespace
