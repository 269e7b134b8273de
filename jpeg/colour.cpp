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
