// The verifier's failure path: a bug check names the rule broken and the caller, then aborts.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/kernel/kernel_internal.h"

namespace nimbra::host {

namespace detail {

std::string SiteText(const NtCallSite& site)
{
    return std::string(site.file) + ":" + std::to_string(site.line);
}

}  // namespace detail

void BugCheck(std::string_view rule, const NtCallSite& caller, std::string_view detail)
{
    std::fprintf(stderr, "*** nimbra verifier: %.*s (%s:%u %s)%s%.*s\n", static_cast<int>(rule.size()), rule.data(),
                 caller.file, static_cast<unsigned>(caller.line), caller.function,
                 detail.empty() ? "" : " ", static_cast<int>(detail.size()), detail.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace nimbra::host

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4,
                  NtCallSite callSite)
{
    char detail[160];
    std::snprintf(detail, sizeof(detail), "code 0x%08" PRIx32 " (0x%" PRIxPTR ", 0x%" PRIxPTR ", 0x%" PRIxPTR
                  ", 0x%" PRIxPTR ")", BugCheckCode, P1, P2, P3, P4);
    nimbra::host::BugCheck("KeBugCheckEx", callSite, detail);
}
