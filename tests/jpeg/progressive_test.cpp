// Progressive scans on hand-made grey streams: end-of-band runs, refinement bits and the
// scan-parameter rules.
#include <cstring>

#include <gtest/gtest.h>

#include "jpeg/jpeg_internal.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

const Bytes kAc = {0x00, 0x01, 0x30, 0x11, 0xF0};

Builder Grey(int width, int restart = 0)
{
    Builder b;
    Bytes dc;
    for (int i = 0; i < 12; i++) {
        dc.push_back(static_cast<uint8_t>(i));
    }
    b.Soi().Dqt(0, 1).Sof(0xC2, width, 8, {0x11}).FlatDht(0, 0, dc).FlatDht(1, 0, kAc);
    if (restart) {
        b.Dri(restart);
    }
    return b;
}

int Ac(uint8_t symbol)
{
    int i = 0;
    while (kAc[i] != symbol) {
        i++;
    }
    return i;
}

// Runs the stages up to the end of the scans; the buffers stay for inspection.
LONG RunScans(JpegDecoder* d, Builder& b)
{
    b.Eoi();
    std::memcpy(d->workArea, b.bytes.data(), b.bytes.size());
    d->streamLength = static_cast<ULONG>(b.bytes.size());
    ReadImageHeader(d);
    if (d->status == 0) {
        SetUpFrame(d);
    }
    if (d->status == 0) {
        DecodeProgressiveScans(d);
    }
    return d->status;
}

SHORT AcAt(JpegDecoder* d, int block, int zigzag)
{
    return d->acBuffers[0]->data[64 * block + kZigzagToNatural[zigzag]];
}

TEST(Progressive, EndOfBandRunWithExtraBitsSkipsTwelveBlocks)
{
    PoolDecoder d;
    Builder b = Grey(14 * 8);
    b.Sos({1}, 1, 63, 0, 2).Bits(Ac(0x30), 8).Bits(0b101, 3).Bits(Ac(0x01), 8).Bits(1, 1).Bits(Ac(0x00), 8).Flush();
    ASSERT_EQ(RunScans(d.d, b), 0);
    for (int block = 0; block < 13; block++) {
        EXPECT_EQ(AcAt(d.d, block, 1), 0) << block;
    }
    EXPECT_EQ(AcAt(d.d, 13, 1), 4);  // 1 << Al
    DecoderFreeAll(d.d);
}

TEST(Progressive, DcRefinementSetsTheBitOfItsLevel)
{
    for (int al : {0, 1}) {
        PoolDecoder d;
        Builder b = Grey(8);
        b.Sos({1}, 0, 0, 0, al + 1).Bits(2, 8).Bits(0b11, 2).Flush();  // DC 3 << (al + 1)
        b.Sos({1}, 0, 0, al + 1, al).Bits(1, 1).Flush();
        ASSERT_EQ(RunScans(d.d, b), 0);
        EXPECT_EQ(d->dcBuffers[0]->data[0], (3 << (al + 1)) | (1 << al)) << al;
        DecoderFreeAll(d.d);
    }
}

TEST(Progressive, AcRefinementLeavesACoefficientWithItsBitSet)
{
    PoolDecoder d;
    Builder b = Grey(8);
    // First pass at Al = 1: zz1 = 3 << 1 = 6 (bit 1 set), zz2 = 1 << 1 = 2.
    b.Sos({1}, 1, 63, 0, 1).Bits(Ac(0x01), 8).Bits(0, 1).Bits(Ac(0x01), 8).Bits(1, 1).Bits(Ac(0x00), 8).Flush();
    // Refinement at Al = 0 with an end of band: both coefficients get correction bit 1, which
    // moves them away from zero. A second such scan finds bit 0 set: values stay, bits consumed.
    b.Sos({1}, 1, 63, 1, 0).Bits(Ac(0x00), 8).Bits(1, 1).Bits(1, 1).Flush();
    b.Sos({1}, 1, 63, 1, 0).Bits(Ac(0x00), 8).Bits(1, 1).Bits(1, 1).Flush();
    ASSERT_EQ(RunScans(d.d, b), 0);
    EXPECT_EQ(AcAt(d.d, 0, 1), -3);
    EXPECT_EQ(AcAt(d.d, 0, 2), 3);
    DecoderFreeAll(d.d);
}

TEST(Progressive, ScanParameterRules)
{
    struct Case {
        const char* name;
        int ss, se, ah, al, components;
        LONG status;
    } cases[] = {
        {"DC with spectral end 5", 0, 5, 0, 0, 1, JPEG_SPECTRAL_SELECTION},
        {"start above end", 5, 3, 0, 0, 1, JPEG_SPECTRAL_SELECTION},
        {"end above 63", 1, 64, 0, 0, 1, JPEG_SPECTRAL_SELECTION},
        {"AC scan of two components", 1, 5, 0, 0, 2, JPEG_SPECTRAL_SELECTION},
        {"refinement high 2 low 0", 1, 5, 2, 0, 1, JPEG_SUCCESSIVE_APPROXIMATION},
        {"refinement high 2 low 1", 1, 5, 2, 1, 1, 0},
    };
    for (const auto& c : cases) {
        PoolDecoder d;
        Builder b;
        Bytes dc = {0, 1, 2};
        b.Soi().Dqt(0, 1).Dqt(1, 1).Sof(0xC2, 8, 8, {0x11, 0x11, 0x11}).FlatDht(0, 0, dc).FlatDht(1, 0, kAc);
        b.Sos(c.components == 1 ? std::vector<int>{1} : std::vector<int>{1, 2}, c.ss, c.se, c.ah, c.al);
        b.Bits(0, 8).Flush();
        EXPECT_EQ(RunScans(d.d, b), c.status) << c.name;
        DecoderFreeAll(d.d);
    }
}

TEST(Progressive, RestartResetsTheEndOfBandRun)
{
    PoolDecoder d;
    Builder b = Grey(4 * 8, 2);
    // Interval of 2 blocks: an end-of-band run of 8 (r = 3, bits 000) is cut short by the
    // restart; the third block then decodes its own data.
    b.Sos({1}, 1, 63, 0, 0);
    b.Bits(Ac(0x30), 8).Bits(0b000, 3).Flush().Raw({0xFF, 0xD0});
    b.Bits(Ac(0x01), 8).Bits(1, 1).Bits(Ac(0x00), 8).Bits(Ac(0x00), 8).Flush();
    ASSERT_EQ(RunScans(d.d, b), 0);
    EXPECT_EQ(AcAt(d.d, 2, 1), 1);
    EXPECT_EQ(AcAt(d.d, 3, 1), 0);
    DecoderFreeAll(d.d);
}

}  // namespace
