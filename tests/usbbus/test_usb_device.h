// A small device for the bus tests: one configuration, interface 0 with four alternate
// settings (bulk IN 0x81, bulk OUT 0x02, isochronous IN 0x83 with packet sizes 0, 256, 512,
// and in setting 3 also an interrupt IN 0x84), setting 2 refused with a STALL. Bulk IN replies
// are queued by the test (NAK while none is queued); isochronous packets carry the frame
// number's low byte. Everything it sees is logged for the tests to read.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "host/usbbus/usb_device_model.h"

namespace nimbra::host::test {

class TestUsbDevice : public UsbDeviceModel {
public:
    TestUsbDevice();

    UsbHandshake HandleControl(const UsbSetupPacket& setup, std::span<uint8_t> data, size_t* actual) override;
    UsbHandshake HandleDataOut(uint8_t endpoint, std::span<const uint8_t> data) override;
    UsbHandshake HandleDataIn(uint8_t endpoint, std::span<uint8_t> buffer, size_t* actual) override;
    UsbIsoOutcome HandleIsoIn(uint8_t endpoint, uint64_t busFrame, std::span<uint8_t> packet, size_t* actual) override;
    void OnBusFrame(uint64_t busFrame) override;
    void OnBusReset() override;

    // The next bulk IN transfer on 0x81 gets these bytes.
    void QueueReply(std::vector<uint8_t> reply);
    // Bytes per isochronous packet (clipped to the slot); default: the whole slot.
    void SetIsoLength(size_t length);

    const std::vector<uint8_t>& DeviceDescriptor() const { return device_; }
    const std::vector<uint8_t>& ConfigurationDescriptor() const { return config_; }

    std::vector<UsbSetupPacket> Setups() const;
    std::vector<std::vector<uint8_t>> Received() const;
    std::vector<uint64_t> IsoFrames() const;
    uint32_t Resets() const;
    uint8_t Configuration() const;
    uint8_t Alternate() const;

private:
    std::vector<uint8_t> device_;
    std::vector<uint8_t> config_;
    mutable std::mutex lock_;  // guards everything below
    std::deque<std::vector<uint8_t>> replies_;
    size_t isoLength_ = SIZE_MAX;
    std::vector<UsbSetupPacket> setups_;
    std::vector<std::vector<uint8_t>> received_;
    std::vector<uint64_t> isoFrames_;
    uint32_t resets_ = 0;
    uint8_t configuration_ = 0;
    uint8_t alternate_ = 0;
};

}  // namespace nimbra::host::test
