// The driver-unload check: nothing the driver made may outlive it.
#include <chrono>
#include <string>
#include <vector>

#include "host/kernel/kernel_internal.h"

namespace nimbra::host {

namespace detail {
std::vector<std::string> SystemThreadsStillRunning(std::chrono::milliseconds grace);
}

void CheckDriverUnloaded(const NtCallSite& caller)
{
    // A thread that has signalled its exit may still be on its way out: give it a moment.
    constexpr std::chrono::milliseconds kExitGrace{2000};
    std::vector<std::string> running = detail::SystemThreadsStillRunning(kExitGrace);
    if (!running.empty()) {
        std::string detail = std::to_string(running.size()) + " thread(s):";
        for (const std::string& site : running) detail += "\n    created at " + site;
        BugCheck("system thread still running at driver unload", caller, detail);
    }
    CheckNoPoolLeaks(caller);
}

}  // namespace nimbra::host
