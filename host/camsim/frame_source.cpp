// Render, turn, encode, pack.
#include "host/camsim/frame_source.h"

#include <cstring>

#include "host/camsim/frame_format.h"

namespace nimbra::camsim {

FrameSource::FrameSource(std::unique_ptr<Scene> scene) : scene_(std::move(scene))
{
    sceneRgb_.resize(static_cast<size_t>(kSceneWidth) * kSceneHeight * 3);
    picture_.resize(sceneRgb_.size());
}

const std::vector<uint8_t>& FrameSource::MakeFrame(uint32_t number, const PictureSettings& settings)
{
    const bool reuse = haveEncoded_ && !scene_->Moving() && settings == encodedSettings_;
    if (!reuse) {
        scene_->Render(number, sceneRgb_.data());
        ProcessPicture(sceneRgb_.data(), kSceneWidth, kSceneHeight, settings, true, picture_.data(), scratch_);
        haveEncoded_ = encoder_.Encode(picture_.data(), kSceneWidth, kSceneHeight, jpeg_);
        encodedSettings_ = settings;
    }
    const std::span<const uint8_t> data = haveEncoded_ ? EntropyCodedData(jpeg_) : std::span<const uint8_t>{};
    FrameHeader header;
    header.frameNumber = number;
    header.dataLength = static_cast<uint32_t>(data.size());
    header.exposure = settings.exposure;
    header.width = kSceneWidth;
    header.height = kSceneHeight;
    const auto packed = PackFrameHeader(header);
    frame_.resize(kFrameHeaderSize + data.size());
    std::memcpy(frame_.data(), packed.data(), kFrameHeaderSize);
    if (!data.empty()) std::memcpy(frame_.data() + kFrameHeaderSize, data.data(), data.size());
    return frame_;
}

bool FrameSource::MakeStillPicture(uint64_t motionFrame, const PictureSettings& settings, std::vector<uint8_t>& jpeg)
{
    std::vector<uint8_t> upright(sceneRgb_.size());
    scene_->Render(motionFrame, sceneRgb_.data());
    ProcessPicture(sceneRgb_.data(), kSceneWidth, kSceneHeight, settings, false, upright.data(), scratch_);
    return encoder_.Encode(upright.data(), kSceneWidth, kSceneHeight, jpeg);
}

}  // namespace nimbra::camsim
