// The simulated camera's cost per video frame: render, picture controls, 180° turn and JPEG
// encode, against a memcpy of the same picture measured in the same run. The frame time it
// must stay well under: the frame's packets at the default packet size (1023 bytes per 1 ms
// bus frame), reported as the counter "frame_ms_at_1023".
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/camsim/frame_format.h"
#include "host/camsim/frame_source.h"
#include "host/camsim/picture.h"
#include "host/camsim/scene.h"

namespace {

using namespace nimbra::camsim;

void BM_CamsimFrame(benchmark::State& state, const std::string& sceneName, bool neutral)
{
    std::string error;
    FrameSource source(Scene::Create(sceneName, error));
    PictureSettings settings;
    if (!neutral) {
        settings.exposure = 327;
        settings.saturation = 150;
        settings.sharpness = 2;
        settings.gamma = 2;
    }
    uint32_t number = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        // A changing exposure defeats the camera's reuse of an unchanged frame.
        settings.exposure = static_cast<uint16_t>(256 + (number & 1));
        const auto& frame = source.MakeFrame(number++, settings);
        bytes = frame.size();
        benchmark::DoNotOptimize(frame.data());
    }
    state.counters["frame_bytes"] = static_cast<double>(bytes);
    state.counters["frame_ms_at_1023"] = static_cast<double>((bytes + kMarkerSize + 1022) / 1023);
}
BENCHMARK_CAPTURE(BM_CamsimFrame, orientation_neutral, std::string("orientation"), true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CamsimFrame, moving_neutral, std::string("moving"), true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CamsimFrame, bars_all_controls, std::string("bars"), false)->Unit(benchmark::kMillisecond);

// The reference: copying one 640 × 480 RGB picture.
void BM_CamsimReferenceMemcpy(benchmark::State& state)
{
    std::vector<uint8_t> a(kSceneWidth * kSceneHeight * 3, 1), b(a.size());
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size());
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CamsimReferenceMemcpy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
