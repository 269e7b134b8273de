// What the camera's sensor looks at: built-in procedural scenes or a picture file, rendered
// upright at 640 × 480 as RGB (rows top to bottom). Pixel values are the scene's brightness at
// the sensor's unity exposure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/camsim/jpeg_codec.h"

namespace nimbra::camsim {

inline constexpr int kSceneWidth = 640;
inline constexpr int kSceneHeight = 480;

class Scene {
public:
    // A built-in scene by name ("orientation", "bars", "moving", "gray") or a PNG/JPEG file,
    // scaled to 640 × 480. Returns null with a reason in `error`.
    static std::unique_ptr<Scene> Create(const std::string& nameOrFile, std::string& error);
    static std::vector<std::string> BuiltInNames();

    const std::string& Name() const { return name_; }
    // True when the picture changes from frame to frame.
    bool Moving() const { return kind_ == Kind::Moving; }
    // Renders frame `frame` (the motion clock) into 640 × 480 × 3 bytes.
    void Render(uint64_t frame, uint8_t* rgb) const;

private:
    enum class Kind { Orientation, Bars, Moving, Gray, File };
    Scene(Kind kind, std::string name) : kind_(kind), name_(std::move(name)) {}

    Kind kind_;
    std::string name_;
    std::vector<uint8_t> still_;  // pre-rendered picture of a scene that does not move
};

}  // namespace nimbra::camsim
