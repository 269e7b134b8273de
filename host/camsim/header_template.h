// The fixed JPEG header the driver puts in front of every camera frame: SOI, APP0 (JFIF),
// one fill byte, DQT of the standard luminance and chrominance tables, SOF0 for a 3-component
// 4:2:2 picture, the four standard Huffman tables and SOS. The camera encodes with exactly these
// parameters, so its entropy-coded data decodes behind this header. Host code only: the driver
// keeps its own copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nimbra::camsim {

inline constexpr size_t kHeaderTemplateSize = 624;
inline constexpr size_t kHeaderTemplateSofHeight = 164;  // 16-bit big-endian height, then width

// The 624-byte template with its frame size set to height × width (the camera's 480 × 640 by
// default; the template as published carries 240 × 320).
std::array<uint8_t, kHeaderTemplateSize> CameraHeaderTemplate(uint16_t height = 480, uint16_t width = 640);

}  // namespace nimbra::camsim
