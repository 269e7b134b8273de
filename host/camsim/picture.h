// What the sensor and bridge do to the scene before encoding: exposure (sensor registers 3 and
// 4), brightness (bridge 0x61), saturation (0x5F/0x60), sharpness (0x67) and gamma (0x06), then
// the 180° turn of the upside-down sensor.
#pragma once

#include <cstdint>
#include <vector>

namespace nimbra::camsim {

// The picture controls as the bridge and sensor registers hold them, decoded.
struct PictureSettings {
    uint16_t exposure = 256;       // sensor units; unityExposure gives the scene as it is
    uint16_t unityExposure = 256;
    int brightness = 15;           // 0..30; 15 neutral (register 0x61 holds 30 − brightness)
    int saturation = 200;          // 0..255; 200 neutral
    int sharpness = 1;             // 0 soft, 1 neutral, 2 and 3 sharper
    int gamma = 1;                 // 0..3; 1 neutral

    bool operator==(const PictureSettings&) const = default;
};

// Decodes the settings from the bridge register file (256 bytes) and the sensor registers.
PictureSettings SettingsFromRegisters(const uint8_t* bridge, const uint8_t* sensor, uint16_t unityExposure);

// Applies the settings to an upright scene picture (width × height RGB) and writes the result
// into `out`, turned by 180° when `turn` is set. `scratch` is working memory kept by the caller.
void ProcessPicture(const uint8_t* scene, int width, int height, const PictureSettings& settings, bool turn,
                    uint8_t* out, std::vector<uint8_t>& scratch);

}  // namespace nimbra::camsim
