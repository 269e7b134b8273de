// Frame header packing and marker search.
#include "host/camsim/frame_format.h"

namespace nimbra::camsim {

std::array<uint8_t, kFrameHeaderSize> PackFrameHeader(const FrameHeader& header)
{
    std::array<uint8_t, kFrameHeaderSize> out{};
    const uint32_t exposure = header.exposure > 0x3FFF ? 0x3FFF : header.exposure;
    out[0] = header.frameNumber & 0x7F;
    out[1] = (header.frameNumber >> 7) & 0x7F;
    out[2] = header.dataLength & 0x7F;
    out[3] = (header.dataLength >> 7) & 0x7F;
    out[4] = (header.dataLength >> 14) & 0x7F;
    out[5] = exposure & 0x7F;
    out[6] = (exposure >> 7) & 0x7F;
    out[7] = (header.width / 8) & 0x7F;
    out[8] = (header.height / 8) & 0x7F;
    uint8_t check = 0;
    for (size_t i = 0; i < 9; ++i) check ^= out[i];
    out[9] = check;
    return out;
}

std::optional<FrameHeader> ParseFrameHeader(std::span<const uint8_t> bytes)
{
    if (bytes.size() < kFrameHeaderSize) return std::nullopt;
    uint8_t check = 0;
    for (size_t i = 0; i < kFrameHeaderSize; ++i) {
        if (bytes[i] & 0x80) return std::nullopt;
        if (i < 9) check ^= bytes[i];
    }
    if (check != bytes[9]) return std::nullopt;
    FrameHeader header;
    header.frameNumber = bytes[0] | (bytes[1] << 7);
    header.dataLength = bytes[2] | (bytes[3] << 7) | (static_cast<uint32_t>(bytes[4]) << 14);
    header.exposure = static_cast<uint16_t>(bytes[5] | (bytes[6] << 7));
    header.width = static_cast<uint16_t>(bytes[7] * 8);
    header.height = static_cast<uint16_t>(bytes[8] * 8);
    return header;
}

size_t FindFrameMarker(std::span<const uint8_t> bytes, size_t from, bool bulk)
{
    if (bytes.size() < kMarkerSize) return bytes.size();
    for (size_t i = from; i + kMarkerSize <= bytes.size(); ++i) {
        if (bytes[i] != 0xFF || bytes[i + 1] != 0xFF || bytes[i + 2] != 0x00 || bytes[i + 3] != 0xFF ||
            bytes[i + 4] != 0x96)
            continue;
        const uint8_t last = bytes[i + 5];
        if (last == 0x64 || (bulk && last >= 0x65 && last <= 0x67)) return i;
    }
    return bytes.size();
}

}  // namespace nimbra::camsim
