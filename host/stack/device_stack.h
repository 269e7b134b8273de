// The whole host stack under one roof: the simulated camera on the USB bus stand-in, the
// stream class stand-in with the driver loaded into it. Used by the tool and the system tests.
#pragma once

#include <memory>
#include <string>

#include "host/camsim/camera.h"
#include "host/streamclass/ks_client.h"
#include "host/usbbus/usb_bus_host.h"

namespace nimbra::host {

struct DeviceStackOptions {
    camsim::CameraConfig camera;
    bool paced = false;       // bus frames on the rated clock (true) or as fast as work allows
    std::string tracePath;    // usbmon pcap of the whole run, when not empty
};

class DeviceStack {
public:
    explicit DeviceStack(DeviceStackOptions options = {});
    // Stops the device and unloads the driver if that was not done.
    ~DeviceStack();
    DeviceStack(const DeviceStack&) = delete;
    DeviceStack& operator=(const DeviceStack&) = delete;

    // Loads the driver and starts the device: initialisation, stream information, completion.
    // Returns the first failure (the driver's status for it).
    NTSTATUS Start(DRIVER_INITIALIZE* driverEntry, std::string* error = nullptr);
    // SRB_UNINITIALIZE_DEVICE, then unload with the verifier's checks.
    void Stop();

    camsim::Camera& Camera() { return *camera_; }
    UsbBus& Bus() { return *bus_; }
    StreamClassHost& Host() { return host_; }
    bool Started() const { return started_; }

private:
    std::unique_ptr<camsim::Camera> camera_;
    std::unique_ptr<UsbBus> bus_;
    StreamClassHost host_;
    bool loaded_ = false;
    bool started_ = false;
};

// A status as text: its name when known ("STATUS_IO_DEVICE_ERROR"), else hex.
std::string StatusText(NTSTATUS status);

}  // namespace nimbra::host
