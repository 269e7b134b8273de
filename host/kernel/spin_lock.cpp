// Spin locks: the KSPIN_LOCK word holds its owner thread while taken (0 when free); acquiring
// raises to DISPATCH_LEVEL. Interlocked lists take the given lock around the list operation.
#include <atomic>
#include <string>
#include <thread>

#include "host/kernel/kernel_internal.h"

using namespace nimbra::host;
using namespace nimbra::host::detail;

namespace {

std::atomic_ref<ULONG_PTR> Word(PKSPIN_LOCK lock)
{
    return std::atomic_ref<ULONG_PTR>(*lock);
}

// Spins until the lock is ours. IRQL already at DISPATCH_LEVEL.
void Take(PKSPIN_LOCK lock, const NtCallSite& site)
{
    auto self = reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
    auto word = Word(lock);
    if (word.load(std::memory_order_relaxed) == self) BugCheck("spin lock acquired recursively", site);
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, self, std::memory_order_acquire, std::memory_order_relaxed)) return;
        // Two cores are shared by many threads here: let the holder run.
        if (spins > 64) std::this_thread::yield();
    }
}

void Give(PKSPIN_LOCK lock, const NtCallSite& site)
{
    if (ThreadIrql() != DISPATCH_LEVEL) {
        BugCheck("spin lock released at an IRQL other than DISPATCH_LEVEL", site,
                 "IRQL " + std::to_string(ThreadIrql()));
    }
    auto self = reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
    ULONG_PTR expected = self;
    if (!Word(lock).compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed)) {
        BugCheck("spin lock released twice or not held", site,
                 expected == 0 ? "the lock is free" : "the lock is held by another thread");
    }
}

}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    Word(SpinLock).store(0, std::memory_order_relaxed);
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql, NtCallSite callSite)
{
    KIRQL irql = ThreadIrql();
    if (irql > DISPATCH_LEVEL) {
        BugCheck("spin lock acquired above DISPATCH_LEVEL", callSite, "IRQL " + std::to_string(irql));
    }
    ThreadIrql() = DISPATCH_LEVEL;
    Take(SpinLock, callSite);
    *OldIrql = irql;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, NtCallSite callSite)
{
    if (NewIrql > DISPATCH_LEVEL) {
        BugCheck("spin lock release lowers to a wrong IRQL", callSite, "new IRQL " + std::to_string(NewIrql));
    }
    Give(SpinLock, callSite);
    ThreadIrql() = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, NtCallSite callSite)
{
    if (ThreadIrql() != DISPATCH_LEVEL) {
        BugCheck("spin lock acquired at DPC level below DISPATCH_LEVEL", callSite,
                 "IRQL " + std::to_string(ThreadIrql()));
    }
    Take(SpinLock, callSite);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, NtCallSite callSite)
{
    Give(SpinLock, callSite);
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return previous;
}

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY previous = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return previous;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}
