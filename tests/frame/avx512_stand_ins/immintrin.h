// Scalar stand-ins for the AVX-512 intrinsics of the turn-and-tone kernels, found before the
// compiler's own header by the test that builds those kernels with them: the kernels' logic
// (block plans, permute windows, tails) is then checked on processors without AVX-512 VBMI.
// Each stand-in does what the instruction's description says, lane by lane.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

struct __m512i {
    uint8_t b[64];
};
typedef uint64_t __mmask64;

inline __m512i _mm512_loadu_si512(const void* p)
{
    __m512i r;
    std::memcpy(r.b, p, 64);
    return r;
}

inline __m512i _mm512_load_si512(const void* p)
{
    if (reinterpret_cast<uintptr_t>(p) % 64 != 0) {
        std::abort();  // the aligned load faults on the processor too
    }
    return _mm512_loadu_si512(p);
}

inline void _mm512_storeu_si512(void* p, __m512i v) { std::memcpy(p, v.b, 64); }

// vpermi2b: index bits 0..5 pick a byte, bit 6 picks b over a; bit 7 is ignored.
inline __m512i _mm512_permutex2var_epi8(__m512i a, __m512i index, __m512i b)
{
    __m512i r;
    for (int i = 0; i < 64; i++) {
        const int k = index.b[i] & 127;
        r.b[i] = k < 64 ? a.b[k] : b.b[k - 64];
    }
    return r;
}

inline __mmask64 _mm512_movepi8_mask(__m512i a)
{
    __mmask64 m = 0;
    for (int i = 0; i < 64; i++) {
        if (a.b[i] & 0x80) m |= uint64_t{1} << i;
    }
    return m;
}

inline __m512i _mm512_mask_blend_epi8(__mmask64 k, __m512i a, __m512i b)
{
    __m512i r;
    for (int i = 0; i < 64; i++) r.b[i] = (k >> i & 1) ? b.b[i] : a.b[i];
    return r;
}
