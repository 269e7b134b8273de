// AVX2 turn and tone curve (the fittings are in picture_fitting_avx2.cpp). Every routine that
// uses AVX2 carries the target attribute itself, so the file builds for the baseline processor
// and the choice is made at run time.
//
// The turn reverses blocks of 32 pixels with byte shuffles; the tone curve is computed from 27
// straight pieces fitted exactly to it, their coefficients looked up with byte shuffles.
#include "frame/picture_kernels_avx2.h"

#include <immintrin.h>

#include <cstring>

#include "frame/picture_kernels.h"
#include "frame/tone_curve.h"

#define NIMBRA_AVX2 __attribute__((target("avx2")))

namespace {

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

// The tone curve as 32 straight pieces of 8 entries: entry 8h + l (l = 0..7) is
// base[h] + ((l × slope[h] + offset[h]) >> 4), every product and sum within a byte. The pieces
// are fitted to the table once and checked against all of it; each of the three coefficient
// rows is two 16-entry tables (pieces 0..15 and 16..31), looked up with byte shuffles.
struct TonePieces {
    alignas(16) UCHAR base[2][16];
    alignas(16) UCHAR slope[2][16];
    alignas(16) UCHAR offset[2][16];
    bool exact;  // every entry reproduced; otherwise the kernels use the plain lookup
};

constexpr int kTonePieces = 32;

bool FitPiece(int piece, TonePieces* t)
{
    const int first = 8 * piece;
    const int base = ToneCurve[first];
    for (int slope = 0; slope < 32; ++slope) {
        for (int offset = 0; offset < 16; ++offset) {
            bool fits = true;
            for (int l = 0; l < 8 && fits; ++l) {
                fits = base + ((l * slope + offset) >> 4) == ToneCurve[first + l];
            }
            if (fits) {
                t->base[piece / 16][piece % 16] = static_cast<UCHAR>(base);
                t->slope[piece / 16][piece % 16] = static_cast<UCHAR>(slope);
                t->offset[piece / 16][piece % 16] = static_cast<UCHAR>(offset);
                return true;
            }
        }
    }
    return false;
}

const TonePieces& TheTonePieces()
{
    static const TonePieces pieces = [] {
        TonePieces t{};
        t.exact = true;
        for (int piece = 0; piece < kTonePieces; ++piece) t.exact = FitPiece(piece, &t) && t.exact;
        for (int x = 256; t.exact && x-- > 0;) {
            const int h = x / 8;
            const int step = ((x % 8) * t.slope[h / 16][h % 16] + t.offset[h / 16][h % 16]) >> 4;
            const int v = t.base[h / 16][h % 16] + step;
            t.exact = v == ToneCurve[x];
        }
        return t;
    }();
    return pieces;
}

// The three coefficient rows in registers, loaded once per picture.
struct ToneRegisters {
    __m256i base[2];
    __m256i slope[2];
    __m256i offset[2];
};

// The coefficient of each byte's piece: table 0 for pieces 0..15, table 1 from 16 on, chosen by
// bit 7 of the byte (piece bit 4).
NIMBRA_AVX2 inline __m256i Piece(const __m256i (&table)[2], __m256i index, __m256i x)
{
    return _mm256_blendv_epi8(_mm256_shuffle_epi8(table[0], index), _mm256_shuffle_epi8(table[1], index), x);
}

NIMBRA_AVX2 inline __m256i ToneLookup(__m256i x, const ToneRegisters& t)
{
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i index = _mm256_and_si256(_mm256_srli_epi16(x, 3), nibble);  // piece, low four bits
    const __m256i base = Piece(t.base, index, x);
    const __m256i slope = Piece(t.slope, index, x);
    const __m256i offset = Piece(t.offset, index, x);
    // l × slope byte by byte: the even and the odd bytes multiplied in 16-bit lanes (at most
    // 7 × 31, so each product stays in its byte).
    const __m256i lEven = _mm256_and_si256(x, _mm256_set1_epi16(0x0007));
    const __m256i lOdd = _mm256_and_si256(x, _mm256_set1_epi16(0x0700));
    const __m256i even = _mm256_maddubs_epi16(lEven, slope);
    const __m256i odd = _mm256_maddubs_epi16(lOdd, slope);
    const __m256i product = _mm256_or_si256(even, _mm256_slli_epi16(odd, 8));
    const __m256i step = _mm256_and_si256(_mm256_srli_epi16(_mm256_add_epi8(product, offset), 4), nibble);
    return _mm256_add_epi8(base, step);
}

// The tone pieces and the reverse plan, loaded into registers once per picture.
struct TurnToneState {
    ToneRegisters tone;
    __m128i maskLow[3];
    __m128i maskHigh[3];
    int first[3];
};

NIMBRA_AVX2 inline __m256i Broadcast(const UCHAR (&table)[16])
{
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

NIMBRA_AVX2 VOID LoadTurnTone(TurnToneState* state)
{
    const TonePieces& t = TheTonePieces();
    for (int h = 0; h < 2; ++h) {
        state->tone.base[h] = Broadcast(t.base[h]);
        state->tone.slope[h] = Broadcast(t.slope[h]);
        state->tone.offset[h] = Broadcast(t.offset[h]);
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
        result[k] = ToneLookup(_mm256_set_m128i(r[2 * k + 1], r[2 * k]), state.tone);
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

NIMBRA_AVX2 VOID TurnAndToneAvx2(const UCHAR* source, LONG sourceStride, LONG width, LONG height, UCHAR* out)
{
    if (!TheTonePieces().exact) {
        TurnAndTonePlain(source, sourceStride, width, height, out);
        return;
    }
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
        // The rest of the row: output pixels j .. width − 1 are source pixels width − 1 − j down to 0.
        TurnAndTonePlain(from, sourceStride, width - j, 1, to + 3 * static_cast<size_t>(j));
    }
}

NIMBRA_AVX2 VOID TurnAndToneAvx2InPlace(UCHAR* picture, LONG width, LONG height)
{
    if (!TheTonePieces().exact) {
        TurnAndTonePlainInPlace(picture, width, height);
        return;
    }
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
    // The middle, fewer than 64 pixels, is a picture of its own turned where it lies.
    TurnAndTonePlainInPlace(picture + 3 * front, static_cast<LONG>(back - front), 1);
}
