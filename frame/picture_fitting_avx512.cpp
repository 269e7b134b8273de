// AVX-512 VBMI fittings: 8-to-5 resampling, halving and quartering, byte for byte the plain
// kernels'. The same scheme as the AVX2 fittings on 64-byte vectors, where vpermb reaches every
// byte: per step a masked load takes 16 source pixels (48 bytes) of a row, one permute puts each
// output byte's two source bytes side by side, one multiply-add adds them in 16 bits; the two rows
// are added and shifted, a second permute gathers the low bytes, and a masked store writes exactly
// the step's output bytes. Nothing outside a row's pixels is read or written.
#include "frame/picture_kernels_avx512.h"

#include <immintrin.h>

#include "frame/fitting_rows.h"
#include "frame/picture_kernels.h"

// A test build may define it empty, to run the routines over scalar stand-ins for the intrinsics.
#ifndef NIMBRA_AVX512
#define NIMBRA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif

namespace {

constexpr int kStepPixels = 16;

struct WidePlan {
    alignas(64) UCHAR pick[64];  // per 16-bit slot: the two source bytes of one output byte
    int outPixels;               // output pixels per 16 source pixels
};

// first[p], second[p]: the source pixels (0..15) of output pixel p of a step.
WidePlan MakeWidePlan(const int* first, const int* second, int outPixels)
{
    WidePlan plan{};
    plan.outPixels = outPixels;
    for (int o = 0; o < 3 * outPixels; ++o) {
        plan.pick[2 * o] = static_cast<UCHAR>(3 * first[o / 3] + o % 3);
        plan.pick[2 * o + 1] = static_cast<UCHAR>(3 * second[o / 3] + o % 3);
    }
    return plan;
}

// 8-to-5 on two groups: s0, s1+s2, s3, s5, s6+s7 (a single member taken twice).
const int kResampleFirst[10] = {0, 1, 3, 5, 6, 8, 9, 11, 13, 14};
const int kResampleSecond[10] = {0, 2, 3, 5, 7, 8, 10, 11, 13, 15};
const int kHalveFirst[8] = {0, 2, 4, 6, 8, 10, 12, 14};
const int kHalveSecond[8] = {1, 3, 5, 7, 9, 11, 13, 15};
const int kQuarterFirst[4] = {0, 4, 8, 12};
const int kQuarterSecond[4] = {2, 6, 10, 14};

const WidePlan& ResamplePlan()
{
    static const WidePlan plan = MakeWidePlan(kResampleFirst, kResampleSecond, 10);
    return plan;
}
const WidePlan& HalvePlan()
{
    static const WidePlan plan = MakeWidePlan(kHalveFirst, kHalveSecond, 8);
    return plan;
}
const WidePlan& QuarterPlan()
{
    static const WidePlan plan = MakeWidePlan(kQuarterFirst, kQuarterSecond, 4);
    return plan;
}

// The low byte of each 16-bit lane, in order, in the first 32 bytes.
struct LowBytes {
    alignas(64) UCHAR index[64];
    constexpr LowBytes() : index{}
    {
        for (int i = 0; i < 32; ++i) index[i] = static_cast<UCHAR>(2 * i);
    }
};
constexpr LowBytes kLowBytes;

// vpermb: byte i of the result is byte index[i] (0..63) of v. Written as the two-table form with
// one table twice, the same instruction family, which GCC 12's header compiles warning-free.
NIMBRA_AVX512 inline __m512i Permute(__m512i v, __m512i index)
{
    return _mm512_permutex2var_epi8(v, index, v);
}

NIMBRA_AVX512 inline __m512i PairSums(const UCHAR* pixels, __mmask64 bytes, __m512i pick)
{
    const __m512i source = _mm512_maskz_loadu_epi8(bytes, pixels);
    return _mm512_maddubs_epi16(Permute(source, pick), _mm512_set1_epi8(1));
}

inline __mmask64 FirstBytes(int count)
{
    return count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
}

// One output row from `sourcePixels` pixels (a multiple of 8; a partial step's output bytes
// depend only on its pixels) of the upper and lower rows (lower null: the upper taken twice).
NIMBRA_AVX512 VOID FitRowWide(const UCHAR* upper, const UCHAR* lower, int sourcePixels, const WidePlan& plan,
                              UCHAR* out)
{
    const __m512i pick = _mm512_load_si512(plan.pick);
    const __m512i lowBytes = _mm512_load_si512(kLowBytes.index);
    for (int x = 0; x < sourcePixels; x += kStepPixels) {
        const int pixels = sourcePixels - x < kStepPixels ? sourcePixels - x : kStepPixels;
        const __mmask64 in = FirstBytes(3 * pixels);
        const __m512i a = PairSums(upper + 3 * x, in, pick);
        const __m512i b = lower != nullptr ? PairSums(lower + 3 * x, in, pick) : a;
        const __m512i values = _mm512_srli_epi16(_mm512_add_epi16(a, b), 2);
        const int outBytes = 3 * plan.outPixels * pixels / kStepPixels;
        _mm512_mask_storeu_epi8(out + 3 * plan.outPixels * x / kStepPixels, FirstBytes(outBytes),
                                Permute(values, lowBytes));
    }
}

}  // namespace

NIMBRA_AVX512 VOID HalvePictureAvx512(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out)
{
    if (outWidth % 4 != 0) {
        HalvePicturePlain(source, sourceStride, outWidth, outHeight, out);
        return;
    }
    const WidePlan& plan = HalvePlan();
    HalveRows(source, sourceStride, outWidth, outHeight, out,
              [&plan](const UCHAR* upper, const UCHAR* lower, int sourcePixels, UCHAR* row) {
        FitRowWide(upper, lower, sourcePixels, plan, row);
    });
}

NIMBRA_AVX512 VOID QuarterPictureAvx512(const UCHAR* decoded, UCHAR* out)
{
    const WidePlan& plan = QuarterPlan();
    QuarterRows(decoded, out, [&plan](const UCHAR* upper, const UCHAR* lower, int sourcePixels, UCHAR* row) {
        FitRowWide(upper, lower, sourcePixels, plan, row);
    });
}

NIMBRA_AVX512 VOID ResamplePictureAvx512(const UCHAR* decoded, UCHAR* out)
{
    const WidePlan& plan = ResamplePlan();
    ResampleRows(decoded, out, [&plan](const UCHAR* upper, const UCHAR* lower, int sourcePixels, UCHAR* row) {
        FitRowWide(upper, lower, sourcePixels, plan, row);
    });
}
