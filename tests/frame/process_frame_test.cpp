// ProcessFrame and its kernels against the step-by-step reference, on both kernel sets.
#include <cstring>

#include "frame/header_template.h"
#include "host/camsim/frame_source.h"
#include "host/camsim/header_template.h"
#include "tests/frame/frame_test_support.h"

namespace frametest {
namespace {

TEST(HeaderTemplate, IsTheStandardHeaderWithItsSegmentsInPlace)
{
    const auto camsim = nimbra::camsim::CameraHeaderTemplate(240, 320);
    ASSERT_EQ(sizeof(JpegHeaderTemplate), camsim.size());
    EXPECT_EQ(std::memcmp(JpegHeaderTemplate, camsim.data(), camsim.size()), 0);
    const struct {
        int offset;
        uint8_t marker;
        int length;
    } segments[] = {{0, 0xD8, 0},    {2, 0xE0, 16},   {21, 0xDB, 67},  {90, 0xDB, 67},  {159, 0xC0, 17},
                    {178, 0xC4, 31}, {211, 0xC4, 181}, {394, 0xC4, 31}, {427, 0xC4, 181}, {610, 0xDA, 12}};
    for (const auto& s : segments) {
        EXPECT_EQ(JpegHeaderTemplate[s.offset], 0xFF) << s.offset;
        EXPECT_EQ(JpegHeaderTemplate[s.offset + 1], s.marker) << s.offset;
        if (s.length) {
            EXPECT_EQ(JpegHeaderTemplate[s.offset + 2] * 256 + JpegHeaderTemplate[s.offset + 3], s.length);
        }
    }
    EXPECT_EQ(JpegHeaderTemplate[20], 0x00);  // the fill byte
    EXPECT_EQ(JpegHeaderTemplate[164], 0x00);
    EXPECT_EQ(JpegHeaderTemplate[165], 0xF0);
    EXPECT_EQ(JpegHeaderTemplate[166], 0x01);
    EXPECT_EQ(JpegHeaderTemplate[167], 0x40);
    EXPECT_EQ(JpegHeaderTemplate[623], 0x00);
}

TEST(ToneCurveTable, MatchesItsExamples)
{
    unsigned sum = 0;
    for (int i = 0; i < 256; i++) sum += ToneCurve[i];
    EXPECT_EQ(sum, 44759u);
    EXPECT_EQ(ToneCurve[0], 0);
    EXPECT_EQ(ToneCurve[1], 2);
    EXPECT_EQ(ToneCurve[128], 204);
    EXPECT_EQ(ToneCurve[214], 252);
    for (int i = 215; i < 256; i++) EXPECT_EQ(ToneCurve[i], 253) << i;
    for (int i = 1; i < 256; i++) EXPECT_GE(ToneCurve[i], ToneCurve[i - 1]) << i;
}

TEST_F(FrameTest, SetUpPatchesTheDecoderHeaderAndGeometry)
{
    ASSERT_EQ(SetUpFrameProcessor(processor, Packed(176, 144)), STATUS_SUCCESS);
    const JpegDecoder* d = processor->decoder;
    EXPECT_EQ(d->headerLength, 624u);
    EXPECT_EQ(d->outputWidth, 640);
    EXPECT_EQ(d->outputHeight, 480);
    EXPECT_EQ(d->outputStride, 1920);
    const uint8_t sof[4] = {0x01, 0xE0, 0x02, 0x80};
    EXPECT_EQ(std::memcmp(d->headerTemplate + 164, sof, 4), 0);
    EXPECT_EQ(std::memcmp(d->headerTemplate, JpegHeaderTemplate, 164), 0);
    EXPECT_EQ(processor->rowBytes, 528);
    EXPECT_EQ(processor->frameBytes, 76032);
    EXPECT_EQ(FrameProcessorPictureBytes(processor), 76032u);
    EXPECT_EQ(SetUpFrameProcessor(processor, Packed(300, 200)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(processor->pictureWidth, 176);
}

TEST_F(FrameTest, FirstSetUpOnlyStartsTheVideoMode)
{
    ASSERT_EQ(model.mode, EXPOSURE_MODE_UNSET);
    SetUpFrameProcessor(processor, Packed(640, 480));
    EXPECT_EQ(model.mode, EXPOSURE_MODE_VIDEO);
    EXPECT_EQ(model.exposureIndex, 13);
    EXPECT_EQ(model.exposureValue, 327);
    model.exposureIndex = 15;
    SetUpFrameProcessor(processor, Packed(160, 120));
    EXPECT_EQ(model.exposureIndex, 15);
}

TEST_F(FrameTest, EveryFittingMatchesTheReferenceOnBothKernelSets)
{
    const Bytes decoded = Noise(921600, 7);
    for (const Size& s : kSizes) {
        SetUpFrameProcessor(processor, Packed(s.w, s.h));
        const Bytes want = Deliver(decoded.data(), s.w, s.h, nullptr);
        for (BOOLEAN avx2 : {FALSE, TRUE}) {
            FrameKernelsSelect(avx2);
            EXPECT_EQ(ProcessUndecoded(decoded), want) << s.w << " avx2=" << int(avx2);
        }
    }
}

TEST_F(FrameTest, KernelsAgreeOnBothSetsAtOddPlaces)
{
    // Strided and packed sources, buffers that end where the picture ends.
    const Bytes src = Noise(921600, 3);
    for (int w : {1, 2, 5, 15, 16, 17, 33, 64, 160, 176, 320}) {
        const int h = 3;
        Bytes a(static_cast<size_t>(w) * h * 3), b(a.size());
        TurnAndTonePlain(src.data(), 1065, w, h, a.data());
        FrameKernelsSelect(TRUE);
        TurnAndTone(src.data(), 1065, w, h, b.data());
        EXPECT_EQ(a, b) << w;
        Bytes c(src.begin(), src.begin() + a.size()), d = c;
        TurnAndTonePlainInPlace(c.data(), w, h);
        TurnAndToneInPlace(d.data(), w, h);
        EXPECT_EQ(c, d) << w;
        EXPECT_EQ(c, Tone(Turn(Bytes(src.begin(), src.begin() + a.size()), w, h))) << w;
    }
}

TEST_F(FrameTest, FirstPixelAt352ComesFromColumn40Row10)
{
    Bytes decoded(921600, 0);
    const int at = 10 * 1920 + 40 * 3;
    decoded[at] = 100;
    decoded[at + 1] = 101;
    decoded[at + 2] = 102;
    SetUpFrameProcessor(processor, Packed(352, 288));
    const Bytes out = ProcessUndecoded(decoded);
    const size_t last = out.size() - 3;
    EXPECT_EQ(out[last], ToneCurve[100]);
    EXPECT_EQ(out[last + 1], ToneCurve[101]);
    EXPECT_EQ(out[last + 2], ToneCurve[102]);
    EXPECT_EQ(out[last - 3], 0);
}

TEST_F(FrameTest, AllWhiteIsDeliveredAs253)
{
    const Bytes white(921600, 255);
    for (const Size& s : kSizes) {
        SetUpFrameProcessor(processor, Packed(s.w, s.h));
        const Bytes out = ProcessUndecoded(white);
        EXPECT_EQ(out, Bytes(out.size(), 253)) << s.w;
    }
}

TEST_F(FrameTest, ZoomWindowsAndTheZoomedPicture)
{
    SetUpFrameProcessor(processor, Packed(320, 240));
    SetZoomLevel(processor, 8);
    EXPECT_EQ(processor->zoomWindow.left, 40);
    EXPECT_EQ(processor->zoomWindow.top, 30);
    EXPECT_EQ(processor->zoomWindow.width, 240);
    EXPECT_EQ(processor->zoomWindow.height, 180);
    SetZoomLevel(processor, 16);
    EXPECT_EQ(processor->zoomWindow.left, 80);
    EXPECT_EQ(processor->zoomWindow.top, 60);
    EXPECT_EQ(processor->zoomWindow.width, 160);
    EXPECT_EQ(processor->zoomWindow.height, 120);

    const Bytes decoded = Noise(921600, 11);
    processor->zoomEnabled = 1;
    const ZoomWindow window = processor->zoomWindow;
    EXPECT_EQ(ProcessUndecoded(decoded), Deliver(decoded.data(), 320, 240, &window));

    SetZoomLevel(processor, 17);  // stored, window kept and still applied
    EXPECT_EQ(processor->zoomLevel, 17);
    EXPECT_EQ(processor->zoomWindow.width, 160);
    EXPECT_EQ(ProcessUndecoded(decoded), Deliver(decoded.data(), 320, 240, &window));

    // A window kept from a larger size does not fit 160 × 120: the picture stays in bounds.
    SetUpFrameProcessor(processor, Packed(160, 120));
    EXPECT_EQ(ProcessUndecoded(decoded).size(), 57600u);

    SetZoomLevel(processor, 1);
    EXPECT_EQ(processor->zoomWindow.left, 2);
    EXPECT_EQ(processor->zoomWindow.top, 1);
    EXPECT_EQ(processor->zoomWindow.width, 156);
    EXPECT_EQ(processor->zoomWindow.height, 118);
    const ZoomWindow small = processor->zoomWindow;
    EXPECT_EQ(ProcessUndecoded(decoded), Deliver(decoded.data(), 160, 120, &small));

    ResetZoom(processor);
    EXPECT_EQ(processor->zoomEnabled, 0);
    EXPECT_EQ(processor->zoomLevel, 0);
    EXPECT_EQ(processor->zoomWindow.width, 156);
    EXPECT_EQ(ProcessUndecoded(decoded), Deliver(decoded.data(), 160, 120, nullptr));

    // Never at 640 × 480.
    SetUpFrameProcessor(processor, Packed(640, 480));
    processor->zoomEnabled = 1;
    SetZoomLevel(processor, 8);
    EXPECT_EQ(ProcessUndecoded(decoded), Deliver(decoded.data(), 640, 480, nullptr));
}

// A camera frame of the simulated camera, and what our decoder makes of it.
struct CameraFrame {
    Bytes frame;
    Bytes decoded;
};

CameraFrame MakeCameraFrame(const char* scene)
{
    std::string error;
    nimbra::camsim::FrameSource source(nimbra::camsim::Scene::Create(scene, error));
    CameraFrame f;
    f.frame = source.MakeFrame(1, nimbra::camsim::PictureSettings{});
    auto* d = static_cast<JpegDecoder*>(ExAllocatePool(NonPagedPool, sizeof(JpegDecoder)));
    const auto t = nimbra::camsim::CameraHeaderTemplate();
    std::memcpy(d->headerTemplate, t.data(), t.size());
    d->headerLength = 624;
    d->outputWidth = 640;
    d->outputHeight = 480;
    d->outputStride = 1920;
    f.decoded.assign(921600, 0);
    const CompressedFrame frame{f.frame.data(), static_cast<ULONG>(f.frame.size())};
    DecodeFrame(d, &frame, f.decoded.data());
    EXPECT_EQ(d->status, 0);
    ExFreePool(d);
    return f;
}

TEST_F(FrameTest, CameraFramesAreDecodedFittedAndTurned)
{
    const CameraFrame f = MakeCameraFrame("orientation");
    for (const Size& s : kSizes) {
        SetUpFrameProcessor(processor, Packed(s.w, s.h));
        Bytes output(921600, 0);
        const CompressedFrame frame{f.frame.data(), static_cast<ULONG>(f.frame.size())};
        ProcessFrame(processor, &frame, output.data());
        output.resize(static_cast<size_t>(processor->frameBytes));
        EXPECT_EQ(output, Deliver(f.decoded.data(), s.w, s.h, nullptr)) << s.w;
    }
}

TEST_F(FrameTest, TheFrameMayLieInTheOutputBuffer)
{
    const CameraFrame f = MakeCameraFrame("bars");
    SetUpFrameProcessor(processor, Packed(640, 480));
    Bytes output(921600, 0);
    std::copy(f.frame.begin(), f.frame.end(), output.begin());
    const CompressedFrame frame{output.data(), static_cast<ULONG>(f.frame.size())};
    ProcessFrame(processor, &frame, output.data());
    EXPECT_EQ(output, Deliver(f.decoded.data(), 640, 480, nullptr));
}

TEST_F(FrameTest, DamagedFramesYieldPicturesFromThePreviousContents)
{
    const CameraFrame f = MakeCameraFrame("orientation");
    std::vector<Bytes> damaged;
    damaged.emplace_back(f.frame.begin(), f.frame.begin() + 5);                       // too short
    damaged.emplace_back(f.frame.begin(), f.frame.begin() + f.frame.size() / 2);      // cut short
    Bytes corrupt = f.frame;
    for (size_t i = 40; i < corrupt.size(); i += 97) corrupt[i] ^= 0x5A;
    damaged.push_back(corrupt);
    Bytes oversize = f.frame;
    oversize.resize(408987, 0);                                                        // one byte too many
    damaged.push_back(oversize);
    Bytes huge = f.frame;
    huge.resize(600000, 0x11);
    damaged.push_back(huge);
    for (const Size& s : kSizes) {
        SetUpFrameProcessor(processor, Packed(s.w, s.h));
        for (const Bytes& bad : damaged) {
            Bytes output(921600, 0x33);
            const CompressedFrame frame{bad.data(), static_cast<ULONG>(bad.size())};
            EXPECT_EQ(ProcessFrame(processor, &frame, output.data()), STATUS_SUCCESS);
        }
        // The last frame decoded nothing: the output comes from the target's previous contents.
        Bytes previous(921600);
        if (s.w == 640) {
            previous.assign(921600, 0x33);
        } else {
            std::copy(processor->workBuffer, processor->workBuffer + 921600, previous.begin());
        }
        Bytes output(921600, 0x33);
        const CompressedFrame frame{huge.data(), static_cast<ULONG>(huge.size())};
        ProcessFrame(processor, &frame, output.data());
        output.resize(static_cast<size_t>(processor->frameBytes));
        EXPECT_EQ(output, Deliver(previous.data(), s.w, s.h, nullptr)) << s.w;
    }
}

TEST_F(FrameTest, NothingIsAllocatedPerFrame)
{
    const CameraFrame f = MakeCameraFrame("orientation");
    SetUpFrameProcessor(processor, Packed(176, 144));
    Bytes output(921600);
    const CompressedFrame frame{f.frame.data(), static_cast<ULONG>(f.frame.size())};
    ProcessFrame(processor, &frame, output.data());
    const auto before = nimbra::host::GetPoolStats();
    ProcessFrame(processor, &frame, output.data());
    const auto after = nimbra::host::GetPoolStats();
    EXPECT_EQ(after.liveBlocks, before.liveBlocks);
    EXPECT_EQ(after.liveBytes, before.liveBytes);
}

// The exposure loop against the simulated camera: frames rendered at the exposure the driver
// applied, measured by ProcessFrame, applied as the frame worker applies them.
int RunLoop(uint16_t unityExposure, int frames, ExposureModel& model, FrameProcessor* processor)
{
    std::string error;
    nimbra::camsim::FrameSource source(nimbra::camsim::Scene::Create("gray", error));
    Bytes output(921600);
    int inBandSince = -1;
    for (int n = 0; n < frames; ++n) {
        nimbra::camsim::PictureSettings settings;
        settings.exposure = model.appliedExposure;
        settings.unityExposure = unityExposure;
        const Bytes& wire = source.MakeFrame(static_cast<uint32_t>(n), settings);
        const CompressedFrame frame{wire.data(), static_cast<ULONG>(wire.size())};
        ProcessFrame(processor, &frame, output.data());
        if (model.exposureChanged) {
            model.appliedExposure = model.exposureValue.load();
            model.exposureChanged = 0;
        }
        const unsigned expected = 128u * model.appliedExposure / unityExposure;
        const bool inBand = expected >= model.bandLow && expected <= model.bandHigh;
        if (inBand && inBandSince < 0) inBandSince = n;
        if (!inBand) inBandSince = -1;
    }
    return inBandSince;
}

TEST_F(FrameTest, ExposureLoopConvergesFromTooDarkAndTooBright)
{
    for (uint16_t unity : {600, 150}) {
        InitializeExposureModel(&model, nullptr);
        SetUpFrameProcessor(processor, Packed(320, 240));
        const int since = RunLoop(unity, 60, model, processor);
        EXPECT_GE(since, 0) << "unity " << unity << " index " << model.exposureIndex;
        EXPECT_LT(since, 40) << unity;
        EXPECT_EQ(model.exposureIndex, unity == 600 ? 15 : 11) << unity;
    }
}

}  // namespace
}  // namespace frametest

namespace frametest {
namespace {

// Each vector kernel set against the reference, at every size and at odd widths around its
// block sizes (32 and 64 pixels). A set the processor lacks is skipped, and says so.
class KernelSetTest : public FrameTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(KernelSetTest, GivesTheReferenceBytes)
{
    if (!FrameKernelsSelectSet(GetParam())) {
        GTEST_SKIP() << "this processor lacks kernel set " << GetParam()
                     << (GetParam() == FRAME_KERNELS_AVX512_VBMI ? " (AVX-512 VBMI)" : " (AVX2)");
    }
    const Bytes src = Noise(921600, 5);
    for (int w : {1, 31, 32, 33, 63, 64, 65, 127, 128, 129, 176, 191, 352}) {
        for (int h : {1, 2, 3}) {
            const size_t bytes = static_cast<size_t>(w) * h * 3;
            const Bytes packed(src.begin(), src.begin() + static_cast<std::ptrdiff_t>(bytes));
            const Bytes want = Tone(Turn(packed, w, h));
            Bytes out(bytes);
            TurnAndTone(src.data(), 3 * w, w, h, out.data());
            EXPECT_EQ(out, want) << w << "x" << h;
            Bytes inPlace = packed;
            TurnAndToneInPlace(inPlace.data(), w, h);
            EXPECT_EQ(inPlace, want) << w << "x" << h << " in place";
        }
    }
    // Every byte value through the curve, from a strided source.
    Bytes all(3 * 256 * 2);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i * 7 + i / 256);
    Bytes toned(3 * 256);
    TurnAndTone(all.data(), 3 * 512, 256, 1, toned.data());
    EXPECT_EQ(toned, Tone(Turn(Bytes(all.begin(), all.begin() + 768), 256, 1)));
    const Bytes decoded = Noise(921600, 9);
    for (const Size& s : kSizes) {
        SetUpFrameProcessor(processor, Packed(s.w, s.h));
        EXPECT_EQ(ProcessUndecoded(decoded), Deliver(decoded.data(), s.w, s.h, nullptr)) << s.w;
    }
    EXPECT_EQ(FrameKernelsInUse(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Sets, KernelSetTest,
                         ::testing::Values(ULONG{FRAME_KERNELS_PLAIN}, ULONG{FRAME_KERNELS_AVX2},
                                           ULONG{FRAME_KERNELS_AVX512_VBMI}),
                         [](const ::testing::TestParamInfo<ULONG>& info) {
                             return info.param == FRAME_KERNELS_PLAIN  ? std::string("Plain")
                                    : info.param == FRAME_KERNELS_AVX2 ? std::string("Avx2")
                                                                        : std::string("Avx512Vbmi");
                         });

}  // namespace
}  // namespace frametest
