// The integer inverse DCT of Loeffler, Ligtenberg and Moschytz in 13-bit fixed point, rows
// first, carrying 2 extra bits between the passes. Arithmetic is 32-bit and wraps, as the
// transform is specified: it is done in unsigned words, and right shifts are arithmetic.
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
