// nimbra capture: the main job. Starts the device against the simulated camera, opens the video
// pin at the chosen size, runs the stream with several reads pending and writes every delivered
// picture (PNG as displayed, raw top-down bgr24, the exact delivered bytes, the compressed camera
// frame behind it) and a JSON summary. Ctrl-C stops the stream in order.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "camera/exposure_model.h"
#include "driver/adapter_record.h"
#include "driver/camera_session.h"
#include "driver/driver_entry.h"
#include "host/camsim/camera.h"
#include "host/camsim/frame_format.h"
#include "host/camsim/scene.h"
#include "host/kernel/host_kernel.h"
#include "host/stack/device_stack.h"
#include "host/streamclass/ks_client.h"
#include "host/usbbus/usb_bus_host.h"
#include "tools/nimbra/command.h"
#include "tools/nimbra/settings_keys.h"
#include "tools/nimbra/picture_output.h"

namespace nimbra::tool {
namespace {

constexpr size_t kReadsPending = 4;
constexpr LONGLONG kPollInterval = 1000000;    // 100 ms: how often a wait looks at Ctrl-C
constexpr LONGLONG kNoPictureLimit = 100000000;  // 10 s without a picture: the stream failed

struct CaptureOptions {
    std::string size = "640x480";
    int frames = 30;
    std::string scene = "orientation";
    std::string outDir;
    std::string rawPath;
    std::string dumpDir;
    std::string compressedDir;
    std::string registryPath;
    std::string tracePath;
    std::string jsonPath;
    bool fast = false;
    bool debug = false;
};

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int)
{
    g_interrupted.store(true, std::memory_order_relaxed);
}

// Forwards every USB call to the camera and, while recording, keeps a copy of each frame the
// camera starts sending (its bytes between the markers: the 10-byte frame header and the data).
// The camera starts a frame only inside an IN call for video, so looking after each one sees
// every frame. Frames are numbered from 1 in the order they were started since recording began:
// with no packet lost, that is the driver's frame number (framesCaptured, reset at the pause).
//
// Which frames the driver hands to a read is decided later, on the bus's completion path, so
// every frame is kept until the tool has asked for a later one. An unpaced bus with a still scene
// sends many thousands of frames a second, each differing from the last only in its header (the
// camera does not re-encode an unchanged picture), so a frame keeps its header and shares its
// data with the frame before when they are equal. Memory stays bounded: beyond kKeptBytes of data
// or kKeptFrames frames, the oldest are dropped.
class FrameTap : public host::UsbDeviceModel {
public:
    explicit FrameTap(camsim::Camera& camera) : camera_(camera) {}

    host::UsbHandshake HandleControl(const host::UsbSetupPacket& setup, std::span<uint8_t> data,
                                     size_t* actual) override
    {
        return camera_.HandleControl(setup, data, actual);
    }
    host::UsbHandshake HandleDataOut(uint8_t endpoint, std::span<const uint8_t> data) override
    {
        return camera_.HandleDataOut(endpoint, data);
    }
    host::UsbHandshake HandleDataIn(uint8_t endpoint, std::span<uint8_t> buffer, size_t* actual) override
    {
        const host::UsbHandshake handshake = camera_.HandleDataIn(endpoint, buffer, actual);
        NoteFrames();
        return handshake;
    }
    host::UsbIsoOutcome HandleIsoIn(uint8_t endpoint, uint64_t busFrame, std::span<uint8_t> packet,
                                    size_t* actual) override
    {
        const host::UsbIsoOutcome outcome = camera_.HandleIsoIn(endpoint, busFrame, packet, actual);
        NoteFrames();
        return outcome;
    }
    void OnBusFrame(uint64_t busFrame) override { camera_.OnBusFrame(busFrame); }
    void OnBusReset() override { camera_.OnBusReset(); }

    // Starts numbering the frames the camera starts from now on at 1.
    void StartRecording()
    {
        std::lock_guard lock(mutex_);
        frames_.clear();
        keptBytes_ = 0;
        front_ = 1;
        seen_ = camera_.FramesStarted();
        recording_ = true;
    }

    // The frame numbered `number`, forgetting every earlier frame; nothing when it was not seen
    // (or was dropped already).
    std::optional<std::vector<uint8_t>> Take(uint64_t number)
    {
        std::lock_guard lock(mutex_);
        while (!frames_.empty() && front_ < number) {
            DropOldestLocked();
        }
        if (frames_.empty() || front_ != number) {
            return std::nullopt;
        }
        const KeptFrame& kept = frames_.front();
        std::vector<uint8_t> frame(kept.header.begin(), kept.header.end());
        frame.insert(frame.end(), kept.data->begin(), kept.data->end());
        return frame;
    }

private:
    struct KeptFrame {
        std::array<uint8_t, camsim::kFrameHeaderSize> header{};
        std::shared_ptr<const std::vector<uint8_t>> data;  // shared with equal neighbours
    };

    // Bus thread.
    void NoteFrames()
    {
        std::lock_guard lock(mutex_);
        if (!recording_) {
            return;
        }
        const uint64_t started = camera_.FramesStarted();
        if (started == seen_) {
            return;
        }
        seen_ = started;  // one call starts at most one frame
        const std::vector<uint8_t> bytes = camera_.LastFrame();
        KeptFrame kept;
        const size_t headerBytes = bytes.size() < kept.header.size() ? bytes.size() : kept.header.size();
        std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(headerBytes), kept.header.begin());
        const auto data = bytes.begin() + static_cast<std::ptrdiff_t>(headerBytes);
        if (!frames_.empty() && std::equal(data, bytes.end(), frames_.back().data->begin(), frames_.back().data->end())) {
            kept.data = frames_.back().data;
        } else {
            kept.data = std::make_shared<const std::vector<uint8_t>>(data, bytes.end());
            keptBytes_ += kept.data->size();
        }
        frames_.push_back(std::move(kept));
        while (frames_.size() > 1 && (keptBytes_ > kKeptBytes || frames_.size() > kKeptFrames)) {
            DropOldestLocked();
        }
    }

    void DropOldestLocked()
    {
        // Data is counted once, by the first frame that holds it; a later one may take over.
        const auto data = frames_.front().data;
        frames_.pop_front();
        ++front_;
        if (frames_.empty() || frames_.front().data != data) keptBytes_ -= data->size();
    }

    static constexpr size_t kKeptBytes = 64u << 20;
    static constexpr size_t kKeptFrames = 1u << 20;
    camsim::Camera& camera_;
    std::mutex mutex_;  // guards everything below
    bool recording_ = false;
    uint64_t seen_ = 0;
    uint64_t front_ = 1;  // number of frames_.front()
    size_t keptBytes_ = 0;
    std::deque<KeptFrame> frames_;
};

// The stack of the run: the camera, the tap in front of it on the bus, the class driver with the
// driver loaded. Members end in reverse order: the class driver, the bus, the tap, the camera.
struct CaptureStack {
    std::unique_ptr<camsim::Camera> camera;
    std::unique_ptr<FrameTap> tap;
    std::unique_ptr<host::UsbBus> bus;
    host::StreamClassHost host;
    bool loaded = false;

    ~CaptureStack() { Stop(); if (bus) bus->StopTrace(); }

    void Stop()
    {
        if (loaded) {
            host.StopDevice();
            host.UnloadDriver();
            loaded = false;
        }
    }
};

bool ParseSize(const std::string& text, int* width, int* height)
{
    char x = 0;
    char extra = 0;
    return std::sscanf(text.c_str(), "%d%c%d%c", width, &x, height, &extra) == 3 && (x == 'x' || x == 'X') &&
           *width > 0 && *height > 0;
}

std::string FrameFile(const std::string& dir, const char* stem, uint64_t index, const char* extension)
{
    return (std::filesystem::path(dir) / fmt::format("{}-{:06d}.{}", stem, index, extension)).string();
}

int Usage(const std::string& why)
{
    std::fprintf(stderr, "nimbra capture: %s\n", why.c_str());
    return kExitUsage;
}

bool MakeDirectory(const std::string& dir)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    return std::filesystem::is_directory(dir, error);
}

double MeanGreen(const unsigned char* picture, size_t bytes)
{
    uint64_t sum = 0;
    for (size_t i = 1; i < bytes; i += 3) {
        sum += picture[i];
    }
    return bytes >= 3 ? static_cast<double>(sum) / static_cast<double>(bytes / 3) : 0.0;
}

// Where a run writes its pictures. Raw frames go to a file or to stdout.
struct Outputs {
    std::FILE* raw = nullptr;
    bool rawIsStdout = false;
    std::vector<unsigned char> rawRow;

    ~Outputs()
    {
        if (raw != nullptr && !rawIsStdout) std::fclose(raw);
    }
};

// One read slot: its buffer and the read in flight on it.
struct ReadSlot {
    std::vector<unsigned char> buffer;
    std::unique_ptr<host::PendingRead> read;
};

class CaptureRun {
public:
    explicit CaptureRun(const CaptureOptions& options) : options_(options) {}
    int Run();

private:
    int Prepare();
    NTSTATUS Stream();
    NTSTATUS OpenAndRun();
    // Writes every output of one delivered picture; false (with error_) when a file cannot be
    // written, or when stdout's reader of raw frames went away (viewerGone_).
    bool Deliver(const unsigned char* picture, const KSSTREAM_HEADER& header, const KS_FRAME_INFO& info);
    void StopAndClose();
    nlohmann::json Summary() const;

    const CaptureOptions& options_;
    int width_ = 0;
    int height_ = 0;
    ULONG imageBytes_ = 0;
    Outputs outputs_;
    CaptureStack stack_;
    host::KsHandle filter_;
    host::KsHandle pin_;
    HANDLE clock_ = nullptr;
    bool running_ = false;
    std::deque<ReadSlot> slots_;

    std::string failedStep_;   // the step that failed, with its status
    std::string writeError_;   // an output that could not be written
    bool viewerGone_ = false;  // stdout's reader closed the pipe
    bool sizeNotOffered_ = false;  // a bad argument found only once the device is up
    uint64_t delivered_ = 0;
    uint64_t emptyReads_ = 0;
    uint64_t missingCompressed_ = 0;
    LONGLONG runStart_ = 0;
    LONGLONG firstDelivery_ = 0;
    LONGLONG lastDelivery_ = 0;
    nlohmann::json frames_ = nlohmann::json::array();
    nlohmann::json exposureIndex_ = nlohmann::json::array();
};

int CaptureRun::Prepare()
{
    if (!ParseSize(options_.size, &width_, &height_)) {
        return Usage("--size wants WIDTHxHEIGHT, not " + options_.size);
    }
    std::string error;
    if (!camsim::Scene::Create(options_.scene, error)) {
        return Usage("scene " + options_.scene + ": " + error);
    }
    if (options_.rawPath == "-" && options_.jsonPath == "-") {
        return Usage("--raw - and --json - cannot both write to stdout");
    }
    for (const std::string* dir : {&options_.outDir, &options_.dumpDir, &options_.compressedDir}) {
        if (!dir->empty() && !MakeDirectory(*dir)) {
            return Usage("cannot make directory " + *dir);
        }
    }
    if (options_.rawPath == "-") {
        outputs_.raw = stdout;
        outputs_.rawIsStdout = true;
    } else if (!options_.rawPath.empty()) {
        outputs_.raw = std::fopen(options_.rawPath.c_str(), "wb");
        if (outputs_.raw == nullptr) {
            return Usage("cannot write " + options_.rawPath);
        }
    }

    // The keys an installer makes; the driver only reads and writes values.
    host::ClearRegistry();
    CreateSettingsKeys();
    if (!options_.registryPath.empty() && std::filesystem::exists(options_.registryPath)) {
        if (!host::LoadRegistryFile(options_.registryPath, &error)) {
            return Usage("cannot load " + options_.registryPath + ": " + error);
        }
    }

    host::SetClockRate(1.0);
    host::SetDebugEcho(options_.debug);
    camsim::CameraConfig config;
    config.scene = options_.scene;
    config.clock = [] { return static_cast<int64_t>(host::HostTimeNow()); };
    try {
        stack_.camera = std::make_unique<camsim::Camera>(config);
    } catch (const std::exception& e) {
        return Usage(std::string("camera: ") + e.what());
    }
    stack_.tap = std::make_unique<FrameTap>(*stack_.camera);
    host::UsbBusOptions busOptions;
    busOptions.paced = !options_.fast;
    stack_.bus = std::make_unique<host::UsbBus>(*stack_.tap, busOptions);
    if (!options_.tracePath.empty() && !stack_.bus->StartTrace(options_.tracePath, &error)) {
        return Usage("cannot write the trace " + options_.tracePath + ": " + error);
    }
    return kExitOk;
}

// Loads the driver, starts the device, opens the pin at the size asked for and runs it.
NTSTATUS CaptureRun::OpenAndRun()
{
    NTSTATUS status = stack_.host.LoadDriver(DriverEntry);
    if (!NT_SUCCESS(status)) {
        failedStep_ = "driver entry failed: " + host::StatusText(status);
        return status;
    }
    stack_.loaded = true;
    status = stack_.host.StartDevice(stack_.bus->PhysicalDeviceObject());
    if (!NT_SUCCESS(status)) {
        failedStep_ = "device start failed: " + host::StatusText(status);
        return status;
    }
    status = host::OpenFilter(stack_.host, &filter_);
    if (!NT_SUCCESS(status)) {
        failedStep_ = "opening the device failed: " + host::StatusText(status);
        return status;
    }

    const HW_STREAM_INFORMATION& info = stack_.host.StreamInfo(0);
    const KSDATARANGE* chosen = nullptr;
    std::string offered;
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        const LONG w = range->VideoInfoHeader.bmiHeader.biWidth;
        const LONG h = range->VideoInfoHeader.bmiHeader.biHeight;
        offered += fmt::format("{}{}x{}", offered.empty() ? "" : ", ", w, h);
        if (w == width_ && h == height_) chosen = info.StreamFormatsArray[i];
    }
    if (chosen == nullptr) {
        failedStep_ = fmt::format("size {}x{} is not offered ({})", width_, height_, offered);
        sizeNotOffered_ = true;
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<uint8_t> format;
    status = host::Intersect(filter_, 0, *chosen, &format, 1024);
    if (!NT_SUCCESS(status) || format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        failedStep_ = "data intersection failed: " + host::StatusText(NT_SUCCESS(status) ? STATUS_BUFFER_TOO_SMALL : status);
        return NT_SUCCESS(status) ? STATUS_BUFFER_TOO_SMALL : status;
    }
    const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    imageBytes_ = video->DataFormat.SampleSize != 0 ? video->DataFormat.SampleSize
                                                    : video->VideoInfoHeader.bmiHeader.biSizeImage;
    if (imageBytes_ < static_cast<ULONG>(width_) * static_cast<ULONG>(height_) * 3) {
        imageBytes_ = static_cast<ULONG>(width_) * static_cast<ULONG>(height_) * 3;
    }
    status = host::OpenPin(filter_, 0, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin_);
    if (!NT_SUCCESS(status)) {
        failedStep_ = "opening the video pin failed: " + host::StatusText(status);
        return status;
    }
    clock_ = host::CreateMasterClock();
    status = host::SetMasterClock(pin_, clock_);
    if (!NT_SUCCESS(status)) {
        failedStep_ = "setting the master clock failed: " + host::StatusText(status);
        return status;
    }
    status = host::SetState(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) {
        failedStep_ = "pausing the stream failed: " + host::StatusText(status);
        return status;
    }
    if (!options_.compressedDir.empty()) stack_.tap->StartRecording();
    running_ = true;  // a failed start is still stopped in order
    runStart_ = host::HostTimeNow();
    status = host::SetState(pin_, KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        failedStep_ = "running the stream failed: " + host::StatusText(status);
        return status;
    }
    return STATUS_SUCCESS;
}

bool CaptureRun::Deliver(const unsigned char* picture, const KSSTREAM_HEADER& header, const KS_FRAME_INFO& info)
{
    const uint64_t index = ++delivered_;
    lastDelivery_ = host::HostTimeNow();
    if (index == 1) firstDelivery_ = lastDelivery_;
    auto* adapter = static_cast<AdapterRecord*>(stack_.host.HwDeviceExtension());
    const ExposureModel* model = adapter->cameraSession->exposureModel;
    const int exposureIndex = model->exposureIndex.load(std::memory_order_relaxed);
    const int exposureValue = model->exposureValue.load(std::memory_order_relaxed);
    const double green = MeanGreen(picture, header.DataUsed);
    // Picture number = frame number + drop count (the frame counter restarts at the pause).
    const uint64_t frameNumber = static_cast<uint64_t>(info.PictureNumber - info.DropCount);

    frames_.push_back({{"index", index},
                       {"pictureNumber", info.PictureNumber},
                       {"presentationTime", header.PresentationTime.Time},
                       {"dropCount", info.DropCount},
                       {"dataUsed", header.DataUsed},
                       {"meanGreen", green},
                       {"exposureIndex", exposureIndex},
                       {"exposure", exposureValue}});
    exposureIndex_.push_back(exposureIndex);
    std::fprintf(stderr, "nimbra capture: frame %llu/%d  picture %lld  time %.3f s  drops %lld  green %.1f  exposure index %d\n",
                 static_cast<unsigned long long>(index), options_.frames, static_cast<long long>(info.PictureNumber),
                 static_cast<double>(header.PresentationTime.Time) / 1e7, static_cast<long long>(info.DropCount), green,
                 exposureIndex);

    if (!options_.outDir.empty()) {
        const std::string path = FrameFile(options_.outDir, "frame", index, "png");
        if (!WriteDisplayedPng(path, picture, width_, height_)) {
            writeError_ = "cannot write " + path;
            return false;
        }
    }
    if (!options_.dumpDir.empty()) {
        const std::string path = FrameFile(options_.dumpDir, "frame", index, "bin");
        if (!WriteBytes(path, picture, header.DataUsed)) {
            writeError_ = "cannot write " + path;
            return false;
        }
    }
    if (!options_.compressedDir.empty()) {
        if (auto frame = stack_.tap->Take(frameNumber)) {
            const std::string path = FrameFile(options_.compressedDir, "camera", index, "bin");
            if (!WriteBytes(path, frame->data(), frame->size())) {
                writeError_ = "cannot write " + path;
                return false;
            }
        } else {
            if (missingCompressed_++ == 0) {
                std::fprintf(stderr, "nimbra capture: warning: the camera frame behind picture %llu is not known\n",
                             static_cast<unsigned long long>(index));
            }
        }
    }
    if (outputs_.raw != nullptr) {
        outputs_.rawRow.resize(static_cast<size_t>(width_) * height_ * 3);
        TopDownBgr(picture, width_, height_, outputs_.rawRow.data());
        const bool ok = std::fwrite(outputs_.rawRow.data(), 1, outputs_.rawRow.size(), outputs_.raw) ==
                            outputs_.rawRow.size() &&
                        std::fflush(outputs_.raw) == 0;
        if (!ok) {
            if (outputs_.rawIsStdout && errno == EPIPE) {
                viewerGone_ = true;  // the viewer closed: stop as for Ctrl-C
            } else {
                writeError_ = "cannot write " + options_.rawPath;
            }
            return false;
        }
    }
    return true;
}

// Keeps kReadsPending reads in flight, awaits them in order and resubmits until the frames are
// delivered, Ctrl-C, an output fails or a read fails.
NTSTATUS CaptureRun::Stream()
{
    const uint64_t wanted = static_cast<uint64_t>(options_.frames);
    auto submit = [this](ReadSlot slot) {
        slot.buffer.resize(imageBytes_);
        slot.read = host::SubmitRead(pin_, slot.buffer.data(), imageBytes_);
        slots_.push_back(std::move(slot));
    };
    for (size_t i = 0; i < kReadsPending && i < wanted; ++i) submit(ReadSlot{});
    LONGLONG lastProgress = host::HostTimeNow();

    NTSTATUS result = STATUS_SUCCESS;
    while (delivered_ < wanted && !g_interrupted.load(std::memory_order_relaxed)) {
        ReadSlot& slot = slots_.front();
        KSSTREAM_HEADER header{};
        KS_FRAME_INFO info{};
        const NTSTATUS status = host::AwaitRead(*slot.read, &header, &info, kPollInterval);
        if (status == STATUS_TIMEOUT) {
            if (host::HostTimeNow() - lastProgress > kNoPictureLimit) {
                failedStep_ = "no picture delivered within 10 s: " + host::StatusText(STATUS_TIMEOUT);
                result = STATUS_TIMEOUT;
                break;
            }
            continue;
        }
        if (!NT_SUCCESS(status)) {
            failedStep_ = "read failed: " + host::StatusText(status);
            result = status;
            break;
        }
        ReadSlot done = std::move(slots_.front());
        slots_.pop_front();
        done.read.reset();
        if (header.DataUsed == 0) {
            ++emptyReads_;  // the capture was not running when the frame was processed
            if (host::HostTimeNow() - lastProgress > kNoPictureLimit) {
                failedStep_ = "no picture delivered within 10 s: reads complete empty";
                result = STATUS_UNSUCCESSFUL;
                break;
            }
        } else {
            lastProgress = host::HostTimeNow();
            if (!Deliver(done.buffer.data(), header, info)) break;
        }
        if (delivered_ + slots_.size() < wanted) submit(std::move(done));
    }
    // Reads still in flight: cancel and collect them before the stream stops.
    for (ReadSlot& slot : slots_) host::CancelRead(*slot.read);
    for (ReadSlot& slot : slots_) host::AwaitRead(*slot.read, nullptr, nullptr, host::kWaitForever);
    slots_.clear();
    return result;
}

// The orderly end, whatever state the run reached: stop, drop the clock, close the pin and the
// device, stop the device and unload the driver.
void CaptureRun::StopAndClose()
{
    if (pin_.IsOpen()) {
        if (running_) {
            const NTSTATUS status = host::SetState(pin_, KSSTATE_STOP);
            if (!NT_SUCCESS(status) && failedStep_.empty()) failedStep_ = "stopping the stream failed: " + host::StatusText(status);
        }
        if (clock_ != nullptr) host::SetMasterClock(pin_, nullptr);
        host::Close(pin_);
    }
    if (clock_ != nullptr) {
        host::DestroyMasterClock(clock_);
        clock_ = nullptr;
    }
    if (filter_.IsOpen()) host::Close(filter_);
    stack_.Stop();
}

nlohmann::json CaptureRun::Summary() const
{
    // The rate of delivery, from the first picture to the last; the start-up before the first
    // picture (bridge programs, the first frame on the wire) is reported on its own.
    const double span = delivered_ > 1 ? static_cast<double>(lastDelivery_ - firstDelivery_) / 1e7 : 0.0;
    nlohmann::json out;
    out["size"] = {{"width", width_}, {"height", height_}};
    out["scene"] = options_.scene;
    out["paced"] = !options_.fast;
    out["framesRequested"] = options_.frames;
    out["framesDelivered"] = delivered_;
    out["emptyReads"] = emptyReads_;
    out["interrupted"] = g_interrupted.load(std::memory_order_relaxed) || viewerGone_;
    out["firstPictureSeconds"] = delivered_ > 0 ? static_cast<double>(firstDelivery_ - runStart_) / 1e7 : 0.0;
    out["seconds"] = span;
    out["framesPerSecond"] = delivered_ > 1 && span > 0 ? static_cast<double>(delivered_ - 1) / span : 0.0;
    out["peakPoolBytes"] = host::GetPoolStats().peakBytes;
    out["exposureIndex"] = exposureIndex_;
    out["frames"] = frames_;
    if (!options_.compressedDir.empty()) out["compressedFramesMissing"] = missingCompressed_;
    out["error"] = failedStep_.empty() ? (writeError_.empty() ? nullptr : nlohmann::json(writeError_))
                                       : nlohmann::json(failedStep_);
    return out;
}

int CaptureRun::Run()
{
    if (const int prepared = Prepare(); prepared != kExitOk) return prepared;

    // Ctrl-C stops the stream in order; a viewer that closes the raw pipe does the same.
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
    sigemptyset(&action.sa_mask);
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    void (*previousPipe)(int) = std::signal(SIGPIPE, SIG_IGN);

    host::ResetPoolPeak();
    NTSTATUS status = OpenAndRun();
    if (NT_SUCCESS(status)) status = Stream();
    StopAndClose();

    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    std::signal(SIGPIPE, previousPipe);

    int exit = kExitOk;
    if (!options_.registryPath.empty() && !host::SaveRegistryFile(options_.registryPath)) {
        std::fprintf(stderr, "nimbra capture: cannot write %s\n", options_.registryPath.c_str());
        exit = kExitFailure;
    }
    if (!failedStep_.empty()) {
        std::fprintf(stderr, "nimbra capture: %s\n", failedStep_.c_str());
        exit = sizeNotOffered_ ? kExitUsage : kExitFailure;
    } else if (!writeError_.empty()) {
        std::fprintf(stderr, "nimbra capture: %s\n", writeError_.c_str());
        exit = kExitFailure;
    }
    if (missingCompressed_ > 0) {
        std::fprintf(stderr, "nimbra capture: warning: %llu compressed frames could not be saved\n",
                     static_cast<unsigned long long>(missingCompressed_));
    }

    if (!options_.jsonPath.empty()) {
        const std::string text = Summary().dump(2) + "\n";
        if (options_.jsonPath == "-") {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        } else if (!WriteBytes(options_.jsonPath, text.data(), text.size())) {
            std::fprintf(stderr, "nimbra capture: cannot write %s\n", options_.jsonPath.c_str());
            if (exit == kExitOk) exit = kExitFailure;
        }
    }
    std::fprintf(stderr, "nimbra capture: %llu pictures delivered%s\n", static_cast<unsigned long long>(delivered_),
                 g_interrupted.load(std::memory_order_relaxed) ? " (interrupted)"
                 : viewerGone_                                 ? " (the reader of stdout went away)"
                                                               : "");
    return exit;
}

std::function<int()> SetUpCapture(CLI::App& sub)
{
    auto options = std::make_shared<CaptureOptions>();
    sub.footer(
        "The stream runs with 4 reads pending and a master clock; each picture is written as it is delivered.\n"
        "Files are numbered by delivered picture: frame-000001.png, frame-000001.bin, camera-000001.bin, ...\n"
        "PNG files show the picture as a capture application displays it (the buffer as a bottom-up DIB);\n"
        "--raw writes top-down bgr24 frames, e.g.:\n"
        "  nimbra capture --frames 300 --raw - | ffplay -f rawvideo -pixel_format bgr24 -video_size 640x480 -\n"
        "--save-compressed: the frame the camera sent for each picture (10-byte frame header, entropy-coded\n"
        "data and EOI, as `nimbra process` reads it). It is recorded on the camera's side of the bus as the\n"
        "camera starts each frame and matched to the picture by frame number (picture number - drop count);\n"
        "the match holds while no packet is lost, which the simulated bus does not do unless told to.\n"
        "Registry: the keys ...\\Korvane\\Nimbra\\SETTING\\Video and \\Custom are created as an installer would,\n"
        "FILE is loaded when it exists and the registry is saved to FILE after the stream is closed.\n"
        "Ctrl-C (or SIGTERM, or the reader of --raw - going away) stops the stream, closes it and saves the\n"
        "settings; the summary covers the pictures delivered. A second Ctrl-C ends the process at once.\n"
        "Exit status: 0 done (also after Ctrl-C), 1 the device, the stream or an output failed, 2 bad arguments.");
    sub.add_option("--size", options->size, "Picture size: 640x480, 352x288, 320x240, 176x144 or 160x120")
        ->capture_default_str();
    sub.add_option("--frames", options->frames, "Pictures to deliver")->check(CLI::Range(1, 100000000))->capture_default_str();
    sub.add_option("--scene", options->scene,
                   "Built-in scene (" + fmt::format("{}", fmt::join(camsim::Scene::BuiltInNames(), ", ")) +
                       ") or a PNG/JPEG file")
        ->capture_default_str();
    sub.add_option("--out", options->outDir, "Directory for the pictures as PNG (frame-000001.png, ...)");
    sub.add_option("--raw", options->rawPath, "File, or - for stdout, for the pictures as top-down bgr24 frames");
    sub.add_option("--dump", options->dumpDir, "Directory for the exact delivered bytes (frame-000001.bin, ...)");
    sub.add_option("--save-compressed", options->compressedDir,
                   "Directory for the camera frame behind each picture (camera-000001.bin, ...)");
    sub.add_option("--registry", options->registryPath,
                   "The persisted settings as a .reg file: loaded when it exists, saved after the run");
    sub.add_option("--trace", options->tracePath, "Write the USB traffic as a usbmon pcap file");
    sub.add_flag("--fast", options->fast, "Run the bus unpaced (default: paced in real time like the real bus)");
    sub.add_option("--json", options->jsonPath, "Write a summary as JSON to FILE, or - for stdout");
    sub.add_flag("--debug", options->debug, "Show the driver's debug output on stderr");
    return [options] {
        g_interrupted.store(false, std::memory_order_relaxed);
        CaptureRun run(*options);
        return run.Run();
    };
}

}  // namespace

NIMBRA_COMMAND(capture, "Capture pictures from the simulated camera through the driver (the main job)", SetUpCapture);

}  // namespace nimbra::tool
