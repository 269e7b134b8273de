// Adapter lifecycle through the class driver stand-in: initialisation with every allocation
// failing in turn, a failed USB set-up, power changes, surprise removal and requests that come
// after uninitialisation.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/driver_globals.h"
#include "tests/support/stack_fixture.h"
#include "usb/capture_device.h"

namespace nimbra::test {
namespace {

using LifecycleTest = StackTest;

TEST_F(LifecycleTest, InitializationBuildsTheSessionAndSaysSo)
{
    host::ClearDebugLog();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const auto log = host::DebugLog();
    EXPECT_NE(std::find(log.begin(), log.end(), ">>InitializeDevice"), log.end());
    CameraSession* session = Session();
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->lowerDevice, Stack().Bus().PhysicalDeviceObject());
    EXPECT_EQ(session->adapter, Adapter());
    EXPECT_TRUE(session->captureDevice->configured);
    EXPECT_EQ(session->streamRecord->streamIndex.load(), -1);
    EXPECT_EQ(CurrentAdapter.load(), Adapter());
    EXPECT_EQ(DeviceAccessMode.load(), AccessIdle);
}

TEST_F(LifecycleTest, EveryAllocationOfInitializationMayFailWithoutLeaking)
{
    for (uint64_t n = 1;; ++n) {
        MakeStack();
        ASSERT_EQ(Host().LoadDriver(DriverEntry), STATUS_SUCCESS);
        const uint64_t failedBefore = host::GetPoolStats().failedAllocations;
        host::FailAllocationAfter(n);
        const NTSTATUS status = Host().InitializeDevice(Stack().Bus().PhysicalDeviceObject());
        host::ClearAllocationFaults();
        const bool injected = host::GetPoolStats().failedAllocations != failedBefore;
        if (injected) {
            EXPECT_FALSE(NT_SUCCESS(status)) << "allocation " << n << " failed but initialisation succeeded";
        }
        stack_->Stop();  // uninitialise and unload: the verifier finds any leak
        stack_.reset();
        if (host::GetPoolStats().liveBlocks != 0) {
            for (const auto& block : host::LiveAllocations()) {
                ADD_FAILURE() << "after failing allocation " << n << ": " << block.bytes << " bytes from " << block.site;
            }
            return;
        }
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_GT(n, 5u);  // the sweep did reach the driver's allocations
            break;
        }
    }
}

TEST_F(LifecycleTest, FailedUsbSetUpStillReleasesEverything)
{
    camsim::CameraConfig camera;
    camera.refusedAlternates = {0};
    EXPECT_EQ(Start(camera), STATUS_IO_DEVICE_ERROR);
    ASSERT_NE(Session(), nullptr);
    EXPECT_FALSE(Session()->captureDevice->configured);
}

TEST_F(LifecycleTest, PowerStatesAreRecordedAndInvalidOnesRefused)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    struct Step {
        LONG state;
        NTSTATUS status;
    };
    const Step steps[] = {
        {PowerDeviceD0, STATUS_SUCCESS}, {PowerDeviceD1, STATUS_SUCCESS}, {PowerDeviceD3, STATUS_SUCCESS},
        {5, STATUS_INVALID_PARAMETER},   {PowerDeviceD0, STATUS_SUCCESS}, {PowerDeviceD0, STATUS_SUCCESS},
        {0, STATUS_INVALID_PARAMETER},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(Host().SetPowerState(static_cast<DEVICE_POWER_STATE>(step.state)), step.status) << step.state;
        EXPECT_EQ(Adapter()->powerState, static_cast<ULONG>(step.state));
    }
}

TEST_F(LifecycleTest, SecondSurpriseRemovalOnlySucceeds)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Host().SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_TRUE(Adapter()->closing.load());
    EXPECT_EQ(Host().SendAdapterSrb(SRB_SURPRISE_REMOVAL, nullptr, 0), STATUS_SUCCESS);
    ASSERT_NE(Session(), nullptr);  // removal frees nothing
}

TEST_F(LifecycleTest, RequestsAfterUninitializationTouchNoReleasedRecord)
{
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(Host().SendAdapterSrb(SRB_UNINITIALIZE_DEVICE, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Session(), nullptr);
    EXPECT_EQ(SessionReleased.load(), 1);
    EXPECT_EQ(Host().SendAdapterSrb(SRB_CLOSE_STREAM, nullptr, 0), STATUS_SUCCESS);
    LONG d3 = PowerDeviceD3;
    EXPECT_EQ(Host().SendAdapterSrb(SRB_CHANGE_POWER_STATE, reinterpret_cast<PVOID>(static_cast<intptr_t>(d3)), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(Host().SendAdapterSrb(SRB_SURPRISE_REMOVAL, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Host().SendAdapterSrb(SRB_UNINITIALIZE_DEVICE, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(host::GetPoolStats().liveBlocks, 0u);
}

}  // namespace
}  // namespace nimbra::test
