// Exposure, picture controls and the sensor's turn.
#include "host/camsim/picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace nimbra::camsim {
namespace {

uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

PictureSettings SettingsFromRegisters(const uint8_t* bridge, const uint8_t* sensor, uint16_t unityExposure)
{
    PictureSettings s;
    s.unityExposure = unityExposure;
    s.exposure = static_cast<uint16_t>((sensor[3] << 8) | sensor[4]);
    s.brightness = 30 - std::min<int>(bridge[0x61], 30);
    s.saturation = (bridge[0x5F] >> 3) | ((bridge[0x60] & 0x38) << 2);
    s.sharpness = (bridge[0x67] >> 2) & 3;
    static constexpr int kGammaFromCode[4] = {0, 1, 3, 2};  // the code is bits 6..7 of 0x06
    s.gamma = kGammaFromCode[bridge[0x06] >> 6];
    return s;
}

void ProcessPicture(const uint8_t* scene, int width, int height, const PictureSettings& settings, bool turn,
                    uint8_t* out, std::vector<uint8_t>& scratch)
{
    const size_t pixels = static_cast<size_t>(width) * height;
    const size_t bytes = pixels * 3;

    // Exposure and brightness: one table for every sample.
    uint8_t light[256];
    const int offset = (settings.brightness - 15) * 4;
    const uint32_t unity = settings.unityExposure ? settings.unityExposure : 1;
    for (int v = 0; v < 256; ++v)
        light[v] = Clamp(static_cast<int>((static_cast<uint32_t>(v) * settings.exposure + unity / 2) / unity) + offset);

    // Gamma: the output curve v^(1/g).
    static constexpr double kGamma[4] = {0.8, 1.0, 1.25, 1.5};
    uint8_t curve[256];
    const double g = kGamma[settings.gamma & 3];
    for (int v = 0; v < 256; ++v) curve[v] = Clamp(static_cast<int>(std::lround(255.0 * std::pow(v / 255.0, 1.0 / g))));

    const bool saturate = settings.saturation != 200;
    const bool sharpen = settings.sharpness != 1;
    scratch.resize(bytes * 2);
    uint8_t* stage = scratch.data();
    uint8_t* filtered = scratch.data() + bytes;

    if (!saturate && !sharpen) {
        uint8_t both[256];
        for (int v = 0; v < 256; ++v) both[v] = curve[light[v]];
        for (size_t i = 0; i < bytes; ++i) stage[i] = both[scene[i]];
    } else {
        const int factor = settings.saturation * 1024 / 200;
        for (size_t p = 0; p < pixels; ++p) {
            const uint8_t* s = scene + p * 3;
            uint8_t* d = stage + p * 3;
            int r = light[s[0]], gr = light[s[1]], b = light[s[2]];
            if (saturate) {
                const int y = (77 * r + 150 * gr + 29 * b) >> 8;
                r = y + (((r - y) * factor) >> 10);
                gr = y + (((gr - y) * factor) >> 10);
                b = y + (((b - y) * factor) >> 10);
            }
            d[0] = Clamp(r);
            d[1] = Clamp(gr);
            d[2] = Clamp(b);
        }
        if (sharpen) {
            // out = c + k (4c − neighbours) / 4 with k = −½ (soft), 1 or 2 (sharper).
            const int num = settings.sharpness == 0 ? -1 : (settings.sharpness == 2 ? 2 : 4);
            const int stride = width * 3;
            for (int y = 0; y < height; ++y) {
                const uint8_t* cur = stage + static_cast<size_t>(y) * stride;
                const uint8_t* up = y > 0 ? cur - stride : cur;
                const uint8_t* down = y + 1 < height ? cur + stride : cur;
                uint8_t* dst = filtered + static_cast<size_t>(y) * stride;
                auto at = [&](int i, int left, int right) {
                    const int center = cur[i];
                    dst[i] = Clamp(center + ((num * (4 * center - up[i] - down[i] - left - right)) >> 3));
                };
                for (int i = 0; i < 3; ++i) at(i, cur[i], cur[i + 3]);
                for (int i = 3; i < stride - 3; ++i) at(i, cur[i - 3], cur[i + 3]);
                for (int i = stride - 3; i < stride; ++i) at(i, cur[i - 3], cur[i]);
            }
            std::swap(stage, filtered);
        }
        for (size_t i = 0; i < bytes; ++i) stage[i] = curve[stage[i]];
    }

    if (!turn) {
        std::memcpy(out, stage, bytes);
        return;
    }
    // Pixel k of the turned picture is pixel N − 1 − k of the upright one.
    for (size_t p = 0; p < pixels; ++p) {
        const uint8_t* s = stage + (pixels - 1 - p) * 3;
        uint8_t* d = out + p * 3;
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
    }
}

}  // namespace nimbra::camsim
