// Writing delivered pictures as PNG (as displayed), as top-down bgr24 and as plain bytes.
#include "tools/nimbra/picture_output.h"

#include <cstdio>
#include <cstring>

#include <png.h>

namespace nimbra::tool {

std::vector<unsigned char> DisplayedRgb(const unsigned char* picture, int width, int height)
{
    const size_t stride = static_cast<size_t>(width) * 3;
    std::vector<unsigned char> rgb(stride * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        const unsigned char* from = picture + static_cast<size_t>(height - 1 - y) * stride;
        unsigned char* to = rgb.data() + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            to[3 * x] = from[3 * x + 2];
            to[3 * x + 1] = from[3 * x + 1];
            to[3 * x + 2] = from[3 * x];
        }
    }
    return rgb;
}

void TopDownBgr(const unsigned char* picture, int width, int height, unsigned char* out)
{
    const size_t stride = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
        std::memcpy(out + static_cast<size_t>(y) * stride, picture + static_cast<size_t>(height - 1 - y) * stride, stride);
    }
}

bool WriteDisplayedPng(const std::string& path, const unsigned char* picture, int width, int height)
{
    return WriteRgbPng(path, DisplayedRgb(picture, width, height), width, height);
}

bool WriteRgbPng(const std::string& path, const std::vector<unsigned char>& rgb, int width, int height)
{
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), static_cast<png_int_32>(width * 3), nullptr) != 0;
}

bool WriteBytes(const std::string& path, const void* data, size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

}  // namespace nimbra::tool
