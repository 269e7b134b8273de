// Master clocks: a clock object gives stream time in 100 ns units, counted on the host clock
// from the moment the clock was made. The handle a client sets on a pin is the clock's address.
#include <mutex>
#include <unordered_set>

#include "host/kernel/host_kernel.h"
#include "host/streamclass/class_driver.h"
#include "host/streamclass/ks_client.h"

namespace {

struct MasterClock {
    LONGLONG createdAt;  // host interrupt time at creation
};

struct ClockTable {
    std::mutex lock;  // guards live
    std::unordered_set<const MasterClock*> live;
};

ClockTable& TheClocks()
{
    static ClockTable* table = new ClockTable;
    return *table;
}

// Reads the creation time of the clock a handle names. False if it names no live clock.
bool ReadClock(HANDLE handle, LONGLONG* createdAt)
{
    ClockTable& table = TheClocks();
    std::lock_guard guard(table.lock);
    auto clock = static_cast<const MasterClock*>(handle);
    if (table.live.count(clock) == 0) return false;
    *createdAt = clock->createdAt;
    return true;
}

}  // namespace

namespace nimbra::host {

HANDLE CreateMasterClock()
{
    auto clock = new MasterClock{HostTimeNow()};
    ClockTable& table = TheClocks();
    std::lock_guard guard(table.lock);
    table.live.insert(clock);
    return const_cast<MasterClock*>(clock);
}

void DestroyMasterClock(HANDLE clock)
{
    ClockTable& table = TheClocks();
    {
        std::lock_guard guard(table.lock);
        if (table.live.erase(static_cast<const MasterClock*>(clock)) == 0) return;
    }
    delete static_cast<MasterClock*>(clock);
}

LONGLONG MasterClockTime(HANDLE clock)
{
    LONGLONG createdAt;
    return ReadClock(clock, &createdAt) ? HostTimeNow() - createdAt : 0;
}

namespace streamclass {

bool IsMasterClock(HANDLE handle)
{
    LONGLONG createdAt;
    return ReadClock(handle, &createdAt);
}

}  // namespace streamclass
}  // namespace nimbra::host

// Fills Time with the clock's stream time (100 ns units) and SystemTime with the interrupt time
// it was read at. A handle that names no clock is a bug check. Any thread, IRQL up to
// DISPATCH_LEVEL.
VOID StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext)
{
    LONGLONG createdAt;
    if (!ReadClock(MasterClockHandle, &createdAt)) {
        nimbra::host::BugCheck("StreamClassQueryMasterClockSync with a handle that is no master clock",
                               NtCallSite::Current());
    }
    LONGLONG now = nimbra::host::HostTimeNow();
    TimeContext->Time = static_cast<ULONGLONG>(now - createdAt);
    TimeContext->SystemTime = static_cast<ULONGLONG>(now);
}
