// Driver entry and request dispatch through the class driver stand-in: the registration
// record, the device access mode of the entry hooks and the out-of-range rules of both tables.
#include <gtest/gtest.h>

#include "driver/driver_globals.h"
#include "driver/entry_hooks.h"
#include "tests/support/stack_fixture.h"

namespace nimbra::test {
namespace {

using DispatchTest = StackTest;

TEST_F(DispatchTest, RegistersTheAdapterWithTheRecordItNeeds)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const HW_INITIALIZATION_DATA& r = Host().Registration();
    EXPECT_EQ(r.HwInitializationDataSize, 88u);
    EXPECT_EQ(r.HwInterrupt, nullptr);
    EXPECT_NE(r.HwReceivePacket, nullptr);
    EXPECT_NE(r.HwCancelPacket, nullptr);
    EXPECT_NE(r.HwRequestTimeoutHandler, nullptr);
    EXPECT_EQ(r.DeviceExtensionSize, 416u);
    EXPECT_EQ(r.PerRequestExtensionSize, 56u);
    EXPECT_EQ(r.PerStreamExtensionSize, 0u);
    EXPECT_EQ(r.FilterInstanceExtensionSize, 0u);
    EXPECT_FALSE(r.BusMasterDMA);
    EXPECT_FALSE(r.Dma24BitAddresses);
    EXPECT_EQ(r.BufferAlignment, 3u);
    EXPECT_TRUE(r.TurnOffSynchronization);
    EXPECT_EQ(r.DmaBufferSize, 0u);
    EXPECT_EQ(r.NumNameExtensions, 0u);
    // The three entries hold the driver's hooks, in front of the class driver's routines.
    PDRIVER_OBJECT driver = Host().DriverObject();
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], CreateHook);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], CloseHook);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], DeviceControlHook);
    EXPECT_NE(ClassCreate, nullptr);
    EXPECT_NE(ClassDeviceControl, nullptr);
}

TEST_F(DispatchTest, FailedRegistrationReturnsItsStatusAndHooksNothing)
{
    MakeStack();
    Host().FailNextRegistration(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Host().LoadDriver(DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(Host().DriverObject()->MajorFunction[IRP_MJ_CREATE], CreateHook);
    stack_.reset();
}

TEST_F(DispatchTest, CreateWaitsForInitializationCompleteAndPrivateCodesBlockIt)
{
    MakeStack();
    ASSERT_EQ(Host().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(Host().InitializeDevice(Stack().Bus().PhysicalDeviceObject()), STATUS_SUCCESS);
    host::KsHandle early;
    EXPECT_EQ(host::OpenFilter(Host(), &early), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(Host().CompleteInitialization(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceAccessMode.load(), AccessIdle);

    host::KsHandle first;
    ASSERT_EQ(host::OpenFilter(Host(), &first), STATUS_SUCCESS);
    // Codes next to the private range go to the class driver and leave the mode alone.
    for (ULONG code : {0x222FFFu, 0x223077u}) {
        host::DeviceControl(first, code, nullptr, 0, nullptr, 0);
        EXPECT_EQ(DeviceAccessMode.load(), AccessIdle) << std::hex << code;
    }
    // The last private code moves to still-image use: no further handle until a close.
    UCHAR reply[1] = {};
    host::DeviceControl(first, 0x223076, nullptr, 0, reply, sizeof(reply));
    EXPECT_EQ(DeviceAccessMode.load(), AccessStillImage);
    host::KsHandle second;
    EXPECT_EQ(host::OpenFilter(Host(), &second), STATUS_INSUFFICIENT_RESOURCES);
    host::Close(first);
    EXPECT_EQ(DeviceAccessMode.load(), AccessIdle);
    EXPECT_EQ(host::OpenFilter(Host(), &second), STATUS_SUCCESS);

    // Uninitialised: everything is refused, a stream read included, and the mode stays closed.
    Host().StopDevice();
    EXPECT_EQ(host::DeviceControl(second, IOCTL_KS_READ_STREAM, nullptr, 0, nullptr, 0),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(DeviceAccessMode.load(), AccessClosed);
    host::KsHandle late;
    EXPECT_EQ(host::OpenFilter(Host(), &late), STATUS_INSUFFICIENT_RESOURCES);
    host::Close(second);
}

TEST_F(DispatchTest, AdapterCodesOutsideTheTableRunTheSurpriseRemoval)
{
    for (LONG code : {0x10F, 0xFF, 0, -5}) {
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        EXPECT_EQ(Host().SendAdapterSrb(code, nullptr, 0), STATUS_SUCCESS) << code;
        EXPECT_TRUE(Adapter()->closing.load()) << code;
        stack_->Stop();
        stack_.reset();
    }
}

TEST_F(DispatchTest, AcceptingEntriesSucceedWithoutDoingAnything)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    for (LONG code : {SRB_OPEN_DEVICE_INSTANCE, SRB_CLOSE_DEVICE_INSTANCE, SRB_UNKNOWN_DEVICE_COMMAND,
                      SRB_PAGING_OUT_DRIVER}) {
        EXPECT_EQ(Host().SendAdapterSrb(code, nullptr, 0), STATUS_SUCCESS) << code;
    }
    EXPECT_FALSE(Adapter()->closing.load());
}

}  // namespace
}  // namespace nimbra::test
