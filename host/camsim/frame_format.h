// The camera's video wire format. Each frame is a six-byte marker, a 10-byte frame header and
// the entropy-coded data of one baseline JPEG picture (ending with EOI). The header never holds
// a 0xFF byte and the entropy-coded data never holds two 0xFF bytes in a row, so the marker
// (which starts FF FF) cannot appear inside a frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace nimbra::camsim {

inline constexpr size_t kMarkerSize = 6;
inline constexpr size_t kFrameHeaderSize = 10;
// Isochronous frames end the marker in 0x64; bulk frames in 0x64..0x67 (frame number mod 4).
inline constexpr std::array<uint8_t, kMarkerSize> kFrameMarker = {0xFF, 0xFF, 0x00, 0xFF, 0x96, 0x64};

// Frame header, every field packed in 7-bit groups (each byte < 0x80):
//   0..1  frame number, low 14 bits (byte 0 low group)
//   2..4  length of the entropy-coded data in bytes, 21 bits
//   5..6  exposure the sensor used (sensor registers 3 and 4), 14 bits, saturating
//   7     picture width ÷ 8   (0x50 for 640)
//   8     picture height ÷ 8  (0x3C for 480)
//   9     check: XOR of bytes 0..8
struct FrameHeader {
    uint32_t frameNumber = 0;  // only the low 14 bits travel
    uint32_t dataLength = 0;
    uint16_t exposure = 0;
    uint16_t width = 640;
    uint16_t height = 480;
};

std::array<uint8_t, kFrameHeaderSize> PackFrameHeader(const FrameHeader& header);
// The header, or nothing when the bytes are too few, a byte has bit 7 set or the check fails.
std::optional<FrameHeader> ParseFrameHeader(std::span<const uint8_t> bytes);

// Position of the first marker (sixth byte 0x64, or 0x64..0x67 when `bulk`) at or after `from`,
// or bytes.size() when there is none.
size_t FindFrameMarker(std::span<const uint8_t> bytes, size_t from = 0, bool bulk = false);

}  // namespace nimbra::camsim
