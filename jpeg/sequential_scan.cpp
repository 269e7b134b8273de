// Sequential scans: scan start-up, restart markers and the decoding of one MCU row into
// dequantised coefficient blocks.
#include "jpeg/jpeg_internal.h"

const UCHAR kZigzagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

namespace {

// Sets the coefficients at zigzag positions from .. to - 1 to zero.
inline VOID ClearZigzag(SHORT* p, LONG from, LONG to)
{
    for (LONG k = from; k < to; k++) {
        p[kZigzagToNatural[k]] = 0;
    }
}

}  // namespace

// Finds the next scan and sets it up: returns true with the entropy reader primed, false at
// EOI (no status) or on failure.
BOOLEAN StartScan(JpegDecoder* d)
{
    const LONG marker = ReadMarkers(d, FALSE);
    if (d->status != 0 || marker == MARKER_EOI) {
        return FALSE;
    }
    if (marker != MARKER_SOS) {
        SetStatus(d, JPEG_MISPLACED_MARKER);
        return FALSE;
    }
    ReadScanHeader(d);
    if (d->status == 0) {
        ComputeMcuLayout(d);
    }
    if (d->status == 0) {
        PrepareHuffmanTables(d);
    }
    if (d->status != 0) {
        return FALSE;
    }
    for (LONG i = 0; i < d->scanComponentCount; i++) {
        const LONG selector = d->componentQuant[d->scanComponents[i]];
        if (selector > 3 || d->quantTables[selector] == nullptr) {
            SetStatus(d, JPEG_NO_QUANT_TABLE);
            return FALSE;
        }
    }
    // A sequential scan fills one MCU row of coefficient blocks per call; it must not need more.
    if (!d->progressive && d->scanBlocksPerMcu * d->scanMcusPerRow > d->blocksPerMcuRow) {
        SetStatus(d, JPEG_SOS);
        return FALSE;
    }
    for (int i = 0; i < 4; i++) {
        d->dcPrediction[i] = 0;
    }
    d->endOfBandRun = 0;
    if (d->restartInterval != 0) {
        d->restartsLeft = d->restartInterval;
        d->nextRestart = 0;
    }
    // The header reader stopped on a byte boundary with 16 or 8 bits left: give back the
    // bytes not yet consumed, in stream order, and re-read them through the entropy reader.
    const ULONG b = d->bitBuffer;
    if (d->bitsLeft == 16) {
        PushBackByte(d, static_cast<UCHAR>(b >> 16));
    }
    PushBackByte(d, static_cast<UCHAR>(b >> 24));
    PushBackByte(d, static_cast<UCHAR>(b));
    PushBackByte(d, static_cast<UCHAR>(b >> 8));
    d->bitsLeft = 16;
    ReadEntropyBits(d, 16);
    ReadEntropyBits(d, 16);
    return d->status == 0;
}

// Consumes the restart marker that must follow the current interval (raw bytes; the bit
// buffer's contents are dropped) and resets the predictions. -228 when no FF comes within
// 1536 bytes or the marker is out of sequence.
VOID ProcessRestart(JpegDecoder* d)
{
    LONG budget = 1536;
    UCHAR c = ReadStreamByte(d);
    while (c != 0xFF) {
        if (--budget <= 0) {
            SetStatus(d, JPEG_RESTART);
            return;
        }
        c = ReadStreamByte(d);
    }
    c = ReadStreamByte(d);
    while (c == 0xFF) {
        if (--budget <= 0) {
            SetStatus(d, JPEG_RESTART);
            return;
        }
        c = ReadStreamByte(d);
    }
    if (c != MARKER_RST0 + d->nextRestart) {
        SetStatus(d, JPEG_RESTART);
        return;
    }
    for (int i = 0; i < 4; i++) {
        d->dcPrediction[i] = 0;
    }
    d->endOfBandRun = 0;
    d->restartsLeft = d->restartInterval;
    d->nextRestart = (d->nextRestart + 1) & 7;
    d->bitsLeft = 16;
    ReadEntropyBits(d, 16);
    ReadEntropyBits(d, 16);
}

namespace {

// The entropy bit reader of one MCU row held in registers. It keeps the fetched bits
// themselves (the newest in the low end of `bits`) and how many are not yet consumed; bytes
// are fetched two at a time exactly when ReadEntropyBits would fetch them (the count fetched
// depends only on the bits consumed), so the byte stream, the markers-as-1-bits behaviour
// and the record's bit buffer afterwards are the same. The record's 32-bit buffer is the
// last 32 fetched bits turned right by bitsLeft: window first, then the bits fetched ahead,
// then the most recently consumed.
struct RowBits {
    ULONGLONG bits;
    LONG ahead;  // unconsumed fetched bits: 16 + bitsLeft, 17..32 between reads
};

inline RowBits LoadBits(const JpegDecoder* d)
{
    const ULONG n = static_cast<ULONG>(d->bitsLeft) & 31;
    const ULONG fetched = (d->bitBuffer << n) | (d->bitBuffer >> ((32 - n) & 31));
    return {fetched, d->bitsLeft + 16};
}

inline VOID StoreBits(JpegDecoder* d, const RowBits& b)
{
    const ULONG n = static_cast<ULONG>(b.ahead - 16) & 31;
    const ULONG fetched = static_cast<ULONG>(b.bits);
    d->bitsLeft = b.ahead - 16;
    d->bitBuffer = (fetched >> n) | (fetched << ((32 - n) & 31));
}

// The next 16 bits, most significant first.
inline ULONG Peek16(const RowBits& b)
{
    return static_cast<ULONG>(b.bits >> (b.ahead - 16)) & 0xFFFFu;
}

inline VOID Consume(JpegDecoder* d, RowBits& b, LONG n)
{
    b.ahead -= n;
    while (b.ahead <= 16) {
        const ULONG c1 = ReadEntropyByte(d);
        const ULONG c2 = ReadEntropyByte(d);
        b.bits = (b.bits << 16) | (c1 << 8) | c2;
        b.ahead += 16;
    }
}

// The next n (0..16) bits, consumed.
inline ULONG TakeBits(JpegDecoder* d, RowBits& b, LONG n)
{
    const ULONG v = Peek16(b) >> (16 - n);
    Consume(d, b, n);
    return v;
}

// HuffmanDecode on the row's reader: the 10-bit table first, the record's own decoder for
// the rest.
inline LONG DecodeSymbol(JpegDecoder* d, RowBits& b, const HuffmanTable* t)
{
    const USHORT entry = t->fast[Peek16(b) >> (16 - kJpegFastHuffmanBits)];
    if (entry != kJpegFastHuffmanSlow) {
        Consume(d, b, entry >> 8);
        return entry & 0xFF;
    }
    StoreBits(d, b);
    const LONG s = HuffmanDecode(d, t);
    b = LoadBits(d);
    return s;
}

}  // namespace

// Decodes the next MCU row of a sequential scan into the coefficient blocks, clearing only
// what a block's previous use may have set (its zigzag extent). -227 for a zero run past
// coefficient 63 or a DC category above 15.
VOID DecodeMcuRow(JpegDecoder* d)
{
    RowBits bits = LoadBits(d);
    LONG r = 0;
    for (LONG m = 0; m < d->scanMcusPerRow; m++) {
        if (d->restartInterval != 0 && d->restartsLeft == 0) {
            StoreBits(d, bits);
            ProcessRestart(d);
            if (d->status != 0) {
                return;
            }
            bits = LoadBits(d);
        }
        for (LONG blockInMcu = 0; blockInMcu < d->scanBlocksPerMcu; blockInMcu++, r++) {
            const LONG c = d->mcuBlockOrder[blockInMcu];
            SHORT* p = d->blockTable[r];
            const SHORT* q = d->quantTables[d->componentQuant[c]];
            const HuffmanTable* dcTable = d->huffmanTables[d->scanDcSlot[c]];
            const HuffmanTable* acTable = d->huffmanTables[d->scanAcSlot[c]];

            LONG e = dcTable->fastValue[Peek16(bits) >> (16 - kJpegFastHuffmanBits)];
            ULONG prediction = static_cast<ULONG>(d->dcPrediction[c]);
            if ((e & kJpegFastValue) && (e & 0xF0) == 0) {
                Consume(d, bits, (e >> 8) & 31);
                prediction += static_cast<ULONG>(e >> 16);
                d->dcPrediction[c] = static_cast<LONG>(prediction);
            } else {
                const LONG s = DecodeSymbol(d, bits, dcTable);
                if (s > 15) {
                    SetStatus(d, JPEG_CORRUPT_DATA);
                    StoreBits(d, bits);
                    return;
                }
                if (s > 0) {
                    prediction += static_cast<ULONG>(Extend(TakeBits(d, bits, s), s));
                    d->dcPrediction[c] = static_cast<LONG>(prediction);
                }
            }
            p[0] = Low16(prediction * static_cast<ULONG>(static_cast<LONG>(q[0])));

            const LONG previous = d->zigzagExtent[r];
            LONG k = 1;
            while (k < 64) {
                e = acTable->fastValue[Peek16(bits) >> (16 - kJpegFastHuffmanBits)];
                LONG rs;
                if (e & kJpegFastSlow) {
                    rs = DecodeSymbol(d, bits, acTable);
                    e = 0;
                } else {
                    Consume(d, bits, (e >> 8) & 31);
                    rs = e & 0xFF;
                }
                const LONG run = rs >> 4;
                const LONG size = rs & 15;
                if (size > 0) {
                    if (run > 0) {
                        if (k + run > 63) {
                            SetStatus(d, JPEG_CORRUPT_DATA);
                            StoreBits(d, bits);
                            return;
                        }
                        if (k < previous) {
                            ClearZigzag(p, k, k + (run < previous - k ? run : previous - k));
                        }
                        k += run;
                    }
                    const LONG value = (e & kJpegFastValue) ? (e >> 16) : Extend(TakeBits(d, bits, size), size);
                    p[kZigzagToNatural[k]] =
                        Low16(static_cast<ULONG>(value) * static_cast<ULONG>(static_cast<LONG>(q[k])));
                    k++;
                } else if (run == 15) {
                    if (k + 15 > 63) {
                        SetStatus(d, JPEG_CORRUPT_DATA);
                        StoreBits(d, bits);
                        return;
                    }
                    if (k < previous) {
                        ClearZigzag(p, k, k + (16 < previous - k ? 16 : previous - k));
                    }
                    k += 16;
                } else {
                    break;
                }
            }
            if (k < previous) {
                ClearZigzag(p, k, previous);
            }
            d->zigzagExtent[r] = k;
        }
        d->restartsLeft--;
    }
    StoreBits(d, bits);
}
