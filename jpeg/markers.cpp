// Marker parsing: SOI, the table segments, the frame header (SOF) and the scan header (SOS).
// Every field is read with ReadHeaderBits, so header bytes are taken raw.
#include "jpeg/jpeg_internal.h"

namespace {

// Reads and discards a segment the decoder has no use for (APPn, COM, DNL, ...).
VOID SkipSegment(JpegDecoder* d)
{
    ULONG length = ReadHeaderBits(d, 16);
    if (length < 2) {
        SetStatus(d, JPEG_SEGMENT_LENGTH);
        return;
    }
    for (ULONG i = 2; i < length; i++) {
        ReadHeaderBits(d, 8);
    }
}

// Reads a DRI segment: the restart interval in MCUs, 0 for none.
VOID ReadRestartInterval(JpegDecoder* d)
{
    if (ReadHeaderBits(d, 16) != 4) {
        SetStatus(d, JPEG_DRI_LENGTH);
        return;
    }
    d->restartInterval = static_cast<LONG>(ReadHeaderBits(d, 16));
}

// Reads a DQT segment; each table is stored in zigzag order as signed 16-bit values, a table
// defined again is overwritten in place.
VOID ReadQuantTables(JpegDecoder* d)
{
    LONG length = static_cast<LONG>(ReadHeaderBits(d, 16));
    if (length < 2) {
        SetStatus(d, JPEG_DQT_LENGTH);
        return;
    }
    length -= 2;
    while (length > 0) {
        ULONG pqTq = ReadHeaderBits(d, 8);
        ULONG precision = pqTq >> 4;
        ULONG table = pqTq & 15;
        if (table >= 4) {
            SetStatus(d, JPEG_DQT_TABLE);
            return;
        }
        if (d->quantTables[table] == nullptr) {
            d->quantTables[table] = static_cast<SHORT*>(DecoderAlloc(d, 128));
            if (d->quantTables[table] == nullptr) {
                return;
            }
        }
        SHORT* q = d->quantTables[table];
        for (int i = 0; i < 64; i++) {
            q[i] = Low16(ReadHeaderBits(d, precision == 0 ? 8 : 16));
        }
        LONG used = precision == 0 ? 65 : 129;
        if (length < used) {
            SetStatus(d, JPEG_DQT_SHORT);
            return;
        }
        length -= used;
    }
}

// Reads a DHT segment: code counts and symbols per table. The decoding tables are built at
// the start of each scan, not here.
VOID ReadHuffmanTables(JpegDecoder* d)
{
    LONG length = static_cast<LONG>(ReadHeaderBits(d, 16));
    if (length < 2) {
        SetStatus(d, JPEG_DHT_LENGTH);
        return;
    }
    length -= 2;
    while (length > 0) {
        ULONG classNumber = ReadHeaderBits(d, 8);
        UCHAR counts[17];
        UCHAR symbols[256];
        LONG total = 0;
        counts[0] = 0;
        for (int i = 1; i <= 16; i++) {
            counts[i] = static_cast<UCHAR>(ReadHeaderBits(d, 8));
            total += counts[i];
        }
        if (total > 255) {
            SetStatus(d, JPEG_HUFFMAN_COUNTS);
            return;
        }
        for (LONG i = 0; i < total; i++) {
            symbols[i] = static_cast<UCHAR>(ReadHeaderBits(d, 8));
        }
        if (length < total + 17) {
            SetStatus(d, JPEG_DHT_LENGTH);
            return;
        }
        length -= total + 17;
        ULONG slot = (classNumber & 15) + 4 * ((classNumber >> 4) & 1);
        if (slot >= 8) {
            SetStatus(d, JPEG_HUFFMAN_SLOT);
            return;
        }
        if (d->huffmanCounts[slot] == nullptr) {
            d->huffmanCounts[slot] = static_cast<UCHAR*>(DecoderAlloc(d, 17));
            if (d->huffmanCounts[slot] == nullptr) {
                return;
            }
        }
        if (d->huffmanSymbols[slot] == nullptr) {
            d->huffmanSymbols[slot] = static_cast<UCHAR*>(DecoderAlloc(d, 256));
            if (d->huffmanSymbols[slot] == nullptr) {
                return;
            }
        }
        for (int i = 0; i <= 16; i++) {
            d->huffmanCounts[slot][i] = counts[i];
        }
        for (LONG i = 0; i < total; i++) {
            d->huffmanSymbols[slot][i] = symbols[i];
        }
    }
}

// Reads an SOF segment: precision, size and the components with their sampling factors.
VOID ReadFrameHeader(JpegDecoder* d)
{
    ULONG length = ReadHeaderBits(d, 16);
    if (ReadHeaderBits(d, 8) != 8) {
        SetStatus(d, JPEG_PRECISION);
        return;
    }
    LONG height = static_cast<LONG>(ReadHeaderBits(d, 16));
    if (height < 1 || height > 8192) {
        SetStatus(d, JPEG_HEIGHT);
        return;
    }
    LONG width = static_cast<LONG>(ReadHeaderBits(d, 16));
    if (width < 1 || width > 8192) {
        SetStatus(d, JPEG_WIDTH);
        return;
    }
    ULONG count = ReadHeaderBits(d, 8);
    if (count > 4) {
        SetStatus(d, JPEG_FRAME_COMPONENTS);
        return;
    }
    if (length != 8 + 3 * count) {
        SetStatus(d, JPEG_SOF_LENGTH);
        return;
    }
    d->imageHeight = height;
    d->imageWidth = width;
    d->componentCount = static_cast<LONG>(count);
    for (ULONG i = 0; i < count; i++) {
        d->componentId[i] = static_cast<LONG>(ReadHeaderBits(d, 8));
        d->componentH[i] = static_cast<LONG>(ReadHeaderBits(d, 4));
        d->componentV[i] = static_cast<LONG>(ReadHeaderBits(d, 4));
        d->componentQuant[i] = static_cast<LONG>(ReadHeaderBits(d, 8));
    }
}

}  // namespace

// Returns the code of the next frame, scan, SOI or EOI marker, taking in every table segment
// on the way. In EOI-only mode anything but EOI fails with -227. Returns 0 after a failure.
LONG ReadMarkers(JpegDecoder* d, BOOLEAN eoiOnly)
{
    for (;;) {
        ULONG c;
        do {
            c = ReadHeaderBits(d, 8);  // an exhausted stream reads FF D9 ..., so this ends
        } while (c != 0xFF);
        do {
            c = ReadHeaderBits(d, 8);
        } while (c == 0xFF);
        if (c == 0x00) {
            continue;
        }
        if (eoiOnly && c != MARKER_EOI) {
            SetStatus(d, JPEG_CORRUPT_DATA);
            return 0;
        }
        if (c == MARKER_TEM || c == MARKER_JPG || (c >= MARKER_RST0 && c <= MARKER_RST7)) {
            SetStatus(d, JPEG_MISPLACED_MARKER);
            return 0;
        }
        if ((c >= 0xC0 && c <= 0xCF && c != MARKER_DHT && c != MARKER_JPG && c != MARKER_DAC) ||
            c == MARKER_SOI || c == MARKER_EOI || c == MARKER_SOS) {
            return static_cast<LONG>(c);
        }
        switch (c) {
        case MARKER_DHT: ReadHuffmanTables(d); break;
        case MARKER_DAC: SetStatus(d, JPEG_ARITHMETIC); break;
        case MARKER_DQT: ReadQuantTables(d); break;
        case MARKER_DRI: ReadRestartInterval(d); break;
        default: SkipSegment(d); break;
        }
        if (d->status != 0) {
            return 0;
        }
    }
}

// Reads the stream from SOI up to and including the frame header. Returns true on success.
BOOLEAN ReadImageHeader(JpegDecoder* d)
{
    d->sourcePosition = d->workArea;
    d->sourceRemaining = static_cast<LONG>(d->streamLength);
    ResetDecoder(d);

    ULONG previous = ReadHeaderBits(d, 8);
    ULONG current = ReadHeaderBits(d, 8);
    if (previous != 0xFF || current != MARKER_SOI) {
        bool found = false;
        for (int i = 0; i < 511 && !found; i++) {
            previous = current;
            current = ReadHeaderBits(d, 8);
            found = previous == 0xFF && current == MARKER_SOI;
        }
        if (!found || ((d->bitBuffer >> 8) & 0xFF) != 0xFF) {
            SetStatus(d, JPEG_NO_SOI);
            return FALSE;
        }
    }
    LONG marker = ReadMarkers(d, FALSE);
    if (d->status != 0) {
        return FALSE;
    }
    switch (marker) {
    case MARKER_SOF2:
        d->progressive = 1;
        ReadFrameHeader(d);
        break;
    case MARKER_SOF0:
    case MARKER_SOF1:
        ReadFrameHeader(d);
        break;
    case MARKER_SOF9:
        SetStatus(d, JPEG_ARITHMETIC);
        break;
    default:
        SetStatus(d, JPEG_UNSUPPORTED_FRAME);
        break;
    }
    return d->status == 0;
}

// Reads an SOS segment into the scan fields. A sequential image always takes the whole band.
VOID ReadScanHeader(JpegDecoder* d)
{
    ULONG length = ReadHeaderBits(d, 16);
    ULONG count = ReadHeaderBits(d, 8);
    if (length != 6 + 2 * count || count < 1 || count > 4) {
        SetStatus(d, JPEG_SOS);
        return;
    }
    d->scanComponentCount = static_cast<LONG>(count);
    for (ULONG i = 0; i < count; i++) {
        LONG id = static_cast<LONG>(ReadHeaderBits(d, 8));
        ULONG tables = ReadHeaderBits(d, 8);
        LONG index = 0;
        while (index < d->componentCount && d->componentId[index] != id) {
            index++;
        }
        if (index == d->componentCount) {
            SetStatus(d, JPEG_SCAN_COMPONENT);
            return;
        }
        d->scanComponents[i] = index;
        d->scanDcSlot[index] = static_cast<LONG>(tables >> 4);
        d->scanAcSlot[index] = static_cast<LONG>(tables & 15) + 4;
    }
    d->spectralStart = static_cast<LONG>(ReadHeaderBits(d, 8));
    d->spectralEnd = static_cast<LONG>(ReadHeaderBits(d, 8));
    d->approxHigh = static_cast<LONG>(ReadHeaderBits(d, 4));
    d->approxLow = static_cast<LONG>(ReadHeaderBits(d, 4));
    if (!d->progressive) {
        d->spectralStart = 0;
        d->spectralEnd = 63;
    }
}
