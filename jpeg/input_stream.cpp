// The decoder's input side: the assembled stream in the work area, copied 4096 bytes at a time
// into the input buffer, the raw byte reader with its end-of-data fallback, byte push-back
// and the header bit reader.
#include <cstring>

#include "jpeg/jpeg_internal.h"

// Refills the input buffer from the source and marks its tail with FF D9 pairs. Reaching the
// end of the source records no status.
VOID FillInputBuffer(JpegDecoder* d)
{
    UCHAR* buffer = d->inputBuffer + kJpegPushBackBytes;
    d->inputLeft = 0;
    d->inputCursor = buffer;
    if (d->endOfData) {
        return;
    }
    while (d->inputLeft < kJpegInputBytes && !d->endOfData) {
        LONG n = kJpegInputBytes - d->inputLeft;
        if (d->sourceRemaining < n) {
            n = d->sourceRemaining;
        }
        if (n > 0) {
            std::memcpy(buffer + d->inputLeft, d->sourcePosition, static_cast<size_t>(n));
        }
        d->sourcePosition += n;
        d->sourceRemaining -= n;
        d->inputLeft += n;
        if (d->sourceRemaining <= 0) {
            d->endOfData = 1;
        }
    }
    UCHAR* tail = buffer + d->inputLeft;
    for (int i = 0; i < kJpegTailBytes / 2; i++) {
        tail[2 * i] = 0xFF;
        tail[2 * i + 1] = MARKER_EOI;
    }
}

// ReadStreamByte with an empty buffer: refills, and once the source is exhausted returns the
// endless sequence FF D9 FF D9 ..., a run of EOI markers that ends every marker search.
UCHAR ReadStreamByteSlow(JpegDecoder* d)
{
    if (d->inputLeft == 0) {
        FillInputBuffer(d);
    }
    if (d->inputLeft == 0) {
        ULONG was = d->endOfSourceToggle;
        d->endOfSourceToggle ^= 1;
        return was == 0 ? 0xFF : MARKER_EOI;
    }
    d->inputLeft--;
    return *d->inputCursor++;
}

// Places one byte in front of the cursor so that it is read next. Callers push back at most
// 4 bytes before reading them again, well within the 128 bytes of push-back room.
VOID PushBackByte(JpegDecoder* d, UCHAR value)
{
    if (d->inputCursor == d->inputBuffer) {
        return;  // never reached: the room is 32 times what any caller pushes back
    }
    d->inputCursor--;
    *d->inputCursor = value;
    d->inputLeft++;
}

// Returns the next n (1..16) bits of the stream, raw (no stuffing rule): the low 16 bits of
// the bit buffer are the window, fetched-ahead bits wait in the high half.
ULONG ReadHeaderBits(JpegDecoder* d, LONG n)
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
    ULONG c1 = ReadStreamByte(d);
    ULONG c2 = ReadStreamByte(d);
    b = (b & 0xFFFFu) + (c1 << 24) + (c2 << 16);
    LONG deficit = -left;
    d->bitBuffer = (b << deficit) | (b >> ((32 - deficit) & 31));
    d->bitsLeft = left + 16;
    return result;
}
