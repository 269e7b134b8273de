// nimbra controls run as a child process: the properties it lists, the values it sets and reads
// back, its refusals and exit statuses, and the settings it keeps in a registry file.
#include <gtest/gtest.h>

#include "tests/tools/tool_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using nimbra::test::RunTool;
using nimbra::test::ToolResult;

using nimbra::test::ReadTextFile;

size_t Lines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class ControlsToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("nimbra-controls-" + std::to_string(getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs `nimbra controls ARGS...` with its output in files.
    ToolResult Controls(std::vector<std::string> args)
    {
        args.insert(args.begin(), "controls");
        return RunTool(std::move(args), dir_);
    }

    // The values printed by `controls --json ARGS...`, by name; fails the test when the run fails.
    std::map<std::string, long> Values(std::vector<std::string> args)
    {
        args.push_back("--json");
        const ToolResult result = Controls(args);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        std::map<std::string, long> values;
        if (result.exitStatus != 0) return values;
        for (const auto& entry : nlohmann::json::parse(result.out)) values[entry["name"]] = entry["value"];
        return values;
    }

    fs::path dir_;
};

TEST_F(ControlsToolTest, ListsEveryPropertyWithItsValueAndPublishedRange)
{
    const ToolResult result = Controls({"--json"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const nlohmann::json list = nlohmann::json::parse(result.out);
    std::vector<std::string> names;
    for (const auto& entry : list) names.push_back(entry["name"]);
    const std::vector<std::string> expected = {"brightness", "saturation", "sharpness",  "gamma",  "light-source",
                                               "flicker",    "exposure-target", "flag-3", "zoom", "zoom-level",
                                               "flag-7",     "flag-8",     "bridge-register"};
    EXPECT_EQ(names, expected);
    // With no stored settings, the driver's defaults as loaded at the first run.
    const nlohmann::json& brightness = list[0];
    EXPECT_EQ(brightness["value"], 15);
    EXPECT_EQ(brightness["minimum"], 0);
    EXPECT_EQ(brightness["maximum"], 30);
    EXPECT_EQ(brightness["default"], 15);
    EXPECT_EQ(list[1]["minimum"], 1);  // saturation: 0 is refused
    EXPECT_EQ(list[5]["value"], 60);   // flicker
    EXPECT_EQ(list[5]["step"], 10);

    const ToolResult table = Controls({});
    ASSERT_EQ(table.exitStatus, 0) << table.err;
    EXPECT_EQ(Lines(table.out), expected.size());
    EXPECT_NE(table.out.find("(0..30, default 15)"), std::string::npos) << table.out;
}

TEST_F(ControlsToolTest, SetsAreAppliedInOrderAndReadBack)
{
    // zoom on clears flag-3 and keeps it clear; the register keeps its low byte.
    std::map<std::string, long> values =
        Values({"brightness=3", "saturation=255", "sharpness=0", "gamma=3", "light-source=2", "flicker=50",
                "exposure-target=100", "flag-3=1", "zoom=1", "flag-3=1", "zoom-level=16", "flag-8=1",
                "bridge-register=0x1A5"});
    const std::map<std::string, long> expected = {
        {"brightness", 3},     {"saturation", 255},      {"sharpness", 0}, {"gamma", 3},   {"light-source", 2},
        {"flicker", 50},       {"exposure-target", 100}, {"flag-3", 0},    {"zoom", 1},    {"zoom-level", 16},
        {"flag-7", 0},         {"flag-8", 1},            {"bridge-register", 0xA5}};
    EXPECT_EQ(values, expected);
    // Order matters: flag-3 set after zoom is turned off again sticks.
    values = Values({"zoom=1", "zoom=0", "flag-3=1", "brightness=-0"});
    EXPECT_EQ(values["flag-3"], 1);
    EXPECT_EQ(values["brightness"], 0);
}

TEST_F(ControlsToolTest, ValuesTheDriverRefusesExitOneNamingTheProperty)
{
    for (const std::string set : {"brightness=31", "brightness=-1", "saturation=0", "sharpness=3", "gamma=4"}) {
        const ToolResult result = Controls({"zoom=1", set});
        EXPECT_EQ(result.exitStatus, 1) << set;
        EXPECT_EQ(Lines(result.err), 1u) << result.err;
        EXPECT_NE(result.err.find(set.substr(0, set.find('='))), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("STATUS_INVALID_PARAMETER"), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
}

TEST_F(ControlsToolTest, UnknownNamesAndValuesThatAreNotNumbersExitTwo)
{
    for (const std::string arg : {"contrast=1", "gamma=abc", "gamma=", "gamma", "gamma=010x", "zoom=0x",
                                   "brightness=4294967296", "=3"}) {
        const ToolResult result = Controls({"brightness=3", arg});
        EXPECT_EQ(result.exitStatus, 2) << arg;
        EXPECT_EQ(Lines(result.err), 1u) << arg << ": " << result.err;
        EXPECT_TRUE(result.out.empty()) << arg;
    }
}

TEST_F(ControlsToolTest, RegistryFileKeepsThePersistedSettingsBetweenRuns)
{
    const std::string registry = Path("settings.reg");
    Values({"--registry", registry, "brightness=4", "gamma=0", "exposure-target=80", "light-source=1", "flicker=50",
            "zoom=1"});
    ASSERT_TRUE(fs::exists(registry));
    const std::string text = ReadTextFile(registry);
    EXPECT_NE(text.find("\"Brightness\"=dword:00000004"), std::string::npos) << text;
    EXPECT_NE(text.find("\"LightSoure\"=dword:00000001"), std::string::npos) << text;

    std::map<std::string, long> values = Values({"--registry", registry});
    EXPECT_EQ(values["brightness"], 4);
    EXPECT_EQ(values["gamma"], 0);
    EXPECT_EQ(values["exposure-target"], 80);
    EXPECT_EQ(values["light-source"], 1);
    EXPECT_EQ(values["flicker"], 50);
    EXPECT_EQ(values["zoom"], 0);  // zoom lasts for one stream only

    // Without the file the next run starts from the defaults again.
    values = Values({});
    EXPECT_EQ(values["brightness"], 15);
    EXPECT_EQ(values["flicker"], 60);
}

}  // namespace
