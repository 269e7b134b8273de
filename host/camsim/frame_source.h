// Makes the camera's frames: renders the scene, applies the picture settings, turns it, encodes
// it and packs the frame header. A frame is rendered and encoded once and then served from its
// buffer; a still scene with unchanged settings is not encoded again at all.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/camsim/jpeg_codec.h"
#include "host/camsim/picture.h"
#include "host/camsim/scene.h"

namespace nimbra::camsim {

class FrameSource {
public:
    explicit FrameSource(std::unique_ptr<Scene> scene);

    // The frame with this number as the camera sends it between two markers: the 10-byte
    // header, the entropy-coded data and EOI. Valid until the next call.
    const std::vector<uint8_t>& MakeFrame(uint32_t number, const PictureSettings& settings);

    // The picture the last frame encodes (turned, RGB, 640 × 480), before JPEG loss.
    const std::vector<uint8_t>& Picture() const { return picture_; }

    // A whole JPEG file of the scene as it looks now, upright (what a stored picture holds).
    bool MakeStillPicture(uint64_t motionFrame, const PictureSettings& settings, std::vector<uint8_t>& jpeg);

    const Scene& GetScene() const { return *scene_; }

private:
    std::unique_ptr<Scene> scene_;
    JpegEncoder encoder_;
    std::vector<uint8_t> sceneRgb_;
    std::vector<uint8_t> picture_;
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> jpeg_;
    std::vector<uint8_t> frame_;
    bool haveEncoded_ = false;
    PictureSettings encodedSettings_;
};

}  // namespace nimbra::camsim
