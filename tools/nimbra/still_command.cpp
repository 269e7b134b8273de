// nimbra still: the still camera through the driver's private device-control requests, as a
// still-camera application uses it: list, fetch, take, load and delete the stored pictures, and
// take a snapshot of the running video stream. Each action runs the whole stack: the device is
// started and opened, the requests sent, the device closed and stopped.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "host/camsim/scene.h"
#include "tools/nimbra/command.h"
#include "tools/nimbra/picture_output.h"
#include "tools/nimbra/still_client.h"

namespace nimbra::tool {
namespace {

struct StillOptions {
    // The camera and the stack, shared by every action.
    std::string scene = "orientation";
    std::vector<std::string> pictureFiles;
    int madePictures = 2;
    std::string storeDir;
    std::string tracePath;
    bool fast = false;
    bool debug = false;
    // Per action.
    bool json = false;
    std::string which;  // get: an index or "all"
    std::string outPath;
    std::string putPath;
    std::string size = "320x240";
};

int Usage(const std::string& why)
{
    std::fprintf(stderr, "nimbra still: %s\n", why.c_str());
    return kExitUsage;
}

int Failure(const std::string& why)
{
    std::fprintf(stderr, "nimbra still: %s\n", why.c_str());
    return kExitFailure;
}

bool ParseSize(const std::string& text, int* width, int* height)
{
    char x = 0;
    char extra = 0;
    return std::sscanf(text.c_str(), "%d%c%d%c", width, &x, height, &extra) == 3 && (x == 'x' || x == 'X') &&
           *width > 0 && *height > 0;
}

// "all" (-1) or a picture index 0..255; false otherwise.
bool ParseWhich(const std::string& text, int* index)
{
    if (text == "all") {
        *index = -1;
        return true;
    }
    if (text.empty() || text.size() > 3) return false;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    *index = std::stoi(text);
    return *index <= 255;
}

std::string Extension(const std::string& path)
{
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The picture files of a store directory, in the order the camera holds them.
std::vector<std::string> StorePictures(const std::string& dir)
{
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.rfind("picture-", 0) == 0 && Extension(name) == ".jpg") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Replaces the store's picture files with the camera's pictures. False when a file cannot be
// written or an old one removed.
bool SaveStore(const std::string& dir, const std::vector<std::vector<uint8_t>>& jpegs)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    for (const std::string& old : StorePictures(dir)) {
        if (!std::filesystem::remove(old, error)) return false;
    }
    for (size_t i = 0; i < jpegs.size(); ++i) {
        const std::string path = (std::filesystem::path(dir) / fmt::format("picture-{:02d}.jpg", i)).string();
        if (!WriteBytes(path, jpegs[i].data(), jpegs[i].size())) return false;
    }
    return true;
}

// A running stack with the device open. Stop() ends it and saves the camera's pictures to the
// store, when there is one.
class StillRun {
public:
    explicit StillRun(const StillOptions& options) : options_(options) {}

    // Starts the stack; on failure returns its exit status (usage or failure), else kExitOk.
    int Start()
    {
        std::string error;
        if (!camsim::Scene::Create(options_.scene, error)) return Usage("scene " + options_.scene + ": " + error);
        StillStackOptions stack;
        stack.camera.scene = options_.scene;
        stack.camera.pictureFiles = options_.pictureFiles;
        stack.camera.madePictures = options_.madePictures;
        std::error_code exists;
        if (!options_.storeDir.empty() && std::filesystem::is_directory(options_.storeDir, exists)) {
            // The camera as the last run left it.
            stack.camera.pictureFiles = StorePictures(options_.storeDir);
            stack.camera.madePictures = 0;
        }
        stack.paced = !options_.fast;
        stack.tracePath = options_.tracePath;
        stack.debug = options_.debug;
        bool usage = false;
        if (!client_.Start(stack, &usage)) {
            const std::string why = client_.Error();
            const int stopped = Stop();
            if (stopped != kExitOk) return stopped;
            return usage ? Usage(why) : Failure(why);
        }
        return kExitOk;
    }

    // Closes and stops the stack, then saves the store: kExitOk, or kExitFailure when the store
    // cannot be written.
    int Stop()
    {
        client_.Stop();
        std::vector<std::vector<uint8_t>> jpegs;
        if (!options_.storeDir.empty() && !saved_ && client_.HeldPictures(&jpegs)) {
            saved_ = true;
            if (!SaveStore(options_.storeDir, jpegs)) return Failure("cannot write the store " + options_.storeDir);
        }
        return kExitOk;
    }

    // The client's last error as the run's end: stops the stack first, then reports.
    int Fail()
    {
        const std::string error = client_.Error();
        Stop();
        return Failure(error);
    }

    StillClient& Client() { return client_; }

private:
    const StillOptions& options_;
    StillClient client_;
    bool saved_ = false;
};

int RunList(const StillOptions& options)
{
    StillRun run(options);
    if (const int started = run.Start(); started != kExitOk) return started;
    int count = 0;
    if (!run.Client().PictureCount(&count)) return run.Fail();
    std::vector<StillPictureInfo> pictures(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (!run.Client().PictureInfo(i, &pictures[static_cast<size_t>(i)])) return run.Fail();
    }
    if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;

    if (options.json) {
        nlohmann::json out;
        out["count"] = count;
        out["pictures"] = nlohmann::json::array();
        for (int i = 0; i < count; ++i) {
            const StillPictureInfo& p = pictures[static_cast<size_t>(i)];
            out["pictures"].push_back({{"index", i}, {"jpegBytes", p.jpegBytes}, {"width", p.width}, {"height", p.height}});
        }
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        std::printf("%-6s %10s  %s\n", "index", "bytes", "size");
        for (int i = 0; i < count; ++i) {
            const StillPictureInfo& p = pictures[static_cast<size_t>(i)];
            std::printf("%-6d %10u  %ux%u\n", i, p.jpegBytes, p.width, p.height);
        }
        std::printf("%d picture%s stored\n", count, count == 1 ? "" : "s");
    }
    return kExitOk;
}

int RunGet(const StillOptions& options)
{
    int wanted = 0;
    if (!ParseWhich(options.which, &wanted)) return Usage("get wants a picture index (0..255) or all, not " + options.which);
    if (wanted < 0) {
        std::error_code error;
        std::filesystem::create_directories(options.outPath, error);
        if (!std::filesystem::is_directory(options.outPath, error)) return Usage("cannot make directory " + options.outPath);
    }
    StillRun run(options);
    if (const int started = run.Start(); started != kExitOk) return started;
    int count = 0;
    if (!run.Client().PictureCount(&count)) return run.Fail();
    if (wanted >= count) {
        if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;
        return Usage(count == 0 ? fmt::format("no picture {}: the camera holds none", wanted)
                                : fmt::format("no picture {}: the camera holds {} (0..{})", wanted, count, count - 1));
    }
    const int first = wanted < 0 ? 0 : wanted;
    const int last = wanted < 0 ? count - 1 : wanted;
    for (int i = first; i <= last; ++i) {
        StillPictureInfo info;
        std::vector<uint8_t> jpeg;
        if (!run.Client().PictureInfo(i, &info) || !run.Client().ReadPicture(i, info.jpegBytes, &jpeg)) return run.Fail();
        const std::string path = wanted < 0
                                     ? (std::filesystem::path(options.outPath) / fmt::format("picture-{:02d}.jpg", i)).string()
                                     : options.outPath;
        if (!WriteBytes(path, jpeg.data(), jpeg.size())) {
            if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;
            return Failure("cannot write " + path);
        }
        std::fprintf(stderr, "nimbra still: picture %d (%u bytes, %ux%u) written to %s\n", i, info.jpegBytes, info.width,
                     info.height, path.c_str());
    }
    if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;
    if (wanted < 0) std::fprintf(stderr, "nimbra still: %d picture%s written\n", count, count == 1 ? "" : "s");
    return kExitOk;
}

int RunTake(const StillOptions& options)
{
    StillRun run(options);
    if (const int started = run.Start(); started != kExitOk) return started;
    int count = 0;
    if (!run.Client().TakePicture() || !run.Client().PictureCount(&count)) return run.Fail();
    if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;
    std::printf("picture %d taken; %d picture%s stored\n", count - 1, count, count == 1 ? "" : "s");
    return kExitOk;
}

int RunPut(const StillOptions& options)
{
    std::vector<uint8_t> jpeg;
    if (!ReadWholeFile(options.putPath, &jpeg)) return Usage("cannot read " + options.putPath);
    if (jpeg.empty()) return Usage(options.putPath + " is empty");
    if (jpeg.size() > 0xFFFFFF) return Usage(fmt::format("{} has {} bytes; a stored picture has at most {}",
                                                          options.putPath, jpeg.size(), 0xFFFFFF));
    StillRun run(options);
    if (const int started = run.Start(); started != kExitOk) return started;
    int count = 0;
    if (!run.Client().StorePicture(jpeg) || !run.Client().PictureCount(&count)) return run.Fail();
    if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;
    std::printf("stored as picture %d; %d picture%s stored\n", count - 1, count, count == 1 ? "" : "s");
    return kExitOk;
}

int RunDeleteAll(const StillOptions& options)
{
    StillRun run(options);
    if (const int started = run.Start(); started != kExitOk) return started;
    int count = 0;
    if (!run.Client().DeleteAll() || !run.Client().PictureCount(&count)) return run.Fail();
    if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;
    std::printf("all pictures deleted; %d picture%s stored\n", count, count == 1 ? "" : "s");
    return kExitOk;
}

int RunSnapshot(const StillOptions& options)
{
    int width = 0;
    int height = 0;
    if (!ParseSize(options.size, &width, &height)) return Usage("--size wants WIDTHxHEIGHT, not " + options.size);
    const std::string extension = Extension(options.outPath);
    if (extension != ".png" && extension != ".bin") return Usage("-o wants a .png or .bin file, not " + options.outPath);
    StillRun run(options);
    if (const int started = run.Start(); started != kExitOk) return started;
    std::vector<uint8_t> picture;
    bool sizeNotOffered = false;
    if (!run.Client().Snapshot(width, height, &picture, &sizeNotOffered)) {
        if (!sizeNotOffered) return run.Fail();
        const std::string error = run.Client().Error();
        if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;
        return Usage(error);
    }
    if (const int stopped = run.Stop(); stopped != kExitOk) return stopped;
    const size_t pictureBytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    if (extension == ".png" && picture.size() < pictureBytes) {
        return Failure(fmt::format("the snapshot holds {} bytes, less than one {}x{} picture", picture.size(), width, height));
    }
    const bool written = extension == ".png" ? WriteDisplayedPng(options.outPath, picture.data(), width, height)
                                             : WriteBytes(options.outPath, picture.data(), picture.size());
    if (!written) return Failure("cannot write " + options.outPath);
    std::fprintf(stderr, "nimbra still: snapshot %dx%d (%zu bytes) written to %s\n", width, height, picture.size(),
                 options.outPath.c_str());
    return kExitOk;
}

// The camera and stack options, on each action so that they follow the action's name.
void AddStackOptions(CLI::App* action, StillOptions* options)
{
    action->add_option("--scene", options->scene,
                       "The camera's scene: built-in (" +
                           fmt::format("{}", fmt::join(camsim::Scene::BuiltInNames(), ", ")) + ") or a PNG/JPEG file")
        ->capture_default_str();
    action->add_option("--picture", options->pictureFiles,
                       "A JPEG file the camera holds as a stored picture at power-up (repeatable; stored first)")
        ->allow_extra_args(false);
    action->add_option("--made-pictures", options->madePictures,
                       "Pictures the camera takes of its built-in scenes at power-up, after the --picture files")
        ->check(CLI::Range(0, 32))
        ->capture_default_str();
    action->add_option("--store", options->storeDir,
                       "Keep the camera's pictures in DIR between runs: loaded when DIR exists (instead of --picture and "
                       "--made-pictures), rewritten after the run (picture-NN.jpg)");
    action->add_option("--trace", options->tracePath, "Write the USB traffic as a usbmon pcap file");
    action->add_flag("--fast", options->fast, "Run the bus unpaced (default: paced in real time like the real bus)");
    action->add_flag("--debug", options->debug, "Show the driver's debug output on stderr");
}

std::function<int()> SetUpStill(CLI::App& sub)
{
    auto options = std::make_shared<StillOptions>();
    sub.require_subcommand(1, 1);
    sub.footer(
        "Each action starts the device against the simulated camera, opens it, sends the still camera's\n"
        "private device-control requests, closes it and stops it. A fresh camera holds the --picture files,\n"
        "then --made-pictures pictures of its built-in scenes; what an action stores lasts for that run only,\n"
        "unless --store DIR keeps the camera's pictures between runs.\n"
        "Exit status: 0 done, 1 a request failed or the camera refused a command, 2 bad arguments.");

    CLI::App* list = sub.add_subcommand("list", "List the stored pictures: index, JPEG bytes, width x height");
    list->add_flag("--json", options->json, "Print the list as JSON on stdout");
    list->footer("Requests: command 0x50 (picture count) through command without reply (0x223064) and read reply\n"
                 "byte (0x223068); each picture's info block through command with data read (0x223000, command 0x51).");

    CLI::App* get = sub.add_subcommand("get", "Fetch stored pictures as JPEG files, byte for byte");
    get->add_option("picture", options->which, "A picture index (0..255) or all")->required();
    get->add_option("-o,--out", options->outPath, "The JPEG file for an index; the directory for all (picture-NN.jpg)")
        ->required();
    get->footer("Each picture: its info block (command 0x51), then the picture (command 0x52) through command with\n"
                "data read (0x223000) in whole 8,192-byte blocks; the file holds the JPEG's size from the info block.");

    CLI::App* take = sub.add_subcommand("take", "The camera stores a picture of its scene; prints the new count");
    take->footer("Command 0x56 through command without reply (0x223064) and read reply byte (0x223068).");

    CLI::App* put = sub.add_subcommand("put", "Load a JPEG file into camera memory and store it as a picture");
    put->add_option("file", options->putPath, "The JPEG file")->required();
    put->footer("A memory write (0x223060) at address 0 padded to whole 1,024-byte units, then command 0x55 with the\n"
                "file's exact length; the camera refuses a stream it cannot decode (reply 0xE2) or a full memory (0xE3).");

    CLI::App* deleteAll = sub.add_subcommand("delete-all", "Delete every stored picture");
    deleteAll->footer("Command 0x53 through command with reply match (0x223054).");

    CLI::App* snapshot = sub.add_subcommand("snapshot", "Write the next picture of the running video stream");
    snapshot->add_option("-o,--out", options->outPath,
                         "OUT.png: the picture as a capture application displays it; OUT.bin: the delivered bytes")
        ->required();
    snapshot->add_option("--size", options->size, "Picture size: 640x480, 352x288, 320x240, 176x144 or 160x120")
        ->capture_default_str();
    snapshot->footer("Opens the video pin at --size, runs it with reads pending, waits for its first picture, then\n"
                     "sends the snapshot request (0x223076), which takes the next picture delivered (RGB24, width x\n"
                     "height x 3 bytes) or nothing after 1 s. The stream is stopped and closed afterwards.");

    for (CLI::App* action : {list, get, take, put, deleteAll, snapshot}) AddStackOptions(action, options.get());

    return [options, list, get, take, put, deleteAll, snapshot]() -> int {
        if (list->parsed()) return RunList(*options);
        if (get->parsed()) return RunGet(*options);
        if (take->parsed()) return RunTake(*options);
        if (put->parsed()) return RunPut(*options);
        if (deleteAll->parsed()) return RunDeleteAll(*options);
        if (snapshot->parsed()) return RunSnapshot(*options);
        return Usage("an action is needed: list, get, take, put, delete-all or snapshot");
    };
}

}  // namespace

NIMBRA_COMMAND(still, "The still camera through the driver's private requests: list, get, take, put, delete-all, snapshot",
               SetUpStill);

}  // namespace nimbra::tool
