// The marker-aware byte reader of entropy-coded segments.
#include "jpeg/jpeg_internal.h"

// ReadEntropyByte when the next byte is FF or the buffer is empty. A stuffed FF 00 gives FF;
// any other FF xx is a marker: it is pushed back and FF returned, so every later call meets
// it again and the bit reader sees 1-bits until the marker is dealt with.
UCHAR ReadEntropyByteSlow(JpegDecoder* d)
{
    UCHAR first = ReadStreamByte(d);
    if (first != 0xFF) {
        return first;
    }
    if (d->inputLeft == 0) {
        FillInputBuffer(d);
        if (d->inputLeft == 0) {
            d->endOfSourceToggle ^= 1;
            PushBackByte(d, 0xFF);
            return 0xFF;
        }
    }
    UCHAR next = ReadStreamByte(d);
    if (next == 0x00) {
        return 0xFF;
    }
    PushBackByte(d, next);
    PushBackByte(d, 0xFF);
    return 0xFF;
}
