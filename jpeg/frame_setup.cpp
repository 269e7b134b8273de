// Frame set-up: the sampling type, MCU geometry and row buffers of a frame, and the MCU
// layout of each scan.
#include "jpeg/jpeg_internal.h"

namespace {

LONG CeilDiv(LONG a, LONG b)
{
    return (a + b - 1) / b;
}

}  // namespace

// Chooses the sampling type, sizes the MCU row and obtains the line buffers, the coefficient
// blocks with their block table and the sample buffer; fills the colour tables.
VOID SetUpFrame(JpegDecoder* d)
{
    if (d->componentCount == 1) {
        // Any factors serve a grey frame, but a factor of 0 would divide by zero later.
        if (d->componentH[0] < 1 || d->componentV[0] < 1) {
            SetStatus(d, JPEG_SAMPLING);
            return;
        }
        d->samplingType = 0;
        d->frameBlocksPerMcu = 1;
        d->mcuWidth = 8;
        d->mcuHeight = 8;
    } else if (d->componentCount == 3) {
        if (d->componentH[1] != 1 || d->componentV[1] != 1 || d->componentH[2] != 1 || d->componentV[2] != 1) {
            SetStatus(d, JPEG_SAMPLING);
            return;
        }
        const LONG h = d->componentH[0];
        const LONG v = d->componentV[0];
        if (h == 1 && v == 1) {
            d->samplingType = 1;
        } else if (h == 2 && v == 1) {
            d->samplingType = 2;
        } else if (h == 1 && v == 2) {
            d->samplingType = 3;
        } else if (h == 2 && v == 2) {
            d->samplingType = 4;
        } else {
            SetStatus(d, JPEG_SAMPLING);
            return;
        }
        d->frameBlocksPerMcu = h * v + 2;
        d->mcuWidth = 8 * h;
        d->mcuHeight = 8 * v;
    } else {
        SetStatus(d, JPEG_COMPONENT_COUNT);
        return;
    }
    d->frameMcusPerRow = CeilDiv(d->imageWidth, d->mcuWidth);
    d->frameMcusPerColumn = CeilDiv(d->imageHeight, d->mcuHeight);
    d->bytesPerPixel = d->samplingType == 0 ? 1 : 4;
    d->bytesPerLineBuffer = ((d->imageWidth + 15) & ~15) * d->bytesPerPixel;
    d->bytesPerLine = d->imageWidth * d->bytesPerPixel;
    for (int i = 0; i < 2; i++) {
        d->lineBuffers[i] = static_cast<UCHAR*>(DecoderAlloc(d, static_cast<SIZE_T>(d->bytesPerLineBuffer)));
        if (d->lineBuffers[i] == nullptr) {
            return;
        }
    }
    // Widths up to 8192 need at most 4096 of the 6144 table entries (type 3).
    d->blocksPerMcuRow = d->frameBlocksPerMcu * d->frameMcusPerRow;
    SHORT* blocks = static_cast<SHORT*>(DecoderAlloc(d, static_cast<SIZE_T>(d->blocksPerMcuRow) * 128));
    if (blocks == nullptr) {
        return;
    }
    for (LONG i = 0; i < d->blocksPerMcuRow; i++) {
        d->blockTable[i] = blocks + 64 * i;
        d->zigzagExtent[i] = 64;
    }
    d->sampleBuffer = static_cast<UCHAR*>(DecoderAlloc(d, static_cast<SIZE_T>(d->blocksPerMcuRow) * 64));
    if (d->sampleBuffer == nullptr) {
        return;
    }
    d->mcuRowLinesLeft = 0;
    d->imageLinesLeft = d->imageHeight;
    BuildColourTables(d);
}

// Derives each component's size in blocks and the current scan's MCU layout. A scan whose
// MCU would need more than 10 blocks (a component named repeatedly) fails with -212.
VOID ComputeMcuLayout(JpegDecoder* d)
{
    LONG hMax = 1;
    LONG vMax = 1;
    for (LONG i = 0; i < d->componentCount; i++) {
        hMax = d->componentH[i] > hMax ? d->componentH[i] : hMax;
        vMax = d->componentV[i] > vMax ? d->componentV[i] : vMax;
    }
    for (LONG i = 0; i < d->componentCount; i++) {
        d->componentBlocksWide[i] = CeilDiv(CeilDiv(d->componentH[i] * d->imageWidth, hMax), 8);
        d->componentBlocksHigh[i] = CeilDiv(CeilDiv(d->componentV[i] * d->imageHeight, vMax), 8);
    }
    if (d->scanComponentCount == 1) {
        const LONG c = d->scanComponents[0];
        d->scanMcusPerRow = d->componentBlocksWide[c];
        d->scanMcusPerColumn = d->componentBlocksHigh[c];
        d->scanBlocksPerMcu = 1;
        d->mcuBlockOrder[0] = c;
        return;
    }
    d->scanMcusPerRow = CeilDiv(CeilDiv(d->imageWidth, 8), hMax);
    d->scanMcusPerColumn = CeilDiv(CeilDiv(d->imageHeight, 8), vMax);
    LONG n = 0;
    for (LONG i = 0; i < d->scanComponentCount; i++) {
        const LONG c = d->scanComponents[i];
        const LONG blocks = d->componentH[c] * d->componentV[c];
        if (n + blocks > kJpegMaxMcuBlocks) {
            SetStatus(d, JPEG_SOS);
            return;
        }
        for (LONG b = 0; b < blocks; b++) {
            d->mcuBlockOrder[n++] = c;
        }
    }
    d->scanBlocksPerMcu = n;
}
