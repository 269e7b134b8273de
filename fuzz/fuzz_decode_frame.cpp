// libFuzzer target: DecodeFrame on a camera frame behind the camera's header template. The
// input's first byte picks the header length (0 or the whole template) so that both fully
// fuzzed streams and camera payloads are reached; the rest is the frame.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 20) {
        return 0;
    }
    JpegDecoder* d = fuzz::Decoder();
    const bool camera = (data[0] & 1) != 0;
    d->headerLength = camera ? fuzz::CameraHeaderLength() : 0;
    if (camera) {
        std::memcpy(d->headerTemplate, fuzz::CameraHeader(), kJpegHeaderTemplateBytes);
    }
    d->outputWidth = 640;
    d->outputHeight = 480;
    d->outputStride = 1920;
    static std::vector<uint8_t> out(1920 * 480);
    const CompressedFrame frame{data + 1, static_cast<ULONG>(size - 1)};
    DecodeFrame(d, &frame, out.data());
    fuzz::CheckNoLeak();
    return 0;
}
