// Video: the header template, the encoded picture, its orientation, packetisation, bulk video
// and the registers that shape the picture.
#include <algorithm>
#include <cstring>
#include <map>

#include "camsim_test_util.h"
#include "host/camsim/scene.h"

namespace nimbra::camsim::test {
namespace {

// Template layout: the segment markers sit where the driver's template has them.
TEST(HeaderTemplate, SegmentsAtTheirOffsets)
{
    const auto t = CameraHeaderTemplate();
    const std::map<size_t, std::vector<uint8_t>> expected = {
        {0, {0xFF, 0xD8}},
        {2, {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}},
        {20, {0x00}},
        {21, {0xFF, 0xDB, 0x00, 0x43, 0x00, 16, 11, 12, 14, 12, 10, 16, 14}},
        {90, {0xFF, 0xDB, 0x00, 0x43, 0x01, 17, 18, 18, 24, 21, 24, 47}},
        {159, {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03, 0x01, 0x21, 0x00, 0x02, 0x11, 0x01, 0x03,
               0x11, 0x01}},
        {178, {0xFF, 0xC4, 0x00, 0x1F, 0x00}},
        {211, {0xFF, 0xC4, 0x00, 0xB5, 0x10}},
        {394, {0xFF, 0xC4, 0x00, 0x1F, 0x01}},
        {427, {0xFF, 0xC4, 0x00, 0xB5, 0x11}},
        {610, {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00}},
    };
    for (const auto& [offset, bytes] : expected)
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), t.begin() + offset)) << "at offset " << offset;
    const auto published = CameraHeaderTemplate(240, 320);
    EXPECT_EQ(published[164], 0x00);
    EXPECT_EQ(published[165], 0xF0);
    EXPECT_EQ(published[166], 0x01);
    EXPECT_EQ(published[167], 0x40);
}

// The encoder writes exactly the template's header (without its fill byte): same tables, same
// sampling, same component ids, no restart interval.
TEST(HeaderTemplate, MatchesTheEncodersOwnHeader)
{
    std::string error;
    FrameSource source(Scene::Create("orientation", error));
    std::vector<uint8_t> jpeg;
    ASSERT_TRUE(source.MakeStillPicture(0, PictureSettings{}, jpeg));
    const auto t = CameraHeaderTemplate();
    ASSERT_GE(jpeg.size(), t.size());
    EXPECT_TRUE(std::equal(t.begin(), t.begin() + 20, jpeg.begin()));
    EXPECT_TRUE(std::equal(t.begin() + 21, t.end(), jpeg.begin() + 20));
    EXPECT_EQ(EntropyCodedData(jpeg).data(), jpeg.data() + 623);
}

struct Streaming : ::testing::Test {
    Camera camera;
    void SetUp() override
    {
        Configure(camera, 8);
        StartVideo(camera);
    }
};

// The scene as the sensor sends it: turned by 180°. Shown by a driver that decodes bottom-up,
// turns the buffer by 180° and displays it as a bottom-up DIB, this is the scene upright.
std::vector<uint8_t> TurnedScene(const std::string& name)
{
    std::string error;
    auto scene = Scene::Create(name, error);
    std::vector<uint8_t> upright(kSceneWidth * kSceneHeight * 3), turned(upright.size());
    scene->Render(0, upright.data());
    const size_t n = upright.size() / 3;
    for (size_t k = 0; k < n; ++k) std::memcpy(&turned[k * 3], &upright[(n - 1 - k) * 3], 3);
    return turned;
}

// Required: 30 dB between the decoded frame and the turned scene (JPEG at the standard tables
// on these scenes gives about 33–40 dB; a wrong table, sampling or orientation gives < 15 dB).
TEST_F(Streaming, FrameDecodesBehindTheTemplateToTheTurnedScene)
{
    const auto frames = ScanFrames(PullPackets(camera, 400, 1023));
    ASSERT_GE(frames.size(), 2u);
    RgbImage image;
    ASSERT_TRUE(DecodeCameraFrame(frames[0], image));
    ASSERT_EQ(image.width, 640);
    ASSERT_EQ(image.height, 480);
    const auto turned = TurnedScene("orientation");
    const double psnr = Psnr(image.rgb, turned);
    RecordProperty("psnr_db", std::to_string(psnr));
    EXPECT_GE(psnr, 30.0);
    // And not upright: the upright scene is far off.
    std::string error;
    auto scene = Scene::Create("orientation", error);
    std::vector<uint8_t> upright(turned.size());
    scene->Render(0, upright.data());
    EXPECT_LT(Psnr(image.rgb, upright), 20.0);
    // The red square of the scene's top left is at the bottom right of the sent picture.
    const uint8_t* p = &image.rgb[((480 - 1 - 100) * 640 + (640 - 1 - 100)) * 3];
    EXPECT_GT(p[0], 180);
    EXPECT_LT(p[1], 90);
}

// Plain scan of the packets finds every frame the camera made; every frame starts in a fresh
// packet; no frame holds the marker; headers carry consecutive numbers and the data length.
TEST(Packetisation, FramesFoundAgainAtEveryPacketSize)
{
    for (const uint16_t size : {128, 680, 1023}) {
        SCOPED_TRACE(size);
        CameraConfig config;
        config.scene = "moving";
        config.isoPacketSizes = {0, size};
        Camera camera(config);
        Configure(camera, 1);
        StartVideo(camera);
        const auto packets = PullPackets(camera, size == 128 ? 3000 : 600, size);
        for (const Packet& p : packets) {
            const size_t at = FindFrameMarker(p.data);
            EXPECT_TRUE(at == p.data.size() || at == 0) << "marker inside a packet";
        }
        const auto frames = ScanFrames(packets);
        ASSERT_GE(frames.size(), 3u);
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_FALSE(ContainsMarker(frames[i]));
            const auto header = ParseFrameHeader(frames[i]);
            ASSERT_TRUE(header.has_value());
            EXPECT_EQ(header->frameNumber, i);
            EXPECT_EQ(header->dataLength, frames[i].size() - kFrameHeaderSize);
            EXPECT_EQ(header->width, 640);
            EXPECT_EQ(header->height, 480);
            EXPECT_LT(frames[i].size(), 307200u / 2);
            for (size_t b = 0; b < kFrameHeaderSize; ++b) EXPECT_NE(frames[i][b], 0xFF);
        }
        // One packet per bus frame: a frame takes as many packets as its bytes need.
        const size_t packetsPerFrame = (kMarkerSize + frames[0].size() + size - 1) / size;
        EXPECT_EQ(packets[packetsPerFrame].data.size() >= kMarkerSize &&
                      FindFrameMarker(packets[packetsPerFrame].data) == 0,
                  true);
    }
}

TEST(Packetisation, NoVideoUntilEnabledAndStreaming)
{
    for (const auto& messages : std::vector<std::vector<std::vector<uint8_t>>>{
             {}, {{0x01, 0x01}}, {{0x00, 0x4D}}, {{0x01, 0x01}, {0x00, 0x4D}, {0x01, 0x00}},
             {{0x01, 0x01}, {0x00, 0x4D}, {0x00, 0x0D}}}) {
        Camera camera;
        Configure(camera, 8);
        for (const auto& m : messages) Send(camera, m);
        for (const Packet& p : PullPackets(camera, 50, 1023)) EXPECT_TRUE(p.data.empty());
        EXPECT_EQ(camera.FramesStarted(), 0u);
    }
}

TEST(Packetisation, FrameIntervalLimitsTheRate)
{
    CameraConfig config;
    config.minFrameIntervalMs = 100;
    Camera camera(config);
    Configure(camera, 8);
    StartVideo(camera);
    PullPackets(camera, 1000, 1023);
    EXPECT_EQ(camera.FramesStarted(), 10u);
}

// Alternate 0 with video on: the frames come as bulk IN transfers on pipe 1, each starting a
// transfer, with the marker's sixth byte cycling through 0x64..0x67.
TEST(BulkVideo, FramesOnPipeOneWithBulkMarkers)
{
    Camera camera;
    Configure(camera, 0);
    StartVideo(camera);
    std::vector<Packet> transfers;
    std::vector<uint8_t> buffer(8192);
    for (int i = 0; i < 60; ++i) {
        size_t actual = 0;
        ASSERT_EQ(camera.HandleDataIn(kEpVideoBulk, buffer, &actual), UsbHandshake::Ack);
        transfers.push_back({UsbIsoOutcome::Data, {buffer.begin(), buffer.begin() + actual}});
    }
    std::vector<uint8_t> sixth;
    for (const Packet& t : transfers) {
        const size_t at = FindFrameMarker(t.data, 0, true);
        if (at != t.data.size()) {
            EXPECT_EQ(at, 0u);
            sixth.push_back(t.data[5]);
        }
    }
    ASSERT_GE(sixth.size(), 5u);
    for (size_t i = 0; i < sixth.size(); ++i) EXPECT_EQ(sixth[i], 0x64 + i % 4);
    const auto frames = ScanFrames(transfers, true);
    ASSERT_GE(frames.size(), 2u);
    RgbImage image;
    EXPECT_TRUE(DecodeCameraFrame(frames[1], image));
    // No isochronous data on alternate 0.
    EXPECT_TRUE(PullPackets(camera, 5, 1023)[0].data.empty());
}

std::vector<uint8_t> PictureWith(Camera& camera, const std::vector<std::vector<uint8_t>>& messages)
{
    for (const auto& m : messages) Send(camera, m);
    // Finish the frame in flight; the next one is made with the registers as they are now.
    const uint64_t started = camera.FramesStarted();
    for (uint64_t frame = 0; camera.FramesStarted() == started || frame == 0; ++frame) {
        EXPECT_LT(frame, 1000u);
        if (frame >= 1000) break;
        PullPackets(camera, 1, 1023, frame);
    }
    return camera.LastFramePicture();
}

// Brightness grows with the exposure of sensor registers 3 and 4, through the driver's table.
TEST_F(Streaming, BrightnessGrowsWithExposure)
{
    double previous = -1;
    for (const uint16_t exposure : {19, 54, 109, 218, 327, 436, 655}) {
        const auto picture = PictureWith(camera, {{0x1F, 0x00, 0x03, static_cast<uint8_t>(exposure >> 8)},
                                                  {0x1F, 0x00, 0x04, static_cast<uint8_t>(exposure & 0xFF)}});
        EXPECT_EQ(camera.Exposure(), exposure);
        const double mean = MeanGreen(picture);
        EXPECT_GT(mean, previous) << "exposure " << exposure;
        previous = mean;
    }
}

// Each picture control, moved from its neutral value, visibly changes the picture (sharpness
// only at edges, hence a count of changed bytes rather than a PSNR).
TEST_F(Streaming, PictureControlsChangeThePicture)
{
    const auto neutral = PictureWith(camera, {});
    struct Case {
        const char* name;
        std::vector<uint8_t> change, restore;
    };
    const Case cases[] = {
        {"brightness 0", {0x61, 0x1E}, {0x61, 0x0F}},
        {"brightness 30", {0x61, 0x00}, {0x61, 0x0F}},
        {"saturation 40", {0x5F, 0x40, 0x0C}, {0x5F, 0x40, 0x34}},
        {"sharpness 0", {0x67, 0x03}, {0x67, 0x07}},
        {"sharpness 2", {0x67, 0x0B}, {0x67, 0x07}},
        {"gamma 0", {0x06, 0x00}, {0x06, 0x40}},
        {"gamma 2", {0x06, 0xC0}, {0x06, 0x40}},
    };
    for (const Case& c : cases) {
        const auto changed = PictureWith(camera, {c.change});
        size_t differing = 0;  // bytes that moved by more than JPEG loss would
        for (size_t i = 0; i < changed.size(); ++i) differing += std::abs(changed[i] - neutral[i]) > 8;
        EXPECT_GT(differing, 2000u) << c.name;
        EXPECT_EQ(PictureWith(camera, {c.restore}), neutral) << c.name;
    }
}

// A moving scene gives different pictures frame by frame; frames stay far below the driver's
// 307,200-byte frame buffer even at the harshest settings.
TEST(Scenes, MotionAndFrameSizes)
{
    for (const std::string& name : Scene::BuiltInNames()) {
        SCOPED_TRACE(name);
        CameraConfig config;
        config.scene = name;
        Camera camera(config);
        Configure(camera, 8);
        StartVideo(camera);
        Send(camera, {0x67, 0x0F});  // sharpest
        Send(camera, {0x1F, 0x00, 0x03, 0x02});
        Send(camera, {0x1F, 0x00, 0x04, 0x8F});  // 655
        PullPackets(camera, 1, 1023);
        const auto first = camera.LastFramePicture();
        EXPECT_LT(camera.LastFrame().size(), 150000u);
        const auto frames = ScanFrames(PullPackets(camera, 600, 1023));
        ASSERT_GE(frames.size(), 1u);
        EXPECT_EQ(camera.LastFramePicture() != first, name == "moving");
    }
}

TEST(Scenes, PictureFileAndUnknownName)
{
    // A PNG-less check: a JPEG file the camera writes itself, loaded back as the scene.
    const std::string path = ::testing::TempDir() + "camsim_scene.jpg";
    {
        std::string error;
        FrameSource source(Scene::Create("bars", error));
        std::vector<uint8_t> jpeg;
        ASSERT_TRUE(source.MakeStillPicture(0, PictureSettings{}, jpeg));
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(jpeg.data(), 1, jpeg.size(), f);
        std::fclose(f);
    }
    std::string error;
    auto fromFile = Scene::Create(path, error);
    ASSERT_NE(fromFile, nullptr) << error;
    auto bars = Scene::Create("bars", error);
    std::vector<uint8_t> a(kSceneWidth * kSceneHeight * 3), b(a.size());
    fromFile->Render(0, a.data());
    bars->Render(0, b.data());
    EXPECT_GE(Psnr(a, b), 30.0);
    EXPECT_EQ(Scene::Create("no-such-scene", error), nullptr);
    EXPECT_FALSE(error.empty());
    CameraConfig config;
    config.scene = "no-such-scene";
    EXPECT_THROW(Camera{config}, std::runtime_error);
}

}  // namespace
}  // namespace nimbra::camsim::test
