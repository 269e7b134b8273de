// Marker parsing and frame set-up: the header's status codes, table-driven.
#include <cstring>

#include <gtest/gtest.h>

#include "jpeg/jpeg_internal.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

// Flat tables for a grey or colour frame, then one scan of the given components.
Builder Tables(Builder b)
{
    Bytes dc(12), ac = {0x00, 0xF0, 0x01};
    for (int i = 0; i < 12; i++) {
        dc[i] = static_cast<uint8_t>(i);
    }
    b.Dqt(0, 1).Dqt(1, 1).FlatDht(0, 0, dc).FlatDht(1, 0, ac);
    return b;
}

// Runs header, set-up and the first scan's start the way DecodeFrame does; returns the status.
LONG RunHeader(JpegDecoder* d, const Bytes& stream)
{
    std::memcpy(d->workArea, stream.data(), stream.size());
    d->streamLength = static_cast<ULONG>(stream.size());
    ReadImageHeader(d);
    if (d->status == 0) {
        SetUpFrame(d);
    }
    if (d->status == 0 && !d->progressive && !StartScan(d)) {
        SetStatus(d, JPEG_MISPLACED_MARKER);
    }
    const LONG status = d->status;
    DecoderFreeAll(d);
    return status;
}

Bytes GreyStream(Builder prefix, const std::vector<int>& hv = {0x11})
{
    Builder b = Tables(prefix);
    b.Sof(0xC0, 16, 16, hv).Sos({1}).Bits(0, 8).Flush().Eoi();
    return b.bytes;
}

Bytes Junk(size_t n)
{
    return Bytes(n, 0x5A);
}

TEST(Markers, HeaderStatusCodes)
{
    struct Case {
        const char* name;
        Bytes stream;
        LONG status;
    };
    Builder soi;
    soi.Soi();
    std::vector<Case> cases = {
        {"plain", GreyStream(soi), 0},
        {"SOI after 511 bytes", GreyStream(Builder().Raw(Junk(511)).Soi()), 0},
        {"SOI after 512 bytes", GreyStream(Builder().Raw(Junk(512)).Soi()), JPEG_NO_SOI},
        {"searched SOI not followed by FF", Builder().Raw(Junk(3)).Soi().Raw({0x00, 0xFF, 0xC0}).bytes, JPEG_NO_SOI},
        {"fill bytes and a stray 00", GreyStream(Builder().Soi().Raw({0x00, 0xFF, 0xFF, 0xFF, 0x00})), 0},
        {"COM of length 2", GreyStream(Builder().Soi().Raw({0xFF, 0xFE, 0x00, 0x02})), 0},
        {"COM of length 1", GreyStream(Builder().Soi().Raw({0xFF, 0xFE, 0x00, 0x01})), JPEG_SEGMENT_LENGTH},
        {"DRI of length 4, interval 0", GreyStream(Builder().Soi().Dri(0)), 0},
        {"DRI of length 5", GreyStream(Builder().Soi().Raw({0xFF, 0xDD, 0x00, 0x05, 0, 0, 0})), JPEG_DRI_LENGTH},
        {"RST in the header", GreyStream(Builder().Soi().Raw({0xFF, 0xD3})), JPEG_MISPLACED_MARKER},
        {"DAC", GreyStream(Builder().Soi().Raw({0xFF, 0xCC, 0x00, 0x04, 0, 0})), JPEG_ARITHMETIC},
        {"DQT table 4", GreyStream(Builder().Soi().Dqt(4, 1)), JPEG_DQT_TABLE},
        {"DQT length 1", GreyStream(Builder().Soi().Raw({0xFF, 0xDB, 0x00, 0x01})), JPEG_DQT_LENGTH},
        {"DQT short", GreyStream(Builder().Soi().Raw({0xFF, 0xDB, 0x00, 0x10, 0x00})), JPEG_DQT_SHORT},
        {"DHT length 1", GreyStream(Builder().Soi().Raw({0xFF, 0xC4, 0x00, 0x01})), JPEG_DHT_LENGTH},
        {"DHT slot 8", GreyStream(Builder().Soi().FlatDht(1, 4, {1})), JPEG_HUFFMAN_SLOT},
        {"DHT counts 256", GreyStream(Builder().Soi().Dht(0, 0, {0, 0, 0, 0, 0, 0, 0, 255, 1, 0, 0, 0, 0, 0, 0, 0}, Bytes(256, 1))),
         JPEG_HUFFMAN_COUNTS},
        {"DHT shorter than its table", GreyStream(Builder().Soi().Raw({0xFF, 0xC4, 0x00, 0x05, 0x00}).Raw(Bytes(16, 0))), JPEG_DHT_LENGTH},
        {"SOF3", Tables(Builder().Soi()).Sof(0xC3, 8, 8, {0x11}).bytes, JPEG_UNSUPPORTED_FRAME},
        {"SOF9", Tables(Builder().Soi()).Sof(0xC9, 8, 8, {0x11}).bytes, JPEG_ARITHMETIC},
        {"EOI first", Builder().Soi().Eoi().bytes, JPEG_UNSUPPORTED_FRAME},
        {"precision 12", Tables(Builder().Soi()).Raw({0xFF, 0xC0, 0, 11, 12, 0, 8, 0, 8, 1, 1, 0x11, 0}).bytes, JPEG_PRECISION},
        {"height 0", Tables(Builder().Soi()).Sof(0xC0, 8, 0, {0x11}).bytes, JPEG_HEIGHT},
        {"width 8193", Tables(Builder().Soi()).Sof(0xC0, 8193, 8, {0x11}).bytes, JPEG_WIDTH},
        {"5 components", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11, 0x11, 0x11, 0x11, 0x11}).bytes, JPEG_FRAME_COMPONENTS},
        {"SOF length", Tables(Builder().Soi()).Raw({0xFF, 0xC0, 0, 12, 8, 0, 8, 0, 8, 1, 1, 0x11, 0}).bytes, JPEG_SOF_LENGTH},
        {"2 components", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11, 0x11}).Sos({1}).bytes, JPEG_COMPONENT_COUNT},
        {"4:4:0 chroma 2x1", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11, 0x21, 0x11}).Sos({1}).bytes, JPEG_SAMPLING},
        {"first 3x1", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x31, 0x11, 0x11}).Sos({1}).bytes, JPEG_SAMPLING},
        {"grey factor 0", GreyStream(Builder().Soi(), {0x01}), JPEG_SAMPLING},
        {"grey 2x2 is type 0", GreyStream(Builder().Soi(), {0x22}), 0},
        {"scan names component 7", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11}).Sos({7}).bytes, JPEG_SCAN_COMPONENT},
        {"SOS length", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11}).Raw({0xFF, 0xDA, 0, 9, 1, 1, 0, 0, 63, 0}).bytes, JPEG_SOS},
        {"scan DC table 1 undefined", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11}).Sos({1}, 0, 63, 0, 0, 0x10).bytes,
         JPEG_NO_HUFFMAN_TABLE},
        {"scan DC selector 9", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11}).Sos({1}, 0, 63, 0, 0, 0x90).bytes,
         JPEG_NO_HUFFMAN_TABLE},
        {"scan AC selector 15", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11}).Sos({1}, 0, 63, 0, 0, 0x0F).bytes,
         JPEG_NO_HUFFMAN_TABLE},
        {"quant selector 7", Tables(Builder().Soi()).Raw({0xFF, 0xC0, 0, 11, 8, 0, 8, 0, 8, 1, 1, 0x11, 7}).Sos({1}).bytes,
         JPEG_NO_QUANT_TABLE},
        {"quant table 2 undefined", Tables(Builder().Soi()).Raw({0xFF, 0xC0, 0, 11, 8, 0, 8, 0, 8, 1, 1, 0x11, 2}).Sos({1}).bytes,
         JPEG_NO_QUANT_TABLE},
        {"DQT after SOF before SOS", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11}).Dqt(0, 3).Sos({1}).bytes, 0},
        {"scan repeats Y beyond 10 blocks",
         Tables(Builder().Soi()).Sof(0xC0, 16, 16, {0x22, 0x11, 0x11}).Sos({1, 1, 1}).bytes, JPEG_SOS},
        {"scan repeats Y beyond the frame's MCU",
         Tables(Builder().Soi()).Sof(0xC0, 16, 16, {0x21, 0x11, 0x11}).Sos({1, 1, 2}).bytes, JPEG_SOS},
        {"SOF where a scan should start", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11}).Sof(0xC0, 8, 8, {0x11}).bytes,
         JPEG_MISPLACED_MARKER},
        {"EOI before the first scan", Tables(Builder().Soi()).Sof(0xC0, 8, 8, {0x11}).Eoi().bytes, JPEG_MISPLACED_MARKER},
    };
    for (const auto& c : cases) {
        PoolDecoder d;
        EXPECT_EQ(RunHeader(d.d, c.stream), c.status) << c.name;
    }
}

TEST(Markers, SixteenBitQuantisationValueIsStoredAsItsLowBits)
{
    PoolDecoder d;
    Bytes s = Tables(Builder().Soi().Dqt(2, 40000, true)).Sof(0xC0, 8, 8, {0x11}).bytes;
    std::memcpy(d->workArea, s.data(), s.size());
    d->streamLength = static_cast<ULONG>(s.size());
    ASSERT_TRUE(ReadImageHeader(d.d));
    EXPECT_EQ(d->quantTables[2][0], static_cast<SHORT>(40000 - 65536));
    EXPECT_EQ(d->quantTables[2][63], static_cast<SHORT>(40000 - 65536));
    DecoderFreeAll(d.d);
}

TEST(FrameSetUp, CameraGeometry)
{
    PoolDecoder d;
    Bytes s = CameraTemplate();
    std::memcpy(d->workArea, s.data(), s.size());
    d->streamLength = static_cast<ULONG>(s.size());
    ASSERT_TRUE(ReadImageHeader(d.d));
    SetUpFrame(d.d);
    ASSERT_EQ(d->status, 0);
    EXPECT_EQ(d->samplingType, 2);
    EXPECT_EQ(d->mcuWidth, 16);
    EXPECT_EQ(d->mcuHeight, 8);
    EXPECT_EQ(d->frameBlocksPerMcu, 4);
    EXPECT_EQ(d->frameMcusPerRow, 40);
    EXPECT_EQ(d->frameMcusPerColumn, 60);
    EXPECT_EQ(d->blocksPerMcuRow, 160);
    EXPECT_EQ(d->bytesPerLineBuffer, 2560);
    ASSERT_TRUE(StartScan(d.d));
    EXPECT_EQ(d->scanBlocksPerMcu, 4);
    EXPECT_EQ(d->scanMcusPerRow, 40);
    DecoderFreeAll(d.d);
}

TEST(FrameSetUp, GreyTwoByTwoScanIsOneComponentWide)
{
    PoolDecoder d;
    Bytes s = GreyStream(Builder().Soi(), {0x22});
    std::memcpy(d->workArea, s.data(), s.size());
    d->streamLength = static_cast<ULONG>(s.size());
    ASSERT_TRUE(ReadImageHeader(d.d));
    SetUpFrame(d.d);
    ASSERT_TRUE(StartScan(d.d));
    EXPECT_EQ(d->samplingType, 0);
    EXPECT_EQ(d->scanMcusPerRow, 2);  // ceil(16 / 8)
    EXPECT_EQ(d->scanBlocksPerMcu, 1);
    DecoderFreeAll(d.d);
}

}  // namespace
