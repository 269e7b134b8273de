#include "tests/jpeg/jpeg_test_support.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>

#include "jpeg/jpeg_internal.h"
#include "platform/nt_pool.h"

namespace jpegtest {

Image MakeScene(int width, int height, int components, int kind, uint32_t seed)
{
    Image image;
    image.width = width;
    image.height = height;
    image.components = components;
    image.pixels.resize(static_cast<size_t>(width) * height * components);
    uint32_t state = seed * 2654435761u + 12345u;
    auto noise = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>(state >> 24);
    };
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            for (int c = 0; c < components; c++) {
                int v;
                if (kind == 0) {
                    v = (x * 255 / (width > 1 ? width - 1 : 1) + y * 128 / (height > 1 ? height : 1) + 80 * c) % 256;
                } else {
                    const bool check = ((x / 7) + (y / 5)) % 2 != 0;
                    const bool ring = ((x - width / 2) * (x - width / 2) + (y - height / 3) * (y - height / 3)) % 900 < 300;
                    v = (check ? 200 : 40) + (ring ? 30 * c - 40 : 0) + (noise() % 48) - 24 + ((x * 3 + y * (c + 1)) % 37);
                }
                image.pixels[(static_cast<size_t>(y) * width + x) * components + c] =
                    static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
    }
    return image;
}

Bytes Encode(const Image& image, const EncodeOptions& options)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(image.width);
    cinfo.image_height = static_cast<JDIMENSION>(image.height);
    cinfo.input_components = image.components;
    cinfo.in_color_space = image.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, options.forceBaseline ? TRUE : FALSE);
    if (image.components == 3) {
        cinfo.comp_info[0].h_samp_factor = options.h;
        cinfo.comp_info[0].v_samp_factor = options.v;
    }
    cinfo.restart_interval = static_cast<unsigned int>(options.restartInterval);
    cinfo.optimize_coding = options.optimize ? TRUE : FALSE;
    cinfo.dct_method = JDCT_ISLOW;
    if (options.progressive) {
        jpeg_simple_progression(&cinfo);
    }
    jpeg_start_compress(&cinfo, TRUE);
    const int rowBytes = image.width * image.components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.pixels.data() + static_cast<size_t>(cinfo.next_scanline) * rowBytes);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes out(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    free(buffer);
    return out;
}

int Stride(int width)
{
    return (3 * width + 3) & ~3;
}

Bytes ReferenceDecode(const Bytes& jpeg, int* width, int* height)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = FALSE;
    const bool grey = cinfo.num_components == 1;
    cinfo.out_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    const int w = static_cast<int>(cinfo.output_width);
    const int h = static_cast<int>(cinfo.output_height);
    const int stride = Stride(w);
    Bytes out(static_cast<size_t>(stride) * h, 0xA5);
    Bytes line(static_cast<size_t>(w) * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = static_cast<int>(cinfo.output_scanline);
        JSAMPROW row = line.data();
        jpeg_read_scanlines(&cinfo, &row, 1);
        uint8_t* dst = out.data() + static_cast<size_t>(h - 1 - y) * stride;
        for (int x = 0; x < w; x++) {
            if (grey) {
                dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = line[x];
            } else {
                std::memcpy(dst + 3 * x, line.data() + 3 * x, 3);
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    *width = w;
    *height = h;
    return out;
}

PoolDecoder::PoolDecoder() : d(static_cast<JpegDecoder*>(ExAllocatePool(NonPagedPool, sizeof(JpegDecoder))))
{
    if (d == nullptr) {
        throw std::runtime_error("no pool for the decoder");
    }
    std::memset(static_cast<void*>(d), 0xCD, sizeof(JpegDecoder));  // pool is not zeroed
}

PoolDecoder::~PoolDecoder()
{
    ExFreePool(d);
}

Bytes DecodeFile(JpegDecoder* d, const Bytes& jpeg, int width, int height, uint8_t fill)
{
    Bytes frame(10, 0);
    frame.insert(frame.end(), jpeg.begin(), jpeg.end());
    d->headerLength = 0;
    d->outputWidth = width;
    d->outputHeight = height;
    d->outputStride = Stride(width);
    Bytes out(static_cast<size_t>(Stride(width)) * height, fill);
    CompressedFrame cf{frame.data(), static_cast<ULONG>(frame.size())};
    DecodeFrame(d, &cf, out.data());
    return out;
}

void LoadStream(JpegDecoder* d, const Bytes& stream)
{
    std::memcpy(d->workArea, stream.data(), stream.size());
    d->streamLength = static_cast<ULONG>(stream.size());
    d->sourcePosition = d->workArea;
    d->sourceRemaining = static_cast<LONG>(stream.size());
    ResetDecoder(d);
}

Builder& Builder::Soi()
{
    bytes.insert(bytes.end(), {0xFF, 0xD8});
    return *this;
}

Builder& Builder::Eoi()
{
    bytes.insert(bytes.end(), {0xFF, 0xD9});
    return *this;
}

Builder& Builder::Raw(const Bytes& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
}

Builder& Builder::Dqt(int table, int value, bool sixteen)
{
    const int length = 2 + 1 + 64 * (sixteen ? 2 : 1);
    bytes.insert(bytes.end(), {0xFF, 0xDB, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    bytes.push_back(static_cast<uint8_t>((sixteen ? 0x10 : 0) | table));
    for (int i = 0; i < 64; i++) {
        if (sixteen) {
            bytes.push_back(static_cast<uint8_t>(value >> 8));
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return *this;
}

Builder& Builder::Sof(uint8_t marker, int width, int height, const std::vector<int>& hv)
{
    const int n = static_cast<int>(hv.size());
    const int length = 8 + 3 * n;
    bytes.insert(bytes.end(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 8,
                               static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                               static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width), static_cast<uint8_t>(n)});
    for (int i = 0; i < n; i++) {
        bytes.insert(bytes.end(), {static_cast<uint8_t>(i + 1), static_cast<uint8_t>(hv[i]), static_cast<uint8_t>(i > 0 ? 1 : 0)});
    }
    return *this;
}

Builder& Builder::Dri(int interval)
{
    bytes.insert(bytes.end(), {0xFF, 0xDD, 0, 4, static_cast<uint8_t>(interval >> 8), static_cast<uint8_t>(interval)});
    return *this;
}

Builder& Builder::FlatDht(int tableClass, int id, const Bytes& symbols)
{
    Bytes counts(16, 0);
    counts[7] = static_cast<uint8_t>(symbols.size());
    return Dht(tableClass, id, counts, symbols);
}

Builder& Builder::Dht(int tableClass, int id, const Bytes& counts16, const Bytes& symbols)
{
    const int length = 2 + 1 + 16 + static_cast<int>(symbols.size());
    bytes.insert(bytes.end(), {0xFF, 0xC4, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    bytes.push_back(static_cast<uint8_t>((tableClass << 4) | id));
    bytes.insert(bytes.end(), counts16.begin(), counts16.end());
    bytes.insert(bytes.end(), symbols.begin(), symbols.end());
    return *this;
}

Builder& Builder::Sos(const std::vector<int>& ids, int ss, int se, int ah, int al, int tables)
{
    const int n = static_cast<int>(ids.size());
    const int length = 6 + 2 * n;
    bytes.insert(bytes.end(), {0xFF, 0xDA, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), static_cast<uint8_t>(n)});
    for (int id : ids) {
        bytes.insert(bytes.end(), {static_cast<uint8_t>(id), static_cast<uint8_t>(tables)});
    }
    bytes.insert(bytes.end(), {static_cast<uint8_t>(ss), static_cast<uint8_t>(se), static_cast<uint8_t>((ah << 4) | al)});
    return *this;
}

Builder& Builder::Bits(uint32_t value, int n)
{
    for (int i = n - 1; i >= 0; i--) {
        acc_ = (acc_ << 1) | ((value >> i) & 1);
        if (++accBits_ == 8) {
            bytes.push_back(static_cast<uint8_t>(acc_));
            if (acc_ == 0xFF) {
                bytes.push_back(0x00);
            }
            acc_ = 0;
            accBits_ = 0;
        }
    }
    return *this;
}

Builder& Builder::Flush()
{
    while (accBits_ != 0) {
        Bits(1, 1);
    }
    return *this;
}

namespace {

// Finds the segment with the given marker starting at or after `from`; returns its offset.
size_t FindSegment(const Bytes& jpeg, uint8_t marker, size_t from)
{
    size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        if (jpeg[at] != 0xFF) {
            throw std::runtime_error("bad segment walk");
        }
        const uint8_t code = jpeg[at + 1];
        const size_t length = (static_cast<size_t>(jpeg[at + 2]) << 8) | jpeg[at + 3];
        if (code == marker && at >= from) {
            return at;
        }
        if (code == 0xDA) {
            break;
        }
        at += 2 + length;
    }
    throw std::runtime_error("segment not found");
}

Bytes Segment(const Bytes& jpeg, size_t at)
{
    const size_t length = (static_cast<size_t>(jpeg[at + 2]) << 8) | jpeg[at + 3];
    return Bytes(jpeg.begin() + static_cast<long>(at), jpeg.begin() + static_cast<long>(at + 2 + length));
}

}  // namespace

Bytes CameraTemplate(int width, int height)
{
    // Quality 50 gives the Annex K quantisation tables; without optimisation libjpeg-turbo
    // writes the Annex K Huffman tables, each in a segment of its own, in template order.
    EncodeOptions options;
    options.quality = 50;
    const Bytes sample = Encode(MakeScene(16, 8, 3, 0), options);
    Bytes t = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    t.push_back(0x00);
    size_t dqt = FindSegment(sample, 0xDB, 0);
    Bytes q0 = Segment(sample, dqt);
    Bytes q1 = Segment(sample, FindSegment(sample, 0xDB, dqt + q0.size()));
    t.insert(t.end(), q0.begin(), q0.end());
    t.insert(t.end(), q1.begin(), q1.end());
    t.insert(t.end(), {0xFF, 0xC0, 0x00, 0x11, 0x08, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                       static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width), 0x03, 0x01, 0x21, 0x00, 0x02, 0x11,
                       0x01, 0x03, 0x11, 0x01});
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        at = FindSegment(sample, 0xC4, at);
        Bytes dht = Segment(sample, at);
        t.insert(t.end(), dht.begin(), dht.end());
        at += dht.size();
    }
    t.insert(t.end(), {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
    if (t.size() != 624) {
        throw std::runtime_error("camera template is not 624 bytes");
    }
    return t;
}

Bytes EntropyData(const Bytes& jpeg)
{
    const size_t sos = FindSegment(jpeg, 0xDA, 0);
    const size_t length = (static_cast<size_t>(jpeg[sos + 2]) << 8) | jpeg[sos + 3];
    return Bytes(jpeg.begin() + static_cast<long>(sos + 2 + length), jpeg.end());
}

Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes out(a.size() + b.size());
    std::memcpy(out.data(), a.data(), a.size());
    if (!b.empty()) {
        std::memcpy(out.data() + a.size(), b.data(), b.size());
    }
    return out;
}

uint64_t Fnv1a(const Bytes& bytes)
{
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        h = (h ^ b) * 1099511628211ull;
    }
    return h;
}

}  // namespace jpegtest
