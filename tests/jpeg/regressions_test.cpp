// Inputs the fuzzers once crashed or hung on (and hand-made hostile streams): each must decode
// to some status without a fault, and release all its memory.
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

TEST(Regressions, EveryKeptInputDecodesSafely)
{
    namespace fs = std::filesystem;
    int count = 0;
    for (const auto& entry : fs::directory_iterator(NIMBRA_JPEG_REGRESSIONS)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() > kJpegWorkAreaBytes) {
            continue;
        }
        PoolDecoder d;
        const auto before = nimbra::host::GetPoolStats();
        DecodeFile(d.d, bytes, 64, 64);
        EXPECT_EQ(nimbra::host::GetPoolStats().liveBlocks, before.liveBlocks) << entry.path();
        count++;
    }
    EXPECT_GT(count, 0);
}

}  // namespace
