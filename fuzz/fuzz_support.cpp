#include "fuzz/fuzz_support.h"

#include "tests/jpeg/jpeg_test_support.h"

namespace fuzz {

const uint8_t* CameraHeader()
{
    static const jpegtest::Bytes header = jpegtest::CameraTemplate();
    return header.data();
}

ULONG CameraHeaderLength()
{
    return kJpegHeaderTemplateBytes;
}

}  // namespace fuzz
