// Reads: IOCTL_KS_READ_STREAM as SRB_READ_DATA with the caller's stream headers, completion from
// any thread, cancels through HwCancelPacket, timeouts through HwRequestTimeoutHandler, and
// reads still pending when the pin closes.
#include <gtest/gtest.h>

#include "tests/streamclass/fixture.h"

namespace nimbra::host {
namespace {

using testdriver::Driver;

constexpr ULONG kFrame = 1000;

PHW_STREAM_REQUEST_BLOCK WaitForHeldRead()
{
    EXPECT_TRUE(testdriver::WaitFor([](testdriver::TestDriver& d) { return !d.held.empty(); }));
    std::lock_guard guard(Driver().lock);
    return Driver().held.empty() ? nullptr : Driver().held.front().srb;
}

TEST_F(StreamClassTest, ReadCarriesTheHeadersAndCompletesWithTheSrb)
{
    OpenFilterAndPin();
    for (auto how : {testdriver::Completion::Inline, testdriver::Completion::OtherThread,
                     testdriver::Completion::OtherThreadAtDispatch, testdriver::Completion::Hold}) {
        SCOPED_TRACE(static_cast<int>(how));
        Driver().readCompletion = how;
        std::vector<UCHAR> buffer(2 * kFrame);
        auto read = SubmitRead(pin, buffer.data(), kFrame, 2);
        if (how == testdriver::Completion::Hold) {
            PHW_STREAM_REQUEST_BLOCK srb = WaitForHeldRead();
            ASSERT_NE(srb, nullptr);
            EXPECT_EQ(AwaitRead(*read, nullptr, nullptr, 0), STATUS_TIMEOUT);
            EXPECT_FALSE(read->Done());
            testdriver::CompleteHeld(srb, STATUS_SUCCESS);
        }
        KSSTREAM_HEADER header{};
        KS_FRAME_INFO info{};
        EXPECT_EQ(AwaitRead(*read, &header, &info, kWaitForever), STATUS_SUCCESS);
        EXPECT_EQ(header.DataUsed, kFrame);
        EXPECT_EQ(info.PictureNumber, 7);
        EXPECT_EQ(buffer[kFrame - 1], 0x5A);
        EXPECT_EQ(buffer[kFrame], 0);  // only the first header was filled

        testdriver::SrbSeen seen = LastSrb();
        EXPECT_EQ(seen.command, SRB_READ_DATA);
        EXPECT_TRUE(seen.stream);
        EXPECT_TRUE(seen.dataPath);
        EXPECT_EQ(seen.numberOfBuffers, 2u);
        EXPECT_EQ(seen.numberOfBytesToTransfer, 2 * kFrame);
        EXPECT_NE(seen.irp, nullptr);
        EXPECT_EQ(seen.commandData.DataBufferArray, read->Header(0));
        EXPECT_EQ(read->Header(1)->Data, buffer.data() + kFrame);
        EXPECT_EQ(Driver().irps.back().code, static_cast<ULONG>(IOCTL_KS_READ_STREAM));
    }
    EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST_F(StreamClassTest, CancelCallsTheCancelRoutineAndTheReadEndsWithTheSrb)
{
    OpenFilterAndPin();
    for (bool driverCompletesOnCancel : {true, false}) {
        SCOPED_TRACE(driverCompletesOnCancel);
        Driver().completeOnCancel = driverCompletesOnCancel;
        std::vector<UCHAR> buffer(kFrame);
        auto read = SubmitRead(pin, buffer.data(), kFrame);
        PHW_STREAM_REQUEST_BLOCK srb = WaitForHeldRead();
        ASSERT_NE(srb, nullptr);
        size_t cancelsBefore = Driver().cancelled.size();
        EXPECT_TRUE(CancelRead(*read));
        ASSERT_EQ(Driver().cancelled.size(), cancelsBefore + 1);
        EXPECT_EQ(Driver().cancelled.back(), srb);
        KSSTREAM_HEADER header{};
        if (driverCompletesOnCancel) {
            EXPECT_EQ(AwaitRead(*read, &header, nullptr, kWaitForever), STATUS_CANCELLED);
            EXPECT_EQ(header.DataUsed, 0u);
        } else {
            // The driver keeps it: the read goes on until the driver completes it.
            EXPECT_EQ(AwaitRead(*read, nullptr, nullptr, 0), STATUS_TIMEOUT);
            EXPECT_FALSE(CancelRead(*read));  // the cancel routine has been used
            testdriver::CompleteHeld(srb, STATUS_SUCCESS);
            EXPECT_EQ(AwaitRead(*read, &header, nullptr, kWaitForever), STATUS_SUCCESS);
            EXPECT_EQ(header.DataUsed, kFrame);
        }
        EXPECT_FALSE(CancelRead(*read));
    }
    EXPECT_EQ(host.PendingSrbCount(), 0u);
}

TEST_F(StreamClassTest, TimeoutTicksCountDownAndCallTheTimeoutRoutineAtZero)
{
    OpenFilterAndPin();
    host.PauseTimeoutTimer(true);
    Driver().readTimeout = 2;
    std::vector<UCHAR> buffer(kFrame);
    auto read = SubmitRead(pin, buffer.data(), kFrame);
    PHW_STREAM_REQUEST_BLOCK srb = WaitForHeldRead();
    ASSERT_NE(srb, nullptr);
    host.TickTimeouts();
    EXPECT_EQ(srb->TimeoutCounter, 1u);
    EXPECT_TRUE(Driver().timeoutCounters.empty());
    host.TickTimeouts();
    ASSERT_EQ(Driver().timeoutCounters.size(), 1u);
    EXPECT_EQ(Driver().timeoutCounters[0], 0u);
    host.TickTimeouts();  // a count at zero is not ticked again
    EXPECT_EQ(Driver().timeoutCounters.size(), 1u);
    EXPECT_EQ(AwaitRead(*read, nullptr, nullptr, 0), STATUS_TIMEOUT);  // a timeout fails nothing by itself
    testdriver::CompleteHeld(srb, STATUS_SUCCESS);
    EXPECT_EQ(AwaitRead(*read, nullptr, nullptr, kWaitForever), STATUS_SUCCESS);
}

TEST_F(StreamClassTest, TimerTicksOncePerSecondOfHostTime)
{
    OpenFilterAndPin();
    SetClockRate(1000);  // a second of host time passes in a millisecond
    Driver().readTimeout = 2;
    Driver().restartTimeouts = true;
    std::vector<UCHAR> buffer(kFrame);
    LONGLONG start = HostTimeNow();
    auto read = SubmitRead(pin, buffer.data(), kFrame);
    EXPECT_TRUE(testdriver::WaitFor([](testdriver::TestDriver& d) { return d.timeoutCounters.size() >= 3; }));
    // Ticks are a second of host time apart, and three expiries of a two-second count take six
    // ticks, the first after the read arrived.
    EXPECT_GE(HostTimeNow() - start, 5 * 10'000'000LL);
    std::lock_guard guard(Driver().lock);
    for (ULONG counter : Driver().timeoutCounters) EXPECT_EQ(counter, 0u);
}

TEST_F(StreamClassTest, CloseWaitsForTheDriverToEndItsReads)
{
    OpenFilterAndPin();
    std::vector<UCHAR> buffer(2 * kFrame);
    auto first = SubmitRead(pin, buffer.data(), kFrame);
    auto second = SubmitRead(pin, buffer.data() + kFrame, kFrame);
    ASSERT_TRUE(testdriver::WaitFor([](testdriver::TestDriver& d) { return d.held.size() == 2; }));
    EXPECT_EQ(Close(pin), STATUS_SUCCESS);
    EXPECT_EQ(AwaitRead(*first, nullptr, nullptr, 0), STATUS_CANCELLED);
    EXPECT_EQ(AwaitRead(*second, nullptr, nullptr, 0), STATUS_CANCELLED);
    EXPECT_EQ(host.PendingSrbCount(), 0u);
}

TEST_F(StreamClassTest, ReadsOnAClosedHandleFailAtOnce)
{
    std::vector<UCHAR> buffer(kFrame);
    auto read = SubmitRead(pin, buffer.data(), kFrame);
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(AwaitRead(*read, nullptr, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace nimbra::host
