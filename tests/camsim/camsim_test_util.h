// Talking to the simulated camera the way a host does, straight through its device-model
// interface: standard requests, bridge messages on pipe 3, replies on pipe 2, packets on pipe 0.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "host/camsim/camera.h"
#include "host/camsim/frame_format.h"
#include "host/camsim/header_template.h"
#include "platform/usb_bus.h"

namespace nimbra::camsim::test {

using host::UsbHandshake;
using host::UsbIsoOutcome;
using host::UsbSetupPacket;

inline UsbHandshake Control(Camera& camera, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                            std::vector<uint8_t>* in = nullptr, uint16_t length = 0)
{
    std::vector<uint8_t> scratch(length);
    std::vector<uint8_t>& data = in ? *in : scratch;
    data.resize(length);
    size_t actual = 0;
    const UsbHandshake result = camera.HandleControl({type, request, value, index, length}, data, &actual);
    data.resize(actual);
    return result;
}

inline void Configure(Camera& camera, uint8_t alternate)
{
    ASSERT_EQ(Control(camera, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0), UsbHandshake::Ack);
    ASSERT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, alternate, 0), UsbHandshake::Ack);
}

inline void Send(Camera& camera, std::vector<uint8_t> message)
{
    ASSERT_EQ(camera.HandleDataOut(kEpMessages, message), UsbHandshake::Ack);
}

// A register query: the one-byte selection (unless reg is 0xFF), then one reply.
inline uint8_t Query(Camera& camera, uint8_t reg)
{
    if (reg != 0xFF) Send(camera, {reg});
    uint8_t reply[16];
    size_t actual = 0;
    EXPECT_EQ(camera.HandleDataIn(kEpReply, reply, &actual), UsbHandshake::Ack);
    EXPECT_EQ(actual, 16u);
    return reply[0];
}

inline void StartVideo(Camera& camera)
{
    Send(camera, {0x01, 0x01});
    Send(camera, {0x00, 0x4D});
}

struct Packet {
    UsbIsoOutcome outcome;
    std::vector<uint8_t> data;
};

inline std::vector<Packet> PullPackets(Camera& camera, size_t count, size_t packetSize, uint64_t firstFrame = 0)
{
    std::vector<Packet> packets;
    std::vector<uint8_t> buffer(packetSize);
    for (size_t i = 0; i < count; ++i) {
        camera.OnBusFrame(firstFrame + i);
        size_t actual = 0;
        const UsbIsoOutcome outcome = camera.HandleIsoIn(kEpVideoIso, firstFrame + i, buffer, &actual);
        packets.push_back({outcome, std::vector<uint8_t>(buffer.begin(), buffer.begin() + actual)});
    }
    return packets;
}

// Frames found again by a plain scan: a marker starts a frame; the frame runs to the next
// marker. Markers must lie wholly in one packet.
inline std::vector<std::vector<uint8_t>> ScanFrames(const std::vector<Packet>& packets, bool bulk = false)
{
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> current;
    bool inFrame = false;
    for (const Packet& p : packets) {
        const std::span<const uint8_t> d = p.data;
        size_t from = 0;
        for (;;) {
            const size_t at = FindFrameMarker(d, from, bulk);
            if (at == d.size()) {
                if (inFrame) current.insert(current.end(), d.begin() + from, d.end());
                break;
            }
            if (inFrame) {
                current.insert(current.end(), d.begin() + from, d.begin() + at);
                frames.push_back(current);
            }
            current.clear();
            inFrame = true;
            from = at + kMarkerSize;
        }
    }
    return frames;
}

// Template + entropy-coded data, decoded by libjpeg.
inline bool DecodeCameraFrame(const std::vector<uint8_t>& frame, RgbImage& image)
{
    if (frame.size() <= kFrameHeaderSize) return false;
    const auto header = CameraHeaderTemplate();
    std::vector<uint8_t> jpeg(header.begin(), header.end());
    jpeg.insert(jpeg.end(), frame.begin() + kFrameHeaderSize, frame.end());
    return DecodeJpeg(jpeg, image);
}

inline double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    const double mse = sum / a.size();
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

inline double MeanGreen(const std::vector<uint8_t>& rgb)
{
    double sum = 0;
    for (size_t i = 1; i < rgb.size(); i += 3) sum += rgb[i];
    return rgb.empty() ? 0 : sum / (rgb.size() / 3);
}

inline bool ContainsMarker(const std::vector<uint8_t>& bytes)
{
    return FindFrameMarker(bytes, 0, true) != bytes.size();
}

}  // namespace nimbra::camsim::test
