// Memory descriptor lists. User and kernel share one address space here, so locking and
// mapping only record their state in MdlFlags; the MDL itself comes from pool (leaks show).
#include <cstdint>

#include "host/kernel/kernel_internal.h"

using namespace nimbra::host;

namespace {

constexpr ULONG_PTR kPageSize = 4096;

}  // namespace

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN /*ChargeQuota*/, PIRP Irp,
                   NtCallSite callSite)
{
    auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    ULONG_PTR offset = address & (kPageSize - 1);
    ULONG_PTR pages = (offset + Length + kPageSize - 1) / kPageSize;
    size_t size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    auto mdl = static_cast<PMDL>(ExAllocatePool(NonPagedPoolNx, size, callSite));
    if (mdl == nullptr) return nullptr;
    mdl->Next = nullptr;
    mdl->Size = static_cast<CSHORT>(size);
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = reinterpret_cast<PVOID>(address - offset);
    mdl->ByteCount = Length;
    mdl->ByteOffset = static_cast<ULONG>(offset);
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link != nullptr) link = &(*link)->Next;
            *link = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl, NtCallSite callSite)
{
    ExFreePool(Mdl, callSite);
}

VOID MmBuildMdlForNonPagedPool(PMDL Mdl)
{
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
}

VOID MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE /*AccessMode*/, LOCK_OPERATION /*Operation*/)
{
    if (nimbra::host::detail::ThreadIrql() > DISPATCH_LEVEL) {
        BugCheck("MmProbeAndLockPages above DISPATCH_LEVEL", NtCallSite::Current());
    }
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID MmUnlockPages(PMDL Mdl)
{
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        BugCheck("MmUnlockPages on an MDL whose pages are not locked", NtCallSite::Current());
    }
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

PVOID MmMapLockedPages(PMDL Mdl, KPROCESSOR_MODE /*AccessMode*/)
{
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        BugCheck("MmMapLockedPages on an MDL whose pages are not locked", NtCallSite::Current());
    }
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    return Mdl->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID /*BaseAddress*/, PMDL Mdl)
{
    Mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}
