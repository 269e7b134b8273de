// Writing delivered pictures. A delivered picture is RGB24 with blue, green, red per pixel in
// packed rows (stride 3 × width), shown by a capture application as a bottom-up DIB: the last
// buffer row is the top of the screen.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace nimbra::tool {

// The picture as displayed, top row first, red-green-blue per pixel.
std::vector<unsigned char> DisplayedRgb(const unsigned char* picture, int width, int height);

// The picture as top-down bgr24 (buffer rows in reverse order, pixels unchanged) into `out`,
// which holds 3 × width × height bytes.
void TopDownBgr(const unsigned char* picture, int width, int height, unsigned char* out);

// Writes the picture as displayed to a PNG file. False when the file cannot be written.
bool WriteDisplayedPng(const std::string& path, const unsigned char* picture, int width, int height);

// Writes bytes to a file, replacing it. False when the file cannot be written whole.
// Writes packed top-down RGB rows as a PNG file.
bool WriteRgbPng(const std::string& path, const std::vector<unsigned char>& rgb, int width, int height);

bool WriteBytes(const std::string& path, const void* data, size_t size);

}  // namespace nimbra::tool
