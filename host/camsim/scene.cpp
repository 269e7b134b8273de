// Built-in scenes and picture files.
#include "host/camsim/scene.h"

#include <algorithm>
#include <cstring>

namespace nimbra::camsim {
namespace {

constexpr size_t kSceneBytes = static_cast<size_t>(kSceneWidth) * kSceneHeight * 3;

void Put(uint8_t* rgb, int x, int y, uint8_t r, uint8_t g, uint8_t b)
{
    uint8_t* p = rgb + (static_cast<size_t>(y) * kSceneWidth + x) * 3;
    p[0] = r;
    p[1] = g;
    p[2] = b;
}

void FillRect(uint8_t* rgb, int x0, int y0, int x1, int y1, uint8_t r, uint8_t g, uint8_t b)
{
    for (int y = std::max(0, y0); y < std::min(kSceneHeight, y1); ++y)
        for (int x = std::max(0, x0); x < std::min(kSceneWidth, x1); ++x) Put(rgb, x, y, r, g, b);
}

// A diagonal gradient: dark at the top left, light at the bottom right.
void Gradient(uint8_t* rgb)
{
    for (int y = 0; y < kSceneHeight; ++y)
        for (int x = 0; x < kSceneWidth; ++x) {
            const int v = 40 + (x * 60) / kSceneWidth + (y * 100) / kSceneHeight;
            Put(rgb, x, y, static_cast<uint8_t>(v), static_cast<uint8_t>(v + 10), static_cast<uint8_t>(v + 30));
        }
}

// Nothing in it looks the same turned, mirrored or flipped: a red square at the top left, a
// green bar along the top right, a blue triangle at the bottom left, a yellow arrow pointing up
// in the middle, over a gradient that darkens towards the top left.
void RenderOrientation(uint8_t* rgb)
{
    Gradient(rgb);
    FillRect(rgb, 40, 40, 200, 200, 220, 40, 40);
    FillRect(rgb, 400, 30, 620, 90, 40, 200, 60);
    for (int y = 300; y < 460; ++y)
        for (int x = 30; x < 30 + (y - 300); ++x) Put(rgb, x, y, 40, 60, 220);
    // Arrow: shaft and head, pointing to the top of the picture.
    FillRect(rgb, 305, 220, 335, 400, 230, 210, 40);
    for (int y = 150; y < 220; ++y) {
        const int half = (y - 150) * 60 / 70;
        FillRect(rgb, 320 - half, y, 320 + half, y + 1, 230, 210, 40);
    }
}

// Eight colour bars over the top two thirds, a grey ramp below.
void RenderBars(uint8_t* rgb)
{
    static constexpr uint8_t kBars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                                            {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {16, 16, 16}};
    const int split = kSceneHeight * 2 / 3;
    for (int y = 0; y < kSceneHeight; ++y)
        for (int x = 0; x < kSceneWidth; ++x) {
            if (y < split) {
                const auto& c = kBars[x * 8 / kSceneWidth];
                Put(rgb, x, y, c[0], c[1], c[2]);
            } else {
                const auto v = static_cast<uint8_t>(x * 255 / (kSceneWidth - 1));
                Put(rgb, x, y, v, v, v);
            }
        }
}

// A light square travelling over the gradient: 8 pixels right per frame, bouncing up and down.
void RenderMoving(uint64_t frame, uint8_t* rgb)
{
    Gradient(rgb);
    const int size = 96;
    const int travelX = kSceneWidth - size;
    const int travelY = kSceneHeight - size;
    const int x = static_cast<int>((frame * 8) % static_cast<uint64_t>(travelX));
    const int phase = static_cast<int>((frame * 5) % static_cast<uint64_t>(2 * travelY));
    const int y = phase < travelY ? phase : 2 * travelY - phase;
    FillRect(rgb, x, y, x + size, y + size, 240, 240, 200);
    FillRect(rgb, x + 32, y + 32, x + 64, y + 64, 200, 30, 30);
}

// Bilinear fit of any picture to 640 × 480.
void Fit(const RgbImage& image, uint8_t* rgb)
{
    for (int y = 0; y < kSceneHeight; ++y) {
        const double fy = std::max(0.0, (y + 0.5) * image.height / kSceneHeight - 0.5);
        const int y0 = std::min(static_cast<int>(fy), image.height - 1);
        const int y1 = std::min(y0 + 1, image.height - 1);
        const double wy = fy - y0;
        for (int x = 0; x < kSceneWidth; ++x) {
            const double fx = std::max(0.0, (x + 0.5) * image.width / kSceneWidth - 0.5);
            const int x0 = std::min(static_cast<int>(fx), image.width - 1);
            const int x1 = std::min(x0 + 1, image.width - 1);
            const double wx = fx - x0;
            for (int c = 0; c < 3; ++c) {
                auto at = [&](int px, int py) { return image.rgb[(static_cast<size_t>(py) * image.width + px) * 3 + c]; };
                const double v = (at(x0, y0) * (1 - wx) + at(x1, y0) * wx) * (1 - wy) +
                                 (at(x0, y1) * (1 - wx) + at(x1, y1) * wx) * wy;
                rgb[(static_cast<size_t>(y) * kSceneWidth + x) * 3 + c] = static_cast<uint8_t>(v + 0.5);
            }
        }
    }
}

}  // namespace

std::vector<std::string> Scene::BuiltInNames() { return {"orientation", "bars", "moving", "gray"}; }

std::unique_ptr<Scene> Scene::Create(const std::string& nameOrFile, std::string& error)
{
    std::unique_ptr<Scene> scene;
    if (nameOrFile == "orientation") scene.reset(new Scene(Kind::Orientation, nameOrFile));
    else if (nameOrFile == "bars") scene.reset(new Scene(Kind::Bars, nameOrFile));
    else if (nameOrFile == "moving") return std::unique_ptr<Scene>(new Scene(Kind::Moving, nameOrFile));
    else if (nameOrFile == "gray") scene.reset(new Scene(Kind::Gray, nameOrFile));
    else {
        RgbImage image;
        if (!LoadPicture(nameOrFile, image, error)) return nullptr;
        if (image.width <= 0 || image.height <= 0) {
            error = nameOrFile + ": empty picture";
            return nullptr;
        }
        scene.reset(new Scene(Kind::File, nameOrFile));
        scene->still_.resize(kSceneBytes);
        Fit(image, scene->still_.data());
        return scene;
    }
    scene->still_.resize(kSceneBytes);
    switch (scene->kind_) {
    case Kind::Orientation: RenderOrientation(scene->still_.data()); break;
    case Kind::Bars: RenderBars(scene->still_.data()); break;
    case Kind::Gray: std::memset(scene->still_.data(), 128, kSceneBytes); break;
    default: break;
    }
    return scene;
}

void Scene::Render(uint64_t frame, uint8_t* rgb) const
{
    if (kind_ == Kind::Moving) RenderMoving(frame, rgb);
    else std::memcpy(rgb, still_.data(), kSceneBytes);
}

}  // namespace nimbra::camsim
