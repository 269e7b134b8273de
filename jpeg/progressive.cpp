// Progressive decoding (ITU-T T.81 Annex G, Huffman only): every scan is decoded into
// per-component coefficient buffers first; then the coefficients are handed out one MCU row
// at a time, dequantised, in the form a sequential scan produces.
#include <cstring>

#include "jpeg/jpeg_internal.h"

namespace {

typedef VOID (*BlockDecoder)(JpegDecoder* d, LONG c, LONG x, LONG y);

// Obtains one coefficient buffer record with its zero-filled data.
CoefficientBuffer* CreateCoefficientBuffer(JpegDecoder* d, LONG across, LONG down, LONG side)
{
    auto* buffer = static_cast<CoefficientBuffer*>(DecoderAlloc(d, sizeof(CoefficientBuffer)));
    if (buffer == nullptr) {
        return nullptr;
    }
    buffer->blocksAcross = across;
    buffer->blocksDown = down;
    buffer->blockWidth = side;
    buffer->blockHeight = side;
    buffer->blockBytes = side * side * 2;
    const SIZE_T bytes = static_cast<SIZE_T>(across) * static_cast<SIZE_T>(down) * static_cast<SIZE_T>(buffer->blockBytes);
    buffer->data = static_cast<SHORT*>(DecoderAlloc(d, bytes));
    return buffer->data != nullptr ? buffer : nullptr;
}

// Refines one coefficient by the next correction bit (T.81 G.1.2.3).
inline VOID RefineCoefficient(JpegDecoder* d, SHORT* coef, LONG p1, LONG m1)
{
    if (ReadEntropyBits(d, 1) != 0 && (*coef & p1) == 0) {
        *coef = Low16(static_cast<ULONG>(*coef + (*coef >= 0 ? p1 : m1)));
    }
}

VOID DecodeDcFirst(JpegDecoder* d, LONG c, LONG x, LONG y)
{
    const LONG s = HuffmanDecode(d, d->huffmanTables[d->scanDcSlot[c]]);
    if (s > 15) {
        SetStatus(d, JPEG_CORRUPT_DATA);
        return;
    }
    ULONG prediction = static_cast<ULONG>(d->dcPrediction[c]);
    if (s > 0) {
        prediction += static_cast<ULONG>(Extend(ReadEntropyBits(d, s), s));
    }
    d->dcPrediction[c] = static_cast<LONG>(prediction);
    SHORT* block = CoefficientBlockAt(d, d->dcBuffers[c], x, y);
    if (block != nullptr) {
        *block = Low16(prediction << d->approxLow);
    }
}

VOID DecodeDcRefine(JpegDecoder* d, LONG c, LONG x, LONG y)
{
    if (ReadEntropyBits(d, 1) == 0) {
        return;
    }
    SHORT* block = CoefficientBlockAt(d, d->dcBuffers[c], x, y);
    if (block != nullptr) {
        *block = Low16(static_cast<ULONG>(static_cast<LONG>(*block)) | (1u << d->approxLow));
    }
}

VOID DecodeAcFirst(JpegDecoder* d, LONG c, LONG x, LONG y)
{
    if (d->endOfBandRun > 0) {
        d->endOfBandRun--;
        return;
    }
    SHORT* block = CoefficientBlockAt(d, d->acBuffers[c], x, y);
    if (block == nullptr) {
        return;
    }
    const HuffmanTable* table = d->huffmanTables[d->scanAcSlot[c]];
    for (LONG k = d->spectralStart; k <= d->spectralEnd; k++) {
        const LONG rs = HuffmanDecode(d, table);
        const LONG r = rs >> 4;
        const LONG s = rs & 15;
        if (s > 0) {
            k += r;
            if (k > 63) {
                SetStatus(d, JPEG_CORRUPT_DATA);
                return;
            }
            const LONG value = Extend(ReadEntropyBits(d, s), s);
            block[kZigzagToNatural[k]] = Low16(static_cast<ULONG>(value) << d->approxLow);
        } else if (r == 15) {
            k += 15;
            if (k > 63) {
                SetStatus(d, JPEG_CORRUPT_DATA);
                return;
            }
        } else {
            d->endOfBandRun = (1 << r) - 1;
            if (r > 0) {
                d->endOfBandRun += static_cast<LONG>(ReadEntropyBits(d, r));
            }
            return;
        }
    }
}

VOID DecodeAcRefine(JpegDecoder* d, LONG c, LONG x, LONG y)
{
    SHORT* block = CoefficientBlockAt(d, d->acBuffers[c], x, y);
    if (block == nullptr) {
        return;
    }
    const HuffmanTable* table = d->huffmanTables[d->scanAcSlot[c]];
    const LONG p1 = 1 << d->approxLow;
    const LONG m1 = -p1;
    const LONG end = d->spectralEnd;
    LONG k = d->spectralStart;
    if (d->endOfBandRun == 0) {
        while (k <= end) {
            const LONG rs = HuffmanDecode(d, table);
            LONG r = rs >> 4;
            const LONG s = rs & 15;
            LONG value = 0;
            if (s > 0) {
                if (s != 1) {
                    SetStatus(d, JPEG_CORRUPT_DATA);
                    return;
                }
                value = ReadEntropyBits(d, 1) != 0 ? p1 : m1;
            } else if (r != 15) {
                d->endOfBandRun = 1 << r;
                if (r > 0) {
                    d->endOfBandRun += static_cast<LONG>(ReadEntropyBits(d, r));
                }
                break;
            }
            while (k <= end) {
                SHORT* coef = &block[kZigzagToNatural[k]];
                if (*coef != 0) {
                    RefineCoefficient(d, coef, p1, m1);
                } else if (--r < 0) {
                    break;
                }
                k++;
            }
            if (s > 0 && k <= 63) {
                block[kZigzagToNatural[k]] = Low16(static_cast<ULONG>(value));
            }
            k++;
        }
    }
    if (d->endOfBandRun > 0) {
        for (; k <= end; k++) {
            SHORT* coef = &block[kZigzagToNatural[k]];
            if (*coef != 0) {
                RefineCoefficient(d, coef, p1, m1);
            }
        }
        d->endOfBandRun--;
    }
}

// Steps the block position after one block of an MCU (shared by the scan walk and the row
// loader): a one-component layout moves one block right, an interleaved one walks the
// component's H x V blocks and then moves H blocks right.
inline VOID StepBlock(const JpegDecoder* d, LONG c, LONG* column, LONG* x, LONG* y)
{
    if (d->scanComponentCount == 1) {
        column[c] += 1;
        return;
    }
    if (++*x == d->componentH[c]) {
        *x = 0;
        if (++*y == d->componentV[c]) {
            *y = 0;
            column[c] += d->componentH[c];
        }
    }
}

inline VOID StepRow(JpegDecoder* d)
{
    if (d->scanComponentCount == 1) {
        d->blockRow[d->scanComponents[0]] += 1;
        return;
    }
    for (LONG i = 0; i < d->scanComponentCount; i++) {
        const LONG c = d->scanComponents[i];
        d->blockRow[c] += d->componentV[c];
    }
}

// Checks the progressive rules of the current scan and picks its block decoder.
BlockDecoder ChooseBlockDecoder(JpegDecoder* d)
{
    if (d->spectralStart > d->spectralEnd || d->spectralEnd > 63 ||
        (d->spectralStart == 0 && d->spectralEnd != 0) ||
        (d->spectralStart > 0 && d->scanComponentCount != 1)) {
        SetStatus(d, JPEG_SPECTRAL_SELECTION);
        return nullptr;
    }
    if (d->approxHigh != 0 && d->approxLow != d->approxHigh - 1) {
        SetStatus(d, JPEG_SUCCESSIVE_APPROXIMATION);
        return nullptr;
    }
    if (d->spectralStart == 0) {
        return d->approxHigh == 0 ? DecodeDcFirst : DecodeDcRefine;
    }
    return d->approxHigh == 0 ? DecodeAcFirst : DecodeAcRefine;
}

// Decodes every MCU of the current scan with the given block decoder.
VOID WalkScan(JpegDecoder* d, BlockDecoder decode)
{
    for (int i = 0; i < 4; i++) {
        d->blockRow[i] = 0;
    }
    for (LONG row = 0; row < d->scanMcusPerColumn; row++) {
        LONG column[4] = {0, 0, 0, 0};
        for (LONG m = 0; m < d->scanMcusPerRow; m++) {
            if (d->restartInterval != 0 && d->restartsLeft == 0) {
                ProcessRestart(d);
                if (d->status != 0) {
                    return;
                }
            }
            LONG x = 0;
            LONG y = 0;
            for (LONG b = 0; b < d->scanBlocksPerMcu; b++) {
                const LONG c = d->mcuBlockOrder[b];
                decode(d, c, column[c] + x, d->blockRow[c] + y);
                if (d->status != 0) {
                    return;
                }
                StepBlock(d, c, column, &x, &y);
            }
            d->restartsLeft--;
        }
        StepRow(d);
    }
}

}  // namespace

// Returns the address of block (x, y) of a buffer; -229 and null outside it.
SHORT* CoefficientBlockAt(JpegDecoder* d, CoefficientBuffer* buffer, LONG x, LONG y)
{
    if (x < 0 || y < 0 || x >= buffer->blocksAcross || y >= buffer->blocksDown) {
        SetStatus(d, JPEG_BLOCK_POSITION);
        return nullptr;
    }
    const SIZE_T index = static_cast<SIZE_T>(y) * static_cast<SIZE_T>(buffer->blocksAcross) + static_cast<SIZE_T>(x);
    return buffer->data + index * static_cast<SIZE_T>(buffer->blockBytes / 2);
}

// Decodes every scan of a progressive image up to EOI into the coefficient buffers, then
// sets up the frame's own MCU layout for LoadCoefficientRow. More than 256 scans fail with
// -220, which bounds the work a stream can ask for.
VOID DecodeProgressiveScans(JpegDecoder* d)
{
    for (LONG i = 0; i < d->componentCount; i++) {
        const LONG across = d->frameMcusPerRow * d->componentH[i];
        const LONG down = d->frameMcusPerColumn * d->componentV[i];
        d->dcBuffers[i] = CreateCoefficientBuffer(d, across, down, 1);
        if (d->dcBuffers[i] == nullptr) {
            return;
        }
        d->acBuffers[i] = CreateCoefficientBuffer(d, across, down, 8);
        if (d->acBuffers[i] == nullptr) {
            return;
        }
    }
    int scans = 0;
    while (StartScan(d)) {
        if (++scans > kJpegMaxProgressiveScans) {
            SetStatus(d, JPEG_TOO_MANY_SCANS);
            return;
        }
        BlockDecoder decode = ChooseBlockDecoder(d);
        if (decode == nullptr) {
            return;
        }
        WalkScan(d, decode);
        if (d->status != 0) {
            return;
        }
        d->bitsLeft = 16;
        ReadHeaderBits(d, 16);
        ReadHeaderBits(d, 16);
    }
    if (d->status != 0) {
        return;
    }
    // The scans leave the block rows at the bottom; the rows are loaded from the top.
    for (int i = 0; i < 4; i++) {
        d->blockRow[i] = 0;
    }
    d->scanComponentCount = d->componentCount;
    for (LONG i = 0; i < d->componentCount; i++) {
        d->scanComponents[i] = i;
        // Every component is dequantised when its rows are loaded, scanned or not.
        const LONG selector = d->componentQuant[i];
        if (selector > 3 || d->quantTables[selector] == nullptr) {
            SetStatus(d, JPEG_NO_QUANT_TABLE);
            return;
        }
    }
    ComputeMcuLayout(d);
}

// Fills the coefficient blocks of the next MCU row from the buffers and dequantises them,
// skipping the positions above the last non-zero coefficient.
VOID LoadCoefficientRow(JpegDecoder* d)
{
    LONG column[4] = {0, 0, 0, 0};
    LONG r = 0;
    for (LONG m = 0; m < d->scanMcusPerRow; m++) {
        LONG x = 0;
        LONG y = 0;
        for (LONG b = 0; b < d->scanBlocksPerMcu; b++, r++) {
            const LONG c = d->mcuBlockOrder[b];
            const SHORT* dc = CoefficientBlockAt(d, d->dcBuffers[c], column[c] + x, d->blockRow[c] + y);
            const SHORT* ac = CoefficientBlockAt(d, d->acBuffers[c], column[c] + x, d->blockRow[c] + y);
            if (dc == nullptr || ac == nullptr || r >= d->blocksPerMcuRow) {
                SetStatus(d, JPEG_BLOCK_POSITION);
                return;
            }
            SHORT* p = d->blockTable[r];
            p[0] = dc[0];
            std::memcpy(p + 1, ac + 1, 63 * sizeof(SHORT));
            const SHORT* q = d->quantTables[d->componentQuant[c]];
            LONG i = 63;
            while (i > 0 && p[kZigzagToNatural[i]] == 0) {
                i--;
            }
            for (; i >= 0; i--) {
                SHORT* coef = &p[kZigzagToNatural[i]];
                if (*coef != 0) {
                    *coef = Low16(static_cast<ULONG>(static_cast<LONG>(*coef)) * static_cast<ULONG>(static_cast<LONG>(q[i])));
                }
            }
            StepBlock(d, c, column, &x, &y);
        }
    }
    StepRow(d);
}
