// Whole decodes through DecodeFrame: the camera frame, what the caller sees on failures, the
// output geometry, and the pool (block counts, release on every path, allocation faults).
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "jpeg/jpeg_internal.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;
using nimbra::host::GetPoolStats;

namespace {

struct CameraFrame {
    Bytes frame;      // 10 header bytes + entropy-coded data
    Bytes reference;  // libjpeg-turbo's decode of the same picture, stride 1920
};

CameraFrame MakeCameraFrame(int kind, int restartInterval = 0)
{
    EncodeOptions options;
    options.quality = 50;
    options.restartInterval = restartInterval;
    const Bytes jpeg = Encode(MakeScene(640, 480, 3, kind), options);
    CameraFrame f;
    f.frame.assign(10, 0x33);
    const Bytes data = EntropyData(jpeg);
    f.frame.insert(f.frame.end(), data.begin(), data.end());
    int w, h;
    f.reference = ReferenceDecode(jpeg, &w, &h);
    return f;
}

void SetCamera(JpegDecoder* d, int width = 640, int height = 480)
{
    const Bytes t = CameraTemplate(width, height);
    std::memcpy(d->headerTemplate, t.data(), t.size());
    d->headerLength = 624;
    d->outputWidth = 640;
    d->outputHeight = 480;
    d->outputStride = 1920;
}

int MaxDiff(const Bytes& a, const Bytes& b)
{
    int m = 0;
    for (size_t i = 0; i < a.size(); i++) {
        m = std::max(m, std::abs(a[i] - b[i]));
    }
    return m;
}

bool RowsUntouched(const Bytes& out, int from, int to, int stride, uint8_t fill)
{
    return std::all_of(out.begin() + from * stride, out.begin() + to * stride, [fill](uint8_t v) { return v == fill; });
}

TEST(DecodeFrame, CameraFrameFillsEveryRowBottomUp)
{
    PoolDecoder d;
    SetCamera(d.d);
    const CameraFrame f = MakeCameraFrame(1);
    Bytes out(1920 * 480, 0xA5);
    CompressedFrame cf{f.frame.data(), static_cast<ULONG>(f.frame.size())};
    const auto before = GetPoolStats();
    DecodeFrame(d.d, &cf, out.data());
    const auto after = GetPoolStats();
    EXPECT_EQ(d->status, 0);
    EXPECT_LE(MaxDiff(out, f.reference), 3);
    EXPECT_EQ(after.liveBlocks, before.liveBlocks);
    EXPECT_LE(after.allocations - before.allocations, 44u);
    // Decoding in place: the frame's bytes at the start of the output buffer.
    Bytes inPlace(1920 * 480, 0);
    std::memcpy(inPlace.data(), f.frame.data(), f.frame.size());
    CompressedFrame self{inPlace.data(), static_cast<ULONG>(f.frame.size())};
    DecodeFrame(d.d, &self, inPlace.data());
    EXPECT_EQ(inPlace, out);
}

TEST(DecodeFrame, FramesThatCannotBeAssembledTouchNothing)
{
    PoolDecoder d;
    SetCamera(d.d);
    Bytes big(kJpegWorkAreaBytes - 624 + 11, 0);
    Bytes out(1920 * 480, 0xA5);
    const ULONG counts[] = {0, 10, static_cast<ULONG>(big.size()), 0xFFFFFFFFu};
    for (ULONG count : counts) {
        const auto before = GetPoolStats();
        CompressedFrame cf{big.data(), count};
        DecodeFrame(d.d, &cf, out.data());
        EXPECT_EQ(GetPoolStats().allocations, before.allocations) << count;
        EXPECT_TRUE(RowsUntouched(out, 0, 480, 1920, 0xA5));
    }
}

TEST(DecodeFrame, ErrorInMcuRowTenKeepsTheRowsAbove)
{
    PoolDecoder d;
    EncodeOptions options;
    options.restartInterval = 40;  // one restart interval per MCU row
    Bytes jpeg = Encode(MakeScene(640, 480, 3, 1), options);
    int w, h;
    const Bytes reference = ReferenceDecode(jpeg, &w, &h);
    int seen = 0;
    const size_t start = jpeg.size() - EntropyData(jpeg).size();
    for (size_t i = start; i + 1 < jpeg.size(); i++) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xD0 && jpeg[i + 1] <= 0xD7 && ++seen == 10) {
            jpeg[i + 1] = 0xD5;  // should be RST1, before MCU row 10
            break;
        }
    }
    ASSERT_EQ(seen, 10);
    const Bytes out = DecodeFile(d.d, jpeg, 640, 480, 0xA5);
    EXPECT_EQ(d->status, JPEG_RESTART);
    EXPECT_TRUE(RowsUntouched(out, 0, 400, 1920, 0xA5));
    EXPECT_LE(MaxDiff(Bytes(out.begin() + 400 * 1920, out.end()), Bytes(reference.begin() + 400 * 1920, reference.end())), 3);
    EXPECT_EQ(GetPoolStats().liveBlocks, 1u);  // the decoder record itself
}

TEST(DecodeFrame, OutputGeometry)
{
    struct Case {
        const char* name;
        int imageWidth, imageHeight;
        int outWidth, outHeight, stride;
        LONG status;
        int rowsWritten;  // from the bottom of the buffer
    } cases[] = {
        {"image shorter than the output", 640, 400, 640, 480, 1920, 0, 400},
        {"output narrower than the image", 640, 480, 320, 480, 1920, 0, 480},
        {"output wider than the image", 320, 240, 640, 480, 1920, JPEG_OUTPUT_GEOMETRY, 0},
        {"image taller than the output", 640, 480, 640, 240, 1920, JPEG_OUTPUT_GEOMETRY, 0},
        {"stride below 3 x width", 640, 480, 640, 480, 1919, JPEG_OUTPUT_GEOMETRY, 0},
        {"image over 1280 x 1024", 1288, 720, 640, 480, 1920, 0, 0},
    };
    for (const auto& c : cases) {
        PoolDecoder d;
        EncodeOptions options;
        options.quality = 50;
        const Bytes jpeg = Encode(MakeScene(c.imageWidth, c.imageHeight, 3, 0), options);
        const Bytes data = EntropyData(jpeg);
        SetCamera(d.d, c.imageWidth, c.imageHeight);
        d->outputWidth = c.outWidth;
        d->outputHeight = c.outHeight;
        d->outputStride = c.stride;
        Bytes frame(10, 0);
        frame.insert(frame.end(), data.begin(), data.end());
        Bytes out(static_cast<size_t>(c.stride) * c.outHeight, 0xA5);
        CompressedFrame cf{frame.data(), static_cast<ULONG>(frame.size())};
        DecodeFrame(d.d, &cf, out.data());
        EXPECT_EQ(d->status, c.status) << c.name;
        const int untouched = c.outHeight - c.rowsWritten;
        EXPECT_TRUE(RowsUntouched(out, 0, untouched, c.stride, 0xA5)) << c.name;
        if (c.rowsWritten > 0) {
            EXPECT_FALSE(RowsUntouched(out, untouched, untouched + 1, c.stride, 0xA5)) << c.name;
            // Bytes between 3 x width and the stride are never written.
            if (c.stride > 3 * c.outWidth) {
                EXPECT_EQ(out[static_cast<size_t>(c.outHeight - 1) * c.stride + 3 * c.outWidth], 0xA5) << c.name;
            }
        }
        EXPECT_EQ(GetPoolStats().liveBlocks, 1u) << c.name;
    }
}

TEST(DecodeFrame, AllocationFailuresAnywhereReleaseEverything)
{
    EncodeOptions options;
    options.progressive = true;
    options.optimize = true;
    const Bytes jpeg = Encode(MakeScene(48, 32, 3, 1), options);
    PoolDecoder d;
    const auto before = GetPoolStats();
    DecodeFile(d.d, jpeg, 48, 32);
    ASSERT_EQ(d->status, 0);
    const uint64_t allocations = GetPoolStats().allocations - before.allocations;
    EXPECT_GE(allocations, 20u);
    EXPECT_LE(allocations, 44u);
    for (uint64_t n = 1; n <= allocations; n++) {
        nimbra::host::FailAllocationAfter(n);
        const Bytes out = DecodeFile(d.d, jpeg, 48, 32);
        nimbra::host::ClearAllocationFaults();
        EXPECT_EQ(d->status, JPEG_NO_MEMORY) << n;
        EXPECT_EQ(GetPoolStats().liveBlocks, before.liveBlocks) << n;
    }
}

TEST(DecodeFrame, AllocationSlotsRunOutAfterOneHundred)
{
    PoolDecoder d;
    LoadStream(d.d, {0});
    for (int i = 0; i < kJpegAllocationSlots; i++) {
        ASSERT_NE(DecoderAlloc(d.d, 1), nullptr);
    }
    EXPECT_EQ(DecoderAlloc(d.d, 1), nullptr);
    EXPECT_EQ(d->status, JPEG_NO_SLOT);
    DecoderFreeAll(d.d);
    EXPECT_EQ(GetPoolStats().liveBlocks, 1u);  // the decoder record itself
}

TEST(DecodeFrame, ScanLineRefusesBeforeReady)
{
    PoolDecoder d;
    LoadStream(d.d, {0});
    const UCHAR* line = nullptr;
    LONG length = 0;
    EXPECT_EQ(DecodeScanLine(d.d, &line, &length), -1);
}

}  // namespace
