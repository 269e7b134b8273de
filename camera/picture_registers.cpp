// Register encodings of the picture settings.
#include "camera/picture_registers.h"

UCHAR EncodeBrightness(UCHAR brightness)
{
    return static_cast<UCHAR>(BRIGHTNESS_MAX - brightness);
}

VOID EncodeSaturation(UCHAR saturation, UCHAR saturationShadow, UCHAR bytes[2])
{
    bytes[0] = static_cast<UCHAR>(saturation * 8);
    bytes[1] = static_cast<UCHAR>(((saturation / 4) & 0x38) | saturationShadow);
}

UCHAR EncodeSharpness(UCHAR sharpness, UCHAR sharpnessShadow)
{
    return static_cast<UCHAR>(((sharpness & 3) * 4) | sharpnessShadow);
}

UCHAR EncodeGamma(UCHAR gamma, UCHAR gammaShadow)
{
    // Codes 0, 1, 3, 2 for gamma 0, 1, 2, 3; the field is two bits, so the gamma is taken
    // modulo 4 (the stored range is 0..3).
    static const UCHAR codes[4] = {0, 1, 3, 2};
    return static_cast<UCHAR>(gammaShadow | (codes[gamma & 3] * 64));
}
