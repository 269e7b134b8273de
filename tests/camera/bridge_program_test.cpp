// The bridge and sensor programs, the bridge start-up and the picture adjustment, checked
// against the messages the simulated camera received over the USB bus stand-in.
#include <numeric>

#include "camera/bridge_program.h"
#include "camera/bridge_startup.h"
#include "camera/picture_registers.h"
#include "tests/camera/camera_fixture.h"

namespace nimbra::test {
namespace {

using Message = std::vector<uint8_t>;

class BridgeProgramTest : public CameraFixture {
protected:
    void SetUp() override
    {
        CameraFixture::SetUp();
        bridge_.brightness = 15;
        bridge_.saturation = 200;
        bridge_.sharpness = 1;
        bridge_.gamma = 1;
        model_.mode = EXPOSURE_MODE_VIDEO;
        UpdateExposureModel(&model_);  // 60 Hz: exposure 327
    }
};

std::vector<Message> ExpectedBridgeProgram()
{
    std::vector<Message> m = {
        {0x00, 0x0D, 0x01, 0x50, 0x3C, 0x30, 0x02, 0x40, 0x01, 0x52, 0x18},
        {0x23, 0x09},
        {0x3C, 0x32},
        {0x5E, 0x00, 0x40, 0x34, 0x0F, 0x00},
        {0x67, 0x07, 0x14},
        {0x69, 0x2F, 0x20, 0x42},
        {0x63, 0x07},
    };
    for (USHORT v : BridgeTableA) {
        m.push_back({0x64, static_cast<uint8_t>(v & 0xFF)});
        m.push_back({0x64, static_cast<uint8_t>(v >> 8)});
    }
    m.push_back({0x63, 0x05});
    for (USHORT v : BridgeTableB) {
        m.push_back({0x64, static_cast<uint8_t>(v & 0xFF)});
        m.push_back({0x64, static_cast<uint8_t>(v >> 8)});
    }
    return m;
}

TEST(BridgeTables, MatchTheirSumsAndExamples)
{
    EXPECT_EQ(std::accumulate(std::begin(BridgeTableA), std::end(BridgeTableA), 0), 13110);
    EXPECT_EQ(BridgeTableA[0], 409);
    EXPECT_EQ(BridgeTableA[5], 682);
    EXPECT_EQ(BridgeTableA[63], 69);
    EXPECT_EQ(std::accumulate(std::begin(BridgeTableB), std::end(BridgeTableB), 0), 6699);
    const USHORT firstB[16] = {409, 372, 372, 292, 315, 292, 146, 256, 256, 146, 69, 102, 120, 102, 69, 69};
    for (int i = 0; i < 64; ++i) EXPECT_EQ(BridgeTableB[i], i < 16 ? firstB[i] : 69) << i;
    // Sensor registers 1..32, with the exposure placeholders at 3 and 4.
    EXPECT_EQ(std::accumulate(std::begin(SensorProgram), std::end(SensorProgram), 0),
              0x48 + 0x22 + 0x10 + 0x01 + 0x30 + 0x01 + 0x30 + 0x01 + 0x30 + 0x01 + 0x30 + 0x04 + 0x06 + 0x01 +
                  0xE2 + 0x02 + 0x82 + 0x20 + 0x17 + 0x80 + 0x08 + 0x0C);
}

TEST(PictureRegisters, EncodeAsTheRegistersExpect)
{
    EXPECT_EQ(EncodeBrightness(0), 0x1E);
    EXPECT_EQ(EncodeBrightness(30), 0x00);
    EXPECT_EQ(EncodeBrightness(31), 0xFF);  // modulo 256
    UCHAR sat[2];
    EncodeSaturation(200, 4, sat);
    EXPECT_EQ(sat[0], 0x40);
    EXPECT_EQ(sat[1], 0x34);
    EncodeSaturation(255, 4, sat);
    EXPECT_EQ(sat[0], 0xF8);
    EXPECT_EQ(sat[1], 0x3C);
    EXPECT_EQ(EncodeSharpness(1, 3), 0x07);
    EXPECT_EQ(EncodeSharpness(2, 3), 0x0B);
    const UCHAR gammaBytes[4] = {0x00, 0x40, 0xC0, 0x80};
    for (UCHAR g = 0; g < 4; ++g) EXPECT_EQ(EncodeGamma(g, 0), gammaBytes[g]) << int(g);
}

TEST_F(BridgeProgramTest, StartBridgePutsTheWholeProgramOnTheWire)
{
    ASSERT_EQ(StartBridge(&bridge_), STATUS_SUCCESS);
    std::vector<Message> expected = {{0x01, 0x01}};
    for (const Message& m : ExpectedBridgeProgram()) expected.push_back(m);
    for (int reg = 1; reg <= 32; ++reg) {
        uint8_t value = SensorProgram[reg - 1];
        if (reg == 3) value = 327 >> 8;
        if (reg == 4) value = 327 & 0xFF;
        expected.push_back({0x1F, 0x00, static_cast<uint8_t>(reg), value});
    }
    EXPECT_EQ(TakeMessages(), expected);
    EXPECT_TRUE(bridge_.bridgeEnabled);
    EXPECT_EQ(bridge_.modeFlags, 0x42);
    EXPECT_EQ(camera_->Exposure(), 327);
    EXPECT_EQ(camera_->Table(0x07).size(), 128u);

    // A second start (run after pause) does not enable again but programs everything again.
    bridge_.gamma = 2;
    ASSERT_EQ(StartBridge(&bridge_), STATUS_SUCCESS);
    auto again = TakeMessages();
    ASSERT_EQ(again.size(), expected.size() - 1);
    EXPECT_EQ(again[0], (Message{0x00, 0x0D, 0x01, 0x50, 0x3C, 0x30, 0x02, 0xC0, 0x01, 0x52, 0x18}));
    EXPECT_EQ(again[5], (Message{0x69, 0x2F, 0x20, 0x42}));
    EXPECT_EQ(bridge_.appliedGamma, 2);
}

TEST_F(BridgeProgramTest, ClosingDeviceSendsNothingAndFailsTheStart)
{
    adapter_.closing = TRUE;
    EXPECT_EQ(ProgramBridge(&model_), STATUS_FILE_CLOSED);
    EXPECT_EQ(StartBridge(&bridge_), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(BridgeProgramTest, SensorProgramGivesUpWhenAnotherWriteIsUnderWay)
{
    sensorWriteBusy = 1;
    EXPECT_EQ(ProgramSensor(&model_), STATUS_SUCCESS);
    sensorWriteBusy = 0;
    EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(BridgeProgramTest, PictureAdjustmentWritesEachChangeOnceInOrder)
{
    ASSERT_EQ(StartBridge(&bridge_), STATUS_SUCCESS);
    TakeMessages();

    EXPECT_EQ(ApplyPictureSettings(&bridge_), STATUS_SUCCESS);  // nothing changed
    EXPECT_TRUE(TakeMessages().empty());

    bridge_.gamma = 3;
    bridge_.brightness = 0;
    bridge_.saturation = 200;  // unchanged
    bridge_.sharpness = 2;
    bridge_.settingsChanged = TRUE;
    EXPECT_EQ(ApplyPictureSettings(&bridge_), STATUS_SUCCESS);
    EXPECT_EQ(TakeMessages(), (std::vector<Message>{{0x61, 0x1E}, {0x67, 0x0B}, {0x06, 0x80}}));
    EXPECT_FALSE(bridge_.settingsChanged);

    // Changed and changed back before the next frame: no message.
    bridge_.saturation = 100;
    bridge_.saturation = 200;
    bridge_.settingsChanged = TRUE;
    EXPECT_EQ(ApplyPictureSettings(&bridge_), STATUS_SUCCESS);
    EXPECT_TRUE(TakeMessages().empty());

    // Closing: the setting is marked written, nothing is sent.
    adapter_.closing = TRUE;
    bridge_.saturation = 10;
    bridge_.settingsChanged = TRUE;
    EXPECT_EQ(ApplyPictureSettings(&bridge_), STATUS_FILE_CLOSED);
    EXPECT_EQ(bridge_.appliedSaturation, 10);
    EXPECT_TRUE(TakeMessages().empty());
}

}  // namespace
}  // namespace nimbra::test
