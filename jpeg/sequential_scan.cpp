// Sequential scans: scan start-up, restart markers and the decoding of one MCU row into
// dequantised coefficient blocks.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jpeg/jpeg_internal.h"

const UCHAR kZigzagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

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

// The entropy bit reader of one MCU row, held in registers. `bits` keeps the fetched bits
// themselves (the newest in the low end) and `ahead` how many of them are not yet consumed.
//
// The record's reader (ReadEntropyBits) fetches two bytes whenever its unconsumed bits drop
// to 16 or fewer, so it always holds 17..32 of them. This one fetches the same bytes in the
// same order, in pairs, but not at the same moments: ahead of time, up to 32 bits at once,
// when the next four bytes of the input buffer hold no FF (such bytes read the same
// whichever reader takes them, and can be handed back by moving the cursor), and late, only
// when bits are needed. Near an FF, a marker or the end of the buffer it falls back to the record's own
// byte reader, two bytes at a time and never further ahead than the record's reader would
// be. StoreBits settles the difference (fetching what the record's reader would already
// hold, handing back a pair it would not yet hold), so the input and the record's 32-bit
// buffer are exactly as the record's reader would leave them: the bytes read, the markers
// as 1-bits and the restart search's byte count all stay. That buffer is the last 32 bits
// the record's reader fetched, turned right by bitsLeft.
//
// Every symbol starts with a top-up when 32 or fewer bits are unconsumed, so its table look-up
// always has 17 or more; value bits are fetched first if too few are left. At most 48 bits
// are unconsumed, so `bits` still holds the record's last 32 fetched bits for StoreBits.
struct RowBits {
    ULONGLONG bits;
    LONG ahead;     // unconsumed bits in `bits`
    UCHAR* cursor;  // the record's inputCursor and inputLeft, held here during the row
    LONG left;
};

inline RowBits LoadBits(const JpegDecoder* d)
{
    const ULONG n = static_cast<ULONG>(d->bitsLeft) & 31;
    const ULONG fetched = (d->bitBuffer << n) | (d->bitBuffer >> ((32 - n) & 31));
    return {fetched, d->bitsLeft + 16, d->inputCursor, d->inputLeft};
}

// ReadEntropyByte on the row's copy of the input position.
inline ULONG RowByte(JpegDecoder* d, RowBits& b)
{
    if (b.left > 0 && *b.cursor != 0xFF) {
        b.left--;
        return *b.cursor++;
    }
    d->inputCursor = b.cursor;
    d->inputLeft = b.left;
    const ULONG c = ReadEntropyByteSlow(d);
    b.cursor = d->inputCursor;
    b.left = d->inputLeft;
    return c;
}

// Fetches pairs through the byte reader until more than 16 bits are unconsumed.
inline VOID FetchExact(JpegDecoder* d, RowBits& b)
{
    while (b.ahead <= 16) {
        const ULONG c1 = RowByte(d, b);
        const ULONG c2 = RowByte(d, b);
        b.bits = (b.bits << 16) | (c1 << 8) | c2;
        b.ahead += 16;
    }
}

// Tops up a reader holding 0..32 unconsumed bits: to 32..48 from four FF-free bytes of the
// buffer, else exactly as the record's reader would (17..32).
inline VOID Refill(JpegDecoder* d, RowBits& b)
{
    if (b.left >= 4) {
        ULONG w;
        std::memcpy(&w, b.cursor, 4);
        w = __builtin_bswap32(w);
        if ((((~w) - 0x01010101u) & w & 0x80808080u) == 0) {  // no byte of w is FF
            const LONG pairs = b.ahead <= 16 ? 2 : 1;
            const LONG shift = 16 * pairs;
            b.bits = (b.bits << shift) | (w >> (32 - shift));
            b.ahead += shift;
            b.cursor += 2 * pairs;
            b.left -= 2 * pairs;
            return;
        }
    }
    FetchExact(d, b);
}

// Puts the row's reader back into the record, as the record's reader would have it now.
inline VOID StoreBits(JpegDecoder* d, RowBits& b)
{
    FetchExact(d, b);
    LONG ahead = b.ahead;
    ULONG fetched = static_cast<ULONG>(b.bits);
    if (ahead > 32) {  // the last pair came from the buffer ahead of time: hand it back
        fetched = static_cast<ULONG>(b.bits >> 16);
        ahead -= 16;
        b.cursor -= 2;
        b.left += 2;
    }
    const ULONG n = static_cast<ULONG>(ahead - 16) & 31;
    d->bitsLeft = ahead - 16;
    d->bitBuffer = (fetched >> n) | (fetched << ((32 - n) & 31));
    d->inputCursor = b.cursor;
    d->inputLeft = b.left;
}

// The index into the 10-bit tables: the next 10 bits (17 or more are unconsumed).
inline ULONG Peek10(const RowBits& b)
{
    return static_cast<ULONG>(b.bits >> (b.ahead - kJpegFastHuffmanBits)) & ((1u << kJpegFastHuffmanBits) - 1u);
}

// The next s (1..15) bits, consumed, and EXTENDed to a signed value.
inline LONG TakeValue(JpegDecoder* d, RowBits& b, LONG s)
{
    if (b.ahead < s) {
        Refill(d, b);
    }
    b.ahead -= s;
    const LONG v = static_cast<LONG>(static_cast<ULONG>(b.bits >> b.ahead) & ((1u << s) - 1u));
    // EXTEND without a branch: below 2^(s-1), add 1 - 2^s.
    return v + (((v - (1 << (s - 1))) >> 31) & (1 - (1 << s)));
}

// Zeroes the 64 coefficients of a block (a library memset of this size may start a slow
// string store).
inline VOID ClearBlock(SHORT* p)
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), zero);
    }
#else
    std::memset(p, 0, 64 * sizeof(SHORT));
#endif
}

// HuffmanDecode for a code the 10-bit table does not settle, on the record's reader.
inline LONG SlowSymbol(JpegDecoder* d, RowBits& b, const HuffmanTable* t)
{
    StoreBits(d, b);
    const LONG s = HuffmanDecode(d, t);
    b = LoadBits(d);
    return s;
}

// The symbol of the code at the reader, from its 10-bit table entry e: the entry's own symbol
// with its code consumed, or the slow decode for a code the table does not settle.
inline LONG Symbol(JpegDecoder* d, RowBits& b, const HuffmanTable* t, LONG e)
{
    if (e & kJpegFastSlow) {
        return SlowSymbol(d, b, t);
    }
    b.ahead -= (e >> 8) & 31;
    return e & 0xFF;
}

}  // namespace

// Decodes the next MCU row of a sequential scan into the coefficient blocks. A block's
// previous use may have set coefficients only below its zigzag extent: when that is above 1
// the whole block is zeroed at once (a few wide stores, cheaper than clearing the skipped
// positions one by one), otherwise nothing needs clearing. -227 for a zero run past
// coefficient 63 or a DC category above 15.
VOID DecodeMcuRow(JpegDecoder* d)
{
    const SHORT* quant[kJpegMaxMcuBlocks];
    const HuffmanTable* dcTables[kJpegMaxMcuBlocks];
    const HuffmanTable* acTables[kJpegMaxMcuBlocks];
    LONG* predictions[kJpegMaxMcuBlocks];
    const LONG blocksPerMcu = d->scanBlocksPerMcu;
    for (LONG i = 0; i < blocksPerMcu; i++) {
        const LONG c = d->mcuBlockOrder[i];
        quant[i] = d->quantTables[d->componentQuant[c]];
        dcTables[i] = d->huffmanTables[d->scanDcSlot[c]];
        acTables[i] = d->huffmanTables[d->scanAcSlot[c]];
        predictions[i] = &d->dcPrediction[c];
    }

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
        for (LONG blockInMcu = 0; blockInMcu < blocksPerMcu; blockInMcu++, r++) {
            SHORT* p = d->blockTable[r];
            const SHORT* q = quant[blockInMcu];
            const HuffmanTable* acTable = acTables[blockInMcu];
            const LONG previous = d->zigzagExtent[r];
            if (previous > 1) {
                ClearBlock(p);
            }

            if (bits.ahead <= 32) {
                Refill(d, bits);
            }
            const HuffmanTable* dcTable = dcTables[blockInMcu];
            LONG e = dcTable->fastValue[Peek10(bits)];
            ULONG prediction = static_cast<ULONG>(*predictions[blockInMcu]);
            if ((e & kJpegFastValue) && (e & 0xF0) == 0) {
                bits.ahead -= (e >> 8) & 31;
                prediction += static_cast<ULONG>(e >> 16);
            } else {
                const LONG s = Symbol(d, bits, dcTable, e);
                if (s > 15) {
                    SetStatus(d, JPEG_CORRUPT_DATA);
                    StoreBits(d, bits);
                    return;
                }
                if (s > 0) {
                    prediction += static_cast<ULONG>(TakeValue(d, bits, s));
                }
            }
            *predictions[blockInMcu] = static_cast<LONG>(prediction);
            p[0] = Low16(prediction * static_cast<ULONG>(static_cast<LONG>(q[0])));

            LONG k = 1;
            do {
                if (bits.ahead <= 32) {
                    Refill(d, bits);
                }
                e = acTable->fastValue[Peek10(bits)];
                if (e & kJpegFastValue) {  // code and value bits both in the 10
                    bits.ahead -= (e >> 8) & 31;
                    k += (e >> 4) & 15;
                    if (k > 63) {
                        bits.ahead += e & 15;  // the failure comes before the value bits
                        SetStatus(d, JPEG_CORRUPT_DATA);
                        StoreBits(d, bits);
                        return;
                    }
                    p[kZigzagToNatural[k]] =
                        Low16(static_cast<ULONG>(e >> 16) * static_cast<ULONG>(static_cast<LONG>(q[k])));
                    k++;
                    continue;
                }
                const LONG rs = Symbol(d, bits, acTable, e);
                const LONG run = rs >> 4;
                const LONG size = rs & 15;
                if (size > 0) {
                    k += run;
                    if (k > 63) {
                        SetStatus(d, JPEG_CORRUPT_DATA);
                        StoreBits(d, bits);
                        return;
                    }
                    const LONG value = TakeValue(d, bits, size);
                    p[kZigzagToNatural[k]] =
                        Low16(static_cast<ULONG>(value) * static_cast<ULONG>(static_cast<LONG>(q[k])));
                    k++;
                } else if (run == 15) {  // sixteen zeros
                    if (k + 15 > 63) {
                        SetStatus(d, JPEG_CORRUPT_DATA);
                        StoreBits(d, bits);
                        return;
                    }
                    k += 16;
                } else {
                    break;  // end of block
                }
            } while (k < 64);
            d->zigzagExtent[r] = k;
        }
        d->restartsLeft--;
    }
    StoreBits(d, bits);
}
