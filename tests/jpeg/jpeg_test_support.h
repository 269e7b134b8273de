// Helpers for the decoder tests: scenes, libjpeg-turbo as encoder and reference decoder, a
// pool-allocated decoder, whole-file decodes, and a builder for hand-made streams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jpeg/jpeg_decoder.h"

namespace jpegtest {

using Bytes = std::vector<uint8_t>;

struct Image {
    int width = 0;
    int height = 0;
    int components = 3;  // 3: RGB, 1: grey; rows top-down, packed
    Bytes pixels;
};

// A deterministic picture: kind 0 smooth gradients, kind 1 busy (edges, texture, noise).
Image MakeScene(int width, int height, int components, int kind, uint32_t seed = 1);

struct EncodeOptions {
    int quality = 85;
    int h = 2;  // first component's sampling factors
    int v = 1;
    int restartInterval = 0;  // MCUs
    bool optimize = false;
    bool progressive = false;
    bool forceBaseline = true;  // false with a low quality gives 16-bit quantisation tables
};

Bytes Encode(const Image& image, const EncodeOptions& options);

// libjpeg-turbo's decode (JDCT_ISLOW, no fancy upsampling) laid out like ours: bottom-up BGR
// rows, stride 3 x width rounded up to 4.
Bytes ReferenceDecode(const Bytes& jpeg, int* width, int* height);

int Stride(int width);

// A decoder record from pool, released at scope end.
struct PoolDecoder {
    PoolDecoder();
    ~PoolDecoder();
    PoolDecoder(const PoolDecoder&) = delete;
    PoolDecoder& operator=(const PoolDecoder&) = delete;
    JpegDecoder* operator->() const { return d; }
    JpegDecoder* d;
};

// Decodes a whole JPEG file as the tool does (header length 0, 10 dummy bytes + the file),
// output geometry = the image's own; out is filled with `fill` first.
Bytes DecodeFile(JpegDecoder* d, const Bytes& jpeg, int width, int height, uint8_t fill = 0xA5);

// Puts a whole stream into the work area and resets the decoder (ReadImageHeader's first step
// without the header), for tests that drive the stages themselves.
void LoadStream(JpegDecoder* d, const Bytes& stream);

// A hand-made stream.
class Builder {
public:
    Builder& Soi();
    Builder& Eoi();
    Builder& Raw(const Bytes& bytes);
    Builder& Dqt(int table, int value, bool sixteen = false);  // all 64 entries = value
    Builder& Sof(uint8_t marker, int width, int height, const std::vector<int>& hv);  // ids 1.., table i>0?1:0
    Builder& Dri(int interval);
    // A table of 8-bit codes: symbol i has code i.
    Builder& FlatDht(int tableClass, int id, const Bytes& symbols);
    Builder& Dht(int tableClass, int id, const Bytes& counts16, const Bytes& symbols);
    Builder& Sos(const std::vector<int>& ids, int ss = 0, int se = 63, int ah = 0, int al = 0, int tables = 0x00);
    // Entropy-coded bits, MSB first; Flush pads with 1-bits and stuffs FF bytes.
    Builder& Bits(uint32_t value, int n);
    Builder& Flush();
    Bytes bytes;

private:
    uint32_t acc_ = 0;
    int accBits_ = 0;
};

// The 624-byte camera header template with height and width patched.
Bytes CameraTemplate(int width = 640, int height = 480);
// The entropy-coded data of a JPEG (the bytes after its SOS segment, up to and with EOI).
Bytes EntropyData(const Bytes& jpeg);

uint64_t Fnv1a(const Bytes& bytes);
Bytes Concat(const Bytes& a, const Bytes& b);

}  // namespace jpegtest
