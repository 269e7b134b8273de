// The inverse DCT's short cuts and wrap-around, and the colour tables' ends.
#include <array>

#include <gtest/gtest.h>

#include "jpeg/jpeg_internal.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

struct IdctCase {
    const char* name;
    std::vector<std::pair<int, int>> coefficients;  // (natural index, value)
};

std::array<UCHAR, 64> RunIdct(const std::vector<std::pair<int, int>>& coefficients, SHORT* workspace = nullptr)
{
    SHORT block[64] = {};
    for (auto [i, v] : coefficients) {
        block[i] = static_cast<SHORT>(v);
    }
    std::array<UCHAR, 64> out{};
    InverseDct(block, out.data());
    if (workspace) {
        std::copy(block, block + 64, workspace);
    }
    return out;
}

TEST(InverseDct, FlatBlocks)
{
    struct {
        std::vector<std::pair<int, int>> c;
        int expected;
    } cases[] = {{{}, 128}, {{{0, 80}}, 138}, {{{0, -2000}}, 0}, {{{0, 2000}}, 255}, {{{0, -4}}, 128}, {{{0, -5}}, 127}};
    for (const auto& c : cases) {
        auto out = RunIdct(c.c);
        for (UCHAR v : out) {
            ASSERT_EQ(v, c.expected);
        }
    }
}

TEST(InverseDct, RowPassWrapsToSixteenBits)
{
    SHORT workspace[64];
    RunIdct({{0, 9000}}, workspace);
    EXPECT_EQ(workspace[0], -29536);  // 36,000 stored as 16 bits
    EXPECT_EQ(workspace[7], -29536);
}

TEST(InverseDct, SingleHorizontalFrequencyVariesAlongRowsOnly)
{
    auto out = RunIdct({{1, 100}});
    for (int col = 0; col < 8; col++) {
        for (int row = 1; row < 8; row++) {
            EXPECT_EQ(out[8 * row + col], out[col]);
        }
    }
    EXPECT_GT(out[0], out[7]);
    // Pinned samples of the first row (the transform's own integer arithmetic).
    const UCHAR expected[8] = {145, 143, 138, 131, 125, 118, 113, 111};
    for (int col = 0; col < 8; col++) {
        EXPECT_EQ(out[col], expected[col]) << col;
    }
}

TEST(InverseDct, RowZeroOnlyTakesTheColumnShortCut)
{
    // Coefficients only in row 0: the column pass sees DC-only columns everywhere.
    auto out = RunIdct({{0, 40}, {1, -30}, {3, 12}});
    for (int col = 0; col < 8; col++) {
        for (int row = 1; row < 8; row++) {
            EXPECT_EQ(out[8 * row + col], out[col]);
        }
    }
}

TEST(ColourTables, Ends)
{
    PoolDecoder d;
    BuildColourTables(d.d);
    EXPECT_EQ(d->crToRed[0], -179);
    EXPECT_EQ(d->crToRed[255], 178);
    EXPECT_EQ(d->cbToBlue[0], -227);
    EXPECT_EQ(d->cbToBlue[255], 225);
    EXPECT_EQ(d->cbToGreen[128], 32768);
    EXPECT_EQ(d->crToGreen[128], 0);
    EXPECT_EQ(d->crToRed[129], (91882 + 32768) >> 16);  // 91882, not 91881
    EXPECT_EQ(d->crToRed[128 + 73], (91882 * 73 + 32768) >> 16);
}

// Type 1 (1x1) conversion of one MCU: neutral chroma gives grey; extreme chroma clamps.
TEST(ColourConversion, NeutralAndClampedPixels)
{
    struct {
        UCHAR y, cb, cr;
        UCHAR r, g, b;
    } cases[] = {
        {0, 128, 128, 0, 0, 0},
        {77, 128, 128, 77, 77, 77},
        {255, 128, 128, 255, 255, 255},
        {255, 128, 255, 255, 164, 255},
        {0, 128, 0, 0, 91, 0},
        {128, 0, 128, 128, 172, 0},
    };
    for (const auto& c : cases) {
        PoolDecoder d;
        BuildColourTables(d.d);
        UCHAR samples[192];
        UCHAR line[32] = {};
        std::fill(samples, samples + 64, c.y);
        std::fill(samples + 64, samples + 128, c.cb);
        std::fill(samples + 128, samples + 192, c.cr);
        d->sampleBuffer = samples;
        d->lineBuffers[0] = line;
        d->lineBuffers[1] = nullptr;
        d->samplingType = 1;
        d->frameMcusPerRow = 1;
        ConvertLines(d.d, 3);
        EXPECT_EQ(line[0], c.r);
        EXPECT_EQ(line[1], c.g);
        EXPECT_EQ(line[2], c.b);
        EXPECT_EQ(line[3], 0);  // the fourth byte is never written
    }
}

}  // namespace
