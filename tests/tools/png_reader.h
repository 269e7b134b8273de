// Reads a PNG the tool wrote, as RGB rows top first.
#pragma once

#include <cstring>
#include <filesystem>
#include <vector>

#include <png.h>

namespace nimbra::test {

struct Png {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

// An empty Png when the file cannot be read.
inline Png ReadPng(const std::filesystem::path& path)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    Png png;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return png;
    image.format = PNG_FORMAT_RGB;
    png.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr)) return {};
    png.width = static_cast<int>(image.width);
    png.height = static_cast<int>(image.height);
    return png;
}

}  // namespace nimbra::test
