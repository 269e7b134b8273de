// nimbra process FRAME -o OUT --size WxH [--zoom LEVEL]: runs the driver's frame processing on a
// camera frame file (the 10-byte frame header and the entropy-coded data, as the camera sends
// them between markers) and writes the delivered picture: .png as a capture application shows
// it (the buffer is a bottom-up DIB of blue-green-red pixels), or .bin, the delivered bytes.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "camera/exposure_model.h"
#include "frame/frame_processor.h"
#include "tools/nimbra/command.h"
#include "tools/nimbra/picture_output.h"

namespace nimbra::tool {
namespace {

struct ProcessOptions {
    std::string input;
    std::string output;
    std::string size;
    int zoom = -1;
};

bool EndsWith(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool ParseSize(const std::string& text, int* width, int* height)
{
    char x = 0;
    char extra = 0;
    return std::sscanf(text.c_str(), "%d%c%d%c", width, &x, height, &extra) == 3 && (x == 'x' || x == 'X');
}

int RunProcess(const ProcessOptions& options)
{
    const bool png = EndsWith(options.output, ".png");
    if (!png && !EndsWith(options.output, ".bin")) {
        std::fprintf(stderr, "nimbra process: unknown output type: %s (use .png or .bin)\n", options.output.c_str());
        return kExitUsage;
    }
    int width = 0;
    int height = 0;
    if (!ParseSize(options.size, &width, &height)) {
        std::fprintf(stderr, "nimbra process: --size wants WIDTHxHEIGHT, not %s\n", options.size.c_str());
        return kExitUsage;
    }
    std::ifstream in(options.input, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "nimbra process: cannot read %s\n", options.input.c_str());
        return kExitUsage;
    }
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    // The records the frame processing reaches: its exposure model and the processor itself.
    ExposureModel model;
    InitializeExposureModel(&model, nullptr);
    FrameProcessor* processor = CreateFrameProcessor(&model);
    if (processor == nullptr) {
        std::fprintf(stderr, "nimbra process: no memory for the frame processor\n");
        return kExitFailure;
    }
    int status = kExitOk;
    const ULONG packed = static_cast<ULONG>(width & 0xFFFF) | (static_cast<ULONG>(height & 0xFFFF) << 16);
    if (width > 0xFFFF || height > 0xFFFF || !NT_SUCCESS(SetUpFrameProcessor(processor, packed))) {
        std::fprintf(stderr, "nimbra process: size %dx%d is not offered (640x480, 352x288, 320x240, 176x144, 160x120)\n",
                     width, height);
        status = kExitUsage;
    } else {
        if (options.zoom >= 0) {
            processor->zoomEnabled = 1;
            SetZoomLevel(processor, static_cast<UCHAR>(options.zoom));
        }
        // The capture copies a frame of up to 307,200 bytes; the buffer holds a whole picture.
        std::vector<unsigned char> buffer(FRAME_WORK_BUFFER_BYTES > file.size() ? FRAME_WORK_BUFFER_BYTES : file.size(), 0);
        const CompressedFrame frame{file.data(), static_cast<ULONG>(file.size())};
        ProcessFrame(processor, &frame, buffer.data());
        if (processor->decoder->status != 0) {
            std::fprintf(stderr, "nimbra process: warning: frame damaged (%d %s); the picture is built from what was decoded\n",
                         static_cast<int>(processor->decoder->status), JpegStatusText(processor->decoder->status));
        }
        buffer.resize(FrameProcessorPictureBytes(processor));
        const bool written = png ? WriteDisplayedPng(options.output, buffer.data(), width, height)
                                 : WriteBytes(options.output, buffer.data(), buffer.size());
        if (!written) {
            std::fprintf(stderr, "nimbra process: cannot write %s\n", options.output.c_str());
            status = kExitUsage;
        }
    }
    FreeFrameProcessor(processor);
    return status;
}

std::function<int()> SetUpProcess(CLI::App& sub)
{
    auto options = std::make_shared<ProcessOptions>();
    sub.add_option("frame", options->input, "Camera frame file (10-byte frame header + entropy-coded data)")
        ->required();
    sub.add_option("-o,--output", options->output, "Output: .png (as displayed) or .bin (the delivered bytes)")
        ->required();
    sub.add_option("--size", options->size, "Output size: 640x480, 352x288, 320x240, 176x144 or 160x120")->required();
    sub.add_option("--zoom", options->zoom, "Switch the digital zoom on at this level (1..16)")
        ->check(CLI::Range(0, 255));
    return [options] { return RunProcess(*options); };
}

}  // namespace
}  // namespace nimbra::tool

NIMBRA_COMMAND(process, "Run the driver's frame processing on a camera frame file", nimbra::tool::SetUpProcess);
