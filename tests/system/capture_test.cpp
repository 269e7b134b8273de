// Live video through the whole stack: the client API, the class driver stand-in, the driver,
// the USB bus stand-in and the simulated camera.
#include <gtest/gtest.h>

#include <string>

#include "host/camsim/scene.h"
#include "stream/stream_lifecycle.h"
#include "tests/support/stack_fixture.h"
#include "tests/support/stream_helpers.h"
#include "usb/capture_device.h"

namespace nimbra::test {
namespace {

using CaptureTest = StackTest;

struct SizeCase {
    LONG width;
    LONG height;
};

class CaptureSizeTest : public StackTest, public ::testing::WithParamInterface<SizeCase> {};

// Whether a delivered picture shows the orientation scene upright (see below).
void ExpectUpright(const std::vector<uint8_t>& picture, LONG width, LONG height)
{
    std::string error;
    auto scene = camsim::Scene::Create("orientation", error);
    ASSERT_NE(scene, nullptr) << error;
    std::vector<uint8_t> rgb(camsim::kSceneWidth * camsim::kSceneHeight * 3);
    scene->Render(0, rgb.data());
    const int cols = 8, rows = 6;
    const auto delivered = DisplayedGreenGrid(picture.data(), width, height, cols, rows);
    const double upright = Correlation(delivered, UprightGreenGrid(rgb.data(), 640, 480, cols, rows));
    const double turned = Correlation(delivered, UprightGreenGrid(rgb.data(), 640, 480, cols, rows, true));
    const double mirrored = Correlation(delivered, UprightGreenGrid(rgb.data(), 640, 480, cols, rows, false, true));
    EXPECT_GT(upright, 0.9);
    EXPECT_GT(upright, turned + 0.2);
    EXPECT_GT(upright, mirrored + 0.2);
}

// The delivered picture, shown as a bottom-up DIB, is the scene upright: the grid of mean greens
// correlates best with the upright scene, not with the scene turned or mirrored. Correlation is
// blind to the exposure and the tone curve, and coarse enough for JPEG loss and scaling.
TEST_P(CaptureSizeTest, PicturesArriveUprightWithTimesThatNeverGoBack)
{
    const SizeCase size = GetParam();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), size.width, size.height), STATUS_SUCCESS);
    ASSERT_EQ(video.Run(), STATUS_SUCCESS);

    const auto frames = ReadFrames(video.pin, video.ImageBytes(), 4);
    LONGLONG lastTime = -1;
    for (const DeliveredFrame& frame : frames) {
        ASSERT_EQ(frame.status, STATUS_SUCCESS);
        EXPECT_EQ(frame.header.DataUsed, video.ImageBytes());
        EXPECT_GE(frame.header.PresentationTime.Time, lastTime);
        lastTime = frame.header.PresentationTime.Time;
        EXPECT_EQ(frame.header.OptionsFlags & 0x111u, 0x111u);  // splice point, time and duration valid
        EXPECT_GE(frame.info.PictureNumber, 1);
        EXPECT_GE(frame.info.DropCount, 0);
    }

    ExpectUpright(frames.back().picture, size.width, size.height);
    ASSERT_EQ(host::SetState(video.pin, KSSTATE_STOP), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(FiveSizes, CaptureSizeTest,
                         ::testing::Values(SizeCase{640, 480}, SizeCase{352, 288}, SizeCase{320, 240},
                                           SizeCase{176, 144}, SizeCase{160, 120}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST_F(CaptureTest, WhenEveryIsochronousSettingIsRefusedVideoComesOnTheBulkPipe)
{
    camsim::CameraConfig camera;
    camera.refusedAlternates = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(Start(camera), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 320, 240), STATUS_SUCCESS);
    EXPECT_FALSE(Session()->captureDevice->isochronousMode.load());
    ASSERT_EQ(video.Run(), STATUS_SUCCESS);
    const auto frames = ReadFrames(video.pin, video.ImageBytes(), 3);
    for (const DeliveredFrame& frame : frames) {
        ASSERT_EQ(frame.status, STATUS_SUCCESS);
        EXPECT_EQ(frame.header.DataUsed, video.ImageBytes());
    }
    EXPECT_EQ(Camera().AlternateSetting(), 0);
    EXPECT_EQ(Stack().Bus().GetStats().isoPackets, 0u);
    ExpectUpright(frames.back().picture, 320, 240);
    ASSERT_EQ(host::SetState(video.pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(CaptureTest, ReadsAreRefusedOrAnsweredAtOnceWhenTheyCannotWait)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 320, 240), STATUS_SUCCESS);
    // Stopped: answered at once, header untouched.
    std::vector<uint8_t> buffer(230400);
    auto stopped = host::SubmitRead(video.pin, buffer.data(), 230400);
    KSSTREAM_HEADER header{};
    EXPECT_EQ(host::AwaitRead(*stopped, &header, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(header.DataUsed, 0u);
    ASSERT_EQ(host::SetState(video.pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    // One byte short of the picture: refused.
    auto small = host::SubmitRead(video.pin, buffer.data(), 230399);
    EXPECT_EQ(host::AwaitRead(*small, nullptr, nullptr, 0), STATUS_INSUFFICIENT_RESOURCES);
    // Exactly the picture: it waits.
    auto exact = host::SubmitRead(video.pin, buffer.data(), 230400);
    EXPECT_EQ(host::AwaitRead(*exact, nullptr, nullptr, 0), STATUS_TIMEOUT);
    // A read with no stream header is refused.
    host::SrbRequest noHeader;
    noHeader.command = SRB_READ_DATA;
    EXPECT_EQ(Host().SendStreamSrb(video.pin, noHeader).status, STATUS_INVALID_PARAMETER);
    // Closing with the read pending cancels it before the close returns.
    host::Close(video.pin);
    EXPECT_EQ(host::AwaitRead(*exact, nullptr, nullptr, 0), STATUS_CANCELLED);
}

TEST_F(CaptureTest, StreamCodesOutsideTheTableAreNotImplemented)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 160, 120), STATUS_SUCCESS);
    for (LONG code : {17, -1, LONG{SRB_WRITE_DATA}, LONG{SRB_GET_DATA_FORMAT}, LONG{SRB_BEGIN_FLUSH}}) {
        host::SrbRequest request;
        request.command = code;
        EXPECT_EQ(Host().SendStreamSrb(video.pin, request).status, STATUS_NOT_IMPLEMENTED) << code;
    }
}

TEST_F(CaptureTest, StatesInEveryOrderAndASecondOpenIsRefused)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 176, 144), STATUS_SUCCESS);
    host::KsHandle second;
    EXPECT_EQ(host::OpenPin(video.filter, 0, AsFormat(FormatFor(Host(), video.filter, 176, 144)), &second),
              STATUS_INVALID_PARAMETER);

    KSSTATE state{};
    const KSSTATE order[] = {KSSTATE_RUN,   KSSTATE_STOP, KSSTATE_PAUSE, KSSTATE_PAUSE, KSSTATE_RUN,
                             KSSTATE_PAUSE, KSSTATE_RUN,  KSSTATE_STOP,  KSSTATE_STOP, KSSTATE_PAUSE,
                             KSSTATE_RUN};
    for (KSSTATE next : order) {
        ASSERT_TRUE(NT_SUCCESS(host::SetState(video.pin, next))) << next;
        const NTSTATUS status = host::GetState(video.pin, &state);
        EXPECT_EQ(status, state == KSSTATE_PAUSE ? STATUS_NO_DATA_DETECTED : STATUS_SUCCESS);
    }
    EXPECT_EQ(state, KSSTATE_RUN);
    const auto frames = ReadFrames(video.pin, video.ImageBytes(), 2);
    EXPECT_EQ(frames[1].status, STATUS_SUCCESS);
    EXPECT_EQ(frames[1].header.DataUsed, video.ImageBytes());
    // Pause while running changes nothing: frames go on.
    ASSERT_EQ(host::SetState(video.pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(ReadFrames(video.pin, video.ImageBytes(), 1)[0].status, STATUS_SUCCESS);
    // Close while running: the capture stops, settings are saved, alternate 0 is selected.
    host::Close(video.pin);
    EXPECT_EQ(Camera().AlternateSetting(), 0);
}

TEST_F(CaptureTest, ATransferThatNeverCompletesIsAbortedAndTheStopReturns)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 160, 120), STATUS_SUCCESS);
    ASSERT_EQ(video.Run(), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrames(video.pin, video.ImageBytes(), 1)[0].status, STATUS_SUCCESS);
    Stack().Bus().SetEndpointUnresponsive(camsim::kEpVideoIso, true);
    const LONGLONG before = host::HostTimeNow();
    EXPECT_EQ(host::SetState(video.pin, KSSTATE_STOP), STATUS_SUCCESS);
    const LONGLONG elapsed = host::HostTimeNow() - before;
    EXPECT_GE(elapsed, 20000000LL);  // waited the first 2 s
    EXPECT_LE(elapsed, 45000000LL);  // and returned within about 4 s
    EXPECT_EQ(Session()->captureDevice->inFlightCount.load(), 0);
    Stack().Bus().SetEndpointUnresponsive(camsim::kEpVideoIso, false);
}

TEST_F(CaptureTest, SurpriseRemovalWhileStreamingCompletesEveryRead)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 320, 240), STATUS_SUCCESS);
    ASSERT_EQ(video.Run(), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrames(video.pin, video.ImageBytes(), 1)[0].status, STATUS_SUCCESS);
    Stack().Bus().SetEndpointUnresponsive(camsim::kEpVideoIso, true);  // no frame can end them
    std::vector<std::vector<uint8_t>> buffers(3, std::vector<uint8_t>(video.ImageBytes()));
    std::vector<std::unique_ptr<host::PendingRead>> reads;
    for (auto& buffer : buffers) reads.push_back(host::SubmitRead(video.pin, buffer.data(), video.ImageBytes()));
    EXPECT_EQ(Host().SurpriseRemove(), STATUS_SUCCESS);
    // Every read is complete when the removal returns: cancelled with no data, or (a frame that
    // was already on its way) delivered.
    int cancelled = 0;
    for (auto& read : reads) {
        KSSTREAM_HEADER header{};
        const NTSTATUS status = host::AwaitRead(*read, &header, nullptr, 0);
        ASSERT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS) << host::StatusText(status);
        if (status == STATUS_CANCELLED) {
            EXPECT_EQ(header.DataUsed, 0u);
            ++cancelled;
        }
    }
    EXPECT_GE(cancelled, 1);
    Stack().Bus().SetEndpointUnresponsive(camsim::kEpVideoIso, false);
}

TEST_F(CaptureTest, PowerDownStopsTheTransfersAndPowerUpRestartsThem)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 160, 120), STATUS_SUCCESS);
    ASSERT_EQ(Host().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
    ASSERT_EQ(video.Run(), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrames(video.pin, video.ImageBytes(), 1)[0].status, STATUS_SUCCESS);
    CaptureDevice* device = Session()->captureDevice;
    ASSERT_EQ(Host().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(device->captureState.load(), static_cast<ULONG>(CAPTURE_STOPPED));
    EXPECT_EQ(device->inFlightCount.load(), 0);
    ASSERT_EQ(Host().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(device->captureState.load(), static_cast<ULONG>(CAPTURE_RUNNING));
    EXPECT_EQ(ReadFrames(video.pin, video.ImageBytes(), 1)[0].status, STATUS_SUCCESS);
    // Through D1 nothing stops or restarts.
    ASSERT_EQ(Host().SetPowerState(PowerDeviceD1), STATUS_SUCCESS);
    ASSERT_EQ(Host().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(device->captureState.load(), static_cast<ULONG>(CAPTURE_RUNNING));
}

TEST_F(CaptureTest, WithoutAClockTimesAreZeroAndTheValidBitsCleared)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 160, 120, false), STATUS_SUCCESS);
    ASSERT_EQ(video.Run(), STATUS_SUCCESS);
    const auto frames = ReadFrames(video.pin, video.ImageBytes(), 2);
    for (const DeliveredFrame& frame : frames) {
        ASSERT_EQ(frame.status, STATUS_SUCCESS);
        EXPECT_EQ(frame.header.PresentationTime.Time, 0);
        EXPECT_EQ(frame.header.OptionsFlags, static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT));
    }
}

TEST_F(CaptureTest, StreamPropertiesNeedAnOpenStream)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 640, 480), STATUS_SUCCESS);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    ULONG returned = 0;
    ASSERT_EQ(host::GetProperty(video.pin, PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                                &dropped, sizeof(dropped), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(dropped.AverageFrameSize, 921600u);
    KSALLOCATOR_FRAMING framing{};
    ASSERT_EQ(host::GetProperty(video.pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, &framing,
                                sizeof(framing), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(framing.RequirementsFlags, 0x80000003u);
    EXPECT_EQ(framing.PoolType, 1u);
    EXPECT_EQ(framing.Frames, 5u);
    EXPECT_EQ(framing.FrameSize, 921600u);
}

TEST_F(CaptureTest, AWaitingReadOutlivesItsTimeOutAndCancelOnlyReachesQueuedReads)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 160, 120), STATUS_SUCCESS);
    ASSERT_EQ(host::SetState(video.pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(video.ImageBytes());
    auto read = host::SubmitRead(video.pin, buffer.data(), video.ImageBytes());
    Host().PauseTimeoutTimer(true);
    for (int tick = 0; tick < 30; ++tick) Host().TickTimeouts();  // three times its 9 s
    EXPECT_EQ(host::AwaitRead(*read, nullptr, nullptr, 0), STATUS_TIMEOUT);  // still waiting
    EXPECT_TRUE(host::CancelRead(*read));
    KSSTREAM_HEADER header{};
    EXPECT_EQ(host::AwaitRead(*read, &header, nullptr, 0), STATUS_CANCELLED);
    EXPECT_EQ(header.DataUsed, 0u);
    Host().PauseTimeoutTimer(false);
}

TEST_F(CaptureTest, StoredSettingsReachTheBridgeAndAreWrittenBackAtClose)
{
    const std::u16string video = u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Video";
    const std::u16string custom = u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Custom";
    host::CreateRegistryKey(video);
    host::CreateRegistryKey(custom);
    ULONG brightness = 5;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, video.c_str(), u"Brightness", REG_DWORD, &brightness, 4),
              STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    {
        OpenVideo stream;
        ASSERT_EQ(stream.Open(Host(), 160, 120), STATUS_SUCCESS);
        ASSERT_EQ(stream.Run(), STATUS_SUCCESS);
        ASSERT_EQ(ReadFrames(stream.pin, stream.ImageBytes(), 1)[0].status, STATUS_SUCCESS);
        EXPECT_EQ(Camera().Register(0x61), 30 - 5);  // the bridge program wrote the stored brightness
    }
    EXPECT_EQ(host::ReadRegistryDword(video, u"Brightness"), 5u);
    EXPECT_EQ(host::ReadRegistryDword(video, u"Saturation"), 200u);
    EXPECT_EQ(host::ReadRegistryDword(custom, u"LightSoure"), 0u);
    EXPECT_EQ(host::ReadRegistryDword(custom, u"Flicker"), 60u);
    EXPECT_EQ(host::ReadRegistryDword(custom, u"Exposure"), 50u);
}

}  // namespace
}  // namespace nimbra::test
