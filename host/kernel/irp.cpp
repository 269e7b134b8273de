// IRPs: allocation from pool (so leaks show), the stack walk of IofCallDriver and
// IofCompleteRequest as the platform does it, requests built for a waiting caller ("threaded"
// IRPs, freed by the I/O manager on completion), cancellation and the cancel spin lock, and the
// ownership checks: completed twice, freed or reused while a driver owns it.
//
// An IRP is in the driver stack while CurrentLocation <= StackCount: some driver holds the
// current stack location. HostReserved[0] marks an initialised IRP; HostReserved[1] holds the
// flags below and, in its high half, the output length of a threaded request.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>

#include "host/kernel/kernel_internal.h"

using namespace nimbra::host;
using namespace nimbra::host::detail;

namespace {

constexpr ULONG_PTR kIrpMagic = 0x4E494D4B49525000ULL;  // "NIMKIRP"
constexpr CSHORT kIoTypeIrp = 6;

enum IrpFlag : ULONG_PTR {
    kThreaded = 1 << 0,         // built by IoBuildDeviceIoControlRequest
    kBufferedOutput = 1 << 1,   // copy the system buffer back to UserBuffer at completion
    kOwnsSystemBuffer = 1 << 2,
    kOwnsMdl = 1 << 3,
    kCompleted = 1 << 4,        // the completion walk has finished
    kHeldByCreator = 1 << 5,    // the creator's own completion routine kept the IRP: it may complete it again
};

struct IrpTable {
    std::mutex lock;  // guards both sets
    std::unordered_set<PIRP> live;   // from IoAllocateIrp, not yet freed
    std::unordered_set<PIRP> freed;  // freed and not handed out again
};

IrpTable& TheTable()
{
    static IrpTable* table = new IrpTable;
    return *table;
}

KSPIN_LOCK cancelSpinLock = 0;

ULONG_PTR Flags(const IRP* irp)
{
    return reinterpret_cast<ULONG_PTR>(irp->HostReserved[1]);
}

void SetFlags(PIRP irp, ULONG_PTR flags)
{
    irp->HostReserved[1] = reinterpret_cast<PVOID>(flags);
}

bool InDriverStack(const IRP* irp)
{
    return irp->CurrentLocation <= irp->StackCount;
}

// An IRP handed to IofCallDriver or IofCompleteRequest must be alive and initialised.
void CheckIrp(PIRP irp, const NtCallSite& site)
{
    if (irp == nullptr) BugCheck("null IRP", site);
    bool freed;
    {
        IrpTable& table = TheTable();
        std::lock_guard guard(table.lock);
        freed = table.freed.count(irp) != 0;
    }
    if (freed) BugCheck("IRP used after it was freed", site);
    if (irp->HostReserved[0] != reinterpret_cast<PVOID>(kIrpMagic)) BugCheck("IRP not initialised", site);
}

// Removes the IRP from the live table and gives its memory back to the pool.
void ReleaseIrp(PIRP irp, const NtCallSite& site)
{
    IrpTable& table = TheTable();
    {
        std::lock_guard guard(table.lock);
        table.live.erase(irp);
        table.freed.insert(irp);
    }
    irp->HostReserved[0] = nullptr;
    ExFreePool(irp, site);
}

// The end of a threaded request: results to the caller's buffers and status block, the IRP and
// what it owns freed, then the caller's event signalled.
void FinishThreadedIrp(PIRP irp, const NtCallSite& site)
{
    ULONG_PTR flags = Flags(irp);
    auto outputLength = static_cast<ULONG>(flags >> 32);
    NTSTATUS status = irp->IoStatus.Status;
    bool isError = (static_cast<ULONG>(status) >> 30) == 3;
    if ((flags & kBufferedOutput) && !isError && irp->UserBuffer != nullptr) {
        size_t bytes = std::min<size_t>(irp->IoStatus.Information, outputLength);
        std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    if (flags & kOwnsSystemBuffer) ExFreePool(irp->AssociatedIrp.SystemBuffer, site);
    if ((flags & kOwnsMdl) && irp->MdlAddress != nullptr) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress, site);
    }
    PKEVENT event = irp->UserEvent;
    ReleaseIrp(irp, site);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

USHORT IoSizeOfIrp(CCHAR StackSize)
{
    return static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(std::max<int>(StackSize, 0)) * sizeof(IO_STACK_LOCATION));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = kIoTypeIrp;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    Irp->HostReserved[0] = reinterpret_cast<PVOID>(kIrpMagic);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN /*ChargeQuota*/, NtCallSite callSite)
{
    if (StackSize < 1) return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    auto irp = static_cast<PIRP>(ExAllocatePool(NonPagedPoolNx, size, callSite));
    if (irp == nullptr) return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    irp->AllocationFlags = 1;
    IrpTable& table = TheTable();
    std::lock_guard guard(table.lock);
    table.live.insert(irp);
    table.freed.erase(irp);
    return irp;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    if (InDriverStack(Irp)) BugCheck("IRP reused while a driver owns it", NtCallSite::Current());
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Status;
}

VOID IoFreeIrp(PIRP Irp, NtCallSite callSite)
{
    IrpTable& table = TheTable();
    bool live;
    bool freed;
    {
        std::lock_guard guard(table.lock);
        live = table.live.count(Irp) != 0;
        freed = table.freed.count(Irp) != 0;
    }
    if (freed) BugCheck("IRP freed twice", callSite);
    if (!live) BugCheck("IRP freed that IoAllocateIrp did not allocate", callSite);
    if (InDriverStack(Irp)) {
        BugCheck("IRP freed while a driver owns it", callSite,
                 "stack location " + std::to_string(Irp->CurrentLocation) + " of " + std::to_string(Irp->StackCount));
    }
    ReleaseIrp(Irp, callSite);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                                   NtCallSite callSite)
{
    PIRP irp = IoAllocateIrp(std::max<CCHAR>(DeviceObject->StackSize, 1), FALSE, callSite);
    if (irp == nullptr) return nullptr;
    ULONG_PTR flags = kThreaded | (static_cast<ULONG_PTR>(OutputBufferLength) << 32);
    ULONG method = IoControlCode & 3;
    ULONG systemBufferLength = 0;
    if (method == METHOD_BUFFERED) {
        systemBufferLength = std::max(InputBufferLength, OutputBufferLength);
    } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        systemBufferLength = InputBufferLength;
    }
    if (systemBufferLength != 0) {
        PVOID buffer = ExAllocatePool(NonPagedPoolNx, systemBufferLength, callSite);
        if (buffer == nullptr) {
            ReleaseIrp(irp, callSite);
            return nullptr;
        }
        if (InputBuffer != nullptr && InputBufferLength != 0) std::memcpy(buffer, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        flags |= kOwnsSystemBuffer;
        if (method == METHOD_BUFFERED && OutputBufferLength != 0) flags |= kBufferedOutput;
    }
    if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && OutputBufferLength != 0) {
        PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp, callSite);
        if (mdl == nullptr) {
            if (flags & kOwnsSystemBuffer) ExFreePool(irp->AssociatedIrp.SystemBuffer, callSite);
            ReleaseIrp(irp, callSite);
            return nullptr;
        }
        MmProbeAndLockPages(mdl, KernelMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
        flags |= kOwnsMdl;
    }
    SetFlags(irp, flags);
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    if (method == METHOD_NEITHER) next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, NtCallSite callSite)
{
    CheckIrp(Irp, callSite);
    if (ThreadIrql() > DISPATCH_LEVEL) {
        BugCheck("IofCallDriver above DISPATCH_LEVEL", callSite, "IRQL " + std::to_string(ThreadIrql()));
    }
    if (Irp->CurrentLocation <= 1) {
        BugCheck("no more IRP stack locations", callSite, "stack count " + std::to_string(Irp->StackCount));
    }
    SetFlags(Irp, Flags(Irp) & ~ULONG_PTR{kCompleted});
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION && DeviceObject->DriverObject != nullptr) {
        dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    }
    if (dispatch == nullptr) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT, callSite);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR /*PriorityBoost*/, NtCallSite callSite)
{
    CheckIrp(Irp, callSite);
    // An IRP whose creator's completion routine returned STATUS_MORE_PROCESSING_REQUIRED may be
    // completed once more by its creator, which ends the I/O manager's part of it.
    const bool heldByCreator = (Flags(Irp) & kHeldByCreator) != 0;
    if (!InDriverStack(Irp) && !heldByCreator) {
        BugCheck("IRP completed twice", callSite,
                 (Flags(Irp) & kCompleted) ? "its completion has already run" : "no driver owns it");
    }
    SetFlags(Irp, Flags(Irp) & ~ULONG_PTR{kHeldByCreator});
    if (Irp->IoStatus.Status == STATUS_PENDING) BugCheck("IRP completed with STATUS_PENDING", callSite);
    if (Irp->CancelRoutine != nullptr) BugCheck("IRP completed with a cancel routine set", callSite);
    if (ThreadIrql() > DISPATCH_LEVEL) {
        BugCheck("IofCompleteRequest above DISPATCH_LEVEL", callSite, "IRQL " + std::to_string(ThreadIrql()));
    }

    // Walk up the stack: each level's completion routine (set by the driver above it) runs with
    // the stack pointing at that driver's location and with that driver's device object.
    while (InDriverStack(Irp)) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine != nullptr &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = InDriverStack(Irp) ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            // Marked before the call: once the routine answers STATUS_MORE_PROCESSING_REQUIRED its
            // owner may free the IRP on another thread, so the walk must not touch it again.
            const bool atCreator = !InDriverStack(Irp);
            if (atCreator) SetFlags(Irp, Flags(Irp) | kHeldByCreator);
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;  // left to that driver
            if (atCreator) SetFlags(Irp, Flags(Irp) & ~ULONG_PTR{kHeldByCreator});
        } else if (Irp->PendingReturned && InDriverStack(Irp)) {
            IoMarkIrpPending(Irp);
        }
    }
    SetFlags(Irp, Flags(Irp) | kCompleted);
    if (Flags(Irp) & kThreaded) FinishThreadedIrp(Irp, callSite);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql, NtCallSite callSite)
{
    KeAcquireSpinLock(&cancelSpinLock, Irql, callSite);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql, NtCallSite callSite)
{
    KeReleaseSpinLock(&cancelSpinLock, Irql, callSite);
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    CheckIrp(Irp, NtCallSite::Current());
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // The routine releases the cancel spin lock with IoReleaseCancelSpinLock(Irp->CancelIrql).
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = InDriverStack(Irp) ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    routine(device, Irp);
    return TRUE;
}

namespace nimbra::host {

size_t LiveIrpCount()
{
    IrpTable& table = TheTable();
    std::lock_guard guard(table.lock);
    return table.live.size();
}

}  // namespace nimbra::host
