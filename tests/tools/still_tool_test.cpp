// nimbra still run as a child process: the stored pictures it lists and fetches, the pictures it
// loads, takes and deletes, the snapshot it writes, and its exit statuses.
#include <gtest/gtest.h>

#include "tests/tools/tool_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <jpeglib.h>
#include "tests/tools/png_reader.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

using nimbra::test::RunTool;
using nimbra::test::ToolResult;

Bytes ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A JPEG of a gradient with noise, so that its size is far from a whole number of blocks.
Bytes MakeJpeg(int width, int height, int quality)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    Bytes row(static_cast<size_t>(width) * 3);
    unsigned seed = 7;
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            row[x * 3] = static_cast<unsigned char>(x * 255 / width);
            row[x * 3 + 1] = static_cast<unsigned char>(cinfo.next_scanline * 255 / cinfo.image_height);
            row[x * 3 + 2] = static_cast<unsigned char>(seed >> 24);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes jpeg(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return jpeg;
}

using nimbra::test::Png;
using nimbra::test::ReadPng;

size_t Lines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class StillToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("nimbra-still-" + std::to_string(getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // Two pictures of their own sizes: one under a block, one over several blocks.
        small_ = MakeJpeg(96, 64, 75);
        large_ = MakeJpeg(320, 240, 95);
        WriteFile(dir_ / "small.jpg", small_);
        WriteFile(dir_ / "large.jpg", large_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs `nimbra still ARGS...` with its output in files (the tool writes little).
    ToolResult Still(std::vector<std::string> args)
    {
        args.insert(args.begin(), "still");
        return RunTool(std::move(args), dir_);
    }

    // The camera's list as JSON, with the options given.
    nlohmann::json List(std::vector<std::string> options)
    {
        options.insert(options.begin(), {"list", "--json"});
        const ToolResult result = Still(options);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        return result.exitStatus == 0 ? nlohmann::json::parse(result.out) : nlohmann::json{};
    }

    fs::path dir_;
    Bytes small_;
    Bytes large_;
};

TEST_F(StillToolTest, ListShowsTheCamerasPictures)
{
    const nlohmann::json list = List({"--fast", "--picture", Path("small.jpg"), "--picture", Path("large.jpg")});
    ASSERT_EQ(list["count"], 4);  // the two files, then the camera's two of its scenes
    const struct {
        size_t bytes;
        int width;
        int height;
    } expected[] = {{small_.size(), 96, 64}, {large_.size(), 320, 240}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(list["pictures"][i]["index"], i);
        EXPECT_EQ(list["pictures"][i]["jpegBytes"], expected[i].bytes);
        EXPECT_EQ(list["pictures"][i]["width"], expected[i].width);
        EXPECT_EQ(list["pictures"][i]["height"], expected[i].height);
    }
    EXPECT_EQ(list["pictures"][3]["width"], 640);
    EXPECT_EQ(list["pictures"][3]["height"], 480);

    // The plain list, on the paced bus (the default).
    const ToolResult plain = Still({"list", "--picture", Path("small.jpg"), "--made-pictures", "0"});
    ASSERT_EQ(plain.exitStatus, 0) << plain.err;
    EXPECT_NE(plain.out.find(std::to_string(small_.size()) + "  96x64"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("1 picture stored"), std::string::npos) << plain.out;
}

TEST_F(StillToolTest, GetWritesEachJpegByteForByte)
{
    const std::vector<std::string> camera = {"--fast", "--picture", Path("small.jpg"), "--picture", Path("large.jpg"),
                                             "--made-pictures", "0"};
    std::vector<std::string> args = {"get", "1", "-o", Path("one.jpg")};
    args.insert(args.end(), camera.begin(), camera.end());
    ToolResult result = Still(args);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(ReadFile(Path("one.jpg")), large_);

    args = {"get", "all", "-o", Path("all")};
    args.insert(args.end(), camera.begin(), camera.end());
    result = Still(args);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(ReadFile(dir_ / "all" / "picture-00.jpg"), small_);
    EXPECT_EQ(ReadFile(dir_ / "all" / "picture-01.jpg"), large_);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "all"), fs::directory_iterator{}), 2);
}

// The camera keeps its pictures between runs in the store: a loaded JPEG is listed and fetched
// back exactly, a taken picture is added, and delete-all leaves none.
TEST_F(StillToolTest, PutTakeAndDeleteAllChangeWhatTheCameraHolds)
{
    const std::string store = Path("store");
    ToolResult result = Still({"put", Path("large.jpg"), "--fast", "--store", store});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find("stored as picture 2"), std::string::npos) << result.out;

    nlohmann::json list = List({"--fast", "--store", store});
    ASSERT_EQ(list["count"], 3);
    EXPECT_EQ(list["pictures"][2]["jpegBytes"], large_.size());
    EXPECT_EQ(list["pictures"][2]["width"], 320);
    result = Still({"get", "2", "-o", Path("back.jpg"), "--fast", "--store", store});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(ReadFile(Path("back.jpg")), large_);

    result = Still({"take", "--fast", "--store", store});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find("4 pictures stored"), std::string::npos) << result.out;
    list = List({"--fast", "--store", store});
    ASSERT_EQ(list["count"], 4);
    EXPECT_EQ(list["pictures"][3]["width"], 640);

    result = Still({"delete-all", "--fast", "--store", store});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(List({"--fast", "--store", store})["count"], 0);
}

TEST_F(StillToolTest, SnapshotWritesThePictureAsDisplayedOrItsExactBytes)
{
    // The orientation scene, seen upright: a red square at the top left of the screen.
    ToolResult result = Still({"snapshot", "-o", Path("snap.png")});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const Png png = ReadPng(Path("snap.png"));
    ASSERT_EQ(png.width, 320);
    ASSERT_EQ(png.height, 240);
    const unsigned char* topLeft = png.rgb.data() + (60 * 320 + 60) * 3;
    EXPECT_GT(topLeft[0], 150);
    EXPECT_LT(topLeft[1], 130);
    EXPECT_LT(topLeft[2], 130);

    // The delivered buffer is a bottom-up DIB of blue, green, red: the top left is in its last row.
    result = Still({"snapshot", "-o", Path("snap.bin"), "--size", "160x120", "--fast"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const Bytes bin = ReadFile(Path("snap.bin"));
    ASSERT_EQ(bin.size(), 160u * 120u * 3u);
    const unsigned char* red = bin.data() + ((119 - 30) * 160 + 30) * 3;
    EXPECT_LT(red[0], 130);
    EXPECT_LT(red[1], 130);
    EXPECT_GT(red[2], 150);
}

TEST_F(StillToolTest, FailuresAndBadArgumentsExitWithOneLine)
{
    WriteFile(dir_ / "text.jpg", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'});
    WriteFile(dir_ / "empty.jpg", Bytes{});
    struct Case {
        std::vector<std::string> args;
        int exitStatus;
        const char* says;  // in the one line on stderr
    };
    const Case cases[] = {
        {{"get", "2", "-o", Path("x.jpg"), "--fast"}, 2, "no picture 2"},
        {{"get", "first", "-o", Path("x.jpg"), "--fast"}, 2, "index"},
        {{"put", Path("missing.jpg"), "--fast"}, 2, "cannot read"},
        {{"put", Path("empty.jpg"), "--fast"}, 2, "empty"},
        {{"snapshot", "-o", Path("x.jpg"), "--fast"}, 2, ".png or .bin"},
        {{"snapshot", "-o", Path("x.png"), "--size", "641x480", "--fast"}, 2, "not offered"},
        {{"snapshot", "-o", Path("x.png"), "--size", "640", "--fast"}, 2, "--size"},
        {{"list", "--scene", "no-such-scene", "--fast"}, 2, "no-such-scene"},
        {{"list", "--picture", Path("text.jpg"), "--fast"}, 2, "text.jpg"},
        // The camera refuses to store what it cannot decode: its reply is named.
        {{"put", Path("text.jpg"), "--fast"}, 1, "0xE2 (not a decodable JPEG)"},
    };
    for (const Case& c : cases) {
        const ToolResult result = Still(c.args);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.args[0] << " " << c.args[1] << "\n" << result.err;
        EXPECT_EQ(Lines(result.err), 1u) << result.err;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
    // Arguments the parser refuses.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"frobnicate"}, {"get", "0"}, {"list", "--no-such-option"}}) {
        const ToolResult result = Still(args);
        EXPECT_EQ(result.exitStatus, 2) << result.err;
        EXPECT_FALSE(result.err.empty());
    }
}

TEST_F(StillToolTest, HelpNamesEveryActionAndTheRequestsBehindIt)
{
    ToolResult result = Still({"--help"});
    EXPECT_EQ(result.exitStatus, 0);
    for (const char* action : {"list", "get", "take", "put", "delete-all", "snapshot"}) {
        EXPECT_NE(result.out.find(action), std::string::npos) << action;
    }
    result = Still({"snapshot", "--help"});
    EXPECT_EQ(result.exitStatus, 0);
    for (const char* text : {"--size", "--out", "0x223076", "--scene", "--trace", "--debug", "--store"}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
}

}  // namespace
