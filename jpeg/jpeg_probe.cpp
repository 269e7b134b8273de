// The frame-size probe: a bounds-checked walk over marker segments.
#include "jpeg/jpeg_probe.h"

BOOLEAN JpegProbeFrameSize(const UCHAR* data, ULONG count, LONG* width, LONG* height)
{
    if (count < 2 || data[0] != 0xFF || data[1] != 0xD8) {
        return FALSE;
    }
    ULONG at = 2;
    while (at + 4 <= count) {
        if (data[at] != 0xFF) {
            at++;  // fill or stray bytes between segments
            continue;
        }
        const UCHAR code = data[at + 1];
        if (code == 0xFF || code == 0x00 || code == 0xD8 || (code >= 0xD0 && code <= 0xD7) || code == 0x01) {
            at++;
            continue;
        }
        if (code == 0xD9 || code == 0xDA) {
            return FALSE;
        }
        const ULONG length = (static_cast<ULONG>(data[at + 2]) << 8) | data[at + 3];
        if ((code == 0xC0 || code == 0xC1 || code == 0xC2) && at + 9 <= count) {
            *height = static_cast<LONG>((data[at + 5] << 8) | data[at + 6]);
            *width = static_cast<LONG>((data[at + 7] << 8) | data[at + 8]);
            return TRUE;
        }
        if (length < 2) {
            return FALSE;
        }
        at += 2 + length;
    }
    return FALSE;
}
