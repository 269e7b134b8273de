// AVX2 fittings: 8-to-5 resampling, halving and quartering, byte for byte the plain kernels'.
//
// Each fitting works on groups of 8 source pixels (24 bytes) that give a fixed number of output
// bytes. Every output byte is (A1 + A2 + B1 + B2) >> 2, where A1, A2 are two bytes of the upper
// source row and B1, B2 the same bytes of the lower one: a single column is its byte taken twice,
// a single row is the row taken twice, so the sum of one, two or four members comes out as the
// plain kernels' truncating mean. One byte shuffle puts each output byte's two source bytes side
// by side and one multiply-add adds them in 16 bits; the two rows are then added, shifted, packed
// and stored, two groups per step.
#include "frame/picture_kernels_avx2.h"

#include <immintrin.h>

#include <cstring>

#include "frame/fitting_rows.h"
#include "frame/picture_kernels.h"

#define NIMBRA_AVX2 __attribute__((target("avx2")))

namespace {

constexpr int kGroupBytes = 24;  // 8 source pixels

// The shuffles of one fitting. The low lane of a group's vector holds source bytes 0..15, the
// high lane bytes 8..23; lane 0 makes the group's first `lowBytes` output bytes, lane 1 the rest.
struct PairPlan {
    alignas(32) UCHAR pick[32];     // per 16-bit slot: the two source bytes, as lane offsets
    alignas(16) UCHAR compact[16];  // packed bytes of one group to its contiguous output bytes
    int outBytes;                   // output bytes per group
};

// first[p], second[p]: the source pixels (0..7) of output pixel p of a group.
PairPlan MakePlan(const int* first, const int* second, int outPixels, int lowBytes)
{
    PairPlan plan;
    std::memset(plan.pick, 0x80, sizeof plan.pick);
    std::memset(plan.compact, 0x80, sizeof plan.compact);
    plan.outBytes = 3 * outPixels;
    for (int o = 0; o < plan.outBytes; ++o) {
        const int lane = o < lowBytes ? 0 : 1;
        const int slot = o - lane * lowBytes;
        const int a = 3 * first[o / 3] + o % 3 - 8 * lane;
        const int b = 3 * second[o / 3] + o % 3 - 8 * lane;
        plan.pick[16 * lane + 2 * slot] = static_cast<UCHAR>(a);
        plan.pick[16 * lane + 2 * slot + 1] = static_cast<UCHAR>(b);
        plan.compact[o] = static_cast<UCHAR>(8 * lane + slot);
    }
    return plan;
}

// 8-to-5: s0, s1+s2, s3, s5, s6+s7 (a single member taken twice).
const int kResampleFirst[5] = {0, 1, 3, 5, 6};
const int kResampleSecond[5] = {0, 2, 3, 5, 7};
// Halving: pixels 0+1, 2+3, 4+5, 6+7.
const int kHalveFirst[4] = {0, 2, 4, 6};
const int kHalveSecond[4] = {1, 3, 5, 7};
// Quartering: pixels 0+2, 4+6.
const int kQuarterFirst[2] = {0, 4};
const int kQuarterSecond[2] = {2, 6};

const PairPlan& ResamplePlan()
{
    static const PairPlan plan = MakePlan(kResampleFirst, kResampleSecond, 5, 8);
    return plan;
}
const PairPlan& HalvePlan()
{
    static const PairPlan plan = MakePlan(kHalveFirst, kHalveSecond, 4, 6);
    return plan;
}
const PairPlan& QuarterPlan()
{
    static const PairPlan plan = MakePlan(kQuarterFirst, kQuarterSecond, 2, 3);
    return plan;
}

// The pair sums of one group of one row: 16-bit, one per output byte.
NIMBRA_AVX2 inline __m256i PairSums(const UCHAR* group, __m256i pick)
{
    // Exactly the group's 24 bytes are read: bytes 0..15 and 8..23.
    const __m256i bytes = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(group + 8),
                                              reinterpret_cast<const __m128i*>(group));
    return _mm256_maddubs_epi16(_mm256_shuffle_epi8(bytes, pick), _mm256_set1_epi8(1));
}

// One group's output bytes, before packing: (upper + lower) >> 2; a single row counts twice.
NIMBRA_AVX2 inline __m256i GroupValues(const UCHAR* upper, const UCHAR* lower, __m256i pick)
{
    const __m256i a = PairSums(upper, pick);
    const __m256i b = lower != nullptr ? PairSums(lower, pick) : a;
    return _mm256_srli_epi16(_mm256_add_epi16(a, b), 2);
}

// One output row of `groups` groups, from the groups starting at upper and lower (lower null: the
// upper row taken twice).
NIMBRA_AVX2 VOID FitRow(const UCHAR* upper, const UCHAR* lower, int groups, const PairPlan& plan, UCHAR* out)
{
    const __m256i pick = _mm256_load_si256(reinterpret_cast<const __m256i*>(plan.pick));
    const __m256i compact = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(plan.compact)));
    const int outBytes = plan.outBytes;
    for (int g = 0; g < groups; g += 2) {
        const int second = g + 1 < groups ? g + 1 : g;
        const size_t firstAt = static_cast<size_t>(g) * kGroupBytes;
        const size_t secondAt = static_cast<size_t>(second) * kGroupBytes;
        const __m256i x = GroupValues(upper + firstAt, lower != nullptr ? lower + firstAt : nullptr, pick);
        const __m256i y = GroupValues(upper + secondAt, lower != nullptr ? lower + secondAt : nullptr, pick);
        // Packed: lane 0 = x low, y low; lane 1 = x high, y high. Reordered to one group per lane,
        // then each lane's bytes made contiguous.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(x, y), 0xD8);
        const __m256i bytes = _mm256_shuffle_epi8(packed, compact);
        // A 16-byte store runs into the next group's bytes, which that group writes afterwards;
        // the row's last step copies exact lengths, so nothing past the row is written.
        if (g + 2 < groups) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + g * outBytes), _mm256_castsi256_si128(bytes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + second * outBytes), _mm256_extracti128_si256(bytes, 1));
        } else {
            alignas(32) UCHAR staged[32];
            _mm256_store_si256(reinterpret_cast<__m256i*>(staged), bytes);
            std::memcpy(out + g * outBytes, staged, static_cast<size_t>(outBytes));
            if (second != g) {
                std::memcpy(out + second * outBytes, staged + 16, static_cast<size_t>(outBytes));
            }
        }
    }
}

}  // namespace

NIMBRA_AVX2 VOID HalvePictureAvx2(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out)
{
    if (outWidth % 4 != 0) {
        HalvePicturePlain(source, sourceStride, outWidth, outHeight, out);
        return;
    }
    const PairPlan& plan = HalvePlan();
    HalveRows(source, sourceStride, outWidth, outHeight, out,
              [&plan](const UCHAR* upper, const UCHAR* lower, int sourcePixels, UCHAR* row) {
        FitRow(upper, lower, sourcePixels / 8, plan, row);
    });
}

NIMBRA_AVX2 VOID QuarterPictureAvx2(const UCHAR* decoded, UCHAR* out)
{
    const PairPlan& plan = QuarterPlan();
    QuarterRows(decoded, out, [&plan](const UCHAR* upper, const UCHAR* lower, int sourcePixels, UCHAR* row) {
        FitRow(upper, lower, sourcePixels / 8, plan, row);
    });
}

NIMBRA_AVX2 VOID ResamplePictureAvx2(const UCHAR* decoded, UCHAR* out)
{
    const PairPlan& plan = ResamplePlan();
    ResampleRows(decoded, out, [&plan](const UCHAR* upper, const UCHAR* lower, int sourcePixels, UCHAR* row) {
        FitRow(upper, lower, sourcePixels / 8, plan, row);
    });
}
