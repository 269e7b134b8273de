// Register encodings of the four picture settings, shared by the full bridge program and the
// per-frame picture adjustment.
#pragma once

#include "usb/bridge_state.h"

#define REGISTER_GAMMA 0x06
#define REGISTER_SATURATION 0x5F      // two bytes: 0x5F and 0x60
#define REGISTER_BRIGHTNESS 0x61
#define REGISTER_SHARPNESS 0x67

#define BRIGHTNESS_MAX 30
#define SATURATION_MAX 255
#define SHARPNESS_MAX 2
#define GAMMA_MAX 3

// Register 0x61: (30 − brightness) modulo 256.
UCHAR EncodeBrightness(UCHAR brightness);
// Registers 0x5F and 0x60: the low five bits of the saturation in bits 3..7 of the first, its
// top three bits in bits 3..5 of the second, OR the saturation shadow.
VOID EncodeSaturation(UCHAR saturation, UCHAR saturationShadow, UCHAR bytes[2]);
// Register 0x67: ((sharpness AND 3) × 4) OR the sharpness shadow.
UCHAR EncodeSharpness(UCHAR sharpness, UCHAR sharpnessShadow);
// Register 0x06: the gamma shadow OR the gamma code (0, 1, 3, 2 for gamma 0..3) × 64.
UCHAR EncodeGamma(UCHAR gamma, UCHAR gammaShadow);
