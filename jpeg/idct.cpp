// The integer inverse DCT of Loeffler, Ligtenberg and Moschytz in 13-bit fixed point, rows
// first, carrying 2 extra bits between the passes. Arithmetic is 32-bit and wraps, as the
// transform is specified: it is done in unsigned words, and right shifts are arithmetic.
//
// InverseDct is the plain form. InverseDctBlock is the one the decoder runs: on x86-64 it
// is an SSE2 form of the same arithmetic. Every multiply-and-add of the butterfly is linear
// in the eight inputs modulo 2^32, so each result can be regrouped into sums of two
// 16-bit x 16-bit products (pmaddwd), which wrap exactly as the plain 32-bit words do; the
// per-pass short cuts give the same values as the full butterfly and need no branch.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jpeg/jpeg_internal.h"

namespace {

using U = ULONG;

// Arithmetic right shift of a wrapped 32-bit value.
inline LONG Sar(U v, int n)
{
    return static_cast<LONG>(v) >> n;
}

inline UCHAR ClampSample(LONG v)
{
    return static_cast<UCHAR>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// The shared butterfly: eight inputs to the eight results before descaling.
inline void Butterfly(U x0, U x1, U x2, U x3, U x4, U x5, U x6, U x7, U y[8])
{
    U z1 = (x2 + x6) * 4433u;
    const U t2 = z1 - x6 * 15137u;
    const U t3 = z1 + x2 * 6270u;
    const U t0 = (x0 + x4) * 8192u;
    const U t1 = (x0 - x4) * 8192u;
    const U t10 = t0 + t3;
    const U t13 = t0 - t3;
    const U t11 = t1 + t2;
    const U t12 = t1 - t2;

    U o0 = x7, o1 = x5, o2 = x3, o3 = x1;
    z1 = o0 + o3;
    U z2 = o1 + o2;
    U z3 = o0 + o2;
    U z4 = o1 + o3;
    const U z5 = (z3 + z4) * 9633u;
    o0 *= 2446u;
    o1 *= 16819u;
    o2 *= 25172u;
    o3 *= 12299u;
    z1 *= static_cast<U>(-7373);
    z2 *= static_cast<U>(-20995);
    z3 = z3 * static_cast<U>(-16069) + z5;
    z4 = z4 * static_cast<U>(-3196) + z5;
    o0 += z1 + z3;
    o1 += z2 + z4;
    o2 += z2 + z3;
    o3 += z1 + z4;

    y[0] = t10 + o3;
    y[7] = t10 - o3;
    y[1] = t11 + o2;
    y[6] = t11 - o2;
    y[2] = t12 + o1;
    y[5] = t12 - o1;
    y[3] = t13 + o0;
    y[4] = t13 - o0;
}

inline U In(const SHORT* p, int i)
{
    return static_cast<U>(static_cast<LONG>(p[i]));
}

}  // namespace

// Transforms one block of dequantised coefficients (natural order) into 64 clamped samples
// at output (row stride 8). The block is the workspace: the row pass overwrites it.
VOID InverseDct(SHORT* c, UCHAR* output)
{
    for (int row = 0; row < 8; row++) {
        SHORT* p = c + 8 * row;
        if ((p[1] | p[2] | p[3] | p[4] | p[5] | p[6] | p[7]) == 0) {
            const SHORT dc = Low16(In(p, 0) * 4u);
            for (int k = 0; k < 8; k++) {
                p[k] = dc;
            }
            continue;
        }
        U y[8];
        Butterfly(In(p, 0), In(p, 1), In(p, 2), In(p, 3), In(p, 4), In(p, 5), In(p, 6), In(p, 7), y);
        for (int k = 0; k < 8; k++) {
            p[k] = Low16(static_cast<U>(Sar(y[k] + 1024u, 11)));
        }
    }
    for (int col = 0; col < 8; col++) {
        const SHORT* p = c + col;
        if ((p[8] | p[16] | p[24] | p[32] | p[40] | p[48] | p[56]) == 0) {
            const UCHAR v = ClampSample(Sar(In(p, 0) + 16u, 5) + 128);
            for (int k = 0; k < 8; k++) {
                output[8 * k + col] = v;
            }
            continue;
        }
        U y[8];
        Butterfly(In(p, 0), In(p, 8), In(p, 16), In(p, 24), In(p, 32), In(p, 40), In(p, 48), In(p, 56), y);
        for (int k = 0; k < 8; k++) {
            output[8 * k + col] = ClampSample(Sar(y[k] + 131072u, 18) + 128);
        }
    }
}

#if defined(__SSE2__)

namespace {

// Two 16-bit constants (a for the first input of a pair, b for the second) for pmaddwd.
inline __m128i Pair(int a, int b)
{
    return _mm_set1_epi32(static_cast<int>((static_cast<unsigned>(b) << 16) | (static_cast<unsigned>(a) & 0xFFFFu)));
}

// Transposes an 8 x 8 block of 16-bit values held as eight rows.
inline void Transpose(__m128i r[8])
{
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]);
    const __m128i a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]);
    const __m128i a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]);
    const __m128i a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]);
    const __m128i a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2);
    const __m128i b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3);
    const __m128i b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6);
    const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
    const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

// The butterfly on four lanes: p02, p46, p75 and p31 hold the input pairs (x0,x4), (x2,x6),
// (x7,x5), (x3,x1) interleaved; round is added to every result. y gets the eight results.
inline void Butterfly4(__m128i p04, __m128i p26, __m128i p75, __m128i p31, __m128i round, __m128i y[8])
{
    const __m128i t0 = _mm_add_epi32(_mm_madd_epi16(p04, Pair(8192, 8192)), round);
    const __m128i t1 = _mm_add_epi32(_mm_madd_epi16(p04, Pair(8192, -8192)), round);
    const __m128i t2 = _mm_madd_epi16(p26, Pair(4433, 4433 - 15137));
    const __m128i t3 = _mm_madd_epi16(p26, Pair(4433 + 6270, 4433));
    const __m128i t10 = _mm_add_epi32(t0, t3);
    const __m128i t13 = _mm_sub_epi32(t0, t3);
    const __m128i t11 = _mm_add_epi32(t1, t2);
    const __m128i t12 = _mm_sub_epi32(t1, t2);
    // Odd part, o0..o3 = x7, x5, x3, x1, each result expanded over the four inputs.
    const __m128i r0 = _mm_add_epi32(_mm_madd_epi16(p75, Pair(2446 - 7373 - 16069 + 9633, 9633)),
                                     _mm_madd_epi16(p31, Pair(9633 - 16069, 9633 - 7373)));
    const __m128i r1 = _mm_add_epi32(_mm_madd_epi16(p75, Pair(9633, 16819 - 20995 - 3196 + 9633)),
                                     _mm_madd_epi16(p31, Pair(9633 - 20995, 9633 - 3196)));
    const __m128i r2 = _mm_add_epi32(_mm_madd_epi16(p75, Pair(9633 - 16069, 9633 - 20995)),
                                     _mm_madd_epi16(p31, Pair(25172 - 20995 - 16069 + 9633, 9633)));
    const __m128i r3 = _mm_add_epi32(_mm_madd_epi16(p75, Pair(9633 - 7373, 9633 - 3196)),
                                     _mm_madd_epi16(p31, Pair(9633, 12299 - 7373 - 3196 + 9633)));
    y[0] = _mm_add_epi32(t10, r3);
    y[7] = _mm_sub_epi32(t10, r3);
    y[1] = _mm_add_epi32(t11, r2);
    y[6] = _mm_sub_epi32(t11, r2);
    y[2] = _mm_add_epi32(t12, r1);
    y[5] = _mm_sub_epi32(t12, r1);
    y[3] = _mm_add_epi32(t13, r0);
    y[4] = _mm_sub_epi32(t13, r0);
}

// One pass over eight lanes: x[j] holds input j of every lane. lo and hi get the results of
// lanes 0..3 and 4..7.
inline void Pass(const __m128i x[8], __m128i round, __m128i lo[8], __m128i hi[8])
{
    Butterfly4(_mm_unpacklo_epi16(x[0], x[4]), _mm_unpacklo_epi16(x[2], x[6]), _mm_unpacklo_epi16(x[7], x[5]),
               _mm_unpacklo_epi16(x[3], x[1]), round, lo);
    Butterfly4(_mm_unpackhi_epi16(x[0], x[4]), _mm_unpackhi_epi16(x[2], x[6]), _mm_unpackhi_epi16(x[7], x[5]),
               _mm_unpackhi_epi16(x[3], x[1]), round, hi);
}

// Low 16 bits of (v >> 11), sign-extended, so that the saturating pack keeps them exactly.
inline __m128i RowResult(__m128i v)
{
    return _mm_srai_epi32(_mm_slli_epi32(v, 5), 16);
}

}  // namespace

// Transforms one block of dequantised coefficients (natural order, left unchanged) into 64
// clamped samples at output (row stride 8). Same results as InverseDct.
VOID InverseDctBlock(const SHORT* c, UCHAR* output)
{
    __m128i x[8];
    for (int i = 0; i < 8; i++) {
        x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 8 * i));
    }
    // Rows: lanes are rows, so x[j] must hold coefficient j of each row.
    Transpose(x);
    __m128i lo[8];
    __m128i hi[8];
    Pass(x, _mm_set1_epi32(1024), lo, hi);
    for (int k = 0; k < 8; k++) {
        x[k] = _mm_packs_epi32(RowResult(lo[k]), RowResult(hi[k]));
    }
    // x[k] is now column k of the intermediate block; columns: lanes are columns.
    Transpose(x);
    Pass(x, _mm_set1_epi32(131072), lo, hi);
    const __m128i bias = _mm_set1_epi16(128);
    __m128i rows[8];
    for (int k = 0; k < 8; k++) {
        rows[k] = _mm_add_epi16(_mm_packs_epi32(_mm_srai_epi32(lo[k], 18), _mm_srai_epi32(hi[k], 18)), bias);
    }
    for (int k = 0; k < 8; k += 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output + 8 * k), _mm_packus_epi16(rows[k], rows[k + 1]));
    }
}

#else

// Transforms one block (left unchanged) into 64 clamped samples at output: InverseDct on a copy.
VOID InverseDctBlock(const SHORT* c, UCHAR* output)
{
    SHORT work[64];
    std::memcpy(work, c, sizeof(work));
    InverseDct(work, output);
}

#endif
