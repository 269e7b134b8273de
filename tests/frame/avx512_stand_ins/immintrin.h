// Scalar stand-ins for the AVX-512 intrinsics of the picture kernels, found before the compiler's
// own header by the test that builds those kernels with them: the kernels' logic (plans, permute
// windows, masks, tails) is then checked on processors without AVX-512 VBMI.
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

inline __m512i _mm512_set1_epi8(char v)
{
    __m512i r;
    std::memset(r.b, static_cast<uint8_t>(v), 64);
    return r;
}

// Masked-off bytes are neither read nor written, as the instructions guarantee (no fault).
inline __m512i _mm512_maskz_loadu_epi8(__mmask64 k, const void* p)
{
    __m512i r{};
    for (int i = 0; i < 64; i++) {
        if (k >> i & 1) r.b[i] = static_cast<const uint8_t*>(p)[i];
    }
    return r;
}

inline void _mm512_mask_storeu_epi8(void* p, __mmask64 k, __m512i v)
{
    for (int i = 0; i < 64; i++) {
        if (k >> i & 1) static_cast<uint8_t*>(p)[i] = v.b[i];
    }
}

inline int16_t Lane16(const __m512i& v, int i) { return static_cast<int16_t>(v.b[2 * i] | v.b[2 * i + 1] << 8); }
inline void SetLane16(__m512i& v, int i, int x)
{
    v.b[2 * i] = static_cast<uint8_t>(x);
    v.b[2 * i + 1] = static_cast<uint8_t>(x >> 8);
}

// vpmaddubsw: unsigned bytes of a times signed bytes of b, adjacent products added, saturated.
inline __m512i _mm512_maddubs_epi16(__m512i a, __m512i b)
{
    __m512i r;
    for (int i = 0; i < 32; i++) {
        int sum = a.b[2 * i] * static_cast<int8_t>(b.b[2 * i]) + a.b[2 * i + 1] * static_cast<int8_t>(b.b[2 * i + 1]);
        sum = sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum);
        SetLane16(r, i, sum);
    }
    return r;
}

inline __m512i _mm512_add_epi16(__m512i a, __m512i b)
{
    __m512i r;
    for (int i = 0; i < 32; i++) SetLane16(r, i, Lane16(a, i) + Lane16(b, i));
    return r;
}

inline __m512i _mm512_srli_epi16(__m512i a, unsigned n)
{
    __m512i r;
    for (int i = 0; i < 32; i++) SetLane16(r, i, n > 15 ? 0 : static_cast<uint16_t>(Lane16(a, i)) >> n);
    return r;
}
