// Dispatcher objects (events, semaphores, kernel mutexes), fast mutexes, waits and delays.
// Object state lives in the caller's words and changes under the parking lot's lock.
#include <string>
#include <thread>

#include "host/kernel/kernel_internal.h"

using namespace nimbra::host;
using namespace nimbra::host::detail;

namespace {

void CheckInitialised(const DISPATCHER_HEADER& header, const NtCallSite& site)
{
    if (header.WaitState[0] != (kObjectMagic | header.Type)) {
        BugCheck("dispatcher object not initialised", site);
    }
}

// A wait may block only below DISPATCH_LEVEL; at DISPATCH_LEVEL only a zero timeout (a poll).
void CheckWaitIrql(const LARGE_INTEGER* timeout, const NtCallSite& site)
{
    KIRQL irql = ThreadIrql();
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)) {
        BugCheck("wait at DISPATCH_LEVEL with a non-zero timeout", site, "IRQL " + std::to_string(irql));
    }
}

// Takes the object for the caller if it is signalled (consuming what the type consumes).
// Parking lock held.
bool TryAcquire(DISPATCHER_HEADER& header, PKTHREAD self)
{
    switch (header.Type) {
    case kNotificationEventObject:
    case kThreadObject:
        return header.SignalState > 0;
    case kSynchronizationEventObject:
        if (header.SignalState <= 0) return false;
        header.SignalState = 0;
        return true;
    case kSemaphoreObject:
        if (header.SignalState <= 0) return false;
        --header.SignalState;
        return true;
    case kMutantObject: {
        auto& mutex = reinterpret_cast<KMUTEX&>(header);
        if (header.SignalState <= 0 && mutex.OwnerThread != self) return false;
        --header.SignalState;
        mutex.OwnerThread = self;
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

// ---- Events ----------------------------------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    InitializeHeader(Event->Header,
                     Type == SynchronizationEvent ? kSynchronizationEventObject : kNotificationEventObject,
                     State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY /*Increment*/, BOOLEAN /*Wait*/, NtCallSite callSite)
{
    CheckInitialised(Event->Header, callSite);
    std::lock_guard guard(ParkingLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeAddress(Event);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event)
{
    std::lock_guard guard(ParkingLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    std::lock_guard guard(ParkingLock());
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard guard(ParkingLock());
    return Event->Header.SignalState;
}

// ---- Semaphores ------------------------------------------------------------------------------

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    InitializeHeader(Semaphore->Header, kSemaphoreObject, Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY /*Increment*/, LONG Adjustment, BOOLEAN /*Wait*/,
                        NtCallSite callSite)
{
    CheckInitialised(Semaphore->Header, callSite);
    std::unique_lock lock(ParkingLock());
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
        lock.unlock();
        BugCheck("semaphore released past its limit (STATUS_SEMAPHORE_LIMIT_EXCEEDED)", callSite,
                 "count " + std::to_string(previous) + " + " + std::to_string(Adjustment) + " > limit " +
                     std::to_string(Semaphore->Limit));
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    WakeAddress(Semaphore);
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    std::lock_guard guard(ParkingLock());
    return Semaphore->Header.SignalState;
}

// ---- Kernel mutexes --------------------------------------------------------------------------

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG /*Level*/)
{
    InitializeHeader(Mutex->Header, kMutantObject, 1);
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN /*Wait*/, NtCallSite callSite)
{
    CheckInitialised(Mutex->Header, callSite);
    PKTHREAD self = KeGetCurrentThread();
    std::unique_lock lock(ParkingLock());
    if (Mutex->OwnerThread != self || Mutex->Header.SignalState > 0) {
        lock.unlock();
        BugCheck("mutex released by a thread that does not own it", callSite);
    }
    LONG previous = Mutex->Header.SignalState;
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        WakeAddress(Mutex);
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    std::lock_guard guard(ParkingLock());
    return Mutex->Header.SignalState;
}

// ---- Fast mutexes ----------------------------------------------------------------------------

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = PASSIVE_LEVEL;
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex, NtCallSite callSite)
{
    KIRQL irql = ThreadIrql();
    if (irql > APC_LEVEL) BugCheck("fast mutex acquired above APC_LEVEL", callSite, "IRQL " + std::to_string(irql));
    PKTHREAD self = KeGetCurrentThread();
    std::unique_lock lock(ParkingLock());
    if (FastMutex->Owner == self) {
        lock.unlock();
        BugCheck("fast mutex acquired recursively", callSite);
    }
    if (FastMutex->Count != 1) {
        ++FastMutex->Contention;
        ParkUntil(lock, FastMutex, kNoDeadline, [&] { return FastMutex->Count == 1; });
    }
    FastMutex->Count = 0;
    FastMutex->Owner = self;
    FastMutex->OldIrql = irql;
    ThreadIrql() = APC_LEVEL;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex, NtCallSite callSite)
{
    PKTHREAD self = KeGetCurrentThread();
    std::unique_lock lock(ParkingLock());
    if (FastMutex->Owner != self || FastMutex->Count != 0) {
        lock.unlock();
        BugCheck("fast mutex released by a thread that does not own it", callSite);
    }
    if (ThreadIrql() != APC_LEVEL) {
        lock.unlock();
        BugCheck("fast mutex released at an IRQL other than APC_LEVEL", callSite,
                 "IRQL " + std::to_string(ThreadIrql()));
    }
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    FastMutex->Count = 1;
    WakeAddress(FastMutex);
    ThreadIrql() = old;
}

// ---- Waits -----------------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON /*WaitReason*/, KPROCESSOR_MODE /*WaitMode*/,
                               BOOLEAN /*Alertable*/, PLARGE_INTEGER Timeout, NtCallSite callSite)
{
    auto& header = *static_cast<DISPATCHER_HEADER*>(Object);
    CheckWaitIrql(Timeout, callSite);
    CheckInitialised(header, callSite);
    PKTHREAD self = KeGetCurrentThread();
    LONGLONG deadline = DeadlineFor(Timeout);
    std::unique_lock lock(ParkingLock());
    bool acquired = ParkUntil(lock, Object, deadline, [&] { return TryAcquire(header, self); });
    return acquired ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE /*WaitMode*/, BOOLEAN /*Alertable*/, PLARGE_INTEGER Interval,
                                NtCallSite callSite)
{
    KIRQL irql = ThreadIrql();
    if (irql > APC_LEVEL) {
        BugCheck("wait at DISPATCH_LEVEL with a non-zero timeout", callSite,
                 "KeDelayExecutionThread at IRQL " + std::to_string(irql));
    }
    if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    thread_local char parkingSpot;
    LONGLONG deadline = DeadlineFor(Interval);
    std::unique_lock lock(ParkingLock());
    ParkUntil(lock, &parkingSpot, deadline, [] { return false; });
    return STATUS_SUCCESS;
}
