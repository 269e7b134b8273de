// The still-camera application of `nimbra still`: private device-control requests on the open
// device, as a still-camera application sends them, and the snapshot of a running video pin.
#include "tools/nimbra/still_client.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "driver/driver_entry.h"
#include "host/camsim/still_camera.h"
#include "host/kernel/host_kernel.h"
#include "tools/nimbra/settings_keys.h"

namespace nimbra::tool {
namespace {


constexpr ULONG kReadCommand = 0x223000;   // command with data read
constexpr ULONG kMatchCommand = 0x223054;  // command with reply match
constexpr ULONG kMemoryWrite = 0x223060;   // memory write
constexpr ULONG kCommand = 0x223064;       // command without reply
constexpr ULONG kReadReply = 0x223068;     // read reply byte
constexpr ULONG kSnapshot = 0x223076;      // snapshot (METHOD_OUT_DIRECT)

constexpr uint32_t kBlockBytes = 8192;     // data reads move whole blocks
constexpr uint32_t kMemoryUnitBytes = 1024;
constexpr uint32_t kMaxLength = 0xFFFFFF;  // 24-bit length of a command
constexpr uint32_t kMaxMemoryUnits = 0xFFFF;
// Each read reply byte request asks the camera once; it needs a few queries after a command, and
// longer for a command that does work (taking or storing a picture).
constexpr int kReplyQueries = 200;
constexpr size_t kReadsPending = 2;
constexpr LONGLONG kReadPoll = 1000000;                         // 100 ms: how often the reader looks at its stop flag
constexpr std::chrono::seconds kFirstPictureLimit{10};          // the stream must deliver by then

const char* ReplyMeaning(uint8_t reply)
{
    switch (reply) {
    case camsim::kReplyUnknownCommand:
        return "unknown command";
    case camsim::kReplyNoPicture:
        return "no such picture";
    case camsim::kReplyBadPicture:
        return "not a decodable JPEG";
    case camsim::kReplyMemoryFull:
        return "memory full";
    default:
        return "unexpected reply";
    }
}

// The video pin of a snapshot, with a reader thread that keeps reads pending until told to stop.
class SnapshotReader {
public:
    SnapshotReader(host::KsHandle& pin, ULONG imageBytes) : pin_(pin), imageBytes_(imageBytes)
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~SnapshotReader() { Stop(); }

    // Waits (real time) until the stream has delivered a picture; false when it failed or did not.
    bool AwaitFirstPicture()
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kFirstPictureLimit, [this] { return delivered_ > 0 || ended_; });
        return delivered_ > 0;
    }
    // Cancels the pending reads, collects them and ends the thread.
    void Stop()
    {
        stop_.store(true, std::memory_order_relaxed);
        if (thread_.joinable()) thread_.join();
    }
    NTSTATUS Failure() const
    {
        std::lock_guard lock(mutex_);
        return failure_;
    }

private:
    struct Slot {
        std::vector<unsigned char> buffer;
        std::unique_ptr<host::PendingRead> read;
    };

    void Submit(Slot slot)
    {
        slot.buffer.resize(imageBytes_);
        slot.read = host::SubmitRead(pin_, slot.buffer.data(), imageBytes_);
        slots_.push_back(std::move(slot));
    }

    void Run()
    {
        for (size_t i = 0; i < kReadsPending; ++i) Submit(Slot{});
        while (!stop_.load(std::memory_order_relaxed)) {
            KSSTREAM_HEADER header{};
            const NTSTATUS status = host::AwaitRead(*slots_.front().read, &header, nullptr, kReadPoll);
            if (status == STATUS_TIMEOUT) continue;
            Slot done = std::move(slots_.front());
            slots_.pop_front();
            if (!NT_SUCCESS(status)) {
                std::lock_guard lock(mutex_);
                failure_ = status;
                break;
            }
            if (header.DataUsed != 0) {
                std::lock_guard lock(mutex_);
                ++delivered_;
                changed_.notify_all();
            }
            done.read.reset();
            Submit(std::move(done));
        }
        for (Slot& slot : slots_) host::CancelRead(*slot.read);
        for (Slot& slot : slots_) host::AwaitRead(*slot.read, nullptr, nullptr, host::kWaitForever);
        slots_.clear();
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    host::KsHandle& pin_;
    const ULONG imageBytes_;
    std::deque<Slot> slots_;  // the reader thread's own
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // guards delivered_, ended_, failure_
    std::condition_variable changed_;
    uint64_t delivered_ = 0;
    bool ended_ = false;
    NTSTATUS failure_ = STATUS_SUCCESS;
    std::thread thread_;
};

}  // namespace

StillClient::~StillClient()
{
    Stop();
}

bool StillClient::Start(const StillStackOptions& options, bool* usage)
{
    *usage = false;
    // The keys an installer makes; the driver only reads and writes values.
    host::ClearRegistry();
    CreateSettingsKeys();
    host::SetClockRate(1.0);
    host::SetDebugEcho(options.debug);

    host::DeviceStackOptions stackOptions;
    stackOptions.camera = options.camera;
    stackOptions.paced = options.paced;
    stackOptions.tracePath = options.tracePath;
    try {
        stack_ = std::make_unique<host::DeviceStack>(stackOptions);
    } catch (const std::exception& e) {
        error_ = e.what();
        *usage = true;
        return false;
    }
    std::string error;
    if (!NT_SUCCESS(stack_->Start(DriverEntry, &error))) {
        error_ = error;
        return false;
    }
    const NTSTATUS status = host::OpenFilter(stack_->Host(), &filter_);
    if (!NT_SUCCESS(status)) {
        error_ = "opening the device failed: " + host::StatusText(status);
        return false;
    }
    return true;
}

void StillClient::Stop()
{
    if (filter_.IsOpen()) host::Close(filter_);
    if (stack_) {
        stack_->Stop();
        heldPictures_.clear();
        for (const camsim::StoredPicture& picture : stack_->Camera().StoredPictures()) {
            heldPictures_.push_back(picture.jpeg);
        }
        held_ = true;
    }
    stack_.reset();  // ends the trace
}

bool StillClient::HeldPictures(std::vector<std::vector<uint8_t>>* jpegs) const
{
    if (held_) *jpegs = heldPictures_;
    return held_;
}

std::vector<uint8_t> StillClient::CommandBlock(uint8_t code, uint8_t index, uint32_t length)
{
    return {0x00, code, index, 0x00, 0x00, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length >> 16)};
}

bool StillClient::Failed(const std::string& what, ULONG code, NTSTATUS status)
{
    error_ = fmt::format("{} (request 0x{:06X}) failed: {}", what, code, host::StatusText(status));
    return false;
}

bool StillClient::RefusedBy(const char* what, uint8_t code, uint8_t reply)
{
    error_ = fmt::format("{} (command 0x{:02X}): the camera answered 0x{:02X} ({})", what, code, reply,
                         ReplyMeaning(reply));
    return false;
}

bool StillClient::CommandReply(const char* what, uint8_t code, uint8_t index, uint32_t length, uint8_t* reply)
{
    const std::vector<uint8_t> command = CommandBlock(code, index, length);
    NTSTATUS status = host::DeviceControl(filter_, kCommand, command.data(), static_cast<ULONG>(command.size()),
                                          nullptr, 0);
    if (!NT_SUCCESS(status)) return Failed(what, kCommand, status);
    for (int query = 0; query < kReplyQueries; ++query) {
        uint8_t byte = 0;
        ULONG returned = 0;
        status = host::DeviceControl(filter_, kReadReply, nullptr, 0, &byte, 1, &returned);
        if (!NT_SUCCESS(status)) return Failed(std::string(what) + ": reading the reply", kReadReply, status);
        if (returned == 1) {
            *reply = byte;
            return true;
        }
    }
    error_ = fmt::format("{} (command 0x{:02X}): the camera gave no reply to {} read reply byte requests", what, code,
                         kReplyQueries);
    return false;
}

bool StillClient::ReadCommand(const char* what, uint8_t code, uint8_t index, uint32_t length,
                              std::vector<uint8_t>* out)
{
    std::vector<uint8_t> input = CommandBlock(code, index, length);
    input.push_back(1);  // one block of `length` bytes
    out->assign(length, 0);
    ULONG returned = 0;
    const NTSTATUS status = host::DeviceControl(filter_, kReadCommand, input.data(), static_cast<ULONG>(input.size()),
                                                out->data(), length, &returned);
    if (status == STATUS_DEVICE_BUSY) {
        error_ = fmt::format("{} (request 0x{:06X}) failed: {} (the camera did not answer 0x{:02X})", what,
                             kReadCommand, host::StatusText(status), camsim::kReplyData);
        return false;
    }
    if (!NT_SUCCESS(status)) return Failed(what, kReadCommand, status);
    if (returned != length) {
        error_ = fmt::format("{} (request 0x{:06X}) returned {} of {} bytes", what, kReadCommand, returned, length);
        return false;
    }
    return true;
}

bool StillClient::PictureCount(int* count)
{
    uint8_t reply = 0;
    if (!CommandReply("picture count", camsim::kCmdPictureCount, 0, 0, &reply)) return false;
    if (reply > camsim::kMaxStoredPictures) return RefusedBy("picture count", camsim::kCmdPictureCount, reply);
    *count = reply;
    return true;
}

bool StillClient::PictureInfo(int index, StillPictureInfo* info)
{
    const std::string what = fmt::format("info of picture {}", index);
    std::vector<uint8_t> block;
    if (!ReadCommand(what.c_str(), camsim::kCmdPictureInfo, static_cast<uint8_t>(index), kBlockBytes, &block)) {
        return false;
    }
    info->jpegBytes = block[0] | (block[1] << 8) | (block[2] << 16) | (static_cast<uint32_t>(block[3]) << 24);
    info->width = static_cast<uint16_t>(block[4] | (block[5] << 8));
    info->height = static_cast<uint16_t>(block[6] | (block[7] << 8));
    return true;
}

bool StillClient::ReadPicture(int index, uint32_t jpegBytes, std::vector<uint8_t>* jpeg)
{
    const std::string what = fmt::format("reading picture {}", index);
    if (jpegBytes == 0 || jpegBytes > kMaxLength - (kBlockBytes - 1)) {
        error_ = fmt::format("{}: its info block gives {} bytes, which one read cannot fetch", what, jpegBytes);
        return false;
    }
    const uint32_t length = (jpegBytes + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
    if (!ReadCommand(what.c_str(), camsim::kCmdReadPicture, static_cast<uint8_t>(index), length, jpeg)) return false;
    jpeg->resize(jpegBytes);  // the padding goes
    return true;
}

bool StillClient::TakePicture()
{
    uint8_t reply = 0;
    if (!CommandReply("taking a picture", camsim::kCmdTakePicture, 0, 0, &reply)) return false;
    return reply == camsim::kCmdTakePicture || RefusedBy("taking a picture", camsim::kCmdTakePicture, reply);
}

bool StillClient::StorePicture(const std::vector<uint8_t>& jpeg)
{
    const size_t units = (jpeg.size() + kMemoryUnitBytes - 1) / kMemoryUnitBytes;
    if (jpeg.empty() || jpeg.size() > kMaxLength || units > kMaxMemoryUnits) {
        error_ = fmt::format("a picture of {} bytes cannot be stored (1 to {} bytes)", jpeg.size(), kMaxLength);
        return false;
    }
    // Address 0 (24 bits), the size in units, the data padded with zeros to whole units.
    std::vector<uint8_t> input = {0, 0, 0, static_cast<uint8_t>(units), static_cast<uint8_t>(units >> 8)};
    input.insert(input.end(), jpeg.begin(), jpeg.end());
    input.resize(5 + units * kMemoryUnitBytes, 0);
    ULONG returned = 0;
    const NTSTATUS status =
        host::DeviceControl(filter_, kMemoryWrite, input.data(), static_cast<ULONG>(input.size()), nullptr, 0, &returned);
    if (!NT_SUCCESS(status)) return Failed("memory write", kMemoryWrite, status);
    if (returned != units * kMemoryUnitBytes) {
        error_ = fmt::format("memory write (request 0x{:06X}) moved {} of {} bytes", kMemoryWrite, returned,
                             units * kMemoryUnitBytes);
        return false;
    }
    uint8_t reply = 0;
    if (!CommandReply("storing the picture", camsim::kCmdStoreMemory, 0, static_cast<uint32_t>(jpeg.size()), &reply)) {
        return false;
    }
    return reply == camsim::kCmdStoreMemory || RefusedBy("storing the picture", camsim::kCmdStoreMemory, reply);
}

bool StillClient::DeleteAll()
{
    // The camera answers this command with its own code, which the request checks.
    const std::vector<uint8_t> command = CommandBlock(camsim::kCmdDeleteAll, 0, 0);
    const NTSTATUS status =
        host::DeviceControl(filter_, kMatchCommand, command.data(), static_cast<ULONG>(command.size()), nullptr, 0);
    return NT_SUCCESS(status) || Failed("deleting all pictures", kMatchCommand, status);
}

std::string StillClient::OfferedSizes() const
{
    std::string offered;
    if (!stack_ || !stack_->Started()) return offered;
    const HW_STREAM_INFORMATION& info = stack_->Host().StreamInfo(0);
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        offered += fmt::format("{}{}x{}", offered.empty() ? "" : ", ", range->VideoInfoHeader.bmiHeader.biWidth,
                               range->VideoInfoHeader.bmiHeader.biHeight);
    }
    return offered;
}

bool StillClient::Snapshot(int width, int height, std::vector<uint8_t>* picture, bool* sizeNotOffered)
{
    *sizeNotOffered = false;
    const HW_STREAM_INFORMATION& info = stack_->Host().StreamInfo(0);
    const KSDATARANGE* chosen = nullptr;
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        if (range->VideoInfoHeader.bmiHeader.biWidth == width && range->VideoInfoHeader.bmiHeader.biHeight == height) {
            chosen = info.StreamFormatsArray[i];
        }
    }
    if (chosen == nullptr) {
        error_ = fmt::format("size {}x{} is not offered ({})", width, height, OfferedSizes());
        *sizeNotOffered = true;
        return false;
    }
    std::vector<uint8_t> format;
    NTSTATUS status = host::Intersect(filter_, 0, *chosen, &format, 1024);
    if (NT_SUCCESS(status) && format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) status = STATUS_BUFFER_TOO_SMALL;
    if (!NT_SUCCESS(status)) {
        error_ = "data intersection failed: " + host::StatusText(status);
        return false;
    }
    const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    const ULONG pictureBytes = static_cast<ULONG>(width) * static_cast<ULONG>(height) * 3;
    ULONG imageBytes = video->DataFormat.SampleSize != 0 ? video->DataFormat.SampleSize
                                                         : video->VideoInfoHeader.bmiHeader.biSizeImage;
    if (imageBytes < pictureBytes) imageBytes = pictureBytes;

    host::KsHandle pin;
    HANDLE clock = nullptr;
    bool running = false;
    bool ok = false;
    std::unique_ptr<SnapshotReader> reader;
    status = host::OpenPin(filter_, 0, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin);
    if (!NT_SUCCESS(status)) {
        error_ = "opening the video pin failed: " + host::StatusText(status);
    } else {
        clock = host::CreateMasterClock();
        status = host::SetMasterClock(pin, clock);
        if (NT_SUCCESS(status)) status = host::SetState(pin, KSSTATE_PAUSE);
        running = NT_SUCCESS(status);  // a failed run is still stopped in order
        if (NT_SUCCESS(status)) status = host::SetState(pin, KSSTATE_RUN);
        if (!NT_SUCCESS(status)) {
            error_ = "starting the stream failed: " + host::StatusText(status);
        } else {
            reader = std::make_unique<SnapshotReader>(pin, imageBytes);
            if (!reader->AwaitFirstPicture()) {
                const NTSTATUS failure = reader->Failure();
                error_ = NT_SUCCESS(failure) ? std::string("the stream delivered no picture within 10 s")
                                             : "a read of the stream failed: " + host::StatusText(failure);
            } else {
                picture->assign(imageBytes, 0);
                ULONG returned = 0;
                status = host::DeviceControl(filter_, kSnapshot, nullptr, 0, picture->data(), imageBytes, &returned);
                if (!NT_SUCCESS(status)) {
                    Failed("snapshot", kSnapshot, status);
                } else if (returned == 0) {
                    error_ = fmt::format("snapshot (request 0x{:06X}): no picture within 1 s", kSnapshot);
                } else {
                    picture->resize(returned);
                    ok = true;
                }
            }
            reader->Stop();
        }
    }
    // The orderly end, whatever was reached: reads collected, stopped, clock dropped, closed.
    reader.reset();
    if (pin.IsOpen()) {
        if (running) {
            status = host::SetState(pin, KSSTATE_STOP);
            if (!NT_SUCCESS(status) && ok) {
                error_ = "stopping the stream failed: " + host::StatusText(status);
                ok = false;
            }
        }
        if (clock != nullptr) host::SetMasterClock(pin, nullptr);
        host::Close(pin);
    }
    if (clock != nullptr) host::DestroyMasterClock(clock);
    return ok;
}

}  // namespace nimbra::tool
