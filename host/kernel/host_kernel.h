// The host side of the kernel stand-in: what tests, the tool and the other host parts use to
// drive and inspect it (pool accounting and faults, the clock, IRQL, the verifier, the debug
// log, the registry, system threads and IRP tracking). The driver never includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt_kernel.h"

namespace nimbra::host {

// ---- Pool ------------------------------------------------------------------------------------

struct PoolStats {
    size_t liveBytes;
    size_t peakBytes;
    size_t liveBlocks;
    uint64_t allocations;        // successful allocations since start
    uint64_t failedAllocations;  // allocations failed by injection
};

PoolStats GetPoolStats();
// Sets the peak to the current live bytes.
void ResetPoolPeak();
// The n-th allocation from now fails (1 = the next one); 0 disables. Fires once.
void FailAllocationAfter(uint64_t n);
// Every allocation made from a file ending in fileSuffix, at line (0 = any line), fails.
void FailAllocationsFrom(std::string_view fileSuffix, uint32_t line);
void ClearAllocationFaults();

struct LiveBlock {
    size_t bytes;
    std::string site;  // "file:line"
};
std::vector<LiveBlock> LiveAllocations();
// Bug check listing every live block with its allocating call site, if any is live.
void CheckNoPoolLeaks(const NtCallSite& caller = NtCallSite::Current());

// ---- Clock -----------------------------------------------------------------------------------

// 1 = real time; 10 = ten times faster. Interrupt time stays continuous across changes.
void SetClockRate(double rate);
double ClockRate();
// Interrupt time in 100 ns units (the same value as KeQueryInterruptTime).
LONGLONG HostTimeNow();

// ---- IRQL ------------------------------------------------------------------------------------

// Sets the calling thread's IRQL without checks (for host threads that play hardware roles).
void SetCurrentIrql(KIRQL irql);

// Runs a scope at the given IRQL and restores the previous one at its end.
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL previous_;
};

// ---- Verifier --------------------------------------------------------------------------------

// Prints "*** nimbra verifier: <rule> (<file>:<line> <function>) <detail>" and aborts.
// The caller is an NtCallSite (platform/nt_types.h): clang's library here has no
// std::source_location.
[[noreturn]] void BugCheck(std::string_view rule, const NtCallSite& caller = NtCallSite::Current(),
                           std::string_view detail = {});

// ---- Debug log -------------------------------------------------------------------------------

std::vector<std::string> DebugLog();
void ClearDebugLog();
void SetDebugEcho(bool toStderr);

// ---- Registry --------------------------------------------------------------------------------

// Paths are kernel paths ("\Registry\MACHINE\SOFTWARE\...") or REGEDIT paths
// ("HKEY_LOCAL_MACHINE\SOFTWARE\..."); names compare case-insensitively.
void CreateRegistryKey(std::u16string_view absolutePath);
bool LoadRegistryFile(const std::string& path, std::string* error);
bool SaveRegistryFile(const std::string& path);
void ClearRegistry();
std::optional<uint32_t> ReadRegistryDword(std::u16string_view keyPath, std::u16string_view valueName);

// ---- Threads, IRPs, unload -------------------------------------------------------------------

// Blocks until every system thread has ended, and joins them.
void WaitForSystemThreads();
// Number of system threads still running.
size_t RunningSystemThreadCount();
// The driver has unloaded: bug check on leaked pool or system threads still running.
void CheckDriverUnloaded(const NtCallSite& caller = NtCallSite::Current());
// IRPs allocated and not yet freed.
size_t LiveIrpCount();

}  // namespace nimbra::host
