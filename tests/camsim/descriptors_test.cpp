// The USB face: descriptors, alternate settings, and the standard requests the bus sends.
#include <cstring>

#include "camsim_test_util.h"

namespace nimbra::camsim::test {
namespace {

struct ParsedAlternate {
    uint8_t alternate;
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

std::vector<ParsedAlternate> ParseInterfaceZero(const std::vector<uint8_t>& config)
{
    std::vector<ParsedAlternate> out;
    size_t i = 0;
    uint8_t currentInterface = 0xFF;
    while (i + 2 <= config.size() && config[i] >= 2) {
        if (config[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            currentInterface = config[i + 2];
            if (currentInterface == 0) out.push_back({config[i + 3], {}});
        } else if (config[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && currentInterface == 0) {
            USB_ENDPOINT_DESCRIPTOR ep;
            std::memcpy(&ep, &config[i], sizeof ep);
            out.back().endpoints.push_back(ep);
        }
        i += config[i];
    }
    return out;
}

std::vector<uint8_t> GetDescriptor(Camera& camera, uint8_t type, uint16_t length)
{
    std::vector<uint8_t> data;
    EXPECT_EQ(Control(camera, 0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(type << 8), 0, &data, length),
              UsbHandshake::Ack);
    return data;
}

TEST(Descriptors, DefaultCamera)
{
    Camera camera;
    const auto device = GetDescriptor(camera, USB_DEVICE_DESCRIPTOR_TYPE, 64);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[17], 1);  // one configuration
    EXPECT_EQ(device[8] | (device[9] << 8), kCameraVendorId);
    EXPECT_EQ(device[10] | (device[11] << 8), kCameraProductId);

    // The short read the host makes first returns only what it asked for.
    const auto head = GetDescriptor(camera, USB_CONFIGURATION_DESCRIPTOR_TYPE, 18);
    ASSERT_EQ(head.size(), 18u);
    const uint16_t total = head[2] | (head[3] << 8);
    EXPECT_EQ(total, 9 + 9 * (9 + 7 * 7));
    EXPECT_EQ(head[4], 1);  // one interface
    const auto config = GetDescriptor(camera, USB_CONFIGURATION_DESCRIPTOR_TYPE, total);
    ASSERT_EQ(config.size(), total);

    const auto alternates = ParseInterfaceZero(config);
    ASSERT_EQ(alternates.size(), 9u);
    const uint16_t sizes[9] = {0, 128, 256, 384, 512, 680, 800, 900, 1023};
    const uint8_t types[7] = {USB_ENDPOINT_TYPE_ISOCHRONOUS, USB_ENDPOINT_TYPE_BULK, USB_ENDPOINT_TYPE_BULK,
                              USB_ENDPOINT_TYPE_BULK,        USB_ENDPOINT_TYPE_INTERRUPT, USB_ENDPOINT_TYPE_BULK,
                              USB_ENDPOINT_TYPE_BULK};
    for (size_t a = 0; a < 9; ++a) {
        EXPECT_EQ(alternates[a].alternate, a);
        ASSERT_EQ(alternates[a].endpoints.size(), 7u);
        EXPECT_EQ(alternates[a].endpoints[0].wMaxPacketSize, sizes[a]);
        EXPECT_EQ(alternates[a].endpoints[0].bmAttributes, 0x01);
        for (size_t p = 0; p < 7; ++p) {
            EXPECT_EQ(alternates[a].endpoints[p].bEndpointAddress, kPipeEndpoints[p]);
            EXPECT_EQ(alternates[a].endpoints[p].bmAttributes & 3, types[p]);
            EXPECT_EQ((alternates[a].endpoints[p].bEndpointAddress & 0x80) != 0, p <= 2 || p == 4);
        }
    }
    EXPECT_EQ(Control(camera, 0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0301, 0, nullptr, 255), UsbHandshake::Stall);
}

TEST(Descriptors, ConfiguredShape)
{
    CameraConfig config;
    config.isoPacketSizes = {0, 1023, 512};
    config.isoAttributes = {0x01, 0x05};
    config.interfaceCount = 2;
    Camera camera(config);
    const auto alternates = ParseInterfaceZero(camera.ConfigurationDescriptor());
    ASSERT_EQ(alternates.size(), 3u);
    EXPECT_EQ(alternates[1].endpoints[0].wMaxPacketSize, 1023);
    EXPECT_EQ(alternates[1].endpoints[0].bmAttributes, 0x05);
    EXPECT_EQ(alternates[2].endpoints[0].bmAttributes, 0x01);
    EXPECT_EQ(camera.ConfigurationDescriptor()[4], 2);
    ASSERT_EQ(Control(camera, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0), UsbHandshake::Ack);
    EXPECT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, 0, 1), UsbHandshake::Ack);
    EXPECT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, 1, 1), UsbHandshake::Stall);
    EXPECT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, 3, 0), UsbHandshake::Stall);  // no alternate 3

    CameraConfig raw;
    raw.rawConfigDescriptor = {0x09, 0x02, 0xFF, 0xFF, 0x01, 0x01, 0x00, 0x80, 0x32, 0x04};
    Camera broken(raw);
    EXPECT_EQ(GetDescriptor(broken, USB_CONFIGURATION_DESCRIPTOR_TYPE, 255), raw.rawConfigDescriptor);
}

// SET_INTERFACE: refused alternates STALL and leave the setting as it was; interface requests
// before SET_CONFIGURATION STALL.
TEST(Descriptors, AlternateSelection)
{
    CameraConfig config;
    config.refusedAlternates = {8, 7, 3};
    Camera camera(config);
    EXPECT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, 1, 0), UsbHandshake::Stall);
    ASSERT_EQ(Control(camera, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0), UsbHandshake::Ack);
    EXPECT_TRUE(camera.Configured());
    for (uint16_t alt = 0; alt < 10; ++alt) {
        const bool refused = alt == 8 || alt == 7 || alt == 3 || alt == 9;
        ASSERT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, 2, 0), UsbHandshake::Ack);
        EXPECT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, alt, 0),
                  refused ? UsbHandshake::Stall : UsbHandshake::Ack)
            << alt;
        EXPECT_EQ(camera.AlternateSetting(), refused ? 2 : alt);
    }
    ASSERT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, 6, 0), UsbHandshake::Ack);
    std::vector<uint8_t> got;
    EXPECT_EQ(Control(camera, 0x81, 0x0A, 0, 0, &got, 1), UsbHandshake::Ack);
    EXPECT_EQ(got, std::vector<uint8_t>{6});
    // Class and vendor requests are not taken.
    EXPECT_EQ(Control(camera, 0x40, 0x01, 0, 0), UsbHandshake::Stall);
    EXPECT_EQ(Control(camera, 0xC0, 0x01, 0, 0, nullptr, 1), UsbHandshake::Stall);
    // Bus reset: unconfigured again, registers back to power-up.
    Send(camera, {0x22, 0x11});
    camera.OnBusReset();
    EXPECT_FALSE(camera.Configured());
    EXPECT_EQ(camera.Register(0x22), 0);
}

TEST(Descriptors, EveryAlternateRefused)
{
    CameraConfig config;
    config.refusedAlternates = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    Camera camera(config);
    ASSERT_EQ(Control(camera, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0), UsbHandshake::Ack);
    for (uint16_t alt = 0; alt < 9; ++alt)
        EXPECT_EQ(Control(camera, 0x01, USB_REQUEST_SET_INTERFACE, alt, 0), UsbHandshake::Stall);
}

}  // namespace
}  // namespace nimbra::camsim::test
