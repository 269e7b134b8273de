// The simulated camera: USB requests, the bridge register file, video frames and faults.
#include "host/camsim/camera.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "host/camsim/descriptors.h"
#include "host/camsim/frame_format.h"
#include "platform/usb_bus.h"

namespace nimbra::camsim {

using host::UsbHandshake;
using host::UsbIsoOutcome;
using host::UsbSetupPacket;

namespace {

constexpr size_t kOversizeFrame = 320000;
constexpr size_t kMaxTableBytes = 4096;

CameraConfig WithDefaults(CameraConfig config)
{
    if (!config.clock) {
        config.clock = [] {
            using Tick = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
            return std::chrono::duration_cast<Tick>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    }
    if (config.isoPacketSizes.empty()) config.isoPacketSizes.push_back(0);
    if (config.interfaceCount == 0) config.interfaceCount = 1;
    return config;
}

std::unique_ptr<Scene> MakeScene(const std::string& name)
{
    std::string error;
    auto scene = Scene::Create(name, error);
    if (!scene) throw std::runtime_error("camsim: " + error);
    return scene;
}

size_t CopyOut(std::span<uint8_t> to, const uint8_t* from, size_t n)
{
    n = std::min(n, to.size());
    if (n) std::memcpy(to.data(), from, n);
    return n;
}

}  // namespace

Camera::Camera(CameraConfig config)
    : config_(WithDefaults(std::move(config))), deviceDescriptor_(BuildDeviceDescriptor(config_)),
      configDescriptor_(BuildConfigurationDescriptor(config_))
{
    frames_ = std::make_unique<FrameSource>(MakeScene(config_.scene));
    // The still camera's "take picture" runs inside a locked call; it reads the registers as
    // they stand.
    still_ = std::make_unique<StillCamera>(
        config_.memorySize, config_.commandBusyQueries, config_.replyDelayQueries, [this](std::vector<uint8_t>& jpeg) {
            const PictureSettings settings = SettingsFromRegisters(regs_.data(), sensor_.data(), config_.unityExposure);
            return frames_->MakeStillPicture(framesStarted_, settings, jpeg);
        });
    ResetBridgeLocked();
    for (const std::string& path : config_.pictureFiles) {
        std::vector<uint8_t> bytes;
        {
            FILE* file = std::fopen(path.c_str(), "rb");
            if (!file) throw std::runtime_error("camsim: cannot open " + path);
            uint8_t chunk[65536];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
            std::fclose(file);
        }
        if (!still_->AddPicture(std::move(bytes))) throw std::runtime_error("camsim: not a usable JPEG picture: " + path);
    }
    const std::vector<std::string> names = Scene::BuiltInNames();
    for (int i = 0; i < config_.madePictures; ++i) {
        FrameSource source(MakeScene(names[static_cast<size_t>(i) % names.size()]));
        std::vector<uint8_t> jpeg;
        PictureSettings neutral;
        neutral.unityExposure = neutral.exposure = config_.unityExposure;
        if (source.MakeStillPicture(static_cast<uint64_t>(i) * 16, neutral, jpeg)) still_->AddPicture(std::move(jpeg));
    }
}

Camera::~Camera() = default;

// ---- Bridge -------------------------------------------------------------------------------

void Camera::ResetBridgeLocked()
{
    regs_.fill(0);
    sensor_.fill(0);
    for (auto& table : tables_) table.clear();
    // Power-up values: a 640 × 480 picture with neutral controls, the exposure at unity.
    regs_[kRegWidth8] = 640 / 8;
    regs_[kRegHeight8] = 480 / 8;
    regs_[kRegGamma] = 0x40;            // gamma 1
    regs_[kRegSaturationLow] = 0x40;    // saturation 200
    regs_[kRegSaturationHigh] = 0x34;
    regs_[kRegBrightness] = 15;         // brightness 15
    regs_[kRegSharpness] = 0x07;        // sharpness 1
    sensor_[3] = static_cast<uint8_t>(config_.unityExposure >> 8);
    sensor_[4] = static_cast<uint8_t>(config_.unityExposure & 0xFF);
    selected_ = 0;
    AbandonFrameLocked();
}

void Camera::WriteRegisterLocked(uint8_t reg, uint8_t value)
{
    switch (reg) {
    case kRegMode:
        regs_[reg] = value;
        if (value != kModeStream) AbandonFrameLocked();
        if (value == kModeMemorySetup) still_->ResetMemoryWrite();
        if (value == kModeMemoryData) {
            const uint32_t address = (regs_[0x0C] | (regs_[0x0D] << 8) | (static_cast<uint32_t>(regs_[0x0E]) << 16)) * 8u;
            const uint32_t length = regs_[0x24] | (regs_[0x25] << 8) | (static_cast<uint32_t>(regs_[0x26]) << 16);
            still_->BeginMemoryWrite(address, length);
        }
        if (value == kModePortRead || value == kModePortWrite) still_->SetPortAddress(regs_[kRegPortAddress] * 4u);
        break;
    case kRegEnable:
        regs_[reg] = value;
        if (!(value & 1)) AbandonFrameLocked();
        break;
    case kRegPortAddress:
        regs_[reg] = value;
        still_->SetPortAddress(value * 4u);
        break;
    case kRegCommand:
        still_->TakeCommandByte(value);
        break;
    case kRegMemDone:
    case kRegStatus:
        break;  // read-only
    case kRegTableSelect:
        regs_[reg] = value;
        tables_[value].clear();
        break;
    case kRegTablePort:
        regs_[reg] = value;
        if (tables_[regs_[kRegTableSelect]].size() < kMaxTableBytes) tables_[regs_[kRegTableSelect]].push_back(value);
        break;
    default:
        regs_[reg] = value;
        break;
    }
}

uint8_t Camera::ReadRegisterLocked(uint8_t reg)
{
    switch (reg) {
    case kRegCommand: return still_->ReadReply();
    case kRegMemDone: return still_->MemoryWriteDone() ? 1 : 0;
    case kRegStatus: return still_->QueryStatus();
    case kRegPort: return regs_[kRegMode] == kModePortRead ? still_->ReadPort() : regs_[reg];
    default: return regs_[reg];
    }
}

// Messages on pipe 3. One byte selects the register the next reply carries. Two or more
// bytes write consecutive registers from the first byte on, except for register 0x1F: in
// port-write mode (0x28) the bytes after it go to the data port; otherwise 1F 00 reg value
// (exactly four bytes) writes a sensor register.
void Camera::HandleMessageLocked(std::span<const uint8_t> message)
{
    log_.push_back({config_.clock(), std::vector<uint8_t>(message.begin(), message.end())});
    if (message.empty()) return;
    if (message.size() == 1) {
        selected_ = message[0];
        return;
    }
    if (message[0] == kRegPort) {
        if (regs_[kRegMode] == kModePortWrite) {
            for (size_t i = 1; i < message.size(); ++i) still_->WritePort(message[i]);
            return;
        }
        if (message.size() == 4 && message[1] == 0x00) {
            sensor_[message[2]] = message[3];
            return;
        }
    }
    for (size_t i = 1; i < message.size(); ++i)
        WriteRegisterLocked(static_cast<uint8_t>(message[0] + i - 1), message[i]);
}

// ---- Video --------------------------------------------------------------------------------

bool Camera::VideoOnLocked() const
{
    return plugged_ && configured_ && (regs_[kRegEnable] & 1) && regs_[kRegMode] == kModeStream;
}

void Camera::AbandonFrameLocked()
{
    wire_.clear();
    wirePos_ = 0;
}

void Camera::StartFrameLocked(bool bulk)
{
    const auto number = static_cast<uint32_t>(framesStarted_);
    const PictureSettings settings = SettingsFromRegisters(regs_.data(), sensor_.data(), config_.unityExposure);
    const std::vector<uint8_t>& frame = frames_->MakeFrame(number, settings);
    lastFrame_.assign(frame.begin(), frame.end());
    if (!frameFaults_.empty()) {
        const FrameFault fault = frameFaults_.front();
        frameFaults_.erase(frameFaults_.begin());
        const size_t dataLength = lastFrame_.size() - kFrameHeaderSize;
        switch (fault) {
        case FrameFault::CutShort:
            lastFrame_.resize(kFrameHeaderSize + dataLength / 2);
            break;
        case FrameFault::Corrupt:
            // Bytes below 0x80 only: the frame can lose its structure but never gain a marker.
            for (size_t i = kFrameHeaderSize + dataLength / 4; i < kFrameHeaderSize + dataLength * 3 / 4; i += 61)
                lastFrame_[i] = static_cast<uint8_t>((i * 37) & 0x7F);
            break;
        case FrameFault::Oversize:
            if (lastFrame_.size() < kOversizeFrame) lastFrame_.resize(kOversizeFrame, 0x00);
            break;
        }
    }
    wire_.assign(kFrameMarker.begin(), kFrameMarker.end());
    if (bulk) wire_[5] = static_cast<uint8_t>(0x64 + (number & 3));
    wire_.insert(wire_.end(), lastFrame_.begin(), lastFrame_.end());
    wirePos_ = 0;
    ++framesStarted_;
}

// ---- USB ----------------------------------------------------------------------------------

bool Camera::EndpointExists(uint8_t endpoint) const
{
    return std::find(std::begin(kPipeEndpoints), std::end(kPipeEndpoints), endpoint) != std::end(kPipeEndpoints);
}

std::optional<UsbHandshake> Camera::EndpointFaultLocked(uint8_t endpoint) const
{
    if (!plugged_ || silent_[endpoint]) return UsbHandshake::Nak;
    if (stalled_[endpoint]) return UsbHandshake::Stall;
    return std::nullopt;
}

UsbHandshake Camera::HandleControl(const UsbSetupPacket& setup, std::span<uint8_t> data, size_t* actual)
{
    std::lock_guard lock(mutex_);
    *actual = 0;
    if (auto fault = EndpointFaultLocked(0)) return *fault;
    if (setup.bmRequestType & 0x60) return UsbHandshake::Stall;  // no class or vendor requests
    const uint8_t recipient = setup.bmRequestType & 0x1F;
    const size_t want = std::min<size_t>(setup.wLength, data.size());
    switch (setup.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
        const uint8_t type = setup.wValue >> 8;
        const uint8_t index = setup.wValue & 0xFF;
        if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
            *actual = CopyOut(data, deviceDescriptor_.data(), std::min(want, deviceDescriptor_.size()));
            return UsbHandshake::Ack;
        }
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
            *actual = CopyOut(data, configDescriptor_.data(), std::min(want, configDescriptor_.size()));
            return UsbHandshake::Ack;
        }
        return UsbHandshake::Stall;  // no strings, no other descriptors
    }
    case USB_REQUEST_SET_CONFIGURATION:
        if (setup.wValue > 1) return UsbHandshake::Stall;
        configured_ = setup.wValue == 1;
        alternate_ = 0;
        AbandonFrameLocked();
        return UsbHandshake::Ack;
    case USB_REQUEST_SET_INTERFACE: {
        if (!configured_ || setup.wIndex >= config_.interfaceCount) return UsbHandshake::Stall;
        const uint16_t alt = setup.wValue;
        if (setup.wIndex != 0) return alt == 0 ? UsbHandshake::Ack : UsbHandshake::Stall;
        if (alt >= config_.isoPacketSizes.size()) return UsbHandshake::Stall;
        if (std::find(config_.refusedAlternates.begin(), config_.refusedAlternates.end(), alt) !=
            config_.refusedAlternates.end())
            return UsbHandshake::Stall;
        if (alt != alternate_) AbandonFrameLocked();
        alternate_ = static_cast<uint8_t>(alt);
        return UsbHandshake::Ack;
    }
    case 0x08:  // GET_CONFIGURATION
        if (want < 1) return UsbHandshake::Stall;
        data[0] = configured_ ? 1 : 0;
        *actual = 1;
        return UsbHandshake::Ack;
    case 0x0A:  // GET_INTERFACE
        if (want < 1 || !configured_) return UsbHandshake::Stall;
        data[0] = setup.wIndex == 0 ? alternate_ : 0;
        *actual = 1;
        return UsbHandshake::Ack;
    case 0x00:  // GET_STATUS
        if (want < 2) return UsbHandshake::Stall;
        data[0] = recipient == 2 && stalled_[setup.wIndex & 0xFF] ? 1 : 0;
        data[1] = 0;
        *actual = 2;
        return UsbHandshake::Ack;
    case USB_REQUEST_CLEAR_FEATURE:
    case 0x03:  // SET_FEATURE
        if (recipient == 2 && setup.wValue == 0) {  // ENDPOINT_HALT
            const uint8_t endpoint = setup.wIndex & 0xFF;
            if (endpoint != 0 && !EndpointExists(endpoint)) return UsbHandshake::Stall;
            if (endpoint != 0) stalled_[endpoint] = setup.bRequest == 0x03;
            return UsbHandshake::Ack;
        }
        return recipient == 0 ? UsbHandshake::Ack : UsbHandshake::Stall;
    default:
        return UsbHandshake::Stall;
    }
}

UsbHandshake Camera::HandleDataOut(uint8_t endpoint, std::span<const uint8_t> data)
{
    std::lock_guard lock(mutex_);
    if (auto fault = EndpointFaultLocked(endpoint)) return *fault;
    if (!configured_ || !EndpointExists(endpoint)) return UsbHandshake::Stall;
    switch (endpoint) {
    case kEpMessages:
        HandleMessageLocked(data);
        return UsbHandshake::Ack;
    case kEpMemoryWrite:
        if (regs_[kRegMode] != kModeMemoryData || !still_->WriteMemory(data)) return UsbHandshake::Stall;
        memoryBytes_ += data.size();
        return UsbHandshake::Ack;
    case kEpSpareOut:
        return UsbHandshake::Ack;
    default:
        return UsbHandshake::Stall;
    }
}

UsbHandshake Camera::HandleDataIn(uint8_t endpoint, std::span<uint8_t> buffer, size_t* actual)
{
    std::lock_guard lock(mutex_);
    *actual = 0;
    if (auto fault = EndpointFaultLocked(endpoint)) return *fault;
    if (!configured_ || !EndpointExists(endpoint)) return UsbHandshake::Stall;
    switch (endpoint) {
    case kEpReply: {
        uint8_t reply[16] = {};
        reply[0] = ReadRegisterLocked(selected_);
        *actual = CopyOut(buffer, reply, sizeof reply);
        return UsbHandshake::Ack;
    }
    case kEpVideoBulk:
        if (still_->PendingData() > 0) {
            *actual = still_->TakeData(buffer);
            return UsbHandshake::Ack;
        }
        if (!VideoOnLocked() || alternate_ != 0) return UsbHandshake::Nak;
        if (wirePos_ >= wire_.size()) {
            if (busFrame_ < nextFrameAllowed_) return UsbHandshake::Nak;
            StartFrameLocked(true);
            nextFrameAllowed_ = busFrame_ + config_.minFrameIntervalMs;
        }
        *actual = CopyOut(buffer, wire_.data() + wirePos_, wire_.size() - wirePos_);
        wirePos_ += *actual;
        return UsbHandshake::Ack;
    case kEpInterrupt:
        return UsbHandshake::Nak;
    default:
        return UsbHandshake::Stall;
    }
}

UsbIsoOutcome Camera::HandleIsoIn(uint8_t endpoint, uint64_t busFrame, std::span<uint8_t> packet, size_t* actual)
{
    std::lock_guard lock(mutex_);
    *actual = 0;
    if (!plugged_ || silent_[endpoint & 0xFF]) return UsbIsoOutcome::Lost;
    if (endpoint != kEpVideoIso || !configured_ || alternate_ == 0) return UsbIsoOutcome::Lost;
    if (stalled_[endpoint]) return UsbIsoOutcome::Error;
    UsbIsoOutcome outcome = UsbIsoOutcome::Data;
    if (isoFaultPackets_ > 0) {
        outcome = isoFault_;
        --isoFaultPackets_;
    }
    if (VideoOnLocked()) {
        // A frame starts only at the start of a packet.
        if (wirePos_ >= wire_.size() && busFrame >= nextFrameAllowed_) {
            StartFrameLocked(false);
            nextFrameAllowed_ = busFrame + config_.minFrameIntervalMs;
        }
        if (wirePos_ < wire_.size()) {
            *actual = CopyOut(packet, wire_.data() + wirePos_, wire_.size() - wirePos_);
            wirePos_ += *actual;
        }
    } else {
        AbandonFrameLocked();
    }
    if (outcome == UsbIsoOutcome::Lost) *actual = 0;
    return outcome;
}

void Camera::OnBusFrame(uint64_t busFrame)
{
    std::lock_guard lock(mutex_);
    busFrame_ = busFrame;
}

void Camera::OnBusReset()
{
    std::lock_guard lock(mutex_);
    configured_ = false;
    alternate_ = 0;
    stalled_.fill(false);
    ResetBridgeLocked();
}

// ---- Inspection ---------------------------------------------------------------------------

std::vector<uint8_t> Camera::ConfigurationDescriptor() const { return configDescriptor_; }

uint8_t Camera::Register(uint8_t reg) const
{
    std::lock_guard lock(mutex_);
    switch (reg) {
    case kRegStatus: return still_->PeekStatus();
    case kRegMemDone: return still_->MemoryWriteDone() ? 1 : 0;
    default: return regs_[reg];
    }
}

std::array<uint8_t, 256> Camera::Registers() const
{
    std::lock_guard lock(mutex_);
    return regs_;
}

uint8_t Camera::SensorRegister(uint8_t reg) const
{
    std::lock_guard lock(mutex_);
    return sensor_[reg];
}

uint16_t Camera::Exposure() const
{
    std::lock_guard lock(mutex_);
    return static_cast<uint16_t>((sensor_[3] << 8) | sensor_[4]);
}

PictureSettings Camera::Settings() const
{
    std::lock_guard lock(mutex_);
    return SettingsFromRegisters(regs_.data(), sensor_.data(), config_.unityExposure);
}

std::vector<uint8_t> Camera::Table(uint8_t select) const
{
    std::lock_guard lock(mutex_);
    return tables_[select];
}

std::vector<LoggedMessage> Camera::Messages() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

void Camera::ClearMessages()
{
    std::lock_guard lock(mutex_);
    log_.clear();
}

bool Camera::Configured() const
{
    std::lock_guard lock(mutex_);
    return configured_;
}

uint8_t Camera::AlternateSetting() const
{
    std::lock_guard lock(mutex_);
    return alternate_;
}

bool Camera::VideoOn() const
{
    std::lock_guard lock(mutex_);
    return VideoOnLocked();
}

uint64_t Camera::FramesStarted() const
{
    std::lock_guard lock(mutex_);
    return framesStarted_;
}

std::vector<uint8_t> Camera::LastFrame() const
{
    std::lock_guard lock(mutex_);
    return lastFrame_;
}

std::vector<uint8_t> Camera::LastFramePicture() const
{
    std::lock_guard lock(mutex_);
    return frames_->Picture();
}

std::vector<StoredPicture> Camera::StoredPictures() const
{
    std::lock_guard lock(mutex_);
    return still_->Pictures();
}

bool Camera::AddStoredPicture(std::vector<uint8_t> jpeg)
{
    std::lock_guard lock(mutex_);
    return still_->AddPicture(std::move(jpeg));
}

std::vector<uint8_t> Camera::Memory(size_t address, size_t length) const
{
    std::lock_guard lock(mutex_);
    const auto memory = still_->Memory();
    if (address >= memory.size()) return {};
    length = std::min(length, memory.size() - address);
    return {memory.begin() + address, memory.begin() + address + length};
}

std::vector<uint8_t> Camera::PortBytes(size_t address, size_t length) const
{
    std::lock_guard lock(mutex_);
    const auto port = still_->Port();
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i) out[i] = port[(address + i) % port.size()];
    return out;
}

std::vector<uint8_t> Camera::LastCommand() const
{
    std::lock_guard lock(mutex_);
    return still_->LastCommand();
}

size_t Camera::MemoryBytesReceived() const
{
    std::lock_guard lock(mutex_);
    return memoryBytes_;
}

// ---- Faults -------------------------------------------------------------------------------

void Camera::StallEndpoint(uint8_t endpoint)
{
    std::lock_guard lock(mutex_);
    stalled_[endpoint] = true;
}

void Camera::SilenceEndpoint(uint8_t endpoint, bool silent)
{
    std::lock_guard lock(mutex_);
    silent_[endpoint] = silent;
}

void Camera::InjectIsoFault(UsbIsoOutcome outcome, uint32_t packets)
{
    std::lock_guard lock(mutex_);
    isoFault_ = outcome;
    isoFaultPackets_ = packets;
}

void Camera::InjectFrameFault(FrameFault fault, uint32_t frames)
{
    std::lock_guard lock(mutex_);
    frameFaults_.insert(frameFaults_.end(), frames, fault);
}

void Camera::ClearFaults()
{
    std::lock_guard lock(mutex_);
    stalled_.fill(false);
    silent_.fill(false);
    isoFaultPackets_ = 0;
    frameFaults_.clear();
}

void Camera::Unplug()
{
    {
        std::lock_guard lock(mutex_);
        plugged_ = false;
        configured_ = false;
        AbandonFrameLocked();
    }
    if (config_.onUnplug) config_.onUnplug();
}

void Camera::Replug()
{
    std::lock_guard lock(mutex_);
    plugged_ = true;
    configured_ = false;
    alternate_ = 0;
    stalled_.fill(false);
    ResetBridgeLocked();
}

bool Camera::Plugged() const
{
    std::lock_guard lock(mutex_);
    return plugged_;
}

}  // namespace nimbra::camsim
