// AVX2 picture kernels. Every routine that uses AVX2 carries the target attribute itself, so
// the file builds for the baseline processor and the choice is made at run time.
//
// The fittings are separable: a vertical pass adds the two source rows of an output row into
// 16-bit sums, and a horizontal pass picks and adds, per group of 8 source pixels (24 sums),
// the pairs of sums each output byte needs, with byte shuffles prepared once per fitting. Every
// output byte is then (A + B) >> 2: a sum of four, or a sum of two counted twice, or a single
// byte counted four times, which gives exactly the plain kernels' truncating means.
//
// The turn reverses blocks of 32 pixels with byte shuffles; the tone curve is looked up with 16
// shuffles of 16-entry tables, selected by the high four bits of the byte.
#include "frame/picture_kernels_avx2.h"

#include <immintrin.h>

#include <cstring>

#include "frame/picture_kernels.h"
#include "frame/tone_curve.h"

#define NIMBRA_AVX2 __attribute__((target("avx2")))

namespace {

constexpr int kGroupSums = 24;          // 16-bit sums per group of 8 source pixels
constexpr int kMaxRowSums = 1920 + 32;  // one 640-pixel row, plus room for a full last load

// Byte shuffles that make, from the three 8-sum vectors of a group, two 8-sum vectors holding
// the first (A) and second (B) sum of each output byte.
struct GatherPlan {
    UCHAR maskA[2][3][16];
    UCHAR maskB[2][3][16];
    int outBytes;  // output bytes per group
};

VOID BuildMasks(const int* indices, int count, UCHAR masks[2][3][16])
{
    std::memset(masks, 0x80, 2 * 3 * 16);
    for (int lane = 0; lane < count; ++lane) {
        const int out = lane / 8;
        const int outLane = lane % 8;
        const int source = indices[lane] / 8;
        const int sourceLane = indices[lane] % 8;
        masks[out][source][2 * outLane] = static_cast<UCHAR>(2 * sourceLane);
        masks[out][source][2 * outLane + 1] = static_cast<UCHAR>(2 * sourceLane + 1);
    }
}

GatherPlan MakePlan(const int* first, const int* second, int outPixels)
{
    GatherPlan plan;
    int a[16] = {};
    int b[16] = {};
    for (int p = 0; p < outPixels; ++p) {
        for (int c = 0; c < 3; ++c) {
            a[3 * p + c] = 3 * first[p] + c;
            b[3 * p + c] = 3 * second[p] + c;
        }
    }
    BuildMasks(a, 3 * outPixels, plan.maskA);
    BuildMasks(b, 3 * outPixels, plan.maskB);
    plan.outBytes = 3 * outPixels;
    return plan;
}

// 8-to-5: s0, s1+s2, s3, s5, s6+s7 (a single member is taken twice).
const int kResampleFirst[5] = {0, 1, 3, 5, 6};
const int kResampleSecond[5] = {0, 2, 3, 5, 7};
// Halving: pixels 0+1, 2+3, 4+5, 6+7.
const int kHalveFirst[4] = {0, 2, 4, 6};
const int kHalveSecond[4] = {1, 3, 5, 7};
// Quartering: pixels 0+2, 4+6.
const int kQuarterFirst[2] = {0, 4};
const int kQuarterSecond[2] = {2, 6};

const GatherPlan& ResamplePlan()
{
    static const GatherPlan plan = MakePlan(kResampleFirst, kResampleSecond, 5);
    return plan;
}
const GatherPlan& HalvePlan()
{
    static const GatherPlan plan = MakePlan(kHalveFirst, kHalveSecond, 4);
    return plan;
}
const GatherPlan& QuarterPlan()
{
    static const GatherPlan plan = MakePlan(kQuarterFirst, kQuarterSecond, 2);
    return plan;
}

// sums[i] = a[i] + b[i] for `bytes` bytes (rounded up to 16; the caller's rows hold them).
NIMBRA_AVX2 VOID AddRows(const UCHAR* a, const UCHAR* b, int bytes, USHORT* sums)
{
    for (int i = 0; i < bytes; i += 16) {
        const __m256i x = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
        const __m256i y = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i), _mm256_add_epi16(x, y));
    }
}

NIMBRA_AVX2 inline __m256i LoadMask(const UCHAR (&mask)[16])
{
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask)));
}

// The plan's shuffles held in registers for a whole row: loaded once, not once per group (the
// compiler cannot keep them itself, as the output stores may alias the plan).
struct GatherMasks {
    __m256i a[2][3];
    __m256i b[2][3];
};

NIMBRA_AVX2 inline GatherMasks LoadMasks(const GatherPlan& plan)
{
    GatherMasks m;
    for (int half = 0; half < 2; ++half) {
        for (int s = 0; s < 3; ++s) {
            m.a[half][s] = LoadMask(plan.maskA[half][s]);
            m.b[half][s] = LoadMask(plan.maskB[half][s]);
        }
    }
    return m;
}

NIMBRA_AVX2 inline __m256i Gather(const __m256i* sources, const __m256i (&masks)[3])
{
    __m256i r = _mm256_shuffle_epi8(sources[0], masks[0]);
    r = _mm256_or_si256(r, _mm256_shuffle_epi8(sources[1], masks[1]));
    return _mm256_or_si256(r, _mm256_shuffle_epi8(sources[2], masks[2]));
}

// One output row of `groups` groups from the row sums: two groups per step, one in each lane.
NIMBRA_AVX2 VOID GatherRow(const USHORT* sums, int groups, const GatherPlan& plan, UCHAR* out)
{
    const GatherMasks m = LoadMasks(plan);
    const int outBytes = plan.outBytes;
    for (int g = 0; g < groups; g += 2) {
        const int second = g + 1 < groups ? g + 1 : g;
        __m256i sources[3];
        for (int s = 0; s < 3; ++s) {
            sources[s] = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(sums + second * kGroupSums + 8 * s),
                                             reinterpret_cast<const __m128i*>(sums + g * kGroupSums + 8 * s));
        }
        __m256i low = _mm256_add_epi16(Gather(sources, m.a[0]), Gather(sources, m.b[0]));
        __m256i high = _mm256_add_epi16(Gather(sources, m.a[1]), Gather(sources, m.b[1]));
        low = _mm256_srli_epi16(low, 2);
        high = _mm256_srli_epi16(high, 2);
        const __m256i bytes = _mm256_packus_epi16(low, high);  // per lane: one group's bytes
        // Groups follow each other, so a 16-byte store may run into the next group's bytes, which
        // that group writes afterwards; the row's last group is copied to its exact length.
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

// ---- Turn and tone --------------------------------------------------------------------------

// Per output block of 16 bytes of a reversed 48-byte block (16 pixels): two loads, at `first`
// and first + 2, and their shuffles.
struct ReversePlan {
    int first[3];
    UCHAR maskLow[3][16];
    UCHAR maskHigh[3][16];
};

ReversePlan MakeReversePlan()
{
    ReversePlan plan;
    for (int j = 0; j < 3; ++j) {
        int lowest = 48;
        for (int b = 16 * j; b < 16 * j + 16; ++b) {
            const int source = 3 * (15 - b / 3) + b % 3;
            lowest = source < lowest ? source : lowest;
        }
        plan.first[j] = lowest;
        for (int k = 0; k < 16; ++k) {
            const int b = 16 * j + k;
            const int offset = 3 * (15 - b / 3) + b % 3 - lowest;
            plan.maskLow[j][k] = offset < 16 ? static_cast<UCHAR>(offset) : 0x80;
            plan.maskHigh[j][k] = offset < 16 ? 0x80 : static_cast<UCHAR>(offset - 2);
        }
    }
    return plan;
}

const ReversePlan& TheReversePlan()
{
    static const ReversePlan plan = MakeReversePlan();
    return plan;
}

// The tone curve as 16 tables of 16 entries.
struct ToneTables {
    alignas(16) UCHAR table[16][16];
};

const ToneTables& TheToneTables()
{
    static const ToneTables tables = [] {
        ToneTables t;
        for (int i = 0; i < 256; ++i) t.table[i / 16][i % 16] = ToneCurve[i];
        return t;
    }();
    return tables;
}

NIMBRA_AVX2 inline __m256i ToneLookup(__m256i x, const __m256i* tables)
{
    // Inputs from 215 up all give 253, so the curve is looked up at min(x, 215): the high four
    // bits are then at most 13 and tables 14 and 15 are never needed.
    x = _mm256_min_epu8(x, _mm256_set1_epi8(static_cast<char>(215)));
    const __m256i low = _mm256_and_si256(x, _mm256_set1_epi8(0x0F));
    // Bit 4, 5, 6 and 7 of each byte moved to bit 7, where the blends look.
    const __m256i bit4 = _mm256_slli_epi16(x, 3);
    const __m256i bit5 = _mm256_slli_epi16(x, 2);
    const __m256i bit6 = _mm256_slli_epi16(x, 1);
    __m256i level[8];
    for (int k = 0; k < 7; ++k) {
        level[k] = _mm256_blendv_epi8(_mm256_shuffle_epi8(tables[2 * k], low),
                                      _mm256_shuffle_epi8(tables[2 * k + 1], low), bit4);
    }
    level[7] = level[6];
    for (int k = 0; k < 4; ++k) level[k] = _mm256_blendv_epi8(level[2 * k], level[2 * k + 1], bit5);
    for (int k = 0; k < 2; ++k) level[k] = _mm256_blendv_epi8(level[2 * k], level[2 * k + 1], bit6);
    return _mm256_blendv_epi8(level[0], level[1], x);
}

// The tone tables and the reverse plan, loaded into registers once per picture.
struct TurnToneState {
    __m256i tables[16];
    __m128i maskLow[3];
    __m128i maskHigh[3];
    int first[3];
};

NIMBRA_AVX2 VOID LoadTurnTone(TurnToneState* state)
{
    const ToneTables& t = TheToneTables();
    for (int h = 0; h < 16; ++h) {
        state->tables[h] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t.table[h])));
    }
    const ReversePlan& plan = TheReversePlan();
    for (int j = 0; j < 3; ++j) {
        state->maskLow[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.maskLow[j]));
        state->maskHigh[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.maskHigh[j]));
        state->first[j] = plan.first[j];
    }
}

// 16 pixels reversed: out pixel p = in pixel 15 − p.
NIMBRA_AVX2 inline VOID Reverse48(const UCHAR* in, __m128i out[3], const TurnToneState& state)
{
    for (int j = 0; j < 3; ++j) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + state.first[j]));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + state.first[j] + 2));
        out[j] = _mm_or_si128(_mm_shuffle_epi8(a, state.maskLow[j]), _mm_shuffle_epi8(b, state.maskHigh[j]));
    }
}

// 32 pixels: result pixel p = tone of in pixel 31 − p, byte by byte, in three vectors.
NIMBRA_AVX2 inline VOID TurnTone96(const UCHAR* in, __m256i result[3], const TurnToneState& state)
{
    __m128i r[6];
    Reverse48(in + 48, r, state);
    Reverse48(in, r + 3, state);
    for (int k = 0; k < 3; ++k) {
        result[k] = ToneLookup(_mm256_set_m128i(r[2 * k + 1], r[2 * k]), state.tables);
    }
}

NIMBRA_AVX2 inline VOID Store96(UCHAR* out, const __m256i result[3])
{
    for (int k = 0; k < 3; ++k) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * k), result[k]);
}

}  // namespace

bool Avx2Available()
{
    return __builtin_cpu_supports("avx2");
}

NIMBRA_AVX2 VOID HalvePictureAvx2(const UCHAR* source, LONG sourceStride, LONG outWidth, LONG outHeight, UCHAR* out)
{
    if (outWidth % 4 != 0) {
        HalvePicturePlain(source, sourceStride, outWidth, outHeight, out);
        return;
    }
    const GatherPlan& plan = HalvePlan();
    alignas(32) USHORT sums[kMaxRowSums];
    const int rowBytes = 6 * outWidth;
    for (LONG y = 0; y < outHeight; ++y) {
        const UCHAR* top = source + static_cast<size_t>(2 * y) * sourceStride;
        AddRows(top, top + sourceStride, rowBytes, sums);
        GatherRow(sums, outWidth / 4, plan, out + static_cast<size_t>(y) * outWidth * 3);
    }
}

NIMBRA_AVX2 VOID QuarterPictureAvx2(const UCHAR* decoded, UCHAR* out)
{
    const GatherPlan& plan = QuarterPlan();
    alignas(32) USHORT sums[kMaxRowSums];
    for (LONG y = 0; y < 120; ++y) {
        const UCHAR* top = decoded + static_cast<size_t>(4 * y) * DECODED_STRIDE;
        AddRows(top, top + 2 * DECODED_STRIDE, DECODED_STRIDE, sums);
        GatherRow(sums, 80, plan, out + static_cast<size_t>(y) * 160 * 3);
    }
}

NIMBRA_AVX2 VOID ResamplePictureAvx2(const UCHAR* decoded, UCHAR* out)
{
    static const int rowFirst[5] = {0, 1, 3, 5, 6};
    static const int rowSecond[5] = {0, 2, 3, 5, 7};
    const GatherPlan& plan = ResamplePlan();
    alignas(32) USHORT sums[kMaxRowSums];
    constexpr int kWindowBytes = 71 * kGroupSums;  // 568 pixels from column 40
    for (LONG group = 0; group < 58; ++group) {
        for (int p = 0; p < 5; ++p) {
            // A single row is counted twice, like a single column.
            const UCHAR* a = decoded + static_cast<size_t>(10 + 8 * group + rowFirst[p]) * DECODED_STRIDE + 40 * 3;
            const UCHAR* b = decoded + static_cast<size_t>(10 + 8 * group + rowSecond[p]) * DECODED_STRIDE + 40 * 3;
            AddRows(a, b, kWindowBytes, sums);
            GatherRow(sums, 71, plan, out + static_cast<size_t>(5 * group + p) * RESAMPLED_STRIDE);
        }
    }
}

NIMBRA_AVX2 VOID TurnAndToneAvx2(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out)
{
    TurnToneState state;
    LoadTurnTone(&state);
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    for (LONG i = 0; i < height; ++i) {
        const UCHAR* from = source + static_cast<size_t>(height - 1 - i) * sourceStride;
        UCHAR* to = out + static_cast<size_t>(i) * rowBytes;
        LONG j = 0;
        for (; j + 32 <= width; j += 32) {
            // Output pixels j .. j + 31 are source pixels width − 1 − j down to width − 32 − j.
            __m256i result[3];
            TurnTone96(from + 3 * static_cast<size_t>(width - 32 - j), result, state);
            Store96(to + 3 * static_cast<size_t>(j), result);
        }
        for (; j < width; ++j) {
            const UCHAR* pixel = from + 3 * static_cast<size_t>(width - 1 - j);
            to[3 * j] = ToneCurve[pixel[0]];
            to[3 * j + 1] = ToneCurve[pixel[1]];
            to[3 * j + 2] = ToneCurve[pixel[2]];
        }
    }
}

NIMBRA_AVX2 VOID TurnAndToneAvx2InPlace(UCHAR* picture, LONG width, LONG height)
{
    TurnToneState state;
    LoadTurnTone(&state);
    const size_t pixels = static_cast<size_t>(width) * height;
    // Blocks of 32 pixels from both ends, swapped: front block k and back block k mirror each
    // other. Both are read before either is written.
    size_t front = 0;          // first pixel of the front block
    size_t back = pixels;      // one past the last pixel of the back block
    while (front + 64 <= back) {
        UCHAR* f = picture + 3 * front;
        UCHAR* b = picture + 3 * (back - 32);
        __m256i frontOut[3];
        __m256i backOut[3];
        TurnTone96(b, frontOut, state);
        TurnTone96(f, backOut, state);
        Store96(f, frontOut);
        Store96(b, backOut);
        front += 32;
        back -= 32;
    }
    // The middle, fewer than 64 pixels, pixel by pixel from both of its ends.
    UCHAR* low = picture + 3 * front;
    UCHAR* high = picture + 3 * (back - 1);
    for (; low < high; low += 3, high -= 3) {
        for (int c = 0; c < 3; ++c) {
            const UCHAR a = low[c];
            low[c] = ToneCurve[high[c]];
            high[c] = ToneCurve[a];
        }
    }
    if (low == high) {
        for (int c = 0; c < 3; ++c) low[c] = ToneCurve[low[c]];
    }
}
