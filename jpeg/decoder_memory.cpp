// The decoder's per-decode blocks and the reset that starts every decode.
#include <cstring>

#include "platform/nt_pool.h"
#include "jpeg/jpeg_internal.h"

// Returns a zero-filled block of size + 8 bytes from non-paged pool, recorded in the first
// free allocation slot; on failure returns null with -221 (no slot) or -233 (no memory).
PVOID DecoderAlloc(JpegDecoder* d, SIZE_T size)
{
    int slot = 0;
    while (slot < kJpegAllocationSlots && d->allocations[slot] != nullptr) {
        slot++;
    }
    if (slot == kJpegAllocationSlots) {
        SetStatus(d, JPEG_NO_SLOT);
        return nullptr;
    }
    PVOID block = ExAllocatePool(NonPagedPool, size + 8);
    if (block == nullptr) {
        SetStatus(d, JPEG_NO_MEMORY);
        return nullptr;
    }
    std::memset(block, 0, size + 8);
    d->allocations[slot] = block;
    return block;
}

// Frees every block recorded in the allocation slots and clears the slots.
VOID DecoderFreeAll(JpegDecoder* d)
{
    for (int slot = 0; slot < kJpegAllocationSlots; slot++) {
        if (d->allocations[slot] != nullptr) {
            ExFreePool(d->allocations[slot]);
            d->allocations[slot] = nullptr;
        }
    }
}

// Prepares a fresh decode; the source has been set to the stream's start and length. Leaves
// the window holding stream bytes 0 and 1 and the high half bytes 2 and 3.
VOID ResetDecoder(JpegDecoder* d)
{
    d->status = 0;
    d->ready = 0;
    d->imageWidth = 0;
    d->imageHeight = 0;
    d->progressive = 0;

    std::memset(d->huffmanCounts, 0, sizeof(d->huffmanCounts));
    std::memset(d->huffmanSymbols, 0, sizeof(d->huffmanSymbols));
    std::memset(d->quantTables, 0, sizeof(d->quantTables));
    std::memset(d->huffmanTables, 0, sizeof(d->huffmanTables));
    std::memset(d->dcBuffers, 0, sizeof(d->dcBuffers));
    std::memset(d->acBuffers, 0, sizeof(d->acBuffers));
    std::memset(d->allocations, 0, sizeof(d->allocations));

    d->samplingType = 0;
    d->componentCount = 0;
    for (int i = 0; i < 4; i++) {
        d->componentH[i] = d->componentV[i] = d->componentQuant[i] = d->componentId[i] = 0;
        d->componentBlocksWide[i] = d->componentBlocksHigh[i] = 0;
        d->scanComponents[i] = d->scanDcSlot[i] = d->scanAcSlot[i] = 0;
        d->dcPrediction[i] = 0;
        d->blockRow[i] = 0;
    }
    d->scanComponentCount = 0;
    d->spectralStart = d->spectralEnd = d->approxLow = d->approxHigh = 0;
    d->mcuWidth = d->mcuHeight = d->scanBlocksPerMcu = d->blocksPerMcuRow = 0;
    d->scanMcusPerRow = d->scanMcusPerColumn = 0;
    std::memset(d->mcuBlockOrder, 0, sizeof(d->mcuBlockOrder));
    d->imageLinesLeft = d->mcuRowLinesLeft = d->bytesPerLine = d->bytesPerLineBuffer = 0;
    d->bytesPerPixel = 0;
    d->restartInterval = d->restartsLeft = d->nextRestart = 0;
    d->frameMcusPerRow = d->frameMcusPerColumn = d->frameBlocksPerMcu = 0;
    d->endOfBandRun = 0;
    d->sampleBuffer = nullptr;
    d->lineBuffers[0] = d->lineBuffers[1] = nullptr;
    std::memset(d->blockTable, 0, sizeof(d->blockTable));

    d->inputCursor = d->inputBuffer + kJpegPushBackBytes;
    d->inputLeft = 0;
    d->endOfData = 0;
    d->endOfSourceToggle = 0;
    std::memset(d->inputBuffer, 0, sizeof(d->inputBuffer));
    FillInputBuffer(d);

    d->bitsLeft = 16;
    d->bitBuffer = 0;
    ReadHeaderBits(d, 16);
    ReadHeaderBits(d, 16);

    for (int i = 0; i < kJpegMaxRowBlocks; i++) {
        d->zigzagExtent[i] = 64;
    }
}
