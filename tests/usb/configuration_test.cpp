// USB configuration against the simulated camera: packet sizes per alternate setting, the
// choice of the streaming alternate setting, bad descriptors, short pipe lists, the bound of a
// synchronous request, and the bridge messages on the wire.
#include <gtest/gtest.h>

#include "tests/support/stack_fixture.h"
#include "tests/support/stream_helpers.h"
#include "usb/bridge_state.h"
#include "usb/capture_device.h"

namespace nimbra::test {
namespace {

using ConfigurationTest = StackTest;

struct AlternateCase {
    const char* name;
    std::vector<uint16_t> packetSizes;
    std::vector<uint8_t> attributes;
    std::vector<uint8_t> refused;
    ULONG expectedSlot8;
    UCHAR expectedAlternate;
    bool expectedIsochronous;
};

class AlternateChoiceTest : public StackTest, public ::testing::WithParamInterface<AlternateCase> {};

TEST_P(AlternateChoiceTest, StreamsOnTheAlternateTheRuleChooses)
{
    const AlternateCase& c = GetParam();
    camsim::CameraConfig camera;
    camera.isoPacketSizes = c.packetSizes;
    camera.isoAttributes = c.attributes;
    camera.refusedAlternates = c.refused;
    ASSERT_EQ(Start(camera), STATUS_SUCCESS);
    CaptureDevice* device = Session()->captureDevice;
    EXPECT_EQ(device->packetSizeByAlternate[8], c.expectedSlot8);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 160, 120), STATUS_SUCCESS);
    EXPECT_EQ(Camera().AlternateSetting(), c.expectedAlternate);
    EXPECT_EQ(static_cast<bool>(device->isochronousMode.load()), c.expectedIsochronous);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AlternateChoiceTest,
    ::testing::Values(
        AlternateCase{"default", {0, 128, 256, 384, 512, 680, 800, 900, 1023}, {}, {}, 1023, 8, true},
        // Alternates 0..7 only: entry 8 stays 0; the best even entry is 800 at 6.
        AlternateCase{"eight", {0, 128, 256, 384, 512, 680, 800, 900}, {}, {}, 0, 6, true},
        // The overall maximum at an odd entry does not count: 512 at entry 2, then 2, 1, 0.
        AlternateCase{"odd", {0, 1023, 512}, {}, {}, 0, 2, true},
        AlternateCase{"oddRefused", {0, 1023, 512}, {}, {2}, 0, 1, true},
        // Only bmAttributes exactly 1 is recorded: 0x05 on alternate 8 leaves it 0.
        AlternateCase{"async", {0, 128, 256, 384, 512, 680, 800, 900, 1023}, {1, 1, 1, 1, 1, 1, 1, 1, 5}, {}, 0, 6,
                      true},
        // Every isochronous alternate refused: bulk video on alternate 0.
        AlternateCase{"bulk", {0, 128, 256, 384, 512, 680, 800, 900, 1023}, {}, {1, 2, 3, 4, 5, 6, 7, 8}, 1023, 0,
                      false}),
    [](const auto& info) { return std::string(info.param.name); });

// A configuration descriptor: interface 0 alternate 0 with the given endpoints.
std::vector<uint8_t> RawConfiguration(std::vector<std::vector<uint8_t>> endpoints, int totalLengthDelta = 0)
{
    std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    std::vector<uint8_t> iface = {9, 4, 0, 0, static_cast<uint8_t>(endpoints.size()), 0xFF, 0, 0, 0};
    d.insert(d.end(), iface.begin(), iface.end());
    for (const auto& e : endpoints) d.insert(d.end(), e.begin(), e.end());
    const size_t total = d.size() + totalLengthDelta;
    d[2] = static_cast<uint8_t>(total);
    d[3] = static_cast<uint8_t>(total >> 8);
    return d;
}

TEST_F(ConfigurationTest, InconsistentDescriptorsAreParsedWithinTheirBounds)
{
    const std::vector<uint8_t> iso = {7, 5, 0x81, 1, 0x00, 0x04, 1};
    const std::vector<uint8_t> zeroLength = {0, 5, 0x82, 2, 0x40, 0x00, 0};
    const std::vector<std::vector<uint8_t>> descriptors = {
        RawConfiguration({iso, zeroLength}),     // bLength 0 in the middle
        RawConfiguration({iso}, 40),             // wTotalLength past the bytes the camera has
        RawConfiguration({{7, 5, 0x81, 1}}, 0),  // an endpoint cut short by the end
    };
    for (const auto& raw : descriptors) {
        camsim::CameraConfig camera;
        camera.rawConfigDescriptor = raw;
        const NTSTATUS status = Start(camera);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_IO_DEVICE_ERROR) << host::StatusText(status);
        stack_->Stop();
        stack_.reset();
    }
}

TEST_F(ConfigurationTest, ASettingWithFewerPipesIsNeverIndexedPastItsList)
{
    camsim::CameraConfig camera;
    camera.rawConfigDescriptor = RawConfiguration({{7, 5, 0x81, 1, 0x00, 0x04, 1}, {7, 5, 0x82, 2, 0x40, 0x00, 0}});
    ASSERT_EQ(Start(camera), STATUS_SUCCESS);
    BridgeState* bridge = Session()->bridgeState;
    ASSERT_EQ(AllocateBridgeBuffers(bridge), STATUS_SUCCESS);
    const UCHAR value = 1;
    EXPECT_EQ(WriteBridgeRegisters(bridge, &value, 0x22, 1), STATUS_INVALID_DEVICE_REQUEST);
    UCHAR read = 0;
    EXPECT_EQ(ReadBridgeRegister(bridge, &read), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(InterfacePipeHandle(Session()->captureDevice, PIPE_MEMORY_WRITE), nullptr);
}

TEST_F(ConfigurationTest, ARequestThatNeverCompletesIsWithdrawnBeforeTheTimeOut)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    BridgeState* bridge = Session()->bridgeState;
    ASSERT_EQ(AllocateBridgeBuffers(bridge), STATUS_SUCCESS);
    const size_t irpsBefore = host::LiveIrpCount();
    Stack().Bus().SetEndpointUnresponsive(camsim::kEpMessages, true);
    const LONGLONG before = host::HostTimeNow();
    const UCHAR value = 7;
    EXPECT_EQ(WriteBridgeRegisters(bridge, &value, 0x22, 1), STATUS_TIMEOUT);
    EXPECT_GE(host::HostTimeNow() - before, 15000000LL);
    // Its completion has come back: nothing is left in the bus or the I/O manager.
    EXPECT_EQ(Stack().Bus().PendingCount(), 0u);
    EXPECT_EQ(host::LiveIrpCount(), irpsBefore);
    Stack().Bus().SetEndpointUnresponsive(camsim::kEpMessages, false);
}

TEST_F(ConfigurationTest, BridgeOperationsPutExactlyTheirBytesOnTheWire)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    BridgeState* bridge = Session()->bridgeState;
    // Before the buffers exist: silent no-ops.
    const UCHAR values[3] = {0x2F, 0x20, 0x42};
    Camera().ClearMessages();
    EXPECT_EQ(WriteBridgeRegisters(bridge, values, 0x69, 3), STATUS_SUCCESS);
    EXPECT_EQ(SendBridgeCommand(bridge, values, 2), 3);
    EXPECT_TRUE(Camera().Messages().empty());

    ASSERT_EQ(AllocateBridgeBuffers(bridge), STATUS_SUCCESS);
    EXPECT_EQ(WriteBridgeRegisters(bridge, values, 0x69, 3), STATUS_SUCCESS);
    const UCHAR sensorValue = 0x30;
    EXPECT_EQ(WriteSensorRegister(bridge, &sensorValue, 11), STATUS_SUCCESS);
    EXPECT_EQ(sensorWriteBusy.load(), 0);
    const UCHAR reg22 = 0x5A;
    EXPECT_EQ(WriteBridgeRegisters(bridge, &reg22, 0x22, 1), STATUS_SUCCESS);
    UCHAR read = 0;
    EXPECT_EQ(ReadBridgeRegister(bridge, &read), STATUS_SUCCESS);
    EXPECT_EQ(read, 0x5A);
    const auto messages = Camera().Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].bytes, (std::vector<uint8_t>{0x69, 0x2F, 0x20, 0x42}));
    EXPECT_EQ(messages[1].bytes, (std::vector<uint8_t>{0x1F, 0x00, 0x0B, 0x30}));
    EXPECT_EQ(messages[2].bytes, (std::vector<uint8_t>{0x22, 0x5A}));
    EXPECT_EQ(messages[3].bytes, (std::vector<uint8_t>{0x22}));
    EXPECT_EQ(Camera().SensorRegister(11), 0x30);
    UCHAR tooMany[16] = {};
    EXPECT_EQ(WriteBridgeRegisters(bridge, tooMany, 0x00, 16), STATUS_INVALID_PARAMETER);

    // A closing device: commands and reads leave the bus untouched.
    Camera().ClearMessages();
    Adapter()->closing.store(TRUE);
    EXPECT_EQ(SendBridgeCommand(bridge, values, 2), STATUS_FILE_CLOSED);
    EXPECT_EQ(ReadBridgeRegister(bridge, &read), STATUS_FILE_CLOSED);
    EXPECT_TRUE(Camera().Messages().empty());
    Adapter()->closing.store(FALSE);
}

}  // namespace
}  // namespace nimbra::test
