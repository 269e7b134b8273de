// AVX-512 VBMI versions of the turn fused with the tone curve. With vpermi2b the whole curve is
// a table of four 64-byte vectors: two two-table permutes give the entries below and from 128,
// and the top bit of the byte chooses between them, 4 operations per 64 bytes. The turn
// reverses blocks of 64 pixels (192 bytes) with one two-table permute per output vector.
// Every routine carries its target attribute, so the file builds for the baseline processor;
// the routines are called only when the processor has AVX-512 F, BW and VBMI.
#include "frame/picture_kernels_avx512.h"

#include <immintrin.h>

#include "frame/picture_kernels.h"
#include "frame/tone_curve.h"

// A test build may define it empty, to run the routines over scalar stand-ins for the intrinsics.
#ifndef NIMBRA_AVX512
#define NIMBRA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif

namespace {

constexpr int kBlockPixels = 64;
constexpr int kBlockBytes = 3 * kBlockPixels;  // 192: three vectors

// Per output vector j of a reversed block: the 128-byte source window [start, start + 128)
// inside the block and, per output byte, its offset in that window.
struct WideReversePlan {
    int start[3];
    alignas(64) UCHAR index[3][64];
};

WideReversePlan MakeWideReversePlan()
{
    WideReversePlan plan;
    for (int j = 0; j < 3; ++j) {
        int lowest = kBlockBytes;
        for (int b = 64 * j; b < 64 * j + 64; ++b) {
            const int source = 3 * (kBlockPixels - 1 - b / 3) + b % 3;
            lowest = source < lowest ? source : lowest;
        }
        // The window must stay inside the block: it starts no later than byte 64.
        plan.start[j] = lowest < kBlockBytes - 128 ? lowest : kBlockBytes - 128;
        for (int k = 0; k < 64; ++k) {
            const int b = 64 * j + k;
            plan.index[j][k] = static_cast<UCHAR>(3 * (kBlockPixels - 1 - b / 3) + b % 3 - plan.start[j]);
        }
    }
    return plan;
}

const WideReversePlan& TheWideReversePlan()
{
    static const WideReversePlan plan = MakeWideReversePlan();
    return plan;
}

struct WideTone {
    __m512i table[4];    // curve entries 0..63, 64..127, 128..191, 192..255
    __m512i reverse[3];  // the reverse plan's indices
    int start[3];
};

NIMBRA_AVX512 VOID LoadWideTone(WideTone* t)
{
    for (int q = 0; q < 4; ++q) t->table[q] = _mm512_loadu_si512(ToneCurve + 64 * q);
    const WideReversePlan& plan = TheWideReversePlan();
    for (int j = 0; j < 3; ++j) {
        t->reverse[j] = _mm512_load_si512(plan.index[j]);
        t->start[j] = plan.start[j];
    }
}

NIMBRA_AVX512 inline __m512i WideToneLookup(__m512i x, const WideTone& t)
{
    const __m512i low = _mm512_permutex2var_epi8(t.table[0], x, t.table[1]);   // bit 7 ignored
    const __m512i high = _mm512_permutex2var_epi8(t.table[2], x, t.table[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
}

// 64 pixels: result pixel p = tone of in pixel 63 − p, byte by byte, in three vectors. Reads
// only the block's 192 bytes.
NIMBRA_AVX512 inline VOID TurnTone192(const UCHAR* in, __m512i result[3], const WideTone& t)
{
    for (int j = 0; j < 3; ++j) {
        const __m512i a = _mm512_loadu_si512(in + t.start[j]);
        const __m512i b = _mm512_loadu_si512(in + t.start[j] + 64);
        result[j] = WideToneLookup(_mm512_permutex2var_epi8(a, t.reverse[j], b), t);
    }
}

NIMBRA_AVX512 inline VOID Store192(UCHAR* out, const __m512i result[3])
{
    for (int j = 0; j < 3; ++j) _mm512_storeu_si512(out + 64 * j, result[j]);
}

}  // namespace

bool Avx512VbmiAvailable()
{
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
}

NIMBRA_AVX512 VOID TurnAndToneAvx512(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out)
{
    WideTone t;
    LoadWideTone(&t);
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    for (LONG i = 0; i < height; ++i) {
        const UCHAR* from = source + static_cast<size_t>(height - 1 - i) * sourceStride;
        UCHAR* to = out + static_cast<size_t>(i) * rowBytes;
        LONG j = 0;
        for (; j + kBlockPixels <= width; j += kBlockPixels) {
            // Output pixels j .. j + 63 are source pixels width − 1 − j down to width − 64 − j.
            __m512i result[3];
            TurnTone192(from + 3 * static_cast<size_t>(width - kBlockPixels - j), result, t);
            Store192(to + 3 * static_cast<size_t>(j), result);
        }
        // The rest of the row: output pixels j .. width − 1 are source pixels width − 1 − j down to 0.
        TurnAndTonePlain(from, sourceStride, width - j, 1, to + 3 * static_cast<size_t>(j));
    }
}

NIMBRA_AVX512 VOID TurnAndToneAvx512InPlace(UCHAR* picture, LONG width, LONG height)
{
    WideTone t;
    LoadWideTone(&t);
    const size_t pixels = static_cast<size_t>(width) * height;
    // Blocks of 64 pixels from both ends, swapped; both are read before either is written.
    size_t front = 0;
    size_t back = pixels;
    while (front + 2 * kBlockPixels <= back) {
        UCHAR* f = picture + 3 * front;
        UCHAR* b = picture + 3 * (back - kBlockPixels);
        __m512i frontOut[3];
        __m512i backOut[3];
        TurnTone192(b, frontOut, t);
        TurnTone192(f, backOut, t);
        Store192(f, frontOut);
        Store192(b, backOut);
        front += kBlockPixels;
        back -= kBlockPixels;
    }
    // The middle, fewer than 128 pixels, is a picture of its own turned where it lies.
    TurnAndTonePlainInPlace(picture + 3 * front, static_cast<LONG>(back - front), 1);
}
