// Bridge messages in; register file, sensor registers, replies and the message log out.
#include "camsim_test_util.h"

namespace nimbra::camsim::test {
namespace {

struct RegisterCase {
    const char* name;
    std::vector<std::vector<uint8_t>> messages;
    std::vector<std::pair<uint8_t, uint8_t>> bridge;  // register, value afterwards
    std::vector<std::pair<uint8_t, uint8_t>> sensor;
    std::vector<uint8_t> replies;                     // bytes 0 of replies read after the messages
};

class Registers : public ::testing::TestWithParam<RegisterCase> {};

TEST_P(Registers, MessagesInRegistersOut)
{
    const RegisterCase& c = GetParam();
    Camera camera;
    Configure(camera, 0);
    for (const auto& m : c.messages) Send(camera, m);
    for (const auto& [reg, value] : c.bridge) EXPECT_EQ(camera.Register(reg), value) << "register " << int(reg);
    for (const auto& [reg, value] : c.sensor) EXPECT_EQ(camera.SensorRegister(reg), value) << "sensor " << int(reg);
    for (size_t i = 0; i < c.replies.size(); ++i) EXPECT_EQ(Query(camera, 0xFF), c.replies[i]) << "reply " << i;
}

const RegisterCase kRegisterCases[] = {
    {"start_streaming", {{0x01, 0x01}, {0x00, 0x4D}}, {{0x00, 0x4D}, {0x01, 0x01}}, {}, {}},
    {"disable", {{0x01, 0x01}, {0x01, 0x00}}, {{0x01, 0x00}}, {}, {}},
    // The bridge program's first message fills registers 0x00..0x09.
    {"program_block",
     {{0x00, 0x0D, 0x01, 0x50, 0x3C, 0x30, 0x02, 0x40, 0x01, 0x52, 0x18}},
     {{0x00, 0x0D}, {0x01, 0x01}, {0x02, 0x50}, {0x03, 0x3C}, {0x06, 0x40}, {0x09, 0x18}},
     {},
     {}},
    {"colour_block", {{0x69, 0x2F, 0x20, 0x42}}, {{0x69, 0x2F}, {0x6A, 0x20}, {0x6B, 0x42}}, {}, {}},
    {"picture_registers",
     {{0x5E, 0x00, 0x40, 0x34, 0x0F, 0x00}, {0x67, 0x07, 0x14}, {0x06, 0xC0}},
     {{0x5F, 0x40}, {0x60, 0x34}, {0x61, 0x0F}, {0x67, 0x07}, {0x68, 0x14}, {0x06, 0xC0}},
     {},
     {}},
    {"sensor_write", {{0x1F, 0x00, 0x0B, 0x30}}, {{0x1F, 0x00}}, {{0x0B, 0x30}}, {}},
    {"exposure", {{0x1F, 0x00, 0x03, 0x01}, {0x1F, 0x00, 0x04, 0x47}}, {}, {{0x03, 0x01}, {0x04, 0x47}}, {}},
    // Register 0x22 reads back what was written, for as many replies as are read.
    {"register_22", {{0x22, 0x5A}, {0x22}}, {{0x22, 0x5A}}, {}, {0x5A, 0x5A}},
    {"select_then_reply", {{0x61, 0x07}, {0x61}}, {}, {}, {0x07}},
    // In port-write mode 0x1F messages are data, even when they look like a sensor write.
    {"port_write",
     {{0x00, 0x28}, {0x0F, 0x02}, {0x1F, 0x00, 0x0B, 0x30}, {0x1F, 0x09}, {0x00, 0x00}, {0x00, 0x2A}, {0x1F}},
     {{0x00, 0x2A}},
     {{0x0B, 0x00}},
     {0x00, 0x0B, 0x30, 0x09, 0x00}},
    // Without port-read mode a 0x1F selection reads the plain register.
    {"port_select_outside_mode", {{0x1F}}, {}, {}, {0x00, 0x00}},
    // The status register: no command, no reply pending.
    {"status_idle", {{0x21}}, {}, {}, {0x08}},
    {"read_only_status", {{0x20, 0x55, 0x77}, {0x21}}, {{0x20, 0x00}}, {}, {0x08}},
};

INSTANTIATE_TEST_SUITE_P(Camsim, Registers, ::testing::ValuesIn(kRegisterCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The table port: each 0x63 selection restarts its table; 0x64 writes append to it.
TEST(Registers, TablePortCollectsTheProgram)
{
    Camera camera;
    Configure(camera, 0);
    Send(camera, {0x63, 0x07});
    for (int i = 0; i < 128; ++i) Send(camera, {0x64, static_cast<uint8_t>(i)});
    Send(camera, {0x63, 0x05});
    Send(camera, {0x64, 0xAA});
    ASSERT_EQ(camera.Table(7).size(), 128u);
    EXPECT_EQ(camera.Table(7)[127], 127);
    EXPECT_EQ(camera.Table(5), std::vector<uint8_t>{0xAA});
    Send(camera, {0x63, 0x07});
    EXPECT_TRUE(camera.Table(7).empty());
}

// Every pipe-3 message is logged whole with the clock's time.
TEST(Registers, MessageLogWithTimestamps)
{
    int64_t now = 1000;
    CameraConfig config;
    config.clock = [&now] { return now; };
    Camera camera(config);
    Configure(camera, 0);
    Send(camera, {0x01, 0x01});
    now = 2500;
    Send(camera, {0x22});
    Query(camera, 0xFF);
    const auto log = camera.Messages();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].time, 1000);
    EXPECT_EQ(log[0].bytes, (std::vector<uint8_t>{0x01, 0x01}));
    EXPECT_EQ(log[1].time, 2500);
    EXPECT_EQ(log[1].bytes, std::vector<uint8_t>{0x22});
    camera.ClearMessages();
    EXPECT_TRUE(camera.Messages().empty());
}

// The picture registers decode to the settings the driver encoded.
TEST(Registers, SettingsDecodeFromTheDriversEncoding)
{
    Camera camera;
    Configure(camera, 0);
    for (int saturation : {0, 1, 31, 32, 200, 255}) {
        Send(camera, {0x5F, static_cast<uint8_t>(saturation * 8), static_cast<uint8_t>(((saturation / 4) & 0x38) | 4)});
        EXPECT_EQ(camera.Settings().saturation, saturation);
    }
    const uint8_t gammaCodes[4] = {0, 1, 3, 2};
    for (int gamma = 0; gamma < 4; ++gamma) {
        Send(camera, {0x06, static_cast<uint8_t>(gammaCodes[gamma] * 64)});
        EXPECT_EQ(camera.Settings().gamma, gamma);
    }
    for (int brightness : {0, 15, 30}) {
        Send(camera, {0x61, static_cast<uint8_t>(30 - brightness)});
        EXPECT_EQ(camera.Settings().brightness, brightness);
    }
    for (int sharpness = 0; sharpness < 3; ++sharpness) {
        Send(camera, {0x67, static_cast<uint8_t>(sharpness * 4 | 3)});
        EXPECT_EQ(camera.Settings().sharpness, sharpness);
    }
}

}  // namespace
}  // namespace nimbra::camsim::test
