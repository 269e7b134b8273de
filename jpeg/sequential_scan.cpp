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

// Decodes the next MCU row of a sequential scan into the coefficient blocks, clearing only
// what a block's previous use may have set (its zigzag extent). -227 for a zero run past
// coefficient 63 or a DC category above 15.
VOID DecodeMcuRow(JpegDecoder* d)
{
    LONG r = 0;
    for (LONG m = 0; m < d->scanMcusPerRow; m++) {
        if (d->restartInterval != 0 && d->restartsLeft == 0) {
            ProcessRestart(d);
            if (d->status != 0) {
                return;
            }
        }
        for (LONG blockInMcu = 0; blockInMcu < d->scanBlocksPerMcu; blockInMcu++, r++) {
            const LONG c = d->mcuBlockOrder[blockInMcu];
            SHORT* p = d->blockTable[r];
            const SHORT* q = d->quantTables[d->componentQuant[c]];
            const HuffmanTable* dcTable = d->huffmanTables[d->scanDcSlot[c]];
            const HuffmanTable* acTable = d->huffmanTables[d->scanAcSlot[c]];

            const LONG s = HuffmanDecode(d, dcTable);
            if (s > 15) {
                SetStatus(d, JPEG_CORRUPT_DATA);
                return;
            }
            ULONG prediction = static_cast<ULONG>(d->dcPrediction[c]);
            if (s > 0) {
                prediction += static_cast<ULONG>(Extend(ReadEntropyBits(d, s), s));
                d->dcPrediction[c] = static_cast<LONG>(prediction);
            }
            p[0] = Low16(prediction * static_cast<ULONG>(static_cast<LONG>(q[0])));

            const LONG previous = d->zigzagExtent[r];
            LONG k = 1;
            while (k < 64) {
                const LONG rs = HuffmanDecode(d, acTable);
                const LONG run = rs >> 4;
                const LONG size = rs & 15;
                if (size > 0) {
                    if (run > 0) {
                        if (k + run > 63) {
                            SetStatus(d, JPEG_CORRUPT_DATA);
                            return;
                        }
                        if (k < previous) {
                            ClearZigzag(p, k, k + (run < previous - k ? run : previous - k));
                        }
                        k += run;
                    }
                    const LONG value = Extend(ReadEntropyBits(d, size), size);
                    p[kZigzagToNatural[k]] =
                        Low16(static_cast<ULONG>(value) * static_cast<ULONG>(static_cast<LONG>(q[k])));
                    k++;
                } else if (run == 15) {
                    if (k + 15 > 63) {
                        SetStatus(d, JPEG_CORRUPT_DATA);
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
}
