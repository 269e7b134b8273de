#include "tests/usbbus/test_usb_device.h"

#include <algorithm>
#include <cstring>

#include "platform/usb_bus.h"

namespace nimbra::host::test {

namespace {

void AddInterface(std::vector<uint8_t>& out, uint8_t alternate, uint8_t endpoints)
{
    const uint8_t interface[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, alternate, endpoints, 0xFF, 0x01, 0x02, 0};
    out.insert(out.end(), interface, interface + 9);
}

void AddEndpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t attributes, uint16_t packetSize, uint8_t interval)
{
    const uint8_t endpoint[7] = {7,          USB_ENDPOINT_DESCRIPTOR_TYPE,   address, attributes,
                                 static_cast<uint8_t>(packetSize), static_cast<uint8_t>(packetSize >> 8), interval};
    out.insert(out.end(), endpoint, endpoint + 7);
}

}  // namespace

TestUsbDevice::TestUsbDevice()
{
    device_ = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x10, 0x01, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
    config_ = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
    const uint16_t isoSizes[4] = {0, 256, 512, 512};
    for (uint8_t alternate = 0; alternate < 4; ++alternate) {
        AddInterface(config_, alternate, alternate == 3 ? 4 : 3);
        if (alternate == 1) {
            // A class-specific descriptor between interface and endpoints: parsers skip it.
            const uint8_t classSpecific[5] = {5, 0x24, 0x01, 0x02, 0x03};
            config_.insert(config_.end(), classSpecific, classSpecific + 5);
        }
        AddEndpoint(config_, 0x83, USB_ENDPOINT_TYPE_ISOCHRONOUS, isoSizes[alternate], 1);
        AddEndpoint(config_, 0x81, USB_ENDPOINT_TYPE_BULK, 64, 0);
        AddEndpoint(config_, 0x02, USB_ENDPOINT_TYPE_BULK, 64, 0);
        if (alternate == 3) AddEndpoint(config_, 0x84, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10);
    }
    config_[2] = static_cast<uint8_t>(config_.size());
    config_[3] = static_cast<uint8_t>(config_.size() >> 8);
}

UsbHandshake TestUsbDevice::HandleControl(const UsbSetupPacket& setup, std::span<uint8_t> data, size_t* actual)
{
    std::lock_guard guard(lock_);
    setups_.push_back(setup);
    *actual = 0;
    if (setup.bmRequestType == 0x80 && setup.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
        const std::vector<uint8_t>* source = nullptr;
        if (setup.wValue >> 8 == USB_DEVICE_DESCRIPTOR_TYPE) source = &device_;
        if (setup.wValue >> 8 == USB_CONFIGURATION_DESCRIPTOR_TYPE) source = &config_;
        if (source == nullptr || (setup.wValue & 0xFF) != 0) return UsbHandshake::Stall;
        *actual = std::min(source->size(), data.size());
        std::memcpy(data.data(), source->data(), *actual);
        return UsbHandshake::Ack;
    }
    if (setup.bmRequestType == 0x00 && setup.bRequest == USB_REQUEST_SET_CONFIGURATION) {
        if (setup.wValue > 1) return UsbHandshake::Stall;
        configuration_ = static_cast<uint8_t>(setup.wValue);
        alternate_ = 0;
        return UsbHandshake::Ack;
    }
    if (setup.bmRequestType == 0x01 && setup.bRequest == USB_REQUEST_SET_INTERFACE) {
        if (configuration_ == 0 || setup.wIndex != 0 || setup.wValue == 2 || setup.wValue > 3) return UsbHandshake::Stall;
        alternate_ = static_cast<uint8_t>(setup.wValue);
        return UsbHandshake::Ack;
    }
    if (setup.bmRequestType == 0x02 && setup.bRequest == USB_REQUEST_CLEAR_FEATURE && setup.wValue == 0) {
        return UsbHandshake::Ack;
    }
    return UsbHandshake::Stall;
}

UsbHandshake TestUsbDevice::HandleDataOut(uint8_t endpoint, std::span<const uint8_t> data)
{
    std::lock_guard guard(lock_);
    if (endpoint != 0x02) return UsbHandshake::Stall;
    received_.emplace_back(data.begin(), data.end());
    return UsbHandshake::Ack;
}

UsbHandshake TestUsbDevice::HandleDataIn(uint8_t endpoint, std::span<uint8_t> buffer, size_t* actual)
{
    std::lock_guard guard(lock_);
    if (endpoint != 0x81 && endpoint != 0x84) return UsbHandshake::Stall;
    if (endpoint == 0x84 || replies_.empty()) return UsbHandshake::Nak;
    std::vector<uint8_t> reply = std::move(replies_.front());
    replies_.pop_front();
    *actual = std::min(reply.size(), buffer.size());
    if (*actual != 0) std::memcpy(buffer.data(), reply.data(), *actual);
    return UsbHandshake::Ack;
}

UsbIsoOutcome TestUsbDevice::HandleIsoIn(uint8_t /*endpoint*/, uint64_t busFrame, std::span<uint8_t> packet,
                                         size_t* actual)
{
    std::lock_guard guard(lock_);
    isoFrames_.push_back(busFrame);
    *actual = std::min(isoLength_, packet.size());
    std::memset(packet.data(), static_cast<uint8_t>(busFrame), *actual);
    return UsbIsoOutcome::Data;
}

void TestUsbDevice::OnBusFrame(uint64_t /*busFrame*/) {}

void TestUsbDevice::OnBusReset()
{
    std::lock_guard guard(lock_);
    ++resets_;
    configuration_ = 0;
    alternate_ = 0;
}

void TestUsbDevice::QueueReply(std::vector<uint8_t> reply)
{
    std::lock_guard guard(lock_);
    replies_.push_back(std::move(reply));
}

void TestUsbDevice::SetIsoLength(size_t length)
{
    std::lock_guard guard(lock_);
    isoLength_ = length;
}

std::vector<UsbSetupPacket> TestUsbDevice::Setups() const
{
    std::lock_guard guard(lock_);
    return setups_;
}

std::vector<std::vector<uint8_t>> TestUsbDevice::Received() const
{
    std::lock_guard guard(lock_);
    return received_;
}

std::vector<uint64_t> TestUsbDevice::IsoFrames() const
{
    std::lock_guard guard(lock_);
    return isoFrames_;
}

uint32_t TestUsbDevice::Resets() const
{
    std::lock_guard guard(lock_);
    return resets_;
}

uint8_t TestUsbDevice::Configuration() const
{
    std::lock_guard guard(lock_);
    return configuration_;
}

uint8_t TestUsbDevice::Alternate() const
{
    std::lock_guard guard(lock_);
    return alternate_;
}

}  // namespace nimbra::host::test
