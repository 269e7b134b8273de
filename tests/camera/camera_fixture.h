// The per-device records of one camera on the USB bus stand-in, built as the adapter's
// initialisation builds them, with the bridge request buffers made: enough to drive the bridge
// and sensor programs and the frame processing against the simulated camera.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "camera/exposure_model.h"
#include "driver/adapter_record.h"
#include "driver/camera_session.h"
#include "host/camsim/camera.h"
#include "host/kernel/host_kernel.h"
#include "host/usbbus/usb_bus_host.h"
#include "usb/bridge_state.h"
#include "usb/capture_device.h"

namespace nimbra::test {

class CameraFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::SetClockRate(5.0);  // the 100 ms and 1 ms pauses of the programs cost little
        camera_ = std::make_unique<camsim::Camera>(config_);
        bus_ = std::make_unique<host::UsbBus>(*camera_, host::UsbBusOptions{false});
        std::memset(static_cast<void*>(&adapter_), 0, sizeof(adapter_));
        KeInitializeMutex(&adapter_.settingsLock, 0);
        session_.lowerDevice = bus_->PhysicalDeviceObject();
        session_.adapter = &adapter_;
        adapter_.cameraSession = &session_;
        session_.bridgeState = &bridge_;
        session_.exposureModel = &model_;
        session_.captureDevice = &device_;
        InitializeBridgeState(&bridge_, &session_);
        InitializeExposureModel(&model_, &session_);
        InitializeCaptureDevice(&device_, &session_);
        ASSERT_TRUE(device_.configured);
        ASSERT_EQ(AllocateBridgeBuffers(&bridge_), STATUS_SUCCESS);
        camera_->ClearMessages();
    }

    void TearDown() override
    {
        FreeBridgeBuffers(&bridge_);
        FreeCaptureDeviceConfiguration(&device_);
        bus_.reset();
        camera_.reset();
        host::SetClockRate(1.0);
    }

    // The pipe-3 messages the camera received since the last call.
    std::vector<std::vector<uint8_t>> TakeMessages()
    {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& m : camera_->Messages()) out.push_back(m.bytes);
        camera_->ClearMessages();
        return out;
    }

    camsim::CameraConfig config_;
    std::unique_ptr<camsim::Camera> camera_;
    std::unique_ptr<host::UsbBus> bus_;
    AdapterRecord adapter_;
    CameraSession session_{};
    BridgeState bridge_;
    ExposureModel model_;
    CaptureDevice device_;
};

}  // namespace nimbra::test
