// Colour conversion: grey lines as they are, YCbCr to RGB (JFIF, 16-bit fixed point) through
// four tables, subsampled chroma replicated over the pixels it covers.
#include "jpeg/jpeg_internal.h"

namespace {

inline UCHAR Clamp(LONG v)
{
    return static_cast<UCHAR>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// The three chroma terms of one Cb, Cr sample pair.
struct Chroma {
    LONG red;
    LONG green;
    LONG blue;
};

inline Chroma ChromaTerms(const JpegDecoder* d, UCHAR cb, UCHAR cr)
{
    return {d->crToRed[cr], (d->cbToGreen[cb] + d->crToGreen[cr]) >> 16, d->cbToBlue[cb]};
}

inline void Pixel(UCHAR* out, LONG y, const Chroma& ch)
{
    out[0] = Clamp(y + ch.red);
    out[1] = Clamp(y + ch.green);
    out[2] = Clamp(y + ch.blue);
}

}  // namespace

// Fills the four conversion tables for indices 0..255 (x = index - 128).
VOID BuildColourTables(JpegDecoder* d)
{
    for (LONG i = 0; i < 256; i++) {
        const LONG x = i - 128;
        d->crToRed[i] = (91882 * x + 32768) >> 16;
        d->cbToBlue[i] = (116130 * x + 32768) >> 16;
        d->crToGreen[i] = -46802 * x;
        d->cbToGreen[i] = -22554 * x + 32768;
    }
}

// Produces line r of the current MCU row into line buffer 0 (types 0..2), or lines r and
// r + 1 (r even) into line buffers 0 and 1 (types 3 and 4), from the sample buffer.
VOID ConvertLines(JpegDecoder* d, LONG r)
{
    const UCHAR* blocks = d->sampleBuffer;
    UCHAR* out0 = d->lineBuffers[0];
    UCHAR* out1 = d->lineBuffers[1];
    const LONG mcus = d->frameMcusPerRow;
    switch (d->samplingType) {
    case 0:
        for (LONG m = 0; m < mcus; m++) {
            const UCHAR* y = blocks + 64 * m + 8 * r;
            for (int j = 0; j < 8; j++) {
                out0[8 * m + j] = y[j];
            }
        }
        break;
    case 1:
        for (LONG m = 0; m < mcus; m++) {
            const UCHAR* y = blocks + 192 * m + 8 * r;
            const UCHAR* cb = y + 64;
            const UCHAR* cr = y + 128;
            UCHAR* out = out0 + 32 * m;
            for (int j = 0; j < 8; j++) {
                Pixel(out + 4 * j, y[j], ChromaTerms(d, cb[j], cr[j]));
            }
        }
        break;
    case 2:
        for (LONG m = 0; m < mcus; m++) {
            const UCHAR* mcu = blocks + 256 * m;
            const UCHAR* cb = mcu + 128 + 8 * r;
            const UCHAR* cr = mcu + 192 + 8 * r;
            UCHAR* out = out0 + 64 * m;
            for (int b = 0; b < 2; b++) {
                const UCHAR* y = mcu + 64 * b + 8 * r;
                for (int j = 0; j < 4; j++) {
                    const Chroma ch = ChromaTerms(d, cb[4 * b + j], cr[4 * b + j]);
                    UCHAR* px = out + 4 * (8 * b + 2 * j);
                    Pixel(px, y[2 * j], ch);
                    Pixel(px + 4, y[2 * j + 1], ch);
                }
            }
        }
        break;
    case 3:
        for (LONG m = 0; m < mcus; m++) {
            const UCHAR* mcu = blocks + 256 * m;
            const UCHAR* y0 = mcu + (r < 8 ? 8 * r : 64 + 8 * (r - 8));
            const UCHAR* y1 = y0 + 8;
            const UCHAR* cb = mcu + 128 + 8 * (r / 2);
            const UCHAR* cr = mcu + 192 + 8 * (r / 2);
            for (int j = 0; j < 8; j++) {
                const Chroma ch = ChromaTerms(d, cb[j], cr[j]);
                Pixel(out0 + 32 * m + 4 * j, y0[j], ch);
                Pixel(out1 + 32 * m + 4 * j, y1[j], ch);
            }
        }
        break;
    case 4:
        for (LONG m = 0; m < mcus; m++) {
            const UCHAR* mcu = blocks + 384 * m;
            const UCHAR* cb = mcu + 256 + 8 * (r / 2);
            const UCHAR* cr = mcu + 320 + 8 * (r / 2);
            const UCHAR* top = mcu + (r < 8 ? 0 : 128) + 8 * (r % 8);
            for (int b = 0; b < 2; b++) {
                const UCHAR* y0 = top + 64 * b;
                const UCHAR* y1 = y0 + 8;
                for (int j = 0; j < 4; j++) {
                    const Chroma ch = ChromaTerms(d, cb[4 * b + j], cr[4 * b + j]);
                    const LONG x = 4 * (16 * m + 8 * b + 2 * j);
                    Pixel(out0 + x, y0[2 * j], ch);
                    Pixel(out0 + x + 4, y0[2 * j + 1], ch);
                    Pixel(out1 + x, y1[2 * j], ch);
                    Pixel(out1 + x + 4, y1[2 * j + 1], ch);
                }
            }
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------
// Straight to BGR: the whole-frame path converts each line into its output row, with no line
// buffer and no copy. The plain form goes pixel by pixel through the tables above; the fast
// form does whole MCUs of the 2x1 and 2x2 types (the camera's is 2x1) with SSSE3. Both give
// exactly what ConvertLines followed by the BGR copy gives.

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#define NIMBRA_JPEG_SSSE3 1
#endif

namespace {

// Where line r of an MCU row lies in the sample buffer, for the frame's sampling type.
struct LineLayout {
    LONG mcuBytes;      // sample bytes per MCU
    LONG mcuWidth;      // pixels per MCU
    LONG luma;          // offset of the line's first luma sample in its MCU
    LONG cb;            // offsets of its chroma rows (colour types)
    LONG cr;
    int chromaShift;    // pixel -> chroma sample: 1 when one sample serves two pixels
};

LineLayout LayoutOf(const JpegDecoder* d, LONG r)
{
    switch (d->samplingType) {
    case 1:
        return {192, 8, 8 * r, 64 + 8 * r, 128 + 8 * r, 0};
    case 2:
        return {256, 16, 8 * r, 128 + 8 * r, 192 + 8 * r, 1};
    case 3:
        return {256, 8, (r < 8 ? 0 : 64) + 8 * (r % 8), 128 + 8 * (r / 2), 192 + 8 * (r / 2), 0};
    case 4:
        return {384, 16, (r < 8 ? 0 : 128) + 8 * (r % 8), 256 + 8 * (r / 2), 320 + 8 * (r / 2), 1};
    default:
        return {64, 8, 8 * r, 0, 0, 0};
    }
}

// Pixels from..width - 1 of line r into out (3 bytes per pixel, B, G, R), through the tables.
void ConvertPixelsPlain(const JpegDecoder* d, const LineLayout& l, LONG from, UCHAR* out, LONG width)
{
    const UCHAR* blocks = d->sampleBuffer;
    for (LONG x = from; x < width; x++) {
        const UCHAR* mcu = blocks + (x / l.mcuWidth) * l.mcuBytes;
        const LONG xm = x % l.mcuWidth;
        const UCHAR y = mcu[l.luma + 64 * (xm >> 3) + (xm & 7)];
        UCHAR* px = out + 3 * x;
        if (d->samplingType == 0) {
            px[0] = px[1] = px[2] = y;
            continue;
        }
        const LONG c = xm >> l.chromaShift;
        UCHAR rgb[4];
        Pixel(rgb, y, ChromaTerms(d, mcu[l.cb + c], mcu[l.cr + c]));
        px[0] = rgb[2];
        px[1] = rgb[1];
        px[2] = rgb[0];
    }
}

#if defined(NIMBRA_JPEG_SSSE3)

// Byte shuffles that interleave 16 blue, 16 green and 16 red bytes into 48 bytes B G R ...:
// kInterleave[q][c] picks plane c's bytes for output bytes 16q .. 16q + 15 (0x80: none).
struct InterleaveMasks {
    alignas(16) signed char m[3][3][16];
    constexpr InterleaveMasks() : m{}
    {
        for (int q = 0; q < 3; q++) {
            for (int c = 0; c < 3; c++) {
                for (int i = 0; i < 16; i++) {
                    const int o = 16 * q + i;
                    m[q][c][i] = static_cast<signed char>(o % 3 == c ? o / 3 : -128);
                }
            }
        }
    }
};
constexpr InterleaveMasks kInterleave;

inline __m128i Mask(int q, int c)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.m[q][c]));
}

// (a * x + 2 * b) >> 16 on eight 16-bit lanes x, kept to 16 bits: the tables' rounded
// fixed-point products, computed exactly in 32 bits.
__attribute__((target("ssse3"))) inline __m128i MulRound(__m128i x, __m128i ab)
{
    const __m128i two = _mm_set1_epi16(2);
    const __m128i lo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(x, two), ab), 16);
    const __m128i hi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(x, two), ab), 16);
    return _mm_packs_epi32(lo, hi);
}

inline __m128i PairConst(int a, int b)
{
    return _mm_set1_epi32(static_cast<int>((static_cast<unsigned>(b) << 16) | (static_cast<unsigned>(a) & 0xFFFFu)));
}

// Whole MCUs of a type with two pixels per chroma sample (2x1, 2x2): 16 pixels per MCU.
// Returns the number of pixels written (a multiple of 16, at most width).
//   red   = y + (91882 x + 32768) >> 16  = y + x + (26346 x + 2 * 16384) >> 16      (x = cr - 128)
//   blue  = y + (116130 x + 32768) >> 16 = y + 2x + (-14942 x + 2 * 16384) >> 16   (x = cb - 128)
//   green = y + (-22554 xb + 32768 - 46802 xr) >> 16 = y - xr + (-22554 xb + 18734 xr + 32768) >> 16
// Every sum fits 32 bits, so the regrouping is exact.
__attribute__((target("ssse3"))) LONG ConvertPairsSsse3(const JpegDecoder* d, const LineLayout& l, UCHAR* out,
                                                        LONG width)
{
    const UCHAR* mcu = d->sampleBuffer;
    const LONG mcus = width / 16;
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i redK = PairConst(26346, 16384);
    const __m128i blueK = PairConst(-14942, 16384);
    const __m128i greenK = PairConst(-22554, 18734);
    const __m128i half = _mm_set1_epi32(32768);
    for (LONG m = 0; m < mcus; m++, mcu += l.mcuBytes, out += 48) {
        const __m128i y = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mcu + l.luma)),
                                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(mcu + l.luma + 64)));
        const __m128i xb = _mm_sub_epi16(
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mcu + l.cb)), zero), bias);
        const __m128i xr = _mm_sub_epi16(
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mcu + l.cr)), zero), bias);
        const __m128i red = _mm_add_epi16(xr, MulRound(xr, redK));
        const __m128i blue = _mm_add_epi16(_mm_add_epi16(xb, xb), MulRound(xb, blueK));
        const __m128i gLo = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(xb, xr), greenK), half), 16);
        const __m128i gHi = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(xb, xr), greenK), half), 16);
        const __m128i green = _mm_sub_epi16(_mm_packs_epi32(gLo, gHi), xr);

        const __m128i y0 = _mm_unpacklo_epi8(y, zero);
        const __m128i y1 = _mm_unpackhi_epi8(y, zero);
        const __m128i r8 = _mm_packus_epi16(_mm_add_epi16(y0, _mm_unpacklo_epi16(red, red)),
                                            _mm_add_epi16(y1, _mm_unpackhi_epi16(red, red)));
        const __m128i g8 = _mm_packus_epi16(_mm_add_epi16(y0, _mm_unpacklo_epi16(green, green)),
                                            _mm_add_epi16(y1, _mm_unpackhi_epi16(green, green)));
        const __m128i b8 = _mm_packus_epi16(_mm_add_epi16(y0, _mm_unpacklo_epi16(blue, blue)),
                                            _mm_add_epi16(y1, _mm_unpackhi_epi16(blue, blue)));
        for (int q = 0; q < 3; q++) {
            const __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b8, Mask(q, 0)), _mm_shuffle_epi8(g8, Mask(q, 1))),
                                           _mm_shuffle_epi8(r8, Mask(q, 2)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * q), v);
        }
    }
    return 16 * mcus;
}

bool HaveSsse3()
{
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}

#endif

}  // namespace

// Writes pixels 0 .. width - 1 of line r of the current MCU row into out as B, G, R bytes
// (grey: the sample three times), through the tables; nothing past 3 x width is touched.
VOID ConvertLineBgrPlain(const JpegDecoder* d, LONG r, UCHAR* out, LONG width)
{
    ConvertPixelsPlain(d, LayoutOf(d, r), 0, out, width);
}

// ConvertLineBgrPlain's result, whole MCUs of the 2x1 and 2x2 types with SSSE3 when the
// processor has it.
VOID ConvertLineBgr(const JpegDecoder* d, LONG r, UCHAR* out, LONG width)
{
    const LineLayout l = LayoutOf(d, r);
    LONG done = 0;
#if defined(NIMBRA_JPEG_SSSE3)
    if ((d->samplingType == 2 || d->samplingType == 4) && HaveSsse3()) {
        done = ConvertPairsSsse3(d, l, out, width);
    }
#endif
    ConvertPixelsPlain(d, l, done, out, width);
}
