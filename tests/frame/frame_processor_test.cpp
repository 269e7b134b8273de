// FrameProcessor creation under low memory, the zoom settings and the snapshot hand-over.
#include <atomic>
#include <thread>

#include "tests/frame/frame_test_support.h"

namespace frametest {
namespace {

TEST(CreateFrameProcessor, IsAllOrNothingUnderLowMemory)
{
    ExposureModel model;
    InitializeExposureModel(&model, nullptr);
    const size_t liveBefore = nimbra::host::GetPoolStats().liveBlocks;
    for (uint64_t n = 1; n <= 5; ++n) {
        nimbra::host::FailAllocationAfter(n);
        EXPECT_EQ(CreateFrameProcessor(&model), nullptr) << n;
        nimbra::host::FailAllocationAfter(0);
        EXPECT_EQ(nimbra::host::GetPoolStats().liveBlocks, liveBefore) << n;
    }
    FrameProcessor* p = CreateFrameProcessor(&model);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->zoomEnabled, 0);
    EXPECT_EQ(p->zoomLevel, 0);
    EXPECT_EQ(p->snapshotTarget, nullptr);
    EXPECT_EQ(KeReadStateEvent(&p->snapshotDone), 0);
    FreeFrameProcessor(p);
    EXPECT_EQ(nimbra::host::GetPoolStats().liveBlocks, liveBefore);
}

TEST_F(FrameTest, SnapshotReceivesExactlyTheDeliveredPicture)
{
    SetUpFrameProcessor(processor, Packed(176, 144));
    Bytes snapshot(76032, 0);
    ASSERT_TRUE(ArmSnapshot(processor, snapshot.data(), static_cast<ULONG>(snapshot.size())));
    EXPECT_FALSE(ArmSnapshot(processor, snapshot.data(), 10));  // one request at a time
    const Bytes delivered = ProcessUndecoded(Noise(921600, 5));
    EXPECT_EQ(KeReadStateEvent(&processor->snapshotDone), 1);
    EXPECT_EQ(WithdrawSnapshot(processor), 76032u);
    EXPECT_EQ(snapshot, delivered);
    EXPECT_EQ(processor->snapshotTarget, nullptr);

    // One-shot: the next picture is not copied.
    const Bytes before = snapshot;
    ProcessUndecoded(Noise(921600, 6));
    EXPECT_EQ(snapshot, before);
}

TEST_F(FrameTest, WithdrawnSnapshotIsNeverWritten)
{
    SetUpFrameProcessor(processor, Packed(160, 120));
    Bytes snapshot(57600, 0x77);
    ASSERT_TRUE(ArmSnapshot(processor, snapshot.data(), static_cast<ULONG>(snapshot.size())));
    EXPECT_EQ(WithdrawSnapshot(processor), 0u);  // timed out without a frame
    ProcessUndecoded(Noise(921600, 8));
    EXPECT_EQ(snapshot, Bytes(57600, 0x77));
    EXPECT_EQ(WithdrawSnapshot(processor), 0u);  // nothing armed: nothing to wait for

    // A smaller buffer receives only what it holds.
    Bytes small(100, 0);
    ASSERT_TRUE(ArmSnapshot(processor, small.data(), static_cast<ULONG>(small.size())));
    const Bytes delivered = ProcessUndecoded(Noise(921600, 9));
    EXPECT_EQ(WithdrawSnapshot(processor), 100u);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), delivered.begin()));
}

TEST_F(FrameTest, HandOverRacesLeaveNoWriteAfterWithdrawal)
{
    SetUpFrameProcessor(processor, Packed(160, 120));
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        Bytes output(57600);
        while (!stop) HandOverSnapshot(processor, output.data());
    });
    for (int i = 0; i < 2000; ++i) {
        Bytes* buffer = new Bytes(57600, 0);
        ASSERT_TRUE(ArmSnapshot(processor, buffer->data(), static_cast<ULONG>(buffer->size())));
        const ULONG bytes = WithdrawSnapshot(processor);
        EXPECT_TRUE(bytes == 0 || bytes == 57600u);
        delete buffer;  // a late copy would write freed memory (caught by the sanitizers)
    }
    stop = true;
    worker.join();
}

TEST_F(FrameTest, UnchangedZoomLevelTakesNoLock)
{
    SetUpFrameProcessor(processor, Packed(320, 240));
    SetZoomLevel(processor, 4);
    ExAcquireFastMutex(&processor->zoomLock);
    SetZoomLevel(processor, 4);  // would block if it took the lock
    ExReleaseFastMutex(&processor->zoomLock);
    // A level set before a format change keeps its window.
    SetUpFrameProcessor(processor, Packed(160, 120));
    EXPECT_EQ(processor->zoomWindow.left, 20);
    EXPECT_EQ(processor->zoomWindow.width, 280);
}

}  // namespace
}  // namespace frametest
