// The decoder's entry: DecodeFrame puts the stream together, runs the header, set-up and scan
// stages and writes the picture bottom-up as BGR; DecodeScanLine hands out one line at a time.
#include <cstring>

#include "jpeg/jpeg_internal.h"

// Decodes (or loads) the next MCU row and runs the inverse DCT on its blocks; after the last
// row of a sequential image the next marker must be EOI. Returns false on failure, when the
// row's lines are not to be delivered.
BOOLEAN PrepareMcuRow(JpegDecoder* d)
{
    if (d->progressive) {
        LoadCoefficientRow(d);
    } else {
        DecodeMcuRow(d);
    }
    if (d->status != 0) {
        return FALSE;
    }
    if (d->imageLinesLeft <= d->mcuHeight && !d->progressive) {
        d->bitsLeft = 16;
        ReadHeaderBits(d, 16);
        ReadHeaderBits(d, 16);
        ReadMarkers(d, TRUE);
        if (d->status != 0) {
            return FALSE;
        }
    }
    for (LONG i = 0; i < d->blocksPerMcuRow; i++) {
        UCHAR* samples = d->sampleBuffer + 64 * i;
        if (!d->progressive && d->zigzagExtent[i] <= 1) {
            // Only the DC coefficient can be set: both passes take their short cuts, so the
            // block is one value (row pass DC x 4, column pass ((x + 16) >> 5) + 128).
            const LONG x = Low16(static_cast<ULONG>(static_cast<LONG>(d->blockTable[i][0])) * 4u);
            const LONG v = ((x + 16) >> 5) + 128;
            std::memset(samples, v < 0 ? 0 : (v > 255 ? 255 : v), 64);
            continue;
        }
        InverseDctBlock(d->blockTable[i], samples);
    }
    d->mcuRowLinesLeft = d->mcuHeight;
    return TRUE;
}

namespace {

// True when the caller's output geometry holds the image: every image line has a row, and a
// row takes no more pixels than the line has and fits its stride.
bool OutputFits(const JpegDecoder* d)
{
    return d->outputWidth >= 1 && d->outputWidth <= d->imageWidth && d->outputHeight >= d->imageHeight &&
           d->outputStride >= 3 * d->outputWidth;
}

// Writes the image's lines into the output rows, moving up one stride per line. Delivers the
// same lines as repeated DecodeScanLine calls with the BGR copy, but converts each line
// straight into its row: a whole MCU row at a time, no line buffer.
VOID WriteLines(JpegDecoder* d, UCHAR* out)
{
    d->outputRow = out + static_cast<LONG_PTR>(d->outputHeight - 1) * d->outputStride;
    const LONG width = d->outputWidth;
    while (d->status == 0 && d->ready && d->imageLinesLeft > 0) {
        if (d->mcuRowLinesLeft == 0 && !PrepareMcuRow(d)) {
            break;
        }
        LONG lines = d->mcuRowLinesLeft < d->imageLinesLeft ? d->mcuRowLinesLeft : d->imageLinesLeft;
        for (LONG r = d->mcuHeight - d->mcuRowLinesLeft; lines > 0; lines--, r++) {
            ConvertLineBgr(d, r, d->outputRow, width);
            d->outputRow -= d->outputStride;
            d->mcuRowLinesLeft--;
            d->imageLinesLeft--;
        }
    }
}

}  // namespace

// Decodes one camera frame into out. Nothing happens (no memory taken, output untouched) for
// a frame of 10 bytes or fewer or one whose stream would not fit the work area. Images above
// 1280 x 1024 are dropped after set-up without a status; an output geometry that cannot hold
// the image is refused with -232. Every block obtained is released before returning.
// IRQL: PASSIVE_LEVEL (the frame worker). No locks.
VOID DecodeFrame(JpegDecoder* d, const CompressedFrame* frame, UCHAR* out)
{
    if (frame->count <= kJpegFrameHeaderBytes || d->headerLength > kJpegHeaderTemplateBytes) {
        return;
    }
    // 64-bit sum: a count near 4 GB must not wrap past the work-area check.
    const ULONGLONG payload = frame->count - kJpegFrameHeaderBytes;
    const ULONGLONG total = d->headerLength + payload;
    if (total > kJpegWorkAreaBytes) {
        return;
    }
    d->streamLength = static_cast<ULONG>(total);
    std::memcpy(d->workArea, d->headerTemplate, d->headerLength);
    std::memmove(d->workArea + d->headerLength, frame->data + kJpegFrameHeaderBytes, payload);

    ReadImageHeader(d);
    if (d->status == 0) {
        SetUpFrame(d);
    }
    if (d->status == 0 && (d->imageWidth > kJpegMaxOutputWidth || d->imageHeight > kJpegMaxOutputHeight)) {
        // Dropped without output; no scan is decoded for a picture nobody will see.
        DecoderFreeAll(d);
        return;
    }
    if (d->status == 0 && !OutputFits(d)) {
        SetStatus(d, JPEG_OUTPUT_GEOMETRY);
    }
    if (d->status == 0) {
        if (d->progressive) {
            DecodeProgressiveScans(d);
        } else if (!StartScan(d)) {
            SetStatus(d, JPEG_MISPLACED_MARKER);
        }
    }
    if (d->status == 0) {
        d->ready = 1;
        WriteLines(d, out);
    }
    DecoderFreeAll(d);
}

// Returns 0 with the next image line (4 bytes per pixel R, G, B, unused; or 1 grey byte), 1
// when every line has been delivered, -1 when not ready or failed. Decodes and transforms a
// new MCU row when the previous one is used up; after the last row of a sequential image the
// next marker must be EOI.
LONG DecodeScanLine(JpegDecoder* d, const UCHAR** line, LONG* length)
{
    if (d->status != 0 || !d->ready) {
        return -1;
    }
    if (d->imageLinesLeft == 0) {
        return 1;
    }
    if (d->mcuRowLinesLeft == 0 && !PrepareMcuRow(d)) {
        return -1;
    }
    const LONG r = d->mcuHeight - d->mcuRowLinesLeft;
    const UCHAR* produced = d->lineBuffers[0];
    if (d->samplingType <= 2) {
        ConvertLines(d, r);
    } else if (d->mcuRowLinesLeft & 1) {
        produced = d->lineBuffers[1];
    } else {
        ConvertLines(d, r);
    }
    d->mcuRowLinesLeft--;
    d->imageLinesLeft--;
    *line = produced;
    *length = d->bytesPerLine;
    return 0;
}
