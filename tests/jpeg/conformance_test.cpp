// Conformance against libjpeg-turbo (JDCT_ISLOW, no fancy upsampling) on JPEGs it makes, of
// every kind the decoder accepts, and pinned outputs of our own integer algorithms.
//
// The outputs differ from libjpeg-turbo's by at most 3 per byte. The causes: our inverse DCT
// runs rows first and libjpeg-turbo's columns first, and each pass rounds (so a sample may
// differ by 1 before colour conversion); and our red uses 91882 for 1.402 where libjpeg-turbo
// rounds to 91881. A luma difference of 1 meets a chroma-term difference in the conversion,
// and with subsampled chroma one differing chroma sample serves several pixels.
#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

constexpr int kMaxDifference = 3;

struct Config {
    const char* name;
    int width, height, components, kind;
    EncodeOptions options;
    uint64_t pinned;  // FNV-1a of our output; 0 = not pinned
};

EncodeOptions Opt(int h, int v, int restart = 0, bool optimize = false, bool progressive = false, int quality = 85,
                  bool baseline = true)
{
    EncodeOptions o;
    o.h = h;
    o.v = v;
    o.restartInterval = restart;
    o.optimize = optimize;
    o.progressive = progressive;
    o.quality = quality;
    o.forceBaseline = baseline;
    return o;
}

const Config kConfigs[] = {
#include "tests/jpeg/conformance_pins.inc"
};

class Conformance : public ::testing::TestWithParam<Config> {};

TEST_P(Conformance, MatchesLibjpegTurboWithinTheStatedDifference)
{
    const Config& c = GetParam();
    const Bytes jpeg = Encode(MakeScene(c.width, c.height, c.components, c.kind, 7), c.options);
    int w = 0, h = 0;
    const Bytes reference = ReferenceDecode(jpeg, &w, &h);
    PoolDecoder d;
    const auto before = nimbra::host::GetPoolStats();
    const Bytes ours = DecodeFile(d.d, jpeg, c.width, c.height);
    const auto after = nimbra::host::GetPoolStats();
    ASSERT_EQ(d->status, 0) << JpegStatusText(d->status);
    EXPECT_EQ(after.liveBlocks, before.liveBlocks);
    EXPECT_LE(after.allocations - before.allocations, 44u);
    ASSERT_EQ(ours.size(), reference.size());
    int maxDiff = 0;
    for (size_t i = 0; i < ours.size(); i++) {
        maxDiff = std::max(maxDiff, std::abs(ours[i] - reference[i]));
    }
    EXPECT_LE(maxDiff, kMaxDifference);
    const uint64_t hash = Fnv1a(ours);
    if (c.pinned != 0) {
        EXPECT_EQ(hash, c.pinned) << c.name;
    } else {
        std::printf("pin %s 0x%016llxull maxdiff %d\n", c.name, static_cast<unsigned long long>(hash), maxDiff);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Conformance, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<Config>& info) { return std::string(info.param.name); });

}  // namespace
