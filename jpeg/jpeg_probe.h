// Finds the frame size of a JPEG stream without decoding it, so that a caller can set the
// output geometry before DecodeFrame.
#pragma once

#include "platform/nt_types.h"

// Walks the marker segments of data[0 .. count) from SOI to the first SOF0/1/2 and returns
// true with its width and height; false if the stream ends or breaks off first.
BOOLEAN JpegProbeFrameSize(const UCHAR* data, ULONG count, LONG* width, LONG* height);
