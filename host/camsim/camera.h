// The simulated camera on the USB bus: a device model that speaks only USB. Behind it: the
// bridge register file written by messages on pipe 3 and read back on pipe 2, the sensor
// registers behind the bridge, the video frames on pipe 0 (isochronous) or pipe 1 (bulk, on
// alternate setting 0), and the still camera. Tests inspect it and inject faults through the
// methods below. Thread-safe: one lock guards all of its state.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/camsim/camera_config.h"
#include "host/camsim/frame_source.h"
#include "host/camsim/picture.h"
#include "host/camsim/still_camera.h"
#include "host/usbbus/usb_device_model.h"

namespace nimbra::camsim {

// Bridge registers with a meaning of their own.
enum BridgeRegister : uint8_t {
    kRegMode = 0x00,        // 0x4D stream video; 0x02/0x22 memory write; 0x2A/0x28 port read/write
    kRegEnable = 0x01,      // bit 0: bridge on
    kRegWidth8 = 0x02,      // picture width ÷ 8 (kept)
    kRegHeight8 = 0x03,     // picture height ÷ 8 (kept)
    kRegGamma = 0x06,       // bits 6..7: gamma code
    kRegMemAddress = 0x0C,  // 0x0C..0x0E: memory address ÷ 8
    kRegPortAddress = 0x0F, // data port address ÷ 4
    kRegCommand = 0x19,     // command bytes in, reply out
    kRegPort = 0x1F,        // data port; also the sensor write message 1F 00 reg value
    kRegMemDone = 0x20,     // bit 0: memory write complete
    kRegStatus = 0x21,      // bit 0: taking a command byte; bit 3: no reply pending
    kRegUser = 0x22,        // plain read/write register
    kRegMemLength = 0x24,   // 0x24..0x26: memory write length in bytes
    kRegSaturationLow = 0x5F,
    kRegSaturationHigh = 0x60,
    kRegBrightness = 0x61,
    kRegTableSelect = 0x63,
    kRegTablePort = 0x64,
    kRegSharpness = 0x67,
    kRegColour = 0x69,      // 0x69..0x6B colour block
};
enum BridgeMode : uint8_t {
    kModeIdle = 0x00,
    kModeMemorySetup = 0x02,
    kModeMemoryData = 0x22,
    kModePortWrite = 0x28,
    kModePortRead = 0x2A,
    kModeStream = 0x4D,
};

struct LoggedMessage {
    int64_t time;                // config.clock at arrival
    std::vector<uint8_t> bytes;  // the whole pipe-3 transfer
};

enum class FrameFault {
    CutShort,  // only the first half of the entropy-coded data is sent
    Corrupt,   // bytes inside the entropy-coded data are replaced (never by 0xFF)
    Oversize,  // zero bytes follow EOI until the frame is 320,000 bytes long
};

class Camera : public host::UsbDeviceModel {
public:
    // Throws std::runtime_error when the scene or a picture file cannot be loaded.
    explicit Camera(CameraConfig config = {});
    ~Camera() override;

    // ---- USB --------------------------------------------------------------------------------
    host::UsbHandshake HandleControl(const host::UsbSetupPacket& setup, std::span<uint8_t> data,
                                     size_t* actual) override;
    host::UsbHandshake HandleDataOut(uint8_t endpoint, std::span<const uint8_t> data) override;
    host::UsbHandshake HandleDataIn(uint8_t endpoint, std::span<uint8_t> buffer, size_t* actual) override;
    host::UsbIsoOutcome HandleIsoIn(uint8_t endpoint, uint64_t busFrame, std::span<uint8_t> packet,
                                    size_t* actual) override;
    void OnBusFrame(uint64_t busFrame) override;
    void OnBusReset() override;

    // ---- Inspection -------------------------------------------------------------------------
    const CameraConfig& Config() const { return config_; }
    std::vector<uint8_t> ConfigurationDescriptor() const;
    uint8_t Register(uint8_t reg) const;
    std::array<uint8_t, 256> Registers() const;
    uint8_t SensorRegister(uint8_t reg) const;
    uint16_t Exposure() const;
    PictureSettings Settings() const;
    std::vector<uint8_t> Table(uint8_t select) const;  // bytes written to 0x64 after 0x63 = select
    std::vector<LoggedMessage> Messages() const;
    void ClearMessages();
    bool Configured() const;
    uint8_t AlternateSetting() const;
    bool VideoOn() const;  // enabled, mode 0x4D, configured
    uint64_t FramesStarted() const;
    // The last frame started: its bytes between the markers, and the picture it encodes
    // (turned, RGB) before JPEG loss.
    std::vector<uint8_t> LastFrame() const;
    std::vector<uint8_t> LastFramePicture() const;
    std::vector<StoredPicture> StoredPictures() const;
    bool AddStoredPicture(std::vector<uint8_t> jpeg);
    std::vector<uint8_t> Memory(size_t address, size_t length) const;
    std::vector<uint8_t> PortBytes(size_t address, size_t length) const;
    std::vector<uint8_t> LastCommand() const;
    size_t MemoryBytesReceived() const;

    // ---- Faults -----------------------------------------------------------------------------
    // The endpoint STALLs every transfer until CLEAR_FEATURE(ENDPOINT_HALT) or ClearFaults
    // (the isochronous endpoint answers with packets in error instead). Endpoint 0: control.
    void StallEndpoint(uint8_t endpoint);
    // The endpoint stops answering: NAK for ever (isochronous: packets lost) until unset.
    void SilenceEndpoint(uint8_t endpoint, bool silent = true);
    // The next `packets` isochronous packets come with this outcome (Error: data delivered,
    // marked in error; Lost: the data is gone).
    void InjectIsoFault(host::UsbIsoOutcome outcome, uint32_t packets);
    // The next `frames` frames carry this fault.
    void InjectFrameFault(FrameFault fault, uint32_t frames = 1);
    void ClearFaults();
    // The camera leaves the bus: nothing is answered (NAK; isochronous packets lost) until
    // Replug, which brings it back unconfigured. Calls config.onUnplug.
    void Unplug();
    void Replug();
    bool Plugged() const;

private:
    void ResetBridgeLocked();
    void WriteRegisterLocked(uint8_t reg, uint8_t value);
    uint8_t ReadRegisterLocked(uint8_t reg);
    void HandleMessageLocked(std::span<const uint8_t> message);
    bool VideoOnLocked() const;
    void AbandonFrameLocked();
    void StartFrameLocked(bool bulk);
    bool EndpointExists(uint8_t endpoint) const;
    std::optional<host::UsbHandshake> EndpointFaultLocked(uint8_t endpoint) const;

    const CameraConfig config_;
    const std::array<uint8_t, 18> deviceDescriptor_;
    const std::vector<uint8_t> configDescriptor_;

    mutable std::mutex mutex_;  // guards everything below
    bool plugged_ = true;
    bool configured_ = false;
    uint8_t alternate_ = 0;
    std::array<uint8_t, 256> regs_{};
    std::array<uint8_t, 256> sensor_{};
    std::array<std::vector<uint8_t>, 256> tables_;
    uint8_t selected_ = 0;  // register the next reply on pipe 2 carries
    std::vector<LoggedMessage> log_;

    std::unique_ptr<FrameSource> frames_;
    std::vector<uint8_t> wire_;  // marker + frame being sent
    size_t wirePos_ = 0;
    uint64_t framesStarted_ = 0;
    uint64_t busFrame_ = 0;
    uint64_t nextFrameAllowed_ = 0;
    std::vector<uint8_t> lastFrame_;

    std::unique_ptr<StillCamera> still_;
    size_t memoryBytes_ = 0;

    std::array<bool, 256> stalled_{};
    std::array<bool, 256> silent_{};
    host::UsbIsoOutcome isoFault_ = host::UsbIsoOutcome::Data;
    uint32_t isoFaultPackets_ = 0;
    std::vector<FrameFault> frameFaults_;
};

}  // namespace nimbra::camsim
