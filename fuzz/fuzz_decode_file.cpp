// libFuzzer target: a whole JPEG file through the path of `nimbra decode`: probe the frame
// size, refuse what the tool refuses, then decode with header length 0 into the image's own
// geometry.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "jpeg/jpeg_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kJpegWorkAreaBytes) {
        return 0;
    }
    LONG width = 0;
    LONG height = 0;
    if (!JpegProbeFrameSize(data, static_cast<ULONG>(size), &width, &height) || width < 1 || height < 1 ||
        width > kJpegMaxOutputWidth || height > kJpegMaxOutputHeight) {
        return 0;
    }
    JpegDecoder* d = fuzz::Decoder();
    const int stride = (3 * width + 3) & ~3;
    std::vector<uint8_t> frame(kJpegFrameHeaderBytes + size);
    if (size > 0) {
        std::memcpy(frame.data() + kJpegFrameHeaderBytes, data, size);
    }
    std::vector<uint8_t> out(static_cast<size_t>(stride) * height);
    d->headerLength = 0;
    d->outputWidth = width;
    d->outputHeight = height;
    d->outputStride = stride;
    const CompressedFrame compressed{frame.data(), static_cast<ULONG>(frame.size())};
    DecodeFrame(d, &compressed, out.data());
    fuzz::CheckNoLeak();
    return 0;
}
