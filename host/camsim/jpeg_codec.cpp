// JPEG encode/decode and picture loading over libjpeg-turbo and libpng.
#include "host/camsim/jpeg_codec.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

namespace nimbra::camsim {
namespace {

// libjpeg reports errors by calling error_exit; we jump back to the caller instead of exiting.
struct JumpErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void JumpOnError(j_common_ptr cinfo)
{
    auto* manager = reinterpret_cast<JumpErrorManager*>(cinfo->err);
    longjmp(manager->jump, 1);
}

void SilentMessage(j_common_ptr) {}

// A premature end of data is only a warning in libjpeg; we treat it as an error. Other
// warnings (such as fill bytes between segments) are not.
void FailOnEarlyEnd(j_common_ptr cinfo, int level)
{
    if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) JumpOnError(cinfo);
}

// Destination manager that grows a std::vector.
struct VectorDestination {
    jpeg_destination_mgr pub;
    std::vector<uint8_t>* out;
};

constexpr size_t kDestinationStep = 64 * 1024;

void InitDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    dest->out->resize(kDestinationStep);
    dest->pub.next_output_byte = dest->out->data();
    dest->pub.free_in_buffer = dest->out->size();
}

boolean EmptyOutput(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    const size_t used = dest->out->size();
    dest->out->resize(used + kDestinationStep);
    dest->pub.next_output_byte = dest->out->data() + used;
    dest->pub.free_in_buffer = kDestinationStep;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    dest->out->resize(dest->out->size() - dest->pub.free_in_buffer);
}

}  // namespace

struct JpegEncoder::State {
    jpeg_compress_struct cinfo{};
    JumpErrorManager error{};
    VectorDestination dest{};
};

JpegEncoder::JpegEncoder() : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.cinfo.err = jpeg_std_error(&s.error.pub);
    s.error.pub.error_exit = JumpOnError;
    s.error.pub.output_message = SilentMessage;
    jpeg_create_compress(&s.cinfo);
    s.dest.pub.init_destination = InitDestination;
    s.dest.pub.empty_output_buffer = EmptyOutput;
    s.dest.pub.term_destination = TermDestination;
    s.cinfo.dest = &s.dest.pub;
}

JpegEncoder::~JpegEncoder() { jpeg_destroy_compress(&state_->cinfo); }

bool JpegEncoder::Encode(const uint8_t* rgb, int width, int height, std::vector<uint8_t>& out)
{
    State& s = *state_;
    jpeg_compress_struct& cinfo = s.cinfo;
    s.dest.out = &out;
    if (setjmp(s.error.jump)) {
        jpeg_abort_compress(&cinfo);
        out.clear();
        return false;
    }
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 50, TRUE);  // scale factor 100: the standard tables as they stand
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 1;
    for (int c = 1; c < 3; ++c) {
        cinfo.comp_info[c].h_samp_factor = 1;
        cinfo.comp_info[c].v_samp_factor = 1;
    }
    cinfo.optimize_coding = FALSE;
    cinfo.restart_interval = 0;
    cinfo.restart_in_rows = 0;
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&cinfo, TRUE);
    const JDIMENSION stride = static_cast<JDIMENSION>(width) * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<size_t>(cinfo.next_scanline) * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    return true;
}

std::span<const uint8_t> EntropyCodedData(std::span<const uint8_t> jpeg)
{
    size_t i = 2;  // after SOI
    while (i + 4 <= jpeg.size()) {
        if (jpeg[i] != 0xFF) return {};
        const uint8_t marker = jpeg[i + 1];
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        const size_t length = (static_cast<size_t>(jpeg[i + 2]) << 8) | jpeg[i + 3];
        if (i + 2 + length > jpeg.size()) return {};
        if (marker == 0xDA) return jpeg.subspan(i + 2 + length);
        i += 2 + length;
    }
    return {};
}

bool DecodeJpeg(std::span<const uint8_t> jpeg, RgbImage& out)
{
    out = RgbImage{};
    jpeg_decompress_struct cinfo{};
    JumpErrorManager error{};
    cinfo.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = JumpOnError;
    error.pub.emit_message = FailOnEarlyEnd;
    error.pub.output_message = SilentMessage;
    jpeg_create_decompress(&cinfo);
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        out.rgb.clear();
        out.width = out.height = 0;
        return false;
    }
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out.width = static_cast<int>(cinfo.output_width);
    out.height = static_cast<int>(cinfo.output_height);
    out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.rgb.data() + static_cast<size_t>(cinfo.output_scanline) * out.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

bool LoadPicture(const std::string& path, RgbImage& out, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8) {
        if (!DecodeJpeg(bytes, out)) {
            error = path + ": not a JPEG picture libjpeg can read";
            return false;
        }
        return true;
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
        error = path + ": neither JPEG nor PNG";
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
        error = path + ": " + image.message;
        png_image_free(&image);
        out = RgbImage{};
        return false;
    }
    return true;
}

}  // namespace nimbra::camsim
