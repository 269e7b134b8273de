// Each verifier rule fails loudly, naming the rule and the caller.
#include <gtest/gtest.h>

#include <thread>

#include "host/kernel/host_kernel.h"

using namespace nimbra::host;

namespace {

TEST(VerifierDeathTest, BlockingWaitAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero{};
    LARGE_INTEGER tick;
    tick.QuadPart = -1;
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);  // a poll
    }
    EXPECT_DEATH(
        {
            ScopedIrql dispatch(DISPATCH_LEVEL);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tick);
        },
        "wait at DISPATCH_LEVEL with a non-zero timeout \\(.*verifier_test.cpp:");
    EXPECT_DEATH(
        {
            ScopedIrql dispatch(DISPATCH_LEVEL);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "wait at DISPATCH_LEVEL with a non-zero timeout");
}

TEST(VerifierDeathTest, SpinLockReleasedTwiceOrAtTheWrongIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, old);
            SetCurrentIrql(DISPATCH_LEVEL);
            KeReleaseSpinLock(&lock, old);
        },
        "spin lock released twice or not held \\(.*verifier_test.cpp:");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeLowerIrql(PASSIVE_LEVEL);
            KeReleaseSpinLock(&lock, old);
        },
        "spin lock released at an IRQL other than DISPATCH_LEVEL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, HIGH_LEVEL);
        },
        "spin lock release lowers to a wrong IRQL");
}

TEST(VerifierDeathTest, MutexReleasedByAThreadThatDoesNotOwnIt)
{
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            std::thread([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); }).join();
            KeReleaseMutex(&mutex, FALSE);
        },
        "mutex released by a thread that does not own it \\(.*verifier_test.cpp:");
}

TEST(VerifierDeathTest, SemaphoreReleasedPastItsLimit)
{
    EXPECT_DEATH(
        {
            KSEMAPHORE semaphore;
            KeInitializeSemaphore(&semaphore, 1, 1);
            KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
        },
        "STATUS_SEMAPHORE_LIMIT_EXCEEDED");
}

NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS KeepPending(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}

TEST(VerifierDeathTest, IrpCompletedTwiceOrFreedWhileADriverOwnsIt)
{
    static DRIVER_OBJECT driver{};
    static DEVICE_OBJECT device{};
    device.DriverObject = &driver;
    device.StackSize = 1;
    driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompleteAtOnce;
    driver.MajorFunction[IRP_MJ_READ] = KeepPending;
    auto send = [](UCHAR major) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        IoCallDriver(&device, irp);
        return irp;
    };
    EXPECT_DEATH(IoCompleteRequest(send(IRP_MJ_DEVICE_CONTROL), IO_NO_INCREMENT),
                 "IRP completed twice \\(.*verifier_test.cpp:");
    EXPECT_DEATH(IoFreeIrp(send(IRP_MJ_READ)), "IRP freed while a driver owns it \\(.*verifier_test.cpp:");
    EXPECT_DEATH(
        {
            PIRP irp = send(IRP_MJ_DEVICE_CONTROL);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "IRP freed twice");
}

TEST(VerifierDeathTest, PoolFreedTwiceOrNotFromThePool)
{
    EXPECT_DEATH(
        {
            PVOID block = ExAllocatePool(NonPagedPool, 8);
            ExFreePool(block);
            ExFreePool(block);
        },
        "pool freed twice \\(.*verifier_test.cpp:");
    EXPECT_DEATH(
        {
            static char notPool[8];
            ExFreePool(notPool);
        },
        "pool freed not from the pool");
}

TEST(VerifierDeathTest, PoolStillAllocatedAtUnloadNamesTheAllocatingLine)
{
    EXPECT_DEATH(
        {
            ExAllocatePool(NonPagedPool, 48);
            CheckDriverUnloaded();
        },
        "pool still allocated at driver unload.*\n.*48 bytes from .*verifier_test.cpp:[0-9]+");
}

VOID WaitForeverRoutine(PVOID context)
{
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

TEST(VerifierDeathTest, SystemThreadStillRunningAtUnload)
{
    EXPECT_DEATH(
        {
            static KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            HANDLE handle;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForeverRoutine, &never);
            ZwClose(handle);
            CheckDriverUnloaded();
        },
        "system thread still running at driver unload.*\n.*created at .*verifier_test.cpp:");
}

TEST(VerifierDeathTest, PagedCodeAboveApcLevel)
{
    {
        ScopedIrql apc(APC_LEVEL);
        PAGED_CODE();
    }
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        "PAGED_CODE above APC_LEVEL \\(.*verifier_test.cpp:");
}

TEST(VerifierDeathTest, KeBugCheckExNamesItsCode)
{
    EXPECT_DEATH(KeBugCheckEx(0xDEAD, 1, 2, 3, 4), "KeBugCheckEx \\(.*verifier_test.cpp:.*code 0x0000dead");
}

}  // namespace
