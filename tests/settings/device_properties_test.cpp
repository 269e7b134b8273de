// Device properties through the client API: the VideoProcAmp set and the Custom set.
#include <gtest/gtest.h>

#include "camera/exposure_model.h"
#include "frame/frame_processor.h"
#include "settings/device_property_sets.h"
#include "tests/support/stack_fixture.h"
#include "tests/support/stream_helpers.h"
#include "usb/capture_device.h"

namespace nimbra::test {
namespace {

using DevicePropertiesTest = StackTest;

NTSTATUS Set(host::KsHandle& filter, const GUID& set, ULONG id, LONG value)
{
    KSPROPERTY_VIDEOPROCAMP_S record{};
    record.Value = value;
    return host::SetProperty(filter, set, id, &record, sizeof(record));
}

NTSTATUS Get(host::KsHandle& filter, const GUID& set, ULONG id, LONG* value)
{
    KSPROPERTY_VIDEOPROCAMP_S record{};
    record.Value = -12345;
    const NTSTATUS status = host::GetProperty(filter, set, id, &record, sizeof(record));
    *value = record.Value;
    return status;
}

TEST_F(DevicePropertiesTest, PictureSettingsKeepTheirRangesAndReachTheBridgeWithTheNextFrame)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 160, 120), STATUS_SUCCESS);
    struct Case {
        ULONG id;
        LONG value;
        NTSTATUS status;
    };
    const Case cases[] = {
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 31, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -1, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0, STATUS_SUCCESS},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 255, STATUS_SUCCESS},
        {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 3, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_VIDEOPROCAMP_GAMMA, 3, STATUS_SUCCESS},
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 30, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Set(video.filter, PROPSETID_VIDCAP_VIDEOPROCAMP, c.id, c.value), c.status) << c.id << " " << c.value;
    }
    LONG value = 0;
    ASSERT_EQ(Get(video.filter, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 30);  // reported at once, before any frame
    // The first capture start loads the persisted settings (none stored: the defaults) in place of
    // the values set so far, and the start-up writes them.
    ASSERT_EQ(video.Run(), STATUS_SUCCESS);
    EXPECT_EQ(Camera().Register(0x61), 30 - 15);
    ASSERT_EQ(Set(video.filter, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 10), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrames(video.pin, video.ImageBytes(), 2)[1].status, STATUS_SUCCESS);
    EXPECT_EQ(Camera().Register(0x61), 30 - 10);  // written between two frames
}

TEST_F(DevicePropertiesTest, CustomSetKeepsExposureZoomAndFlags)
{
    host::CreateRegistryKey(u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Custom");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    host::KsHandle filter;
    ASSERT_EQ(host::OpenFilter(Host(), &filter), STATUS_SUCCESS);
    LONG value = 0;
    // Before the first stream open the zoom has no frame processing to live in.
    EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 4, 1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, 4, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);

    EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 1, 55), STATUS_SUCCESS);
    EXPECT_EQ(Session()->exposureModel->flicker.load(), 55);
    EXPECT_EQ(host::ReadRegistryDword(u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Custom", u"Flicker"),
              55u);
    for (LONG target : {0, 100}) {
        EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 2, target), STATUS_SUCCESS);
        EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, 2, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, target);
    }
    EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    for (ULONG listed : {6u, 9u, 10u}) {  // listed with a range, but not supported
        EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, listed, 0), STATUS_NOT_SUPPORTED) << listed;
        EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, listed, &value), STATUS_NOT_SUPPORTED) << listed;
    }

    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 320, 240), STATUS_SUCCESS);
    EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 3, 1), STATUS_SUCCESS);
    EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, 3, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 4, 1), STATUS_SUCCESS);  // zoom on clears flag 3
    EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, 3, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 3, 1), STATUS_SUCCESS);  // and flag 3 stays 0 while it is on
    EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, 3, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 5, 16), STATUS_SUCCESS);
    EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, 5, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 16);
    EXPECT_EQ(Set(filter, PROPSETID_CUSTOM, 8, 1), STATUS_SUCCESS);
    EXPECT_EQ(Get(filter, PROPSETID_CUSTOM, 8, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    video.CloseAll();
    host::Close(filter);
}

TEST_F(DevicePropertiesTest, TheDirectRegisterIsReadAndWrittenAndGoesQuietAtRemoval)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 160, 120), STATUS_SUCCESS);  // makes the bridge buffers
    LONG value = 0;
    EXPECT_EQ(Set(video.filter, PROPSETID_CUSTOM, 11, 0x1A5), STATUS_SUCCESS);
    EXPECT_EQ(Camera().Register(0x22), 0xA5);
    EXPECT_EQ(Get(video.filter, PROPSETID_CUSTOM, 11, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xA5);
    ASSERT_EQ(Host().SurpriseRemove(), STATUS_SUCCESS);
    Camera().ClearMessages();
    EXPECT_EQ(Get(video.filter, PROPSETID_CUSTOM, 11, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(Camera().Messages().empty());
}

}  // namespace
}  // namespace nimbra::test
