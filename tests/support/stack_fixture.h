// The driver loaded over the host stack against the simulated camera, for tests that go
// through the class driver's client API. The clock runs fast so that the driver's own waits
// (1 ms before sensor writes, 0.5 s at uninitialisation, ...) cost little real time, while
// every request still completes long before its time-out.
#pragma once

#include <gtest/gtest.h>

#include "driver/adapter_record.h"
#include "driver/camera_session.h"
#include "driver/driver_entry.h"
#include "host/kernel/host_kernel.h"
#include "host/stack/device_stack.h"

namespace nimbra::test {

inline constexpr double kTestClockRate = 10.0;

inline host::DeviceStackOptions CameraOptions(camsim::CameraConfig camera = {})
{
    host::DeviceStackOptions options;
    options.camera = std::move(camera);
    return options;
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::SetClockRate(kTestClockRate);
        host::ClearRegistry();
    }
    void TearDown() override
    {
        if (stack_) {
            stack_->Stop();
            stack_.reset();
        }
        EXPECT_EQ(host::GetPoolStats().liveBlocks, 0u) << "pool left after the device life";
    }

    // Makes the stack; Start() loads the driver and starts the device.
    host::DeviceStack& MakeStack(camsim::CameraConfig camera = {})
    {
        stack_ = std::make_unique<host::DeviceStack>(CameraOptions(std::move(camera)));
        return *stack_;
    }
    NTSTATUS Start(camsim::CameraConfig camera = {})
    {
        MakeStack(std::move(camera));
        return stack_->Start(DriverEntry);
    }

    host::DeviceStack& Stack() { return *stack_; }
    host::StreamClassHost& Host() { return stack_->Host(); }
    camsim::Camera& Camera() { return stack_->Camera(); }
    AdapterRecord* Adapter() { return static_cast<AdapterRecord*>(stack_->Host().HwDeviceExtension()); }
    CameraSession* Session() { return Adapter()->cameraSession; }

    std::unique_ptr<host::DeviceStack> stack_;
};

}  // namespace nimbra::test
