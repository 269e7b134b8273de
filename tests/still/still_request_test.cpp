// The still-image channel through the client API: private device-control requests against the
// simulated still camera, their buffers, statuses and what reaches the camera.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "frame/frame_processor.h"
#include "host/camsim/still_camera.h"
#include "tests/support/stack_fixture.h"
#include "tests/support/stream_helpers.h"
#include "usb/capture_device.h"

namespace nimbra::test {
namespace {

constexpr ULONG kReadCommand = 0x223000;
constexpr ULONG kDataRead = 0x223038;
constexpr ULONG kSendAbort = 0x22303C;
constexpr ULONG kPortWrite = 0x22304C;
constexpr ULONG kPortRead = 0x223050;
constexpr ULONG kMatchCommand = 0x223054;
constexpr ULONG kMemoryWrite = 0x223060;
constexpr ULONG kCommand = 0x223064;
constexpr ULONG kReadReply = 0x223068;
constexpr ULONG kUnsupported = 0x22306C;
constexpr ULONG kSnapshot = 0x223076;

using Bytes = std::vector<uint8_t>;

struct Answer {
    NTSTATUS status;
    ULONG returned;
    Bytes out;
};

// An 8-byte camera command: code, picture index, 24-bit length.
Bytes Command(uint8_t code, uint8_t picture = 0, uint32_t length = 0)
{
    return {0x00, code, picture, 0x00, 0x00, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length >> 16)};
}

// A memory write of one unit (1,024 bytes) that carries only 1,023 of them.
Bytes MemoryRequestShortOfData()
{
    Bytes in = {0, 0, 0, 1, 0};
    in.resize(5 + 1023);
    return in;
}

Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

class StillTest : public StackTest {
protected:
    void SetUp() override
    {
        StackTest::SetUp();
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_EQ(host::OpenFilter(Host(), &filter_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (filter_.IsOpen()) host::Close(filter_);
        StackTest::TearDown();
    }

    Answer Send(ULONG code, const Bytes& in, ULONG outLength)
    {
        Answer a{};
        a.out.assign(outLength, 0);
        a.status = host::DeviceControl(filter_, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                                       outLength ? a.out.data() : nullptr, outLength, &a.returned);
        return a;
    }
    uint64_t Submitted() { return Stack().Bus().GetStats().submitted; }

    host::KsHandle filter_;
};

TEST_F(StillTest, UnsupportedCodeTouchesNoPipeAndOtherUnknownCodesFailAfterTheReset)
{
    uint64_t before = Submitted();
    Answer a = Send(kUnsupported, {}, 0);
    EXPECT_EQ(a.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Submitted(), before);

    before = Submitted();
    a = Send(0x223004, {}, 0);
    EXPECT_EQ(a.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a.returned, 0u);
    EXPECT_EQ(Submitted(), before + 6);  // abort 1, 2, 3, reset 1, 2, 3
}

TEST_F(StillTest, CommandWithReplyMatchSucceedsOnlyWhenTheReplyIsTheCode)
{
    // Picture count answers the count (2), not its code: refused, but the command was sent.
    Answer a = Send(kMatchCommand, Command(camsim::kCmdPictureCount), 0);
    EXPECT_EQ(a.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Camera().LastCommand(), Command(camsim::kCmdPictureCount));

    a = Send(kMatchCommand, Command(camsim::kCmdDeleteAll), 0);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_TRUE(Camera().StoredPictures().empty());

    // The still-mode command moves the interface to alternate 0 first; video mode moves it back.
    a = Send(kMatchCommand, Command(camsim::kCmdStillMode), 0);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(Camera().AlternateSetting(), 0);
    a = Send(kMatchCommand, Command(camsim::kCmdVideoMode), 0);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_NE(Camera().AlternateSetting(), 0);
}

TEST_F(StillTest, StoredPictureIsFetchedWithItsInfoBlockAndBlockCount)
{
    const camsim::StoredPicture picture = Camera().StoredPictures().at(1);
    Bytes info = Command(camsim::kCmdPictureInfo, 1, 8192);
    info.push_back(0);
    Answer a = Send(kReadCommand, info, 8192);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    ASSERT_EQ(a.returned, 8192u);
    const uint32_t size = a.out[0] | (a.out[1] << 8) | (a.out[2] << 16) | (uint32_t(a.out[3]) << 24);
    EXPECT_EQ(size, picture.jpeg.size());

    // L rounded up to whole blocks; the camera is told n × L, this request reads L.
    const uint32_t length = (size + 8191) / 8192 * 8192;
    Bytes read = Command(camsim::kCmdReadPicture, 1, length);
    read.push_back(3);
    a = Send(kReadCommand, read, length);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.returned, length);
    const Bytes told = Camera().LastCommand();
    EXPECT_EQ(told[5] | (told[6] << 8) | (told[7] << 16), static_cast<int>(3 * length));
    EXPECT_EQ(Bytes(a.out.begin(), a.out.begin() + size), picture.jpeg);

    // No such picture: the camera's reply is not 0xA8.
    Bytes missing = Command(camsim::kCmdReadPicture, 9, 8192);
    missing.push_back(0);
    a = Send(kReadCommand, missing, 8192);
    EXPECT_EQ(a.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(a.returned, 0u);
}

TEST_F(StillTest, DataReadTakesWholeChunksOnly)
{
    // The camera sends the picture padded with zeros to the length asked.
    Bytes picture = Camera().StoredPictures().at(0).jpeg;
    picture.resize(24576);
    ASSERT_EQ(Send(kCommand, Command(camsim::kCmdReadPicture, 0, 24576), 0).status, STATUS_SUCCESS);

    Answer a = Send(kDataRead, {}, 8191);
    EXPECT_EQ(a.status, STATUS_INSUFFICIENT_RESOURCES);  // not one whole chunk: nothing read
    a = Send(kDataRead, {}, 20000);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.returned, 20000u);
    EXPECT_EQ(Bytes(a.out.begin(), a.out.begin() + 16384), Bytes(picture.begin(), picture.begin() + 16384));
    EXPECT_EQ(Bytes(a.out.begin() + 16384, a.out.end()), Bytes(3616, 0));  // the rest is not read

    // A command with data read returns its whole L: the part under a chunk reads as zero, not
    // as what the request's buffer held (here the application's own input bytes).
    Bytes read = Command(camsim::kCmdReadPicture, 0, 10000);
    read.push_back(0);
    read.resize(10000, 0xEE);
    a = Send(kReadCommand, read, 10000);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.returned, 10000u);
    EXPECT_EQ(Bytes(a.out.begin(), a.out.begin() + 8192), Bytes(picture.begin(), picture.begin() + 8192));
    EXPECT_EQ(Bytes(a.out.begin() + 8192, a.out.end()), Bytes(1808, 0));
}

TEST_F(StillTest, DataReadWithoutDataTimesOutAndReleasesItsTransfer)
{
    Answer a = Send(kDataRead, {}, 8192);
    EXPECT_EQ(a.status, STATUS_TIMEOUT);
    EXPECT_EQ(a.returned, 0u);
    EXPECT_EQ(Stack().Bus().PendingCount(), 0u);
}

TEST_F(StillTest, DataPortWritesInMessagesOfFifteenAndReadsBack)
{
    struct Case {
        uint16_t address;
        uint16_t count;
        ULONG lastMessage;
    };
    for (const Case c : {Case{0, 0, 15}, Case{8, 20, 5}, Case{400, 30, 15}, Case{1020, 16, 1}}) {
        const Bytes data = Pattern(c.count, static_cast<uint8_t>(c.address));
        Bytes in = {static_cast<uint8_t>(c.address), static_cast<uint8_t>(c.address >> 8),
                    static_cast<uint8_t>(c.count), static_cast<uint8_t>(c.count >> 8)};
        in.insert(in.end(), data.begin(), data.end());
        Camera().ClearMessages();
        Answer a = Send(kPortWrite, in, 0);
        ASSERT_EQ(a.status, STATUS_SUCCESS) << c.count;
        EXPECT_EQ(a.returned, c.lastMessage) << c.count;
        size_t portMessages = 0;
        for (const auto& m : Camera().Messages()) portMessages += m.bytes.size() > 1 && m.bytes[0] == 0x1F;
        EXPECT_EQ(portMessages, (c.count + 14u) / 15u) << c.count;
        EXPECT_EQ(Camera().Register(0x00), 0x00);
        EXPECT_EQ(Camera().Register(0x01), 0x00);

        a = Send(kPortRead, Bytes(in.begin(), in.begin() + 4), c.count);
        ASSERT_EQ(a.status, STATUS_SUCCESS) << c.count;
        EXPECT_EQ(a.returned, c.count);
        EXPECT_EQ(a.out, data) << c.count;  // 1020 + 16 wraps round the 1,024-byte port
    }
}

TEST_F(StillTest, MemoryWriteSendsChunksAndProgramsAddressAndLength)
{
    struct Case {
        uint32_t address;
        uint16_t size;
    };
    for (const Case c : {Case{0x012345, 33}, Case{0x1000, 32}, Case{0, 1}}) {
        const Bytes data = Pattern(c.size * 1024u, 3);
        Bytes in = {static_cast<uint8_t>(c.address), static_cast<uint8_t>(c.address >> 8),
                    static_cast<uint8_t>(c.address >> 16), static_cast<uint8_t>(c.size),
                    static_cast<uint8_t>(c.size >> 8)};
        in.insert(in.end(), data.begin(), data.end());
        const size_t received = Camera().MemoryBytesReceived();
        Answer a = Send(kMemoryWrite, in, 0);
        ASSERT_EQ(a.status, STATUS_SUCCESS) << c.size;
        EXPECT_EQ(a.returned, data.size());
        EXPECT_EQ(Camera().MemoryBytesReceived() - received, data.size());
        const uint32_t unit = c.address / 8;
        EXPECT_EQ(Camera().Register(0x0C), unit & 0xFF);
        EXPECT_EQ(Camera().Register(0x0D), (unit >> 8) & 0xFF);
        EXPECT_EQ(Camera().Register(0x0E), unit >> 16);
        EXPECT_EQ(Camera().Register(0x24), 0x00);
        EXPECT_EQ(Camera().Register(0x25), (data.size() >> 8) & 0xFF);
        EXPECT_EQ(Camera().Register(0x26), data.size() >> 16);
        EXPECT_EQ(Camera().Memory(unit * 8, data.size()), data) << c.size;
        EXPECT_EQ(Camera().Register(0x00), 0x00);
    }
}

TEST_F(StillTest, MemoryWriteOfNothingWaitsOutItsTimeLimit)
{
    Answer a = Send(kMemoryWrite, {0, 0, 0, 0, 0}, 0);
    EXPECT_EQ(a.status, STATUS_TIMEOUT);
    EXPECT_EQ(a.returned, 0u);
}

TEST_F(StillTest, ReplyByteIsReturnedOnlyWhenOneIsPending)
{
    Answer a = Send(kReadReply, {}, 1);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.returned, 0u);

    // This camera makes its reply ready a few status queries after the last command byte, and
    // each request asks once.
    ASSERT_EQ(Send(kCommand, Command(camsim::kCmdPictureCount), 0).status, STATUS_SUCCESS);
    for (int i = 0; i < 4 && a.returned == 0; ++i) {
        a = Send(kReadReply, {}, 1);
        EXPECT_EQ(a.status, STATUS_SUCCESS);
    }
    ASSERT_EQ(a.returned, 1u);
    EXPECT_EQ(a.out[0], Camera().StoredPictures().size());

    // Byte 0x54 drops whatever the camera still held.
    ASSERT_EQ(Send(kCommand, Command(camsim::kCmdPictureCount), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(kSendAbort, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(kReadReply, {}, 1).returned, 0u);
}

TEST_F(StillTest, BuffersShorterThanTheRequestNeedsAreRefusedBeforeAnythingIsSent)
{
    struct Case {
        const char* what;
        ULONG code;
        Bytes in;
        ULONG out;
    };
    Bytes read = Command(camsim::kCmdReadPicture, 0, 16384);
    read.push_back(0);
    const Case cases[] = {
        {"command bytes", kMatchCommand, Bytes(7, 0), 0},
        {"command without reply", kCommand, {}, 0},
        {"read command's count byte", kReadCommand, Command(camsim::kCmdReadPicture, 0, 8192), 8192},
        {"read command's output", kReadCommand, read, 8192},
        {"port write data", kPortWrite, {0, 0, 20, 0, 1, 2, 3}, 0},
        {"port read output", kPortRead, {0, 0, 20, 0}, 19},
        {"port read header", kPortRead, {0, 0, 1}, 1},
        {"memory write data", kMemoryWrite, MemoryRequestShortOfData(), 0},
        {"memory write header", kMemoryWrite, {0, 0, 0, 1}, 0},
        {"reply byte", kReadReply, {}, 0},
    };
    for (const Case& c : cases) {
        const uint64_t before = Submitted();
        Answer a = Send(c.code, c.in, c.out);
        EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL) << c.what;
        EXPECT_EQ(a.returned, 0u) << c.what;
        EXPECT_EQ(Submitted(), before) << c.what;
    }
}

TEST_F(StillTest, CameraThatStopsAnsweringEndsEveryRequestWithNothingLeftBehind)
{
    Stack().Bus().SetEndpointUnresponsive(camsim::kEpReply, true);
    // Each status query times out and reads 0: the bytes go, the reply reads 0.
    EXPECT_EQ(Send(kMatchCommand, Command(camsim::kCmdDeleteAll), 0).status, STATUS_INVALID_PARAMETER);
    // No answer is not a reply of 0.
    Answer reply = Send(kReadReply, {}, 1);
    EXPECT_EQ(reply.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(reply.returned, 0u);
    EXPECT_EQ(Send(kPortRead, {0, 0, 200, 0}, 200).status, STATUS_INSUFFICIENT_RESOURCES);
    Bytes memory = {0, 0, 0, 1, 0};
    memory.resize(5 + 1024);
    EXPECT_EQ(Send(kMemoryWrite, memory, 0).status, STATUS_INSUFFICIENT_RESOURCES);
    Stack().Bus().SetEndpointUnresponsive(camsim::kEpMessages, true);
    EXPECT_EQ(Send(kCommand, Command(camsim::kCmdPictureCount), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Stack().Bus().PendingCount(), 0u);  // every timed-out transfer was withdrawn
}

TEST_F(StillTest, ConcurrentRequestsRunOneAtATime)
{
    // Interleaved command bytes would garble both commands; each must see its own reply.
    std::atomic<int> wrong{0};
    auto run = [&](uint8_t code) {
        for (int i = 0; i < 6; ++i) {
            wrong += Send(kMatchCommand, Command(code), 0).status != STATUS_SUCCESS;
        }
    };
    std::thread a(run, camsim::kCmdStillMode);
    std::thread b(run, camsim::kCmdDeleteAll);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(StillTest, AllocationFailuresAnywhereInAMemoryWriteLeakNothing)
{
    const Bytes data = Pattern(65 * 1024, 9);  // three chunks
    Bytes in = {0, 0, 0, 65, 0};
    in.insert(in.end(), data.begin(), data.end());
    Send(kReadReply, {}, 1);  // the channel record and its query buffer stay for the device's life
    bool succeeded = false;
    for (uint64_t n = 1; n < 200 && !succeeded; ++n) {
        const size_t live = host::GetPoolStats().liveBlocks;
        host::FailAllocationAfter(n);
        Answer a = Send(kMemoryWrite, in, 0);
        host::ClearAllocationFaults();
        EXPECT_EQ(host::GetPoolStats().liveBlocks, live) << n;
        if (a.status == STATUS_SUCCESS) {
            EXPECT_EQ(a.returned, data.size());
            succeeded = true;
        }
    }
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(Camera().Memory(0, data.size()), data);
}

TEST_F(StillTest, SnapshotWithoutVideoReturnsNothingAfterItsWait)
{
    Bytes picture(230400);
    const LONGLONG start = host::HostTimeNow();
    Answer a = Send(kSnapshot, {}, static_cast<ULONG>(picture.size()));
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.returned, 0u);
    EXPECT_GE(host::HostTimeNow() - start, 10000000);
}

TEST_F(StillTest, SnapshotCopiesTheNextPictureTheStreamDelivers)
{
    OpenVideo video;
    ASSERT_EQ(video.Open(Host(), 320, 240), STATUS_SUCCESS);
    ASSERT_EQ(video.Run(), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrames(video.pin, video.ImageBytes(), 1).at(0).status, STATUS_SUCCESS);

    // Too small for one picture of the format: refused.
    Bytes tiny(100);
    ULONG returned = 0;
    EXPECT_EQ(host::DeviceControl(video.filter, kSnapshot, nullptr, 0, tiny.data(), 100, &returned),
              STATUS_BUFFER_TOO_SMALL);

    // The snapshot waits in its own thread; once it is armed, one read lets one picture through.
    // The clock runs slow meanwhile so that its 1 s holds on any machine.
    FrameProcessor* processor = Session()->captureDevice->frameProcessor;
    Bytes snapshot(video.ImageBytes());
    NTSTATUS status = STATUS_PENDING;
    returned = 0;
    host::SetClockRate(0.2);
    std::thread waiter([&] {
        status = host::DeviceControl(video.filter, kSnapshot, nullptr, 0, snapshot.data(),
                                     static_cast<ULONG>(snapshot.size()), &returned);
    });
    while (std::atomic_ref<ULONG>(processor->snapshotState).load() != SNAPSHOT_ARMED) std::this_thread::yield();
    const auto frames = ReadFrames(video.pin, video.ImageBytes(), 1);
    waiter.join();
    host::SetClockRate(kTestClockRate);
    ASSERT_EQ(frames.at(0).status, STATUS_SUCCESS);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(returned, video.ImageBytes());
    EXPECT_EQ(snapshot, frames[0].picture);
    ASSERT_EQ(host::SetState(video.pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(StillTest, ArbitraryRequestsFromAnApplicationNeitherCrashNorLeak)
{
    // Any code of the private range with any bytes and buffer lengths. Outcomes vary with what
    // the camera makes of the bytes; the request must end, return no more than its buffers hold and
    // leave nothing behind. The clock runs fast: only the ends matter here, not the statuses.
    host::SetClockRate(100.0);
    std::mt19937 random(11);
    Send(kReadReply, {}, 1);  // the channel record stays for the device's life
    const size_t live = host::GetPoolStats().liveBlocks;
    const ULONG codes[] = {kReadCommand, kDataRead, kSendAbort, kPortWrite, kPortRead, kMatchCommand,
                           kMemoryWrite, kCommand, kReadReply, kUnsupported, kSnapshot};
    for (int i = 0; i < 120; ++i) {
        const ULONG code = random() % 4 == 0 ? 0x223000 + (random() % 0x77) : codes[random() % std::size(codes)];
        Bytes in(random() % 4 == 0 ? 0 : random() % (random() % 3 == 0 ? 40000 : 64));
        for (auto& byte : in) byte = static_cast<uint8_t>(random());
        // Mostly lengths the buffers can hold, so that the requests get past their checks.
        if (random() % 4 != 0 && in.size() >= 9) {
            in[1] = static_cast<uint8_t>(0x50 + random() % 8);                          // known commands
            in[2] = static_cast<uint8_t>(code == kMemoryWrite ? 0 : random() % 64);   // port count
            in[3] = static_cast<uint8_t>(code == kMemoryWrite ? random() % 3 : 0);    // memory units
            in[4] = 0;
            in[6] = static_cast<uint8_t>(random() % 0x50);                             // read length
            in[7] = 0;
        }
        const ULONG out = random() % 4 == 0 ? 0 : random() % 40000;
        const Answer a = Send(code, in, out);
        // Writes report how much of their input went to the camera; the rest what they returned.
        const size_t bound = code == kMemoryWrite || code == kPortWrite ? in.size() : out;
        EXPECT_LE(a.returned, bound) << std::hex << code;
        EXPECT_EQ(host::GetPoolStats().liveBlocks, live) << std::hex << code;
    }
    host::SetClockRate(kTestClockRate);
}

}  // namespace
}  // namespace nimbra::test
