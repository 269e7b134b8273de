// The timeout timer: once a second of host (rated) time it counts down the TimeoutCounter of
// every pending SRB whose counter is not zero and calls HwRequestTimeoutHandler for each one
// that reaches zero. The minidriver restarts a count by writing TimeoutCounter itself.
#include <algorithm>
#include <atomic>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/streamclass/class_driver.h"

namespace nimbra::host::streamclass {

namespace {

constexpr LONGLONG kTickInterval = 10'000'000;  // one second in 100 ns units

void TimerThread(AdapterState* adapter)
{
    LONGLONG nextTick = HostTimeNow() + kTickInterval;
    for (;;) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -std::max<LONGLONG>(nextTick - HostTimeNow(), 1);
        if (KeWaitForSingleObject(&adapter->timerStop, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
            return;
        }
        if (HostTimeNow() < nextTick) continue;
        if (!adapter->driver->timerPaused.load(std::memory_order_relaxed)) TickPendingSrbs(*adapter);
        // Counted from this tick, not from the schedule: a late tick is never followed by a
        // quick one, so consecutive ticks are always a second of host time apart.
        nextTick = HostTimeNow() + kTickInterval;
    }
}

}  // namespace

void StartTimeoutTimer(AdapterState& adapter)
{
    KeInitializeEvent(&adapter.timerStop, NotificationEvent, FALSE);
    adapter.timer = std::thread(TimerThread, &adapter);
}

void StopTimeoutTimer(AdapterState& adapter)
{
    if (!adapter.timer.joinable()) return;
    KeSetEvent(&adapter.timerStop, IO_NO_INCREMENT, FALSE);
    adapter.timer.join();
}

// The minidriver writes TimeoutCounter from its own threads while the timer counts it down, so
// the timer reads and writes it as an atomic word. The timeout routine is called with no class
// lock held, at PASSIVE_LEVEL, on the timer thread.
void TickPendingSrbs(AdapterState& adapter)
{
    std::vector<SrbRecord*> expired;
    {
        std::lock_guard guard(adapter.pendingLock);
        for (SrbRecord* record : adapter.pending) {
            std::atomic_ref<ULONG> counter(record->srb.TimeoutCounter);
            ULONG value = counter.load(std::memory_order_relaxed);
            if (value == 0) continue;
            counter.store(value - 1, std::memory_order_relaxed);
            if (value == 1) {
                record->references.fetch_add(1);
                expired.push_back(record);
            }
        }
    }
    PHW_REQUEST_TIMEOUT_HANDLER handler = adapter.driver->registration.HwRequestTimeoutHandler;
    for (SrbRecord* record : expired) {
        if (handler != nullptr) handler(&record->srb);
        ReleaseSrb(record);
    }
}

}  // namespace nimbra::host::streamclass
