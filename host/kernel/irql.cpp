// Per-thread IRQL: PASSIVE_LEVEL by default, raised and lowered with the platform's checks.
#include <string>

#include "host/kernel/kernel_internal.h"

namespace nimbra::host {

namespace detail {

KIRQL& ThreadIrql()
{
    thread_local KIRQL irql = PASSIVE_LEVEL;
    return irql;
}

}  // namespace detail

void SetCurrentIrql(KIRQL irql)
{
    detail::ThreadIrql() = irql;
}

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(detail::ThreadIrql())
{
    detail::ThreadIrql() = irql;
}

ScopedIrql::~ScopedIrql()
{
    detail::ThreadIrql() = previous_;
}

}  // namespace nimbra::host

using nimbra::host::BugCheck;
using nimbra::host::detail::ThreadIrql;

KIRQL KeGetCurrentIrql()
{
    return ThreadIrql();
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql, NtCallSite callSite)
{
    KIRQL current = ThreadIrql();
    if (NewIrql < current) {
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL", callSite,
                 "raise to " + std::to_string(NewIrql) + " from " + std::to_string(current));
    }
    *OldIrql = current;
    ThreadIrql() = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql, NtCallSite callSite)
{
    KIRQL current = ThreadIrql();
    if (NewIrql > current) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", callSite,
                 "lower to " + std::to_string(NewIrql) + " from " + std::to_string(current));
    }
    ThreadIrql() = NewIrql;
}

VOID KeCheckPagedCode(NtCallSite callSite)
{
    KIRQL current = ThreadIrql();
    if (current > APC_LEVEL) {
        BugCheck("PAGED_CODE above APC_LEVEL", callSite, "IRQL " + std::to_string(current));
    }
}
