// The persisted settings: defaults, clamps, exact names, missing keys, failed writes.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "camera/exposure_model.h"
#include "driver/camera_session.h"
#include "host/kernel/host_kernel.h"
#include "settings/persisted_settings.h"
#include "usb/bridge_state.h"
#include "usb/capture_device.h"

namespace {

using nimbra::host::ClearRegistry;
using nimbra::host::CreateRegistryKey;
using nimbra::host::ReadRegistryDword;

constexpr char16_t kVideo[] = u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Video";
constexpr char16_t kCustom[] = u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Custom";

class PersistedSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearRegistry();
        std::memset(static_cast<void*>(&device), 0, sizeof(device));
        session.bridgeState = &bridge;
        session.exposureModel = &model;
        session.captureDevice = &device;
        device.cameraSession = &session;
        InitializeBridgeState(&bridge, &session);
        InitializeExposureModel(&model, &session);
        model.mode = EXPOSURE_MODE_VIDEO;  // as after the first frame-processor set-up
        UpdateExposureModel(&model);
    }
    void TearDown() override { ClearRegistry(); }

    static void Write(const char16_t* key, const char16_t* name, LONG value)
    {
        ULONG v = static_cast<ULONG>(value);
        ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key, name, REG_DWORD, &v, 4), STATUS_SUCCESS);
    }
    static void MakeKeys()
    {
        CreateRegistryKey(kVideo);
        CreateRegistryKey(kCustom);
    }

    CameraSession session{};
    BridgeState bridge;
    ExposureModel model;
    CaptureDevice device;
};

TEST_F(PersistedSettingsTest, NoKeysGiveTheDefaults)
{
    LoadSettings(&device);
    EXPECT_TRUE(device.settingsLoaded);
    EXPECT_EQ(bridge.brightness, 15);
    EXPECT_EQ(bridge.saturation, 200);
    EXPECT_EQ(bridge.sharpness, 1);
    EXPECT_EQ(bridge.gamma, 1);
    EXPECT_FALSE(bridge.settingsChanged);
    EXPECT_EQ(model.targetBrightness, 100);
    EXPECT_EQ(model.lightSource, 0);
    EXPECT_EQ(model.flicker, 60);
    EXPECT_EQ(model.exposureChanged, 0);  // nothing differed from the model's own values
}

TEST_F(PersistedSettingsTest, ValuesAreClampedOrReplaced)
{
    struct Case {
        LONG brightness, saturation, sharpness, gamma, exposure, light, flicker;
        UCHAR wantBrightness, wantSaturation, wantSharpness, wantGamma, wantTarget, wantLight, wantFlicker;
    } cases[] = {
        {45, 300, 5, 9, 150, 3, 55, 30, 255, 2, 3, 150, 0, 50},
        {-3, -1, -1, -1, -5, -1, 60, 0, 0, 0, 0, 50, 0, 60},
        {7, 0, 2, 3, 0, 2, 50, 7, 0, 2, 3, 50, 2, 50},
        {30, 255, 0, 0, 100, 1, 60, 30, 255, 0, 0, 150, 1, 60},
    };
    for (const Case& c : cases) {
        SetUp();
        MakeKeys();
        Write(kVideo, u"Brightness", c.brightness);
        Write(kVideo, u"Saturation", c.saturation);
        Write(kVideo, u"Sharpness", c.sharpness);
        Write(kVideo, u"Gamma", c.gamma);
        Write(kCustom, u"Exposure", c.exposure);
        Write(kCustom, u"LightSoure", c.light);
        Write(kCustom, u"Flicker", c.flicker);
        LoadSettings(&device);
        EXPECT_EQ(bridge.brightness, c.wantBrightness);
        EXPECT_EQ(bridge.saturation, c.wantSaturation);
        EXPECT_EQ(bridge.sharpness, c.wantSharpness);
        EXPECT_EQ(bridge.gamma, c.wantGamma);
        EXPECT_EQ(model.targetBrightness, c.wantTarget);
        EXPECT_EQ(model.lightSource, c.wantLight);
        EXPECT_EQ(model.flicker, c.wantFlicker);
    }
}

TEST_F(PersistedSettingsTest, ChangedFlickerUpdatesTheModel)
{
    MakeKeys();
    Write(kCustom, u"Flicker", 50);
    LoadSettings(&device);
    EXPECT_EQ(model.flicker, 50);
    EXPECT_EQ(model.exposureValue, 262);
    EXPECT_EQ(model.exposureChanged, 1);
}

TEST_F(PersistedSettingsTest, OnlyTheExactNamesAreRead)
{
    MakeKeys();
    Write(kCustom, u"LightSource", 2);  // the correct spelling is not the stored name
    Write(kVideo, u"Brightness", 3);
    LoadSettings(&device);
    EXPECT_EQ(model.lightSource, 0);
    EXPECT_EQ(bridge.brightness, 3);
    EXPECT_EQ(bridge.saturation, 200);  // missing value in an existing key
}

TEST_F(PersistedSettingsTest, SaveWritesTheSevenValues)
{
    MakeKeys();
    bridge.brightness = 4;
    bridge.saturation = 99;
    bridge.sharpness = 2;
    bridge.gamma = 3;
    SetExposureTarget(&model, 70);
    SetLightSource(&model, 2);
    SetFlicker(&model, 50);
    SaveSettings(&device);
    EXPECT_EQ(ReadRegistryDword(kVideo, u"Brightness"), std::optional<uint32_t>(4));
    EXPECT_EQ(ReadRegistryDword(kVideo, u"Saturation"), std::optional<uint32_t>(99));
    EXPECT_EQ(ReadRegistryDword(kVideo, u"Sharpness"), std::optional<uint32_t>(2));
    EXPECT_EQ(ReadRegistryDword(kVideo, u"Gamma"), std::optional<uint32_t>(3));
    EXPECT_EQ(ReadRegistryDword(kCustom, u"Exposure"), std::optional<uint32_t>(70));
    EXPECT_EQ(ReadRegistryDword(kCustom, u"LightSoure"), std::optional<uint32_t>(2));
    EXPECT_EQ(ReadRegistryDword(kCustom, u"Flicker"), std::optional<uint32_t>(50));

    SaveFlickerSetting(0x10032);
    EXPECT_EQ(ReadRegistryDword(kCustom, u"Flicker"), std::optional<uint32_t>(0x10032));

    // Loaded back, they are the same settings.
    CameraSession session2{};
    BridgeState bridge2;
    ExposureModel model2;
    CaptureDevice device2;
    std::memset(static_cast<void*>(&device2), 0, sizeof(device2));
    session2.bridgeState = &bridge2;
    session2.exposureModel = &model2;
    device2.cameraSession = &session2;
    InitializeBridgeState(&bridge2, &session2);
    InitializeExposureModel(&model2, &session2);
    SaveFlickerSetting(50);
    LoadSettings(&device2);
    EXPECT_EQ(bridge2.saturation, 99);
    EXPECT_EQ(model2.targetBrightness, 120);
    EXPECT_EQ(model2.lightSource, 2);
    EXPECT_EQ(model2.flicker, 50);
}

TEST_F(PersistedSettingsTest, FailedWritesChangeNothing)
{
    bridge.brightness = 4;
    SaveSettings(&device);  // no keys: every write fails
    EXPECT_EQ(ReadRegistryDword(kVideo, u"Brightness"), std::nullopt);
    EXPECT_EQ(bridge.brightness, 4);
    EXPECT_EQ(model.flicker, 60);
}

}  // namespace
