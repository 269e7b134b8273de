// Faults for the driver's error paths: stalls, silence, bad isochronous packets, bad frames,
// unplug.
#include "camsim_test_util.h"

namespace nimbra::camsim::test {
namespace {

struct Faults : ::testing::Test {
    Camera camera;
    void SetUp() override
    {
        Configure(camera, 8);
        StartVideo(camera);
    }
};

TEST_F(Faults, StallUntilClearFeature)
{
    camera.StallEndpoint(kEpMessages);
    EXPECT_EQ(camera.HandleDataOut(kEpMessages, std::vector<uint8_t>{0x22, 0x01}), UsbHandshake::Stall);
    EXPECT_EQ(camera.Register(0x22), 0);
    std::vector<uint8_t> status;
    ASSERT_EQ(Control(camera, 0x82, 0x00, 0, kEpMessages, &status, 2), UsbHandshake::Ack);
    EXPECT_EQ(status[0], 1);  // halted
    ASSERT_EQ(Control(camera, 0x02, USB_REQUEST_CLEAR_FEATURE, 0, kEpMessages), UsbHandshake::Ack);
    EXPECT_EQ(camera.HandleDataOut(kEpMessages, std::vector<uint8_t>{0x22, 0x01}), UsbHandshake::Ack);
    // A stalled isochronous endpoint delivers packets in error.
    camera.StallEndpoint(kEpVideoIso);
    EXPECT_EQ(PullPackets(camera, 1, 1023)[0].outcome, UsbIsoOutcome::Error);
    camera.ClearFaults();
    EXPECT_EQ(PullPackets(camera, 1, 1023)[0].outcome, UsbIsoOutcome::Data);
}

TEST_F(Faults, SilentEndpointsNakForEver)
{
    camera.SilenceEndpoint(kEpReply);
    uint8_t reply[16];
    size_t actual = 1;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(camera.HandleDataIn(kEpReply, reply, &actual), UsbHandshake::Nak);
    EXPECT_EQ(actual, 0u);
    camera.SilenceEndpoint(kEpReply, false);
    EXPECT_EQ(camera.HandleDataIn(kEpReply, reply, &actual), UsbHandshake::Ack);
    camera.SilenceEndpoint(0);
    EXPECT_EQ(Control(camera, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0), UsbHandshake::Nak);
    camera.SilenceEndpoint(kEpVideoIso);
    EXPECT_EQ(PullPackets(camera, 1, 1023)[0].outcome, UsbIsoOutcome::Lost);
}

// Packets in error still carry their data; lost packets lose it, so the frame they hit is short.
TEST_F(Faults, IsochronousPacketsInErrorOrLost)
{
    camera.InjectIsoFault(UsbIsoOutcome::Error, 3);
    auto packets = PullPackets(camera, 5, 1023);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(packets[i].outcome, UsbIsoOutcome::Error);
        EXPECT_EQ(packets[i].data.size(), 1023u);
    }
    EXPECT_EQ(packets[3].outcome, UsbIsoOutcome::Data);

    const size_t frameSize = camera.LastFrame().size();
    camera.InjectIsoFault(UsbIsoOutcome::Lost, 2);
    packets = PullPackets(camera, 400, 1023, 5);
    EXPECT_EQ(packets[0].outcome, UsbIsoOutcome::Lost);
    EXPECT_TRUE(packets[0].data.empty());
    const auto frames = ScanFrames(packets);
    ASSERT_GE(frames.size(), 2u);
    for (const auto& f : frames) EXPECT_LE(f.size(), frameSize);
}

// Frame faults: short, corrupted (still free of markers, no longer decodable as it was), and
// longer than the driver's 307,200-byte frame buffer.
TEST_F(Faults, BadFrames)
{
    PullPackets(camera, 1, 1023);
    const auto good = camera.LastFrame();
    camera.InjectFrameFault(FrameFault::CutShort);
    camera.InjectFrameFault(FrameFault::Corrupt);
    camera.InjectFrameFault(FrameFault::Oversize);
    const auto frames = ScanFrames(PullPackets(camera, 1500, 1023, 1));
    ASSERT_GE(frames.size(), 4u);
    EXPECT_LT(frames[0].size(), good.size());
    EXPECT_EQ(frames[1].size(), good.size());
    EXPECT_NE(frames[1], good);
    EXPECT_GT(frames[2].size(), 307200u);
    for (const auto& f : frames) EXPECT_FALSE(ContainsMarker(f));
    RgbImage image;
    EXPECT_FALSE(DecodeCameraFrame(frames[0], image));
    EXPECT_TRUE(DecodeCameraFrame(frames[2], image));  // the zero bytes follow EOI
    // Frame numbers go on; the data after the header is the good frame's again.
    EXPECT_TRUE(std::equal(frames[3].begin() + kFrameHeaderSize, frames[3].end(), good.begin() + kFrameHeaderSize));
}

TEST_F(Faults, UnplugAndReplug)
{
    int unplugged = 0;
    CameraConfig config;
    config.onUnplug = [&unplugged] { ++unplugged; };
    Camera plugged(config);
    Configure(plugged, 8);
    StartVideo(plugged);
    plugged.Unplug();
    EXPECT_EQ(unplugged, 1);
    EXPECT_FALSE(plugged.Plugged());
    EXPECT_EQ(Control(plugged, 0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, nullptr, 18), UsbHandshake::Nak);
    EXPECT_EQ(plugged.HandleDataOut(kEpMessages, std::vector<uint8_t>{0x01, 0x01}), UsbHandshake::Nak);
    EXPECT_EQ(PullPackets(plugged, 1, 1023)[0].outcome, UsbIsoOutcome::Lost);
    plugged.Replug();
    EXPECT_TRUE(plugged.Plugged());
    EXPECT_FALSE(plugged.Configured());
    EXPECT_FALSE(plugged.VideoOn());
}

}  // namespace
}  // namespace nimbra::camsim::test
