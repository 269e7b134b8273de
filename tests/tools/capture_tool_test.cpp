// nimbra capture run as a child process: its files, its summary, its exit statuses, its help, and
// a clean stop on SIGINT.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/tools/png_reader.h"

namespace {

namespace fs = std::filesystem;

struct ChildResult {
    int exitStatus = -1;  // -1: did not exit normally
    std::string out;
    std::string err;
};

// A running child with its stdout and stderr on pipes.
class Child {
public:
    explicit Child(const std::vector<std::string>& args)
    {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            close(out[1]);
            close(err[1]);
            std::vector<char*> argv;
            std::string tool = NIMBRA_TOOL;
            argv.push_back(tool.data());
            std::vector<std::string> copy = args;
            for (std::string& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(tool.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }

    pid_t Pid() const { return pid_; }

    // Reads both pipes until stderr holds `text` (true) or both pipes end (false).
    bool WaitForStderr(const std::string& text)
    {
        while (result_.err.find(text) == std::string::npos) {
            if (!Pump()) return false;
        }
        return true;
    }

    // Reads both pipes to their end and reaps the child.
    ChildResult Wait()
    {
        while (Pump()) {
        }
        int status = 0;
        if (pid_ > 0 && !reaped_ && waitpid(pid_, &status, 0) == pid_) {
            reaped_ = true;
            result_.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return result_;
    }

private:
    // One blocking poll on the open pipes; false once both have ended.
    bool Pump()
    {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (out_ < 0 && err_ < 0) return false;
        if (poll(fds, 2, -1) < 0) return false;
        char buffer[65536];
        int* ends[2] = {&out_, &err_};
        std::string* texts[2] = {&result_.out, &result_.err};
        for (int i = 0; i < 2; ++i) {
            if (*ends[i] < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = read(*ends[i], buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(*ends[i]);
                *ends[i] = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    ChildResult result_;
};

ChildResult RunTool(const std::vector<std::string>& args)
{
    Child child(args);
    return child.Wait();
}

std::vector<unsigned char> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using nimbra::test::Png;
using nimbra::test::ReadPng;

class CaptureToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("nimbra-tools-" + std::to_string(getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

TEST_F(CaptureToolTest, HelpNamesEveryOptionAndTheCompressedFrameSource)
{
    const ChildResult result = RunTool({"capture", "--help"});
    EXPECT_EQ(result.exitStatus, 0);
    for (const char* option : {"--size", "--frames", "--scene", "--out", "--raw", "--dump", "--save-compressed",
                               "--registry", "--trace", "--fast", "--json", "orientation", "ffplay"}) {
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
    }
}

TEST_F(CaptureToolTest, BadArgumentsExitWithStatusTwoAndOneLine)
{
    const std::vector<std::vector<std::string>> cases = {
        {"capture", "--fast", "--size", "640"},
        {"capture", "--fast", "--size", "641x480"},
        {"capture", "--fast", "--scene", "no-such-scene"},
        {"capture", "--fast", "--frames", "0"},
        {"capture", "--fast", "--raw", "-", "--json", "-"},
        {"capture", "--fast", "--no-such-option"},
        {"capture", "--fast", "--raw", "/nonexistent-dir/x.bgr"},
    };
    for (const auto& args : cases) {
        const ChildResult result = RunTool(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(result.exitStatus, 2) << joined << "\n" << result.err;
        EXPECT_FALSE(result.err.empty()) << joined;
    }
}

// Every output of one run agrees with the others: PNG = the delivered bytes shown as a bottom-up
// DIB, raw = the delivered rows top-down, the compressed frames run through `nimbra process`
// give the delivered bytes back exactly, and the summary describes the same pictures.
TEST_F(CaptureToolTest, EveryOutputOfARunDescribesTheSamePictures)
{
    const int width = 320, height = 240, frames = 4;
    const size_t bytes = static_cast<size_t>(width) * height * 3;
    const ChildResult result =
        RunTool({"capture", "--fast", "--frames", std::to_string(frames), "--size", "320x240", "--scene", "moving",
                 "--out", Path("png"), "--dump", Path("dump"), "--save-compressed", Path("compressed"), "--raw",
                 Path("raw.bgr"), "--json", Path("summary.json"), "--registry", Path("settings.reg"), "--trace",
                 Path("trace.pcap")});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.err.find("frame 4/4"), std::string::npos) << result.err;  // progress on stderr

    std::ifstream summaryFile(Path("summary.json"));
    const nlohmann::json summary = nlohmann::json::parse(summaryFile);
    EXPECT_EQ(summary["framesDelivered"], frames);
    EXPECT_EQ(summary["exposureIndex"].size(), static_cast<size_t>(frames));
    EXPECT_GT(summary["peakPoolBytes"].get<size_t>(), 0u);
    EXPECT_GE(summary["framesPerSecond"].get<double>(), 0.0);
    ASSERT_EQ(summary["frames"].size(), static_cast<size_t>(frames));

    const std::vector<unsigned char> raw = ReadFile(Path("raw.bgr"));
    ASSERT_EQ(raw.size(), bytes * frames);
    long long lastTime = -1;
    std::vector<unsigned char> previous;
    for (int k = 1; k <= frames; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06d", k);
        const std::vector<unsigned char> dump = ReadFile(dir_ / "dump" / (std::string(name) + ".bin"));
        ASSERT_EQ(dump.size(), bytes) << k;
        EXPECT_NE(dump, previous) << "the moving scene changes from picture to picture";
        previous = dump;

        const nlohmann::json& frame = summary["frames"][k - 1];
        EXPECT_EQ(frame["index"], k);
        EXPECT_EQ(frame["dataUsed"], bytes);
        EXPECT_GE(frame["pictureNumber"].get<long long>(), 1);
        EXPECT_GE(frame["dropCount"].get<long long>(), 0);
        EXPECT_GE(frame["presentationTime"].get<long long>(), lastTime);
        lastTime = frame["presentationTime"].get<long long>();
        double green = 0;
        for (size_t i = 1; i < bytes; i += 3) green += dump[i];
        EXPECT_NEAR(frame["meanGreen"].get<double>(), green / (bytes / 3), 1e-6);

        const Png png = ReadPng(dir_ / "png" / (std::string(name) + ".png"));
        ASSERT_EQ(png.width, width);
        ASSERT_EQ(png.height, height);
        const size_t row = static_cast<size_t>(width) * 3;
        for (int y : {0, height / 2, height - 1}) {
            const unsigned char* buffer = dump.data() + (height - 1 - y) * row;  // displayed row y
            const unsigned char* raw_row = raw.data() + (k - 1) * bytes + y * row;
            EXPECT_EQ(std::memcmp(raw_row, buffer, row), 0) << "raw row " << y;
            for (int x : {0, width - 1}) {
                const unsigned char* shown = png.rgb.data() + y * row + x * 3;
                EXPECT_EQ(shown[0], buffer[x * 3 + 2]);  // red
                EXPECT_EQ(shown[1], buffer[x * 3 + 1]);
                EXPECT_EQ(shown[2], buffer[x * 3]);      // blue
            }
        }

        char compressed[40];
        std::snprintf(compressed, sizeof compressed, "camera-%06d.bin", k);
        const ChildResult processed = RunTool({"process", (dir_ / "compressed" / compressed).string(), "--size",
                                               "320x240", "-o", Path("processed.bin")});
        ASSERT_EQ(processed.exitStatus, 0) << processed.err;
        EXPECT_EQ(ReadFile(Path("processed.bin")), dump) << "compressed frame " << k;
    }

    // The missing registry file was created with what the driver wrote at close.
    std::ifstream reg(Path("settings.reg"));
    const std::string text{std::istreambuf_iterator<char>(reg), std::istreambuf_iterator<char>()};
    for (const char* value : {"\"Brightness\"=dword:0000000f", "\"Saturation\"=dword:000000c8",
                              "\"Sharpness\"=dword:00000001", "\"Gamma\"=dword:00000001", "\"Exposure\"=dword:00000032",
                              "\"LightSoure\"=dword:00000000", "\"Flicker\"=dword:0000003c"}) {
        EXPECT_NE(text.find(value), std::string::npos) << value << "\n" << text;
    }
    // The trace is a pcap file (little-endian magic).
    const std::vector<unsigned char> trace = ReadFile(Path("trace.pcap"));
    ASSERT_GE(trace.size(), 24u);
    EXPECT_EQ(trace[0], 0xD4);
    EXPECT_EQ(trace[1], 0xC3);
}

// A registry file that exists is loaded before the stream runs and saved after it: values out of
// range come back clamped, values in range unchanged. Runs on the paced bus (the default).
TEST_F(CaptureToolTest, AnExistingRegistryFileIsLoadedAndSavedBack)
{
    {
        std::ofstream reg(Path("settings.reg"));
        reg << "REGEDIT4\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Video]\n"
               "\"Brightness\"=dword:0000002d\n"
               "\"Gamma\"=dword:00000002\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Custom]\n"
               "\"LightSoure\"=dword:00000002\n"
               "\"Flicker\"=dword:00000032\n";
    }
    const ChildResult result =
        RunTool({"capture", "--frames", "1", "--size", "160x120", "--registry", Path("settings.reg"), "--json", "-"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const nlohmann::json summary = nlohmann::json::parse(result.out);
    EXPECT_EQ(summary["framesDelivered"], 1);
    EXPECT_EQ(summary["paced"], true);
    std::ifstream reg(Path("settings.reg"));
    const std::string text{std::istreambuf_iterator<char>(reg), std::istreambuf_iterator<char>()};
    for (const char* value : {"\"Brightness\"=dword:0000001e", "\"Gamma\"=dword:00000002",
                              "\"LightSoure\"=dword:00000002", "\"Flicker\"=dword:00000032",
                              "\"Saturation\"=dword:000000c8"}) {
        EXPECT_NE(text.find(value), std::string::npos) << value << "\n" << text;
    }
}

// SIGINT while streaming: the stream is stopped and closed, the settings saved, the summary
// written for the pictures delivered, and the exit status is 0.
TEST_F(CaptureToolTest, SigintStopsTheStreamCleanly)
{
    Child child({"capture", "--fast", "--frames", "100000000", "--size", "160x120", "--json", Path("summary.json"),
                 "--registry", Path("settings.reg")});
    ASSERT_GT(child.Pid(), 0);
    ASSERT_TRUE(child.WaitForStderr("frame 2/")) << "no picture before the child ended";
    ASSERT_EQ(kill(child.Pid(), SIGINT), 0);
    const ChildResult result = child.Wait();
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.err.find("(interrupted)"), std::string::npos) << result.err;

    std::ifstream summaryFile(Path("summary.json"));
    const nlohmann::json summary = nlohmann::json::parse(summaryFile);
    EXPECT_EQ(summary["interrupted"], true);
    EXPECT_GE(summary["framesDelivered"].get<long long>(), 2);
    EXPECT_LT(summary["framesDelivered"].get<long long>(), 100000000);
    EXPECT_TRUE(summary["error"].is_null());
    std::ifstream reg(Path("settings.reg"));
    const std::string text{std::istreambuf_iterator<char>(reg), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("\"Flicker\"=dword:0000003c"), std::string::npos) << text;
}

}  // namespace
