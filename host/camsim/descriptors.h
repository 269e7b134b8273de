// The camera's standard descriptors, built from its configuration.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/camsim/camera_config.h"

namespace nimbra::camsim {

std::array<uint8_t, 18> BuildDeviceDescriptor(const CameraConfig& config);
// Configuration 1: interface 0 with every alternate setting and its seven endpoints in pipe
// order, then the extra interfaces. The raw override, when given, is returned unchanged.
std::vector<uint8_t> BuildConfigurationDescriptor(const CameraConfig& config);

}  // namespace nimbra::camsim
