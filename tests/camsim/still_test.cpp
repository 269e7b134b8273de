// The still camera: the 8-byte command protocol, picture reads on pipe 1, memory writes on
// pipe 6 and the data port, run the way the host's still-image channel runs them.
#include "camsim_test_util.h"

namespace nimbra::camsim::test {
namespace {

constexpr int kPollLimit = 32000;

// One command: for each byte, poll 0x21 until bit 0 clears, then write it to 0x19; then poll
// until bit 3 clears and read the reply from 0x19. `polls` counts the status queries.
uint8_t Command(Camera& camera, std::vector<uint8_t> command, int* polls = nullptr)
{
    int count = 0;
    for (uint8_t byte : command) {
        while (++count < kPollLimit && (Query(camera, 0x21) & kStatusBusy)) {
        }
        Send(camera, {0x19, byte});
    }
    while (++count < kPollLimit && (Query(camera, 0x21) & kStatusNoReply)) {
    }
    if (polls) *polls = count;
    return count >= kPollLimit ? 0xFF : Query(camera, 0x19);
}

std::vector<uint8_t> ReadData(Camera& camera, size_t bytes)
{
    std::vector<uint8_t> out;
    std::vector<uint8_t> chunk(kStillBlockSize);
    while (out.size() < bytes) {
        size_t actual = 0;
        if (camera.HandleDataIn(kEpVideoBulk, chunk, &actual) != UsbHandshake::Ack) break;
        out.insert(out.end(), chunk.begin(), chunk.begin() + actual);
    }
    return out;
}

std::vector<uint8_t> Cmd(uint8_t code, uint8_t arg = 0, uint32_t length = 0)
{
    return {0x00, code, arg, 0x00, 0x00, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length >> 16)};
}

struct Still : ::testing::Test {
    Camera camera;
    void SetUp() override { Configure(camera, 0); }
};

// Count, size, read: the data on pipe 1 is the stored picture, padded to whole blocks; a second
// block of a read asked for n × L bytes waits on the pipe for the next data read.
TEST_F(Still, CountSizeAndReadPictures)
{
    const auto stored = camera.StoredPictures();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(Command(camera, Cmd(kCmdPictureCount)), 2);
    for (uint8_t i = 0; i < 2; ++i) {
        ASSERT_EQ(Command(camera, Cmd(kCmdPictureInfo, i)), kReplyData);
        const auto info = ReadData(camera, kStillBlockSize);
        ASSERT_EQ(info.size(), kStillBlockSize);
        const uint32_t size = info[0] | (info[1] << 8) | (info[2] << 16) | (static_cast<uint32_t>(info[3]) << 24);
        EXPECT_EQ(size, stored[i].jpeg.size());
        EXPECT_EQ(info[4] | (info[5] << 8), 640);
        EXPECT_EQ(info[6] | (info[7] << 8), 480);

        const uint32_t blocks = (size + kStillBlockSize - 1) / kStillBlockSize;
        ASSERT_EQ(Command(camera, Cmd(kCmdReadPicture, i, blocks * kStillBlockSize)), kReplyData);
        auto data = ReadData(camera, blocks * kStillBlockSize);
        ASSERT_EQ(data.size(), blocks * kStillBlockSize);
        EXPECT_TRUE(std::equal(stored[i].jpeg.begin(), stored[i].jpeg.end(), data.begin()));
        RgbImage image;
        data.resize(size);
        EXPECT_TRUE(DecodeJpeg(data, image));
    }
    // Nothing more on the pipe: a further read is NAKed.
    std::vector<uint8_t> chunk(kStillBlockSize);
    size_t actual = 0;
    EXPECT_EQ(camera.HandleDataIn(kEpVideoBulk, chunk, &actual), UsbHandshake::Nak);
    EXPECT_EQ(Command(camera, Cmd(kCmdReadPicture, 9)), kReplyNoPicture);
    EXPECT_EQ(Command(camera, Cmd(kCmdDeleteAll)), kCmdDeleteAll);
    EXPECT_EQ(Command(camera, Cmd(kCmdPictureCount)), 0);
}

// Busy after each byte and a reply that takes a status query to appear: the host's polls see
// both bits; 0xB5, 0xBA and the other codes answer as documented.
TEST_F(Still, StatusBitsAndReplies)
{
    int polls = 0;
    EXPECT_EQ(Command(camera, Cmd(kCmdStillMode), &polls), kCmdStillMode);
    // First byte: one query; each later byte finds the camera busy once; the reply shows after
    // one busy and one not-ready query.
    EXPECT_EQ(polls, 1 + 7 * 2 + 3);
    EXPECT_EQ(camera.LastCommand(), Cmd(kCmdStillMode));
    EXPECT_EQ(Command(camera, Cmd(kCmdVideoMode)), kCmdVideoMode);
    EXPECT_EQ(Command(camera, Cmd(0x77)), kReplyUnknownCommand);
    // The reply is taken once; then bit 3 shows no reply again.
    EXPECT_EQ(Query(camera, 0x21), kStatusNoReply);
    // A lone 0x54 between commands drops the unread reply and the data waiting on pipe 1.
    for (uint8_t byte : Cmd(kCmdPictureInfo, 0)) Send(camera, {0x19, byte});
    Send(camera, {0x19, 0x54});
    EXPECT_EQ(Query(camera, 0x21) & kStatusNoReply, kStatusNoReply);
    std::vector<uint8_t> chunk(kStillBlockSize);
    size_t actual = 0;
    EXPECT_EQ(camera.HandleDataIn(kEpVideoBulk, chunk, &actual), UsbHandshake::Nak);
    EXPECT_EQ(Command(camera, Cmd(kCmdPictureCount)), 2);
}

// Memory write: address ÷ 8 and length set up in mode 0x02, the data on pipe 6 in mode 0x22,
// register 0x20 bit 0 when all of it arrived. The written JPEG can then be stored as a picture.
TEST_F(Still, MemoryWriteThenStore)
{
    const auto source = camera.StoredPictures()[1].jpeg;
    std::vector<uint8_t> data(source);
    data.resize((data.size() + 1023) / 1024 * 1024, 0);
    const uint32_t address = 0x012345 & ~7u;
    Send(camera, {0x01, 0x01});
    EXPECT_EQ(Query(camera, 0x01) & 1, 1);
    Send(camera, {0x00, 0x02});
    Send(camera, {0x0C, static_cast<uint8_t>(address / 8), static_cast<uint8_t>(address / 8 >> 8),
                  static_cast<uint8_t>(address / 8 >> 16)});
    const auto size = static_cast<uint32_t>(data.size());
    Send(camera, {0x24, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16)});
    Send(camera, {0x00, 0x22});
    EXPECT_EQ(Query(camera, 0x20) & 1, 0);
    for (size_t at = 0; at < data.size(); at += 32768) {
        const size_t n = std::min<size_t>(32768, data.size() - at);
        ASSERT_EQ(camera.HandleDataOut(kEpMemoryWrite, std::span(data).subspan(at, n)), UsbHandshake::Ack);
    }
    EXPECT_EQ(Query(camera, 0x20) & 1, 1);
    EXPECT_EQ(camera.Memory(address, data.size()), data);
    EXPECT_EQ(camera.MemoryBytesReceived(), data.size());
    Send(camera, {0x00, 0x00});
    Send(camera, {0x01, 0x00});
    // Outside the data phase pipe 6 refuses data.
    EXPECT_EQ(camera.HandleDataOut(kEpMemoryWrite, std::span(data).subspan(0, 16)), UsbHandshake::Stall);

    // Store what sits at address 0 as a picture: garbage first, then the JPEG moved there.
    EXPECT_EQ(Command(camera, Cmd(kCmdStoreMemory, 0, size)), kReplyBadPicture);
    Send(camera, {0x00, 0x02});
    Send(camera, {0x0C, 0, 0, 0});
    Send(camera, {0x00, 0x22});
    ASSERT_EQ(camera.HandleDataOut(kEpMemoryWrite, data), UsbHandshake::Ack);
    EXPECT_EQ(Command(camera, Cmd(kCmdStoreMemory, 0, size)), kCmdStoreMemory);
    EXPECT_EQ(Command(camera, Cmd(kCmdPictureCount)), 3);
    EXPECT_EQ(Command(camera, Cmd(kCmdTakePicture)), kCmdTakePicture);
    EXPECT_EQ(camera.StoredPictures().size(), 4u);
}

TEST_F(Still, ZeroLengthMemoryWriteIsDoneAtOnce)
{
    Send(camera, {0x00, 0x02});
    Send(camera, {0x24, 0, 0, 0});
    Send(camera, {0x00, 0x22});
    EXPECT_EQ(Query(camera, 0x20) & 1, 1);
}

// The data port: 0x0F holds address ÷ 4; port writes in mode 0x28, reads in mode 0x2A, each
// reply after the 0x1F selection the next byte.
TEST_F(Still, DataPortRoundTrip)
{
    std::vector<uint8_t> bytes(20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x30 + i);
    Send(camera, {0x0F, 0x10});
    Send(camera, {0x00, 0x28});
    std::vector<uint8_t> first = {0x1F};
    first.insert(first.end(), bytes.begin(), bytes.begin() + 15);
    Send(camera, first);
    std::vector<uint8_t> second = {0x1F};
    second.insert(second.end(), bytes.begin() + 15, bytes.end());
    Send(camera, second);
    Send(camera, {0x00, 0x00});
    EXPECT_EQ(camera.PortBytes(0x40, 20), bytes);
    Send(camera, {0x0F, 0x10});
    Send(camera, {0x00, 0x2A});
    Send(camera, {0x1F});
    for (uint8_t expected : bytes) EXPECT_EQ(Query(camera, 0xFF), expected);
}

}  // namespace
}  // namespace nimbra::camsim::test
