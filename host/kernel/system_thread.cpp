// System threads: a std::thread per PsCreateSystemThread, started at PASSIVE_LEVEL. The handle
// is the thread's record; ZwClose drops the handle and the thread runs on. A thread ends when
// its routine returns or when it calls PsTerminateSystemThread (which unwinds to the root).
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "host/kernel/kernel_internal.h"

using namespace nimbra::host;
using namespace nimbra::host::detail;

namespace {

constexpr KPRIORITY kDefaultPriority = 8;

struct SystemThread {
    KTHREAD kthread{};
    std::thread thread;
    std::string site;  // where it was created
    bool ended = false;      // guarded by the registry lock
    bool handleOpen = true;  // guarded by the registry lock
    bool joined = false;     // guarded by the registry lock
};

struct ThreadRegistry {
    std::mutex lock;  // guards the list and the records' flags
    std::condition_variable changed;
    std::list<std::unique_ptr<SystemThread>> threads;
    std::mutex joinLock;  // serialises joining
};

ThreadRegistry& TheRegistry()
{
    static ThreadRegistry* registry = new ThreadRegistry;  // never destroyed: threads may end at exit
    return *registry;
}

// Thrown by PsTerminateSystemThread, caught at the thread's root.
struct ThreadTermination {
    NTSTATUS status;
};

thread_local PKTHREAD currentThread = nullptr;

void InitializeThreadObject(KTHREAD& thread, bool isSystemThread)
{
    InitializeHeader(thread.Header, kThreadObject, 0);
    thread.priority.store(kDefaultPriority, std::memory_order_relaxed);
    thread.isSystemThread = isSystemThread;
}

void ThreadRoot(SystemThread* record, PKSTART_ROUTINE routine, PVOID context)
{
    currentThread = &record->kthread;
    ThreadIrql() = PASSIVE_LEVEL;
    try {
        routine(context);
    } catch (const ThreadTermination&) {
    }
    if (ThreadIrql() != PASSIVE_LEVEL) {
        BugCheck("system thread ended at raised IRQL", NtCallSite::Current(),
                 "thread created at " + record->site + ", IRQL " + std::to_string(ThreadIrql()));
    }
    {
        std::lock_guard guard(ParkingLock());
        record->kthread.Header.SignalState = 1;
        WakeAddress(&record->kthread);
    }
    ThreadRegistry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    record->ended = true;
    registry.changed.notify_all();
}

// Joins ended threads and forgets those whose handle is closed. Join lock held.
void ReapEnded(ThreadRegistry& registry)
{
    std::vector<SystemThread*> toJoin;
    {
        std::lock_guard guard(registry.lock);
        for (auto& record : registry.threads) {
            if (record->ended && !record->joined) toJoin.push_back(record.get());
        }
    }
    for (SystemThread* record : toJoin) record->thread.join();
    std::lock_guard guard(registry.lock);
    for (SystemThread* record : toJoin) record->joined = true;
    registry.threads.remove_if([](const auto& record) { return record->joined && !record->handleOpen; });
}

size_t RunningLocked(const ThreadRegistry& registry)
{
    size_t running = 0;
    for (const auto& record : registry.threads) running += record->ended ? 0 : 1;
    return running;
}

}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG /*DesiredAccess*/, POBJECT_ATTRIBUTES /*ObjectAttributes*/,
                              HANDLE /*ProcessHandle*/, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext, NtCallSite callSite)
{
    if (ThreadIrql() != PASSIVE_LEVEL) {
        BugCheck("PsCreateSystemThread above PASSIVE_LEVEL", callSite, "IRQL " + std::to_string(ThreadIrql()));
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    ThreadRegistry& registry = TheRegistry();
    auto record = std::make_unique<SystemThread>();
    InitializeThreadObject(record->kthread, true);
    record->site = SiteText(callSite);
    SystemThread* raw = record.get();
    {
        std::lock_guard guard(registry.lock);
        registry.threads.push_back(std::move(record));
    }
    std::lock_guard joinGuard(registry.joinLock);  // the record's thread member is written here
    raw->thread = std::thread(ThreadRoot, raw, StartRoutine, StartContext);
    *ThreadHandle = static_cast<HANDLE>(raw);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = nullptr;
        ClientId->UniqueThread = static_cast<HANDLE>(raw);
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    if (currentThread == nullptr || !currentThread->isSystemThread) {
        BugCheck("PsTerminateSystemThread outside a system thread", NtCallSite::Current());
    }
    throw ThreadTermination{ExitStatus};
}

PKTHREAD KeGetCurrentThread()
{
    if (currentThread == nullptr) {
        // A host thread (test, tool, bus): give it a thread object of its own.
        thread_local KTHREAD hostThread{};
        InitializeThreadObject(hostThread, false);
        currentThread = &hostThread;
    }
    return currentThread;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    return Thread->priority.exchange(Priority, std::memory_order_relaxed);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    return Thread->priority.load(std::memory_order_relaxed);
}

NTSTATUS ZwClose(HANDLE Handle)
{
    ThreadRegistry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    for (auto& record : registry.threads) {
        if (static_cast<HANDLE>(record.get()) == Handle && record->handleOpen) {
            record->handleOpen = false;
            return STATUS_SUCCESS;
        }
    }
    BugCheck("ZwClose of a handle that is not open", NtCallSite::Current());
}

namespace nimbra::host {

void WaitForSystemThreads()
{
    ThreadRegistry& registry = TheRegistry();
    {
        std::unique_lock lock(registry.lock);
        registry.changed.wait(lock, [&] { return RunningLocked(registry) == 0; });
    }
    std::lock_guard joinGuard(registry.joinLock);
    ReapEnded(registry);
}

size_t RunningSystemThreadCount()
{
    ThreadRegistry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    return RunningLocked(registry);
}

namespace detail {

// Waits up to grace (real time) for system threads to end, joins those that ended, and returns
// the creation sites of those still running.
std::vector<std::string> SystemThreadsStillRunning(std::chrono::milliseconds grace)
{
    ThreadRegistry& registry = TheRegistry();
    std::vector<std::string> running;
    {
        std::unique_lock lock(registry.lock);
        registry.changed.wait_for(lock, grace, [&] { return RunningLocked(registry) == 0; });
        for (const auto& record : registry.threads) {
            if (!record->ended) running.push_back(record->site);
        }
    }
    std::lock_guard joinGuard(registry.joinLock);
    ReapEnded(registry);
    return running;
}

}  // namespace detail

}  // namespace nimbra::host
