// Operations shared by the decoder's stages. Not for callers outside jpeg/.
#pragma once

#include "jpeg/jpeg_decoder.h"

// Marker codes (the byte after FF).
enum : UCHAR {
    MARKER_SOF0 = 0xC0,
    MARKER_SOF1 = 0xC1,
    MARKER_SOF2 = 0xC2,
    MARKER_DHT = 0xC4,
    MARKER_JPG = 0xC8,
    MARKER_SOF9 = 0xC9,
    MARKER_DAC = 0xCC,
    MARKER_RST0 = 0xD0,
    MARKER_RST7 = 0xD7,
    MARKER_SOI = 0xD8,
    MARKER_EOI = 0xD9,
    MARKER_SOS = 0xDA,
    MARKER_DQT = 0xDB,
    MARKER_DRI = 0xDD,
    MARKER_TEM = 0x01,
};

// Zigzag position -> natural (row-major) index.
extern const UCHAR kZigzagToNatural[64];

// Records the first failure; later ones are ignored.
inline VOID SetStatus(JpegDecoder* d, LONG code)
{
    if (d->status == 0) {
        d->status = code;
    }
}

// The low 16 bits of a 32-bit value, as a signed coefficient.
inline SHORT Low16(ULONG value)
{
    return static_cast<SHORT>(static_cast<USHORT>(value));
}

// Memory (decoder_memory.cpp).
PVOID DecoderAlloc(JpegDecoder* d, SIZE_T size);
VOID DecoderFreeAll(JpegDecoder* d);
VOID ResetDecoder(JpegDecoder* d);

// Input stream (input_stream.cpp).
VOID FillInputBuffer(JpegDecoder* d);
UCHAR ReadStreamByteSlow(JpegDecoder* d);
VOID PushBackByte(JpegDecoder* d, UCHAR value);
ULONG ReadHeaderBits(JpegDecoder* d, LONG n);

// Returns the next stream byte, no marker handling.
inline UCHAR ReadStreamByte(JpegDecoder* d)
{
    if (d->inputLeft > 0) {
        d->inputLeft--;
        return *d->inputCursor++;
    }
    return ReadStreamByteSlow(d);
}

// Entropy-coded data (entropy_reader.cpp).
UCHAR ReadEntropyByteSlow(JpegDecoder* d);

// Returns the next entropy-coded byte with stuffing removed; a marker reads as FF and stays.
inline UCHAR ReadEntropyByte(JpegDecoder* d)
{
    if (d->inputLeft > 0 && *d->inputCursor != 0xFF) {
        d->inputLeft--;
        return *d->inputCursor++;
    }
    return ReadEntropyByteSlow(d);
}

// Returns the next n (0..16) bits of entropy-coded data; the header reader's twin.
inline ULONG ReadEntropyBits(JpegDecoder* d, LONG n)
{
    ULONG b = d->bitBuffer;
    ULONG result = (b >> (16 - n)) & ((1u << n) - 1u);
    LONG left = d->bitsLeft - n;
    if (left > 0) {
        d->bitBuffer = (b << n) | (b >> ((32 - n) & 31));
        d->bitsLeft = left;
        return result;
    }
    LONG before = n + left;
    b = (b << before) | (b >> ((32 - before) & 31));
    ULONG c1 = ReadEntropyByte(d);
    ULONG c2 = ReadEntropyByte(d);
    b = (b & 0xFFFFu) + (c1 << 24) + (c2 << 16);
    LONG deficit = -left;
    d->bitBuffer = (b << deficit) | (b >> ((32 - deficit) & 31));
    d->bitsLeft = left + 16;
    return result;
}

// Decodes one Huffman symbol, consuming exactly its code's bits.
inline LONG HuffmanDecode(JpegDecoder* d, const HuffmanTable* t)
{
    LONG e = t->lookup[(d->bitBuffer >> 8) & 0xFF];
    if (e >= 0) {
        ReadEntropyBits(d, t->codeLength[e]);
        return e;
    }
    ReadEntropyBits(d, 8);
    do {
        ULONG bit = ReadEntropyBits(d, 1);
        e = t->tree[-e - static_cast<LONG>(bit)];
    } while (e < 0);
    return e;
}

// EXTEND of ITU-T T.81 F.2.2.1: s raw bits as a signed value of magnitude category s.
inline LONG Extend(ULONG v, LONG s)
{
    return v >= (1u << (s - 1)) ? static_cast<LONG>(v) : static_cast<LONG>(v) - (1 << s) + 1;
}

// Markers and frame set-up (markers.cpp, frame_setup.cpp).
BOOLEAN ReadImageHeader(JpegDecoder* d);
LONG ReadMarkers(JpegDecoder* d, BOOLEAN eoiOnly);
VOID ReadScanHeader(JpegDecoder* d);
VOID SetUpFrame(JpegDecoder* d);
VOID ComputeMcuLayout(JpegDecoder* d);

// Huffman tables and sequential scans (huffman_table.cpp, sequential_scan.cpp).
BOOLEAN BuildHuffmanTable(JpegDecoder* d, int slot, HuffmanTable* table);
VOID PrepareHuffmanTables(JpegDecoder* d);
BOOLEAN StartScan(JpegDecoder* d);
VOID ProcessRestart(JpegDecoder* d);
VOID DecodeMcuRow(JpegDecoder* d);

// The next MCU row decoded and transformed (decode_frame.cpp).
BOOLEAN PrepareMcuRow(JpegDecoder* d);

// Inverse DCT (idct.cpp).
VOID InverseDct(SHORT* coefficients, UCHAR* output);       // plain; the block is its workspace
VOID InverseDctBlock(const SHORT* coefficients, UCHAR* output);  // fast; the block stays as it is

// Colour (colour.cpp).
VOID BuildColourTables(JpegDecoder* d);
VOID ConvertLines(JpegDecoder* d, LONG r);
VOID ConvertLineBgrPlain(const JpegDecoder* d, LONG r, UCHAR* out, LONG width);
VOID ConvertLineBgr(const JpegDecoder* d, LONG r, UCHAR* out, LONG width);

// Progressive (progressive.cpp).
VOID DecodeProgressiveScans(JpegDecoder* d);
VOID LoadCoefficientRow(JpegDecoder* d);
SHORT* CoefficientBlockAt(JpegDecoder* d, CoefficientBuffer* buffer, LONG x, LONG y);
