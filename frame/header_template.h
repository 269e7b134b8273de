// The fixed 624-byte JPEG header (SOI up to and including SOS) that turns a camera frame's
// entropy-coded data into a complete baseline JPEG stream. Its SOF0 carries 240 × 320; the
// frame-processor set-up patches the copy in the decoder to 480 × 640.
#pragma once

#include "platform/nt_types.h"

#define JPEG_HEADER_TEMPLATE_BYTES 624
#define JPEG_HEADER_SOF_HEIGHT 164  // big-endian height at 164..165, width at 166..167
#define JPEG_HEADER_SOF_WIDTH 166

extern const UCHAR JpegHeaderTemplate[JPEG_HEADER_TEMPLATE_BYTES];
