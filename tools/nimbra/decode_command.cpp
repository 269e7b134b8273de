// nimbra decode IN.jpg -o OUT.{png,ppm,bin}: runs the driver's JPEG decoder on a file.
//
// The decoder takes a camera frame (10 header bytes + payload) behind a header template of
// the caller's. A file is a whole JPEG stream, SOI to EOI, so the tool gives it a template of
// length 0 and a frame of 10 zero bytes followed by the file: the stream the decoder assembles
// is then exactly the file, and the file may be as large as the decoder's 409,600-byte work
// area. The output geometry is the image's own, read from the SOF before decoding.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>


#include "jpeg/jpeg_decoder.h"
#include "jpeg/jpeg_probe.h"
#include "platform/nt_pool.h"
#include "tools/nimbra/command.h"
#include "tools/nimbra/picture_output.h"

namespace nimbra::tool {
namespace {

bool EndsWith(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Writes the decoder's bottom-up BGR rows as a top-down RGB picture.
std::vector<unsigned char> Upright(const std::vector<unsigned char>& bgr, int width, int height, int stride)
{
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; y++) {
        const unsigned char* src = bgr.data() + static_cast<size_t>(height - 1 - y) * stride;
        unsigned char* dst = rgb.data() + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; x++) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
    }
    return rgb;
}

bool WriteFile(const std::string& path, const std::string& prefix, const unsigned char* data, size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = std::fwrite(prefix.data(), 1, prefix.size(), f) == prefix.size() && std::fwrite(data, 1, size, f) == size;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

int Rejected(const std::string& why)
{
    std::fprintf(stderr, "decode failed: %s\n", why.c_str());
    return kExitRejected;
}

int RunDecode(const std::string& input, const std::string& output)
{
    enum { kPng, kPpm, kBin } kind;
    if (EndsWith(output, ".png")) {
        kind = kPng;
    } else if (EndsWith(output, ".ppm")) {
        kind = kPpm;
    } else if (EndsWith(output, ".bin")) {
        kind = kBin;
    } else {
        std::fprintf(stderr, "nimbra decode: unknown output type: %s (use .png, .ppm or .bin)\n", output.c_str());
        return kExitUsage;
    }
    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "nimbra decode: cannot read %s\n", input.c_str());
        return kExitUsage;
    }
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() > kJpegWorkAreaBytes) {
        return Rejected("file of " + std::to_string(file.size()) + " bytes exceeds the decoder's work area of " +
                        std::to_string(kJpegWorkAreaBytes) + " bytes");
    }
    LONG width = 0;
    LONG height = 0;
    if (!JpegProbeFrameSize(file.data(), static_cast<ULONG>(file.size()), &width, &height) || width < 1 || height < 1) {
        return Rejected("no frame header (SOF0, SOF1 or SOF2) found");
    }
    if (width > kJpegMaxOutputWidth || height > kJpegMaxOutputHeight) {
        return Rejected("image of " + std::to_string(width) + " x " + std::to_string(height) + " is above " +
                        std::to_string(kJpegMaxOutputWidth) + " x " + std::to_string(kJpegMaxOutputHeight));
    }
    const int stride = (3 * width + 3) & ~3;
    std::vector<unsigned char> frame(kJpegFrameHeaderBytes, 0);
    frame.insert(frame.end(), file.begin(), file.end());
    std::vector<unsigned char> pixels(static_cast<size_t>(stride) * height, 0);

    auto* decoder = static_cast<JpegDecoder*>(ExAllocatePool(NonPagedPool, sizeof(JpegDecoder)));
    if (decoder == nullptr) {
        std::fprintf(stderr, "nimbra decode: no memory for the decoder\n");
        return kExitFailure;
    }
    decoder->headerLength = 0;
    decoder->outputWidth = width;
    decoder->outputHeight = height;
    decoder->outputStride = stride;
    const CompressedFrame compressed{frame.data(), static_cast<ULONG>(frame.size())};
    DecodeFrame(decoder, &compressed, pixels.data());
    const LONG status = decoder->status;
    ExFreePool(decoder);
    if (status != 0) {
        return Rejected(std::to_string(status) + " " + JpegStatusText(status));
    }

    bool ok = false;
    if (kind == kBin) {
        ok = WriteFile(output, "", pixels.data(), pixels.size());
    } else {
        const std::vector<unsigned char> rgb = Upright(pixels, width, height, stride);
        if (kind == kPng) {
            ok = WriteRgbPng(output, rgb, width, height);
        } else {
            const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
            ok = WriteFile(output, header, rgb.data(), rgb.size());
        }
    }
    if (!ok) {
        std::fprintf(stderr, "nimbra decode: cannot write %s\n", output.c_str());
        return kExitUsage;
    }
    return kExitOk;
}

// Adds the options of `nimbra decode` and returns its routine.
std::function<int()> SetUpDecode(CLI::App& sub)
{
    auto input = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    sub.add_option("input", *input, "JPEG file")->required();
    sub.add_option("-o,--output", *output, "output: .png or .ppm (upright) or .bin (decoder rows)")->required();
    return [input, output] { return RunDecode(*input, *output); };
}

}  // namespace
}  // namespace nimbra::tool

NIMBRA_COMMAND(decode, "Decode a JPEG file with the driver's decoder", nimbra::tool::SetUpDecode);
