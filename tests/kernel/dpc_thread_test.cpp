// DPCs (order, IRQL, requeue and removal, flush) and system threads (IRQL, priority, ending).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>

#include "host/kernel/host_kernel.h"

using namespace nimbra::host;

namespace {

struct DpcRecord {
    std::mutex lock;
    std::string order;
    bool wrongIrql = false;
};

struct DpcTag {
    DpcRecord* record;
    char name;
};

VOID RecordDpc(PKDPC, PVOID context, PVOID argument1, PVOID argument2)
{
    auto* tag = static_cast<DpcTag*>(context);
    std::lock_guard guard(tag->record->lock);
    tag->record->order += tag->name;
    if (argument1 != &tag->name || argument2 != tag->record) tag->record->order += '?';
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) tag->record->wrongIrql = true;
}

// Holds the DPC thread until released, so that what is queued behind it stays queued.
VOID GateDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* open = static_cast<std::atomic<bool>*>(context);
    while (!open->load()) {
    }
}

TEST(DpcTest, RunsInQueueOrderAtDispatchLevelAndHonoursRemoval)
{
    DpcRecord record;
    DpcTag tags[] = {{&record, 'a'}, {&record, 'b'}, {&record, 'c'}, {&record, 'd'}};
    KDPC dpcs[4];
    for (int i = 0; i < 4; ++i) KeInitializeDpc(&dpcs[i], RecordDpc, &tags[i]);
    std::atomic<bool> open{false};
    KDPC gate;
    KeInitializeDpc(&gate, GateDpc, &open);

    ASSERT_TRUE(KeInsertQueueDpc(&gate, nullptr, nullptr));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(KeInsertQueueDpc(&dpcs[i], &tags[i].name, &record));
    EXPECT_FALSE(KeInsertQueueDpc(&dpcs[1], nullptr, nullptr));  // already queued: unchanged
    EXPECT_TRUE(KeRemoveQueueDpc(&dpcs[2]));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpcs[2]));
    open = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(record.order, "abd");
    EXPECT_FALSE(record.wrongIrql);

    // A DPC that has run can be queued again.
    EXPECT_TRUE(KeInsertQueueDpc(&dpcs[0], &tags[0].name, &record));
    KeFlushQueuedDpcs();
    EXPECT_EQ(record.order, "abda");
}

struct ThreadProbe {
    KEVENT started;
    KEVENT stop;
    KIRQL irql = HIGH_LEVEL;
    KPRIORITY priority = 0;
    std::atomic<bool> passedTerminate{false};
    bool terminate = true;
};

VOID WorkerRoutine(PVOID context)
{
    auto* probe = static_cast<ThreadProbe*>(context);
    probe->irql = KeGetCurrentIrql();
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    probe->priority = KeQueryPriorityThread(KeGetCurrentThread());
    KeSetEvent(&probe->started, 0, FALSE);
    KeWaitForSingleObject(&probe->stop, Executive, KernelMode, FALSE, nullptr);
    if (probe->terminate) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        probe->passedTerminate = true;
    }
}

TEST(SystemThreadTest, StartsAtPassiveKeepsItsPriorityAndEnds)
{
    for (bool terminate : {true, false}) {
        SCOPED_TRACE(terminate ? "PsTerminateSystemThread" : "routine returns");
        ThreadProbe probe;
        probe.terminate = terminate;
        KeInitializeEvent(&probe.started, NotificationEvent, FALSE);
        KeInitializeEvent(&probe.stop, NotificationEvent, FALSE);
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine, &probe),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);  // the thread runs on without its handle
        KeWaitForSingleObject(&probe.started, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(RunningSystemThreadCount(), 1u);
        KeSetEvent(&probe.stop, 0, FALSE);
        WaitForSystemThreads();
        EXPECT_EQ(RunningSystemThreadCount(), 0u);
        EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
        EXPECT_EQ(probe.priority, LOW_REALTIME_PRIORITY);
        EXPECT_FALSE(probe.passedTerminate);
    }
}

}  // namespace
