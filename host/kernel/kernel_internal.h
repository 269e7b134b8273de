// Shared internals of the kernel stand-in (not for use outside host/kernel).
#pragma once

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <string>

#include "host/kernel/host_kernel.h"

namespace nimbra::host::detail {

// "file:line" of a call site, for messages.
std::string SiteText(const NtCallSite& site);

// The calling thread's IRQL, read and written without checks.
KIRQL& ThreadIrql();

// ---- Clock -----------------------------------------------------------------------------------

constexpr LONGLONG kNoDeadline = std::numeric_limits<LONGLONG>::max();

// Interrupt time (100 ns units on the rated clock).
LONGLONG InterruptTime();
// System time minus interrupt time: a constant, so absolute timeouts convert to interrupt time.
LONGLONG SystemTimeBias();
// Converts a platform timeout (null = forever, negative = relative, positive = absolute system
// time, zero = poll) to an interrupt-time deadline.
LONGLONG DeadlineFor(const LARGE_INTEGER* timeout);

// ---- Parking lot -----------------------------------------------------------------------------
// One process-wide lock guards the state of every dispatcher object; a waiting thread parks on
// the condition variable its object's address hashes to. Every change wakes the whole bucket,
// and each waiter rechecks its own object.

std::mutex& ParkingLock();
// Wakes every thread parked on the bucket of address. Parking lock held.
void WakeAddress(const void* address);
// Wakes every parked thread (the clock rate changed). Takes the parking lock.
void WakeEveryone();

// Parks until ready() holds or the interrupt-time deadline passes. Returns ready()'s last value.
// The parking lock is held by lock on entry and on return.
template <typename Ready>
bool ParkUntil(std::unique_lock<std::mutex>& lock, const void* address, LONGLONG deadline, Ready ready);

std::condition_variable& BucketFor(const void* address);
// Waits once on the bucket, no longer than the real time until the deadline.
void ParkOnce(std::unique_lock<std::mutex>& lock, const void* address, LONGLONG deadline);

template <typename Ready>
bool ParkUntil(std::unique_lock<std::mutex>& lock, const void* address, LONGLONG deadline, Ready ready)
{
    while (!ready()) {
        if (deadline != kNoDeadline && InterruptTime() >= deadline) return false;
        ParkOnce(lock, address, deadline);
    }
    return true;
}

}  // namespace nimbra::host::detail

// A thread as the kernel sees it. Its header is signalled when a system thread has ended, so a
// thread can be waited on like any dispatcher object.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    std::atomic<KPRIORITY> priority;
    bool isSystemThread;
};

namespace nimbra::host::detail {

// Dispatcher object types, in DISPATCHER_HEADER::Type.
enum : UCHAR {
    kNotificationEventObject = 0,
    kSynchronizationEventObject = 1,
    kMutantObject = 2,
    kSemaphoreObject = 5,
    kThreadObject = 6,
};

// Marks an initialised dispatcher object (in WaitState[0]).
constexpr ULONG_PTR kObjectMagic = 0x4E494D4B4F424A00ULL;  // "NIMKOBJ"

inline void InitializeHeader(DISPATCHER_HEADER& header, UCHAR type, LONG state)
{
    header.Type = type;
    header.Reserved[0] = header.Reserved[1] = header.Reserved[2] = 0;
    header.SignalState = state;
    header.WaitState[0] = kObjectMagic | type;
    header.WaitState[1] = 0;
}

}  // namespace nimbra::host::detail
