// nimbra camsim-frame: writes frames as the simulated camera sends them, each file holding the
// bytes between two markers (10-byte frame header, entropy-coded data, EOI), so that the frame
// processing can be run on them without a bus.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "host/camsim/frame_source.h"
#include "host/camsim/scene.h"
#include "tools/nimbra/command.h"

namespace nimbra::tool {
namespace {

// FILE for one frame; FILE with "-NNN" before its extension for frame NNN of several.
std::string FramePath(const std::string& output, int index, int count)
{
    if (count == 1) return output;
    const std::filesystem::path path(output);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%03d", index);
    return (path.parent_path() / (path.stem().string() + suffix + path.extension().string())).string();
}

struct CamsimFrameOptions {
    std::string output;
    std::string scene = "orientation";
    int count = 1;
};

int RunCamsimFrame(const CamsimFrameOptions& options)
{
    std::string error;
    auto scene = camsim::Scene::Create(options.scene, error);
    if (!scene) {
        std::fprintf(stderr, "nimbra camsim-frame: %s\n", error.c_str());
        return kExitUsage;
    }
    camsim::FrameSource source(std::move(scene));
    const camsim::PictureSettings neutral;  // the camera at power-up: unity exposure, neutral controls
    for (int i = 0; i < options.count; ++i) {
        const auto& frame = source.MakeFrame(static_cast<uint32_t>(i), neutral);
        const std::string path = FramePath(options.output, i, options.count);
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) {
            std::fprintf(stderr, "nimbra camsim-frame: cannot write %s\n", path.c_str());
            return kExitUsage;
        }
        const bool ok = std::fwrite(frame.data(), 1, frame.size(), file) == frame.size();
        if (std::fclose(file) != 0 || !ok) {
            std::fprintf(stderr, "nimbra camsim-frame: cannot write %s\n", path.c_str());
            return kExitFailure;
        }
        std::printf("%s: %zu bytes\n", path.c_str(), frame.size());
    }
    return kExitOk;
}

}  // namespace

// Registered by hand: the subcommand's name has a hyphen, which NIMBRA_COMMAND cannot spell.
const CommandRegistrar registrarCamsimFrame{{"camsim-frame", "Write compressed frames as the simulated camera sends them",
                                             [](CLI::App& sub) -> std::function<int()> {
    auto options = std::make_shared<CamsimFrameOptions>();
    sub.add_option("-o,--output", options->output, "Output file (several frames: FILE-000.ext, FILE-001.ext, ...)")
        ->required();
    sub.add_option("--scene", options->scene, "Built-in scene (orientation, bars, moving, gray) or a PNG/JPEG file")
        ->capture_default_str();
    sub.add_option("--count", options->count, "Number of frames")->check(CLI::Range(1, 100000))->capture_default_str();
    return [options] { return RunCamsimFrame(*options); };
}}};

}  // namespace nimbra::tool
