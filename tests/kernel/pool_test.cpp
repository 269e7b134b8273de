// Pool accounting, live-block reporting and allocation-failure injection.
#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"

using namespace nimbra::host;

namespace {

class PoolTest : public testing::Test {
protected:
    void TearDown() override { ClearAllocationFaults(); }
};

TEST_F(PoolTest, AccountsLiveAndPeakBytes)
{
    PoolStats before = GetPoolStats();
    PVOID a = ExAllocatePool(NonPagedPool, 100);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 300, 0x74736554);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    PoolStats during = GetPoolStats();
    EXPECT_EQ(during.liveBytes, before.liveBytes + 400);
    EXPECT_EQ(during.liveBlocks, before.liveBlocks + 2);
    EXPECT_EQ(during.allocations, before.allocations + 2);
    EXPECT_GE(during.peakBytes, before.liveBytes + 400);

    ExFreePool(b);
    ResetPoolPeak();
    EXPECT_EQ(GetPoolStats().peakBytes, before.liveBytes + 100);
    ExFreePoolWithTag(a, 0x74736554);
    PoolStats after = GetPoolStats();
    EXPECT_EQ(after.liveBytes, before.liveBytes);
    EXPECT_EQ(after.liveBlocks, before.liveBlocks);
    EXPECT_EQ(after.peakBytes, before.liveBytes + 100);
}

TEST_F(PoolTest, LiveAllocationsNameTheAllocatingLine)
{
    PVOID block = ExAllocatePool(NonPagedPool, 24);
    unsigned line = __LINE__ - 1;
    bool found = false;
    for (const LiveBlock& live : LiveAllocations()) {
        if (live.site.ends_with("pool_test.cpp:" + std::to_string(line)) && live.bytes == 24) found = true;
    }
    EXPECT_TRUE(found);
    ExFreePool(block);
}

TEST_F(PoolTest, FailsTheNthAllocationFromNowOnce)
{
    for (uint64_t n : {1, 2, 5}) {
        SCOPED_TRACE(n);
        uint64_t failedBefore = GetPoolStats().failedAllocations;
        FailAllocationAfter(n);
        std::vector<PVOID> blocks;
        for (uint64_t i = 1; i <= 7; ++i) {
            PVOID block = ExAllocatePool(NonPagedPool, 8);
            EXPECT_EQ(block == nullptr, i == n) << "allocation " << i;
            if (block != nullptr) blocks.push_back(block);
        }
        for (PVOID block : blocks) ExFreePool(block);
        EXPECT_EQ(GetPoolStats().failedAllocations, failedBefore + 1);
    }
}

constexpr uint32_t kAllocateHereLine = __LINE__ + 3;
PVOID AllocateHere()
{
    return ExAllocatePool(NonPagedPool, 16);
}

TEST_F(PoolTest, FailsEveryAllocationFromACallSite)
{
    struct Case {
        const char* suffix;
        uint32_t line;
        bool fails;
    };
    const Case cases[] = {
        {"pool_test.cpp", kAllocateHereLine, true},
        {"kernel/pool_test.cpp", 0, true},
        {"pool_test.cpp", kAllocateHereLine + 1, false},
        {"other_file.cpp", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.suffix) + ":" + std::to_string(c.line));
        FailAllocationsFrom(c.suffix, c.line);
        for (int i = 0; i < 3; ++i) {
            PVOID block = AllocateHere();
            EXPECT_EQ(block == nullptr, c.fails);
            if (block != nullptr) ExFreePool(block);
        }
        ClearAllocationFaults();
        PVOID block = AllocateHere();
        EXPECT_NE(block, nullptr);
        ExFreePool(block);
    }
}

}  // namespace
