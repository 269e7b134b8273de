// The JPEG decoder: sequential (SOF0, SOF1) and progressive (SOF2) Huffman JPEG with 8-bit
// samples, grey or YCbCr with the first component sampled 1x1, 2x1, 1x2 or 2x2, written as
// bottom-up BGR rows. All of its state lives in one JpegDecoder record that the caller
// allocates from pool (it is far too big for a stack); the only services it calls are
// ExAllocatePool and ExFreePool.
#pragma once

#include "platform/nt_types.h"

// One assembled camera frame: the first 10 bytes are the camera's own frame header, the
// JPEG payload (entropy-coded scan data) follows.
struct CompressedFrame {
    const UCHAR* data;
    ULONG count;  // bytes at data, the 10 header bytes included
};

// Status codes kept in JpegDecoder::status. 0 while the decode is sound; the first failure
// ends the decode and is never overwritten.
enum JpegStatus : LONG {
    JPEG_OK = 0,
    JPEG_HUFFMAN_COUNTS = -200,          // code counts over 255, or a code space over-subscribed
    JPEG_HUFFMAN_SLOT = -201,            // table number maps to slot 8 or above
    JPEG_DHT_LENGTH = -202,              // DHT length below 2 or shorter than its tables
    JPEG_DQT_LENGTH = -203,              // DQT length below 2
    JPEG_DQT_TABLE = -204,               // DQT table number 4 or above
    JPEG_PRECISION = -205,               // sample precision other than 8
    JPEG_HEIGHT = -206,                  // image height 0 or above 8192
    JPEG_WIDTH = -207,                   // image width 0 or above 8192
    JPEG_FRAME_COMPONENTS = -208,        // more than 4 frame components
    JPEG_SOF_LENGTH = -209,              // SOF length other than 8 + 3 x components
    JPEG_SEGMENT_LENGTH = -210,          // skipped segment length below 2
    JPEG_DRI_LENGTH = -211,              // DRI length other than 4
    JPEG_SOS = -212,                     // SOS length / component count, or a scan that does not fit the frame
    JPEG_SCAN_COMPONENT = -213,          // scan names a component the frame lacks
    JPEG_ARITHMETIC = -215,              // arithmetic coding (SOF9, DAC)
    JPEG_MISPLACED_MARKER = -216,        // marker where none may stand, EOI before the first scan
    JPEG_NO_SOI = -217,                  // no SOI in the first 512 bytes, or not followed by FF
    JPEG_UNSUPPORTED_FRAME = -218,       // first frame marker not SOF0, SOF1, SOF2 or SOF9
    JPEG_DQT_SHORT = -219,               // DQT shorter than the tables it carries
    JPEG_TOO_MANY_SCANS = -220,          // a progressive image with more scans than we decode
    JPEG_NO_SLOT = -221,                 // all 100 allocation slots in use
    JPEG_NO_QUANT_TABLE = -222,          // quantisation table undefined or selector above 3
    JPEG_NO_HUFFMAN_TABLE = -223,        // Huffman table undefined or selector beyond slot 7
    JPEG_COMPONENT_COUNT = -225,         // component count other than 1 or 3
    JPEG_SAMPLING = -226,                // sampling factors outside the supported set (or 0)
    JPEG_CORRUPT_DATA = -227,            // corrupt entropy-coded data, or no EOI after the last row
    JPEG_RESTART = -228,                 // restart marker missing or out of sequence
    JPEG_BLOCK_POSITION = -229,          // coefficient-buffer position outside its buffer
    JPEG_SPECTRAL_SELECTION = -230,      // invalid spectral selection in a progressive scan
    JPEG_SUCCESSIVE_APPROXIMATION = -231,// invalid successive approximation in a progressive scan
    JPEG_OUTPUT_GEOMETRY = -232,         // output geometry the image does not fit
    JPEG_NO_MEMORY = -233,               // ExAllocatePool returned nothing
};

// The meaning of a status code, e.g. "corrupt entropy-coded data"; never null.
const char* JpegStatusText(LONG status);

constexpr ULONG kJpegWorkAreaBytes = 409600;
constexpr ULONG kJpegHeaderTemplateBytes = 624;
constexpr ULONG kJpegFrameHeaderBytes = 10;   // the camera's own header before the payload
constexpr LONG kJpegMaxOutputWidth = 1280;    // larger images are decoded no further than set-up
constexpr LONG kJpegMaxOutputHeight = 1024;
constexpr int kJpegAllocationSlots = 100;
constexpr int kJpegInputBytes = 4096;
constexpr int kJpegPushBackBytes = 128;
constexpr int kJpegTailBytes = 128;
constexpr int kJpegSpareBytes = 128;
constexpr int kJpegMaxRowBlocks = 6144;
constexpr int kJpegMaxMcuBlocks = 10;
constexpr int kJpegMaxProgressiveScans = 256;  // bounds the work an adversarial stream can demand

constexpr int kJpegFastHuffmanBits = 10;
constexpr USHORT kJpegFastHuffmanSlow = 0xFFFF;
constexpr LONG kJpegFastValue = 1 << 13;  // in HuffmanTable::fastValue: the value's bits are in too
constexpr LONG kJpegFastSlow = 1 << 14;   // in HuffmanTable::fastValue: needs HuffmanDecode

// A decoding table built from one Huffman specification at the start of a scan.
struct HuffmanTable {
    LONG lookup[256];      // by the next 8 bits: symbol (>= 0) or tree node (< 0)
    UCHAR codeLength[256]; // by symbol: its code length in bits, 0 if it has none
    LONG tree[512];        // node v occupies entries -v-1 (bit 1) and -v (bit 0)
    // By the next 10 bits: what lookup and tree give for them, bits used << 8 | symbol, or
    // kJpegFastHuffmanSlow when the answer needs more than 10 bits.
    USHORT fast[1 << kJpegFastHuffmanBits];
    // The same with the value bits that follow the code when they also fit the 10 bits:
    // value << 16 | kJpegFastValue | bits used << 8 | symbol; without the flag only the
    // code's bits are counted; kJpegFastSlow as above.
    LONG fastValue[1 << kJpegFastHuffmanBits];
};

// Coefficients of one component across all scans of a progressive image.
struct CoefficientBuffer {
    SHORT* data;        // blocksAcross x blocksDown blocks, row by row
    LONG blocksAcross;
    LONG blocksDown;
    LONG blockWidth;    // coefficients: 1 for DC buffers, 8 for AC buffers
    LONG blockHeight;
    LONG blockBytes;    // blockWidth x blockHeight x 2
};

// The decoder's whole state. The caller owns headerTemplate, headerLength and the output
// geometry (outputWidth, outputHeight, outputStride); every other field is reset per decode.
struct JpegDecoder {
    UCHAR workArea[kJpegWorkAreaBytes];             // header template + payload of this decode
    UCHAR headerTemplate[kJpegHeaderTemplateBytes]; // caller's: SOI .. SOS put before the payload
    ULONG headerLength;                             // caller's: bytes of headerTemplate used
    ULONG streamLength;
    LONG sourceRemaining;       // stream bytes not yet copied into the input buffer
    const UCHAR* sourcePosition;
    LONG status;
    UCHAR ready;                // lines may be read
    LONG imageWidth;
    LONG imageHeight;
    ULONG progressive;

    UCHAR* huffmanCounts[8];    // 17 entries; slots 0..3 DC, 4..7 AC; null = undefined
    UCHAR* huffmanSymbols[8];   // 256 entries
    SHORT* quantTables[4];      // 64 values in zigzag order; null = undefined

    LONG samplingType;          // 0 grey, 1 = 1x1, 2 = 2x1, 3 = 1x2, 4 = 2x2
    LONG componentCount;
    LONG componentH[4];
    LONG componentV[4];
    LONG componentQuant[4];
    LONG componentId[4];
    LONG componentBlocksWide[4];
    LONG componentBlocksHigh[4];

    LONG scanComponentCount;
    LONG scanComponents[4];     // indices into the frame components
    LONG scanDcSlot[4];         // by frame component
    LONG scanAcSlot[4];
    LONG spectralStart;
    LONG spectralEnd;
    LONG approxLow;
    LONG approxHigh;

    LONG mcuWidth;              // pixels
    LONG mcuHeight;
    LONG scanBlocksPerMcu;
    LONG blocksPerMcuRow;       // of the frame
    LONG scanMcusPerRow;
    LONG scanMcusPerColumn;
    LONG mcuBlockOrder[kJpegMaxMcuBlocks];

    LONG imageLinesLeft;
    LONG mcuRowLinesLeft;
    LONG bytesPerLine;
    LONG bytesPerLineBuffer;
    LONG bytesPerPixel;

    PVOID allocations[kJpegAllocationSlots];
    HuffmanTable* huffmanTables[8];

    CoefficientBuffer* dcBuffers[4];
    CoefficientBuffer* acBuffers[4];
    LONG endOfBandRun;
    LONG blockRow[4];

    UCHAR* inputCursor;
    LONG inputLeft;
    ULONG endOfSourceToggle;
    UCHAR endOfData;
    UCHAR inputBuffer[kJpegPushBackBytes + kJpegInputBytes + kJpegTailBytes + kJpegSpareBytes];

    LONG restartInterval;
    LONG restartsLeft;
    LONG nextRestart;

    LONG frameMcusPerRow;
    LONG frameMcusPerColumn;
    LONG frameBlocksPerMcu;

    LONG dcPrediction[4];
    SHORT* blockTable[kJpegMaxRowBlocks];
    UCHAR* sampleBuffer;

    LONG bitsLeft;
    ULONG bitBuffer;

    LONG zigzagExtent[kJpegMaxRowBlocks];
    UCHAR* lineBuffers[2];

    LONG crToRed[256];
    LONG cbToBlue[256];
    LONG crToGreen[256];
    LONG cbToGreen[256];

    SHORT scratchBlock[64];

    LONG outputWidth;           // caller's: pixels per row written
    LONG outputHeight;          // caller's: rows in the output buffer
    UCHAR* outputRow;
    LONG outputStride;          // caller's: bytes from one row to the next
};

// Decodes one frame into out (outputHeight rows of outputStride bytes, bottom-up BGR).
// Reports nothing: on failure the status stays in the record and the rows not reached keep
// their contents. The frame's bytes are copied before any pixel is written, so they may lie
// in the output buffer. Takes no locks; calls on one decoder must not overlap.
VOID DecodeFrame(JpegDecoder* decoder, const CompressedFrame* frame, UCHAR* out);

// Hands out the next image line: 0 with *line and *length set, 1 when all lines are out, -1
// when the decoder is not ready or has failed.
LONG DecodeScanLine(JpegDecoder* decoder, const UCHAR** line, LONG* length);
