// IRPs through a two-driver stack: completion routines and their device objects,
// STATUS_MORE_PROCESSING_REQUIRED, pending, threaded requests, cancellation; and MDLs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/kernel/host_kernel.h"

using namespace nimbra::host;

namespace {

// The lower driver either completes at once or keeps the IRP pending for the test.
struct LowerBehaviour {
    bool pend = false;
    bool cancelable = false;
    NTSTATUS status = STATUS_SUCCESS;
    PIRP held = nullptr;
};
LowerBehaviour lower;

struct UpperBehaviour {
    NTSTATUS routineResult = STATUS_SUCCESS;
    std::vector<std::string> calls;  // completion routines as they ran
    PDEVICE_OBJECT seenDevice = nullptr;
    BOOLEAN seenPending = FALSE;
};
UpperBehaviour upper;

DEVICE_OBJECT upperDevice;
DEVICE_OBJECT lowerDevice;
DRIVER_OBJECT upperDriver;
DRIVER_OBJECT lowerDriver;

VOID LowerCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    lower.held = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if ((stack->Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_BUFFERED) {
        // Echo the input reversed, as much as fits.
        auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
        ULONG n = std::min(in, stack->Parameters.DeviceIoControl.OutputBufferLength);
        std::string input(buffer, in);
        for (ULONG i = 0; i < n; ++i) buffer[i] = input[in - 1 - i];
        irp->IoStatus.Information = n;
    }
    irp->IoStatus.Status = lower.status;
    if (lower.pend) {
        IoMarkIrpPending(irp);
        lower.held = irp;
        if (lower.cancelable) IoSetCancelRoutine(irp, LowerCancel);
        return STATUS_PENDING;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return lower.status;
}

NTSTATUS UpperCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    upper.calls.push_back("upper");
    upper.seenDevice = device;
    upper.seenPending = irp->PendingReturned;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return upper.routineResult;
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(&lowerDevice, irp);
}

NTSTATUS CreatorCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* calls = static_cast<std::vector<std::string>*>(context);
    calls->push_back(device == nullptr ? "creator" : "creator with a device");
    (void)irp;
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours again
}

class IrpTest : public testing::Test {
protected:
    void SetUp() override
    {
        lower = LowerBehaviour{};
        upper = UpperBehaviour{};
        std::memset(&upperDevice, 0, sizeof(upperDevice));
        std::memset(&lowerDevice, 0, sizeof(lowerDevice));
        std::memset(&upperDriver, 0, sizeof(upperDriver));
        std::memset(&lowerDriver, 0, sizeof(lowerDriver));
        upperDriver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = UpperDispatch;
        lowerDriver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
        lowerDriver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
        upperDevice.DriverObject = &upperDriver;
        lowerDevice.DriverObject = &lowerDriver;
        lowerDevice.StackSize = 1;
        upperDevice.StackSize = 2;
        irpsBefore = LiveIrpCount();
        blocksBefore = GetPoolStats().liveBlocks;
    }
    void TearDown() override
    {
        EXPECT_EQ(LiveIrpCount(), irpsBefore);
        EXPECT_EQ(GetPoolStats().liveBlocks, blocksBefore);
    }

    // An IRP for the upper device with the creator's completion routine.
    PIRP Build(std::vector<std::string>* calls)
    {
        PIRP irp = IoAllocateIrp(upperDevice.StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        EXPECT_EQ(irp->CurrentLocation, upperDevice.StackSize + 1);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, 0);
        IoSetCompletionRoutine(irp, CreatorCompletion, calls, TRUE, TRUE, TRUE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        return irp;
    }

    size_t irpsBefore = 0;
    size_t blocksBefore = 0;
};

TEST_F(IrpTest, CompletionWalksUpWithEachLevelsDeviceAndPendingState)
{
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "pending" : "synchronous");
        lower.pend = pend;
        upper.calls.clear();
        PIRP irp = Build(&upper.calls);
        NTSTATUS status = IoCallDriver(&upperDevice, irp);
        if (pend) {
            EXPECT_EQ(status, STATUS_PENDING);
            EXPECT_TRUE(upper.calls.empty());
            IoCompleteRequest(lower.held, IO_NO_INCREMENT);
        }
        EXPECT_EQ(upper.calls, (std::vector<std::string>{"upper", "creator"}));
        EXPECT_EQ(upper.seenDevice, &upperDevice);
        EXPECT_EQ(upper.seenPending, pend ? TRUE : FALSE);
        EXPECT_EQ(irp->PendingReturned, pend ? TRUE : FALSE);  // marked by the upper routine
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain)
{
    upper.routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = Build(&upper.calls);
    IoCallDriver(&upperDevice, irp);
    EXPECT_EQ(upper.calls, (std::vector<std::string>{"upper"}));
    // The upper driver owns it again, at its own stack location, and finishes it.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, &upperDevice);
    upper.routineResult = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(upper.calls, (std::vector<std::string>{"upper", "creator"}));
    IoFreeIrp(irp);
}

NTSTATUS CountCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    ++*static_cast<int*>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, InvokeOnFlagsSelectSuccessErrorOrCancel)
{
    struct Case {
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        int calls;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, true, false, false, 1}, {STATUS_SUCCESS, false, false, true, true, 0},
        {STATUS_IO_DEVICE_ERROR, false, false, true, false, 1}, {STATUS_IO_DEVICE_ERROR, false, true, false, true, 0},
        {STATUS_SUCCESS, true, false, false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status << " cancel " << c.cancel);
        lower.status = c.status;
        int calls = 0;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, CountCompletion, &calls, c.onSuccess, c.onError, c.onCancel);
        irp->Cancel = c.cancel;
        IoCallDriver(&lowerDevice, irp);
        EXPECT_EQ(calls, c.calls);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, ThreadedRequestCopiesResultsSignalsAndFreesItself)
{
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "pending" : "synchronous");
        lower.pend = pend;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        char input[] = {'a', 'b', 'c', 'd'};
        char output[3] = {};
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, 0), &lowerDevice,
                                                 input, sizeof(input), output, sizeof(output), FALSE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        NTSTATUS status = IoCallDriver(&lowerDevice, irp);
        if (status == STATUS_PENDING) {
            PIRP held = lower.held;
            std::thread completer([held] { IoCompleteRequest(held, IO_NO_INCREMENT); });
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            completer.join();
        }
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 3u);
        EXPECT_EQ(std::string(output, 3), "dcb");
    }
}

TEST_F(IrpTest, ThreadedRequestFailsCleanlyWhenPoolRunsOut)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    char buffer[8] = {};
    for (uint64_t n : {1, 2}) {  // the IRP, then the system buffer
        FailAllocationAfter(n);
        EXPECT_EQ(IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, 0), &lowerDevice,
                                                buffer, sizeof(buffer), buffer, sizeof(buffer), TRUE, &event, &iosb),
                  nullptr);
        ClearAllocationFaults();
    }
}

TEST_F(IrpTest, CancelCallsTheCancelRoutineOnce)
{
    lower.pend = true;
    lower.cancelable = true;
    PIRP irp = Build(&upper.calls);
    EXPECT_EQ(IoCallDriver(&upperDevice, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(lower.held, nullptr);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(upper.calls, (std::vector<std::string>{"upper", "creator"}));
    EXPECT_FALSE(IoCancelIrp(irp));  // no cancel routine any more
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ReuseReturnsTheIrpToItsInitialState)
{
    PIRP irp = Build(&upper.calls);
    IoCallDriver(&upperDevice, irp);
    IoReuseIrp(irp, STATUS_PENDING);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_PENDING);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
    EXPECT_EQ(irp->Size, IoSizeOfIrp(upperDevice.StackSize));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, MissingDispatchRoutineFailsTheRequest)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    std::vector<std::string> calls;
    IoSetCompletionRoutine(irp, CreatorCompletion, &calls, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(&lowerDevice, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(calls.size(), 1u);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, MdlDescribesAndMapsItsBuffer)
{
    alignas(4096) static char buffer[3 * 4096];
    char* start = buffer + 100;
    PMDL mdl = IoAllocateMdl(start, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 5000u);
    EXPECT_EQ(mdl->ByteOffset, 100u);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);

    mdl = IoAllocateMdl(start, 10, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
    IoFreeMdl(mdl);
}

}  // namespace
