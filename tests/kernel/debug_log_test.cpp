// DbgPrint: one log entry per call, formatted, without its trailing newline.
#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"

using namespace nimbra::host;

namespace {

TEST(DebugLogTest, KeepsEachFormattedLine)
{
    ClearDebugLog();
    DbgPrint("nimbra: frame %u of %s\n", 7u, "capture");
    DbgPrint("%s", "no newline");
    EXPECT_EQ(DebugLog(), (std::vector<std::string>{"nimbra: frame 7 of capture", "no newline"}));
    ClearDebugLog();
    EXPECT_TRUE(DebugLog().empty());
}

}  // namespace
