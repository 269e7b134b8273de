// libFuzzer target: the driver's ProcessFrame on a damaged camera frame, at every output size,
// with and without the zoom. Byte 0 chooses: bits 0..2 the size (modulo 5), bit 3 the zoom,
// bits 4..7 the zoom level (0 leaves it off); the rest is the frame (10-byte frame header and
// the data), decoded behind the driver's own header template. Anything read or written outside
// the buffers, or pool left behind, is a crash.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "camera/exposure_model.h"
#include "frame/frame_processor.h"
#include "host/kernel/host_kernel.h"

namespace {

struct Sizes {
    int width, height;
};
const Sizes kSizes[5] = {{640, 480}, {352, 288}, {320, 240}, {176, 144}, {160, 120}};

FrameProcessor* Processor()
{
    static ExposureModel model;
    static FrameProcessor* processor = [] {
        InitializeExposureModel(&model, nullptr);
        return CreateFrameProcessor(&model);
    }();
    return processor;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1u << 20)) {
        return 0;
    }
    FrameProcessor* processor = Processor();
    if (processor == nullptr) {
        std::abort();
    }
    const size_t liveBlocks = nimbra::host::GetPoolStats().liveBlocks;
    const Sizes s = kSizes[(data[0] & 7) % 5];
    SetUpFrameProcessor(processor, static_cast<ULONG>(s.width) | (static_cast<ULONG>(s.height) << 16));
    processor->zoomEnabled = (data[0] & 8) ? 1 : 0;
    SetZoomLevel(processor, static_cast<UCHAR>(data[0] >> 4));
    // The output is exactly one picture, so that a write past it is caught; the frame is copied
    // so that a read past its count is caught too.
    std::vector<uint8_t> output(static_cast<size_t>(FrameProcessorPictureBytes(processor)));
    std::vector<uint8_t> frameBytes(data + 1, data + size);
    const CompressedFrame frame{frameBytes.data(), static_cast<ULONG>(frameBytes.size())};
    ProcessFrame(processor, &frame, output.data());
    if (nimbra::host::GetPoolStats().liveBlocks != liveBlocks) {
        std::abort();
    }
    return 0;
}
