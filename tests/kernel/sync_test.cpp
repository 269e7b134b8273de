// Events, semaphores, kernel and fast mutexes, spin locks, and waits on the rated clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "host/kernel/host_kernel.h"

using namespace nimbra::host;

namespace {

LARGE_INTEGER Relative(LONGLONG units)
{
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

NTSTATUS Poll(PVOID object)
{
    LARGE_INTEGER zero = Relative(0);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

NTSTATUS WaitForever(PVOID object)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

TEST(EventTest, NotificationStaysSignalledAndSynchronizationResetsOnOneWait)
{
    KEVENT notification;
    KEVENT synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    EXPECT_EQ(Poll(&notification), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 0);
    EXPECT_EQ(Poll(&notification), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&notification), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&synchronization), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&synchronization), STATUS_TIMEOUT);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST(EventTest, NotificationWakesEveryWaiterAndSynchronizationOnePerSet)
{
    KEVENT gate;
    KEVENT turnstile;
    KSEMAPHORE passed;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    KeInitializeEvent(&turnstile, SynchronizationEvent, FALSE);
    KeInitializeSemaphore(&passed, 0, 100);
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            WaitForever(&gate);
            WaitForever(&turnstile);
            KeReleaseSemaphore(&passed, 0, 1, FALSE);
        });
    }
    KeSetEvent(&gate, 0, FALSE);
    // Each set lets exactly one waiter through the turnstile.
    for (int i = 0; i < 3; ++i) {
        KeSetEvent(&turnstile, 0, FALSE);
        EXPECT_EQ(WaitForever(&passed), STATUS_SUCCESS);
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(KeReadStateSemaphore(&passed), 0);
    EXPECT_EQ(KeReadStateEvent(&turnstile), 0);
}

TEST(SemaphoreTest, CountsUpToItsLimit)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 3);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 1, FALSE), 0);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 1);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&semaphore), STATUS_TIMEOUT);
}

TEST(MutexTest, IsRecursiveForItsOwnerAndExcludesOthers)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    NTSTATUS other = STATUS_SUCCESS;
    std::thread([&] { other = Poll(&mutex); }).join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    std::thread([&] { other = Poll(&mutex); }).join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    std::thread([&] {
        other = Poll(&mutex);
        KeReleaseMutex(&mutex, FALSE);
    }).join();
    EXPECT_EQ(other, STATUS_SUCCESS);
}

// Four threads bump a plain counter under the lock; any overlap shows in the count or the flag.
template <typename Lock, typename Unlock>
void ExpectExclusion(Lock lock, Unlock unlock)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    long counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                lock();
                if (inside.fetch_add(1) != 0) overlapped = true;
                ++counter;
                inside.fetch_sub(1);
                unlock();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, kThreads * kRounds);
}

TEST(FastMutexTest, ExcludesAcrossThreadsAtApcLevel)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    std::atomic<bool> wrongIrql{false};
    ExpectExclusion(
        [&] {
            ExAcquireFastMutex(&mutex);
            if (KeGetCurrentIrql() != APC_LEVEL) wrongIrql = true;
        },
        [&] { ExReleaseFastMutex(&mutex); });
    EXPECT_FALSE(wrongIrql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(SpinLockTest, ExcludesAcrossThreadsAtDispatchLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    thread_local KIRQL old;
    std::atomic<bool> wrongIrql{false};
    ExpectExclusion(
        [&] {
            KeAcquireSpinLock(&lock, &old);
            if (KeGetCurrentIrql() != DISPATCH_LEVEL || old != PASSIVE_LEVEL) wrongIrql = true;
        },
        [&] { KeReleaseSpinLock(&lock, old); });
    EXPECT_FALSE(wrongIrql);
    EXPECT_EQ(lock, 0u);
}

TEST(SpinLockTest, InterlockedListsReturnThePreviousEnd)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    LIST_ENTRY a;
    LIST_ENTRY b;
    InitializeListHead(&head);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class ClockTest : public testing::Test {
protected:
    void TearDown() override { SetClockRate(1.0); }
};

// A timeout lasts its length in host time and its length / rate in real time.
TEST_F(ClockTest, TimeoutsRunOnTheRatedClock)
{
    constexpr LONGLONG kTenSeconds = 100'000'000;
    SetClockRate(1000.0);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    struct Case {
        const char* name;
        NTSTATUS (*wait)(PKEVENT);
    };
    const Case cases[] = {
        {"relative wait",
         [](PKEVENT event) {
             LARGE_INTEGER timeout = Relative(kTenSeconds);
             return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
         }},
        {"absolute wait",
         [](PKEVENT event) {
             LARGE_INTEGER timeout;
             KeQuerySystemTime(&timeout);
             timeout.QuadPart += kTenSeconds;
             return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
         }},
        {"delay",
         [](PKEVENT) {
             LARGE_INTEGER interval = Relative(kTenSeconds);
             KeDelayExecutionThread(KernelMode, FALSE, &interval);
             return STATUS_TIMEOUT;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto realStart = std::chrono::steady_clock::now();
        LONGLONG hostStart = HostTimeNow();
        EXPECT_EQ(c.wait(&never), STATUS_TIMEOUT);
        EXPECT_GE(HostTimeNow() - hostStart, kTenSeconds);
        EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(10));
    }
}

TEST_F(ClockTest, RaisingTheRateShortensAWaitInProgress)
{
    KEVENT never;
    KEVENT done;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_SUCCESS;
    std::thread waiter([&] {
        LARGE_INTEGER hour = Relative(36'000'000'000LL);
        status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &hour);
        KeSetEvent(&done, 0, FALSE);
    });
    SetClockRate(1e9);
    EXPECT_EQ(WaitForever(&done), STATUS_SUCCESS);
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
}

TEST_F(ClockTest, ZeroTimeoutPollsAndInterruptTimeAdvances)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    ULONGLONG before = KeQueryInterruptTime();
    EXPECT_EQ(Poll(&never), STATUS_TIMEOUT);
    SetClockRate(1e6);
    LARGE_INTEGER tick = Relative(1000);
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
    EXPECT_GE(KeQueryInterruptTime(), before + 1000);
    EXPECT_DOUBLE_EQ(ClockRate(), 1e6);
}

}  // namespace
