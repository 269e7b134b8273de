// Deferred procedure calls: one DPC thread, started on first use, runs queued DPCs in queue
// order at DISPATCH_LEVEL. The queue links the KDPCs themselves; DpcData marks a queued DPC.
#include <string>
#include <thread>

#include "host/kernel/kernel_internal.h"

using namespace nimbra::host;
using namespace nimbra::host::detail;

namespace {

struct DpcQueue {
    std::mutex lock;  // guards the list and every queued KDPC's links and DpcData
    std::condition_variable ready;
    LIST_ENTRY list;
    bool started = false;
};

DpcQueue& TheQueue()
{
    static DpcQueue* queue = [] {
        auto* q = new DpcQueue;  // never destroyed: the DPC thread runs until exit
        InitializeListHead(&q->list);
        return q;
    }();
    return *queue;
}

void DpcThread(DpcQueue* queue)
{
    ThreadIrql() = DISPATCH_LEVEL;
    for (;;) {
        PKDPC dpc;
        PVOID argument1;
        PVOID argument2;
        {
            std::unique_lock lock(queue->lock);
            queue->ready.wait(lock, [&] { return !IsListEmpty(&queue->list); });
            dpc = CONTAINING_RECORD(RemoveHeadList(&queue->list), KDPC, DpcListEntry);
            dpc->DpcData = nullptr;
            argument1 = dpc->SystemArgument1;
            argument2 = dpc->SystemArgument2;
        }
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, argument1, argument2);
        if (ThreadIrql() != DISPATCH_LEVEL) {
            BugCheck("DPC routine returned at an IRQL other than DISPATCH_LEVEL", NtCallSite::Current(),
                     "IRQL " + std::to_string(ThreadIrql()));
        }
    }
}

// Queue lock held.
void StartLocked(DpcQueue& queue)
{
    if (queue.started) return;
    queue.started = true;
    std::thread(DpcThread, &queue).detach();
}

// The routine of the marker DPC KeFlushQueuedDpcs queues behind the others.
VOID FlushMarker(PKDPC /*Dpc*/, PVOID context, PVOID, PVOID)
{
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
}

}  // namespace

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = 0x13;
    Dpc->Importance = 1;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    DpcQueue& queue = TheQueue();
    std::lock_guard guard(queue.lock);
    if (Dpc->DpcData != nullptr) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = &queue;
    InsertTailList(&queue.list, &Dpc->DpcListEntry);
    StartLocked(queue);
    queue.ready.notify_one();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    DpcQueue& queue = TheQueue();
    std::lock_guard guard(queue.lock);
    if (Dpc->DpcData == nullptr) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

VOID KeFlushQueuedDpcs()
{
    if (ThreadIrql() != PASSIVE_LEVEL) {
        BugCheck("KeFlushQueuedDpcs above PASSIVE_LEVEL", NtCallSite::Current(),
                 "IRQL " + std::to_string(ThreadIrql()));
    }
    // The queue runs in order on one thread: once a marker queued now has run, so has
    // everything queued before it.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KDPC marker;
    KeInitializeDpc(&marker, FlushMarker, &done);
    KeInsertQueueDpc(&marker, nullptr, nullptr);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}
