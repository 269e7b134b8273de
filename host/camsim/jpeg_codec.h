// libjpeg-turbo and libpng behind three plain routines: the camera's encoder, a decoder for
// pictures it is given (and for tests), and a PNG reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace nimbra::camsim {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // R, G, B per pixel, rows top to bottom, stride 3 × width
};

// Baseline JPEG encoder with the camera's parameters: the standard quantisation tables unscaled
// (IJG quality 50), the standard Huffman tables, components 1, 2, 3 sampled 2×1, 1×1, 1×1, no
// restart interval, a JFIF APP0. Keeps its libjpeg state between pictures. Not thread-safe.
class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Encodes an RGB picture (stride 3 × width) as a whole JPEG file into `out` (replaced).
    // Returns false if libjpeg refused it.
    bool Encode(const uint8_t* rgb, int width, int height, std::vector<uint8_t>& out);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The bytes after the SOS segment of a JPEG file, through the end (the entropy-coded data and
// the EOI marker), or an empty span when there is no SOS.
std::span<const uint8_t> EntropyCodedData(std::span<const uint8_t> jpeg);

// Decodes a JPEG stream to RGB. Returns false (and leaves `out` empty) on any error, including
// a stream that ends early.
bool DecodeJpeg(std::span<const uint8_t> jpeg, RgbImage& out);

// Reads a PNG or JPEG file into RGB (alpha dropped). Returns false with a reason in `error`.
bool LoadPicture(const std::string& path, RgbImage& out, std::string& error);

}  // namespace nimbra::camsim
