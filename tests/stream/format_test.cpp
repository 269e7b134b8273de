// The stream description and format negotiation: stream information, data intersection, the
// format requests on the open stream and the picture geometry they set.
#include <gtest/gtest.h>

#include <cstring>

#include "stream/stream_description.h"
#include "tests/support/stack_fixture.h"
#include "tests/support/stream_helpers.h"
#include "usb/bridge_state.h"

namespace nimbra::test {
namespace {

using FormatTest = StackTest;

// A raw SRB_GET_DATA_INTERSECTION with the caller's copy of a range.
NTSTATUS RawIntersect(host::StreamClassHost& host, ULONG stream, KS_DATARANGE_VIDEO& range, void* out, ULONG size,
                      ULONG* actual)
{
    STREAM_DATA_INTERSECT_INFO info{stream, &range.DataRange, out, size};
    return host.SendAdapterSrb(SRB_GET_DATA_INTERSECTION, &info, 0, actual);
}

TEST_F(FormatTest, StreamInformationNeedsRoomForHeaderAndInformation)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(208);
    EXPECT_EQ(Host().SendAdapterSrb(SRB_GET_STREAM_INFO, buffer.data(), 207), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(Host().SendAdapterSrb(SRB_GET_STREAM_INFO, buffer.data(), 208), STATUS_SUCCESS);
    auto* descriptor = reinterpret_cast<HW_STREAM_DESCRIPTOR*>(buffer.data());
    EXPECT_EQ(descriptor->StreamHeader.NumberOfStreams, 1u);
    EXPECT_EQ(descriptor->StreamHeader.SizeOfHwStreamInformation, 136u);
    EXPECT_EQ(descriptor->StreamHeader.NumDevPropArrayEntries, 2u);
    EXPECT_EQ(descriptor->StreamHeader.Topology->CategoriesCount, 2u);
    const HW_STREAM_INFORMATION& info = descriptor->StreamInfo[0];
    EXPECT_EQ(info.NumberOfPossibleInstances, 1u);
    EXPECT_EQ(info.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(info.NumberOfFormatArrayEntries, 5u);
    EXPECT_EQ(info.NumStreamPropArrayEntries, 2u);
    EXPECT_TRUE(IsEqualGUID(*info.Category, PIN_CATEGORY_CAPTURE));
}

TEST(VideoDataRanges, CarryTheDerivedValuesOfEachSize)
{
    const ULONG sample[] = {921600, 304128, 230400, 76032, 57600};
    const LONG maxBits[] = {73728000, 24330240, 18432000, 6082560, 4608000};
    const DWORD bitRate[] = {4608000, 1520640, 1152000, 380160, 288000};
    for (int i = 0; i < VIDEO_RANGE_COUNT; ++i) {
        const KS_DATARANGE_VIDEO& r = VideoDataRanges[i];
        EXPECT_EQ(r.DataRange.FormatSize, 296u);
        EXPECT_EQ(r.DataRange.SampleSize, sample[i]);
        EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, sample[i]);
        EXPECT_EQ(r.ConfigCaps.MinBitsPerSecond, static_cast<LONG>(sample[i] * 8));
        EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, maxBits[i]);
        EXPECT_EQ(r.VideoInfoHeader.dwBitRate, bitRate[i]);
        EXPECT_EQ(r.ConfigCaps.MinFrameInterval, 666667);
        EXPECT_EQ(r.ConfigCaps.MaxFrameInterval, 1666667);
        EXPECT_TRUE(r.bFixedSizeSamples && r.bTemporalCompression);
    }
}

TEST_F(FormatTest, IntersectionBuildsTheFormatOrSaysWhyNot)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    KS_DATARANGE_VIDEO range = VideoDataRanges[1];  // the caller's copy of 352 × 288
    std::vector<uint8_t> out(1024);
    ULONG actual = 0;
    ASSERT_EQ(RawIntersect(Host(), 0, range, out.data(), 1024, &actual), STATUS_SUCCESS);
    EXPECT_EQ(actual, 152u);
    auto* format = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(out.data());
    EXPECT_EQ(format->DataFormat.FormatSize, 152u);
    EXPECT_EQ(format->DataFormat.SampleSize, 304128u);
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biSizeImage, 304128u);

    ULONG size = 0;
    ASSERT_EQ(RawIntersect(Host(), 0, range, &size, 4, &actual), STATUS_SUCCESS);
    EXPECT_EQ(size, 152u);
    EXPECT_EQ(actual, 4u);
    EXPECT_EQ(RawIntersect(Host(), 0, range, out.data(), 151, &actual), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RawIntersect(Host(), 1, range, out.data(), 1024, &actual), STATUS_NOT_IMPLEMENTED);

    KS_DATARANGE_VIDEO changed = range;
    changed.ConfigCaps.MaxFrameInterval += 1;
    EXPECT_EQ(RawIntersect(Host(), 0, changed, out.data(), 1024, &actual), STATUS_NO_MATCH);
    // A biSize that would copy past the caller's range is refused, never read beyond.
    for (DWORD biSize : {41u, 1000u, 0xFFFFFFF0u, 39u}) {
        KS_DATARANGE_VIDEO bad = range;
        bad.VideoInfoHeader.bmiHeader.biSize = biSize;
        EXPECT_EQ(RawIntersect(Host(), 0, bad, out.data(), 1024, &actual), STATUS_INVALID_PARAMETER) << biSize;
    }
}

TEST_F(FormatTest, OpenAndSetFormatSetTheGeometryAndRefuseUnpublishedSizes)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 640, 480), STATUS_SUCCESS);
    BridgeState* bridge = Session()->bridgeState;
    EXPECT_EQ(bridge->imageSize.load(), 921600);
    EXPECT_EQ(bridge->pixelCount, 307200);
    EXPECT_EQ(bridge->maxCompressedFrame, 307200);
    EXPECT_EQ(bridge->maxCompressedFrameTriple, 921600);

    std::vector<uint8_t> qvga = FormatFor(Host(), video.filter, 320, 240);
    EXPECT_EQ(host::ProposeDataFormat(video.pin, AsFormat(qvga)), STATUS_SUCCESS);
    ASSERT_EQ(host::SetDataFormat(video.pin, AsFormat(qvga)), STATUS_SUCCESS);
    EXPECT_EQ(bridge->imageSize.load(), 230400);
    EXPECT_EQ(bridge->outputWidth, 320);
    EXPECT_EQ(bridge->maxCompressedFrame, 307200);

    std::vector<uint8_t> odd = qvga;
    auto* oddFormat = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(odd.data());
    oddFormat->VideoInfoHeader.bmiHeader.biWidth = 300;
    EXPECT_EQ(host::ProposeDataFormat(video.pin, AsFormat(odd)), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host::SetDataFormat(video.pin, AsFormat(odd)), STATUS_NO_MATCH);
    host::Close(video.pin);

    host::KsHandle pin;
    EXPECT_EQ(host::OpenPin(video.filter, 0, AsFormat(odd), &pin), STATUS_INVALID_PARAMETER);
    oddFormat->VideoInfoHeader.bmiHeader.biWidth = 320;
    oddFormat->VideoInfoHeader.bmiHeader.biSize = 200;  // past the end of the format
    EXPECT_EQ(host::OpenPin(video.filter, 0, AsFormat(odd), &pin), STATUS_INVALID_PARAMETER);
    // A refused open leaves nothing behind: the next good open succeeds.
    EXPECT_EQ(host::OpenPin(video.filter, 0, AsFormat(qvga), &pin), STATUS_SUCCESS);
    host::Close(pin);
}

}  // namespace
}  // namespace nimbra::test
