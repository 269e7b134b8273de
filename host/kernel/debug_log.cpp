// DbgPrint: each call becomes one entry of an in-memory log (its trailing newline dropped),
// echoed to stderr when asked.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "host/kernel/kernel_internal.h"

namespace nimbra::host {

namespace {

struct DebugLogState {
    std::mutex lock;  // guards entries
    std::vector<std::string> entries;
    std::atomic<bool> echo{false};
};

DebugLogState& TheLog()
{
    static DebugLogState* log = new DebugLogState;
    return *log;
}

}  // namespace

std::vector<std::string> DebugLog()
{
    DebugLogState& log = TheLog();
    std::lock_guard guard(log.lock);
    return log.entries;
}

void ClearDebugLog()
{
    DebugLogState& log = TheLog();
    std::lock_guard guard(log.lock);
    log.entries.clear();
}

void SetDebugEcho(bool toStderr)
{
    TheLog().echo.store(toStderr, std::memory_order_relaxed);
}

}  // namespace nimbra::host

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, Format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, Format, args);
    va_end(args);

    auto& log = nimbra::host::TheLog();
    if (log.echo.load(std::memory_order_relaxed)) {
        std::fputs(text.c_str(), stderr);
        if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
    }
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::lock_guard guard(log.lock);
    log.entries.push_back(std::move(text));
    return STATUS_SUCCESS;
}
