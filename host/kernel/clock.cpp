// The host clock: interrupt time runs at a rate the host sets (1 = real time), and every
// relative wait and delay is measured on it. A rate change keeps interrupt time continuous.
#include <atomic>
#include <chrono>
#include <cmath>

#include "host/kernel/kernel_internal.h"

namespace nimbra::host {

namespace {

using Steady = std::chrono::steady_clock;

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpochAsSystemTime = 116444736000000000LL;

struct Clock {
    std::mutex lock;  // guards the base and rate
    Steady::time_point steadyBase = Steady::now();
    LONGLONG interruptBase = 0;
    double rate = 1.0;
    LONGLONG systemBias = 0;
};

Clock& TheClock()
{
    static Clock* clock = [] {
        auto* c = new Clock;
        auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        c->systemBias = kUnixEpochAsSystemTime + sinceUnix.count() / 100;
        return c;
    }();
    return *clock;
}

// Clock lock held.
LONGLONG InterruptTimeLocked(const Clock& clock, Steady::time_point now)
{
    double realUnits = std::chrono::duration<double, std::ratio<1, 10000000>>(now - clock.steadyBase).count();
    return clock.interruptBase + static_cast<LONGLONG>(realUnits * clock.rate);
}

}  // namespace

namespace detail {

LONGLONG InterruptTime()
{
    Clock& clock = TheClock();
    std::lock_guard guard(clock.lock);
    return InterruptTimeLocked(clock, Steady::now());
}

LONGLONG SystemTimeBias()
{
    return TheClock().systemBias;
}

LONGLONG DeadlineFor(const LARGE_INTEGER* timeout)
{
    if (timeout == nullptr) return kNoDeadline;
    LONGLONG value = timeout->QuadPart;
    LONGLONG now = InterruptTime();
    if (value > 0) return value - SystemTimeBias();
    if (value == std::numeric_limits<LONGLONG>::min() || -value > kNoDeadline - 1 - now) return kNoDeadline - 1;
    return now - value;
}

}  // namespace detail

void SetClockRate(double rate)
{
    if (!(rate > 0) || !std::isfinite(rate)) rate = 1.0;
    {
        Clock& clock = TheClock();
        std::lock_guard guard(clock.lock);
        Steady::time_point now = Steady::now();
        clock.interruptBase = InterruptTimeLocked(clock, now);
        clock.steadyBase = now;
        clock.rate = rate;
    }
    detail::WakeEveryone();
}

double ClockRate()
{
    Clock& clock = TheClock();
    std::lock_guard guard(clock.lock);
    return clock.rate;
}

LONGLONG HostTimeNow()
{
    return detail::InterruptTime();
}

namespace detail {

// Real time to wait for an interrupt-time span at the current rate.
std::chrono::nanoseconds RealSpanFor(LONGLONG units)
{
    double rate = ClockRate();
    double ns = static_cast<double>(units) * 100.0 / rate;
    constexpr double kLongest = 3600e9;  // recheck at least hourly; also keeps the conversion in range
    if (ns > kLongest) ns = kLongest;
    if (ns < 0) ns = 0;
    return std::chrono::nanoseconds(static_cast<int64_t>(ns) + 1);
}

}  // namespace detail

}  // namespace nimbra::host

ULONGLONG KeQueryInterruptTime()
{
    return static_cast<ULONGLONG>(nimbra::host::detail::InterruptTime());
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = nimbra::host::detail::SystemTimeBias() + nimbra::host::detail::InterruptTime();
}
