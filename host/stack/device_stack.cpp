// The host stack: camera, bus, class driver and the loaded driver.
#include "host/stack/device_stack.h"

#include <fmt/core.h>

#include "host/kernel/host_kernel.h"

namespace nimbra::host {

DeviceStack::DeviceStack(DeviceStackOptions options)
{
    if (!options.camera.clock) {
        options.camera.clock = [] { return static_cast<int64_t>(HostTimeNow()); };
    }
    camera_ = std::make_unique<camsim::Camera>(options.camera);
    UsbBusOptions busOptions;
    busOptions.paced = options.paced;
    bus_ = std::make_unique<UsbBus>(*camera_, busOptions);
    if (!options.tracePath.empty()) {
        std::string error;
        if (!bus_->StartTrace(options.tracePath, &error)) {
            throw std::runtime_error("cannot write the trace: " + error);
        }
    }
}

DeviceStack::~DeviceStack()
{
    Stop();
    bus_->StopTrace();
}

NTSTATUS DeviceStack::Start(DRIVER_INITIALIZE* driverEntry, std::string* error)
{
    NTSTATUS status = host_.LoadDriver(driverEntry);
    if (!NT_SUCCESS(status)) {
        if (error) *error = "driver entry failed: " + StatusText(status);
        return status;
    }
    loaded_ = true;
    status = host_.StartDevice(bus_->PhysicalDeviceObject());
    if (!NT_SUCCESS(status)) {
        if (error) *error = "device start failed: " + StatusText(status);
        return status;
    }
    started_ = true;
    return status;
}

void DeviceStack::Stop()
{
    // A test may have loaded the driver through Host() directly.
    if (!loaded_ && !host_.DriverRegistered()) {
        return;
    }
    host_.StopDevice();
    host_.UnloadDriver();
    loaded_ = false;
    started_ = false;
}

std::string StatusText(NTSTATUS status)
{
    struct Name {
        NTSTATUS status;
        const char* name;
    };
    static const Name names[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY"},
        {STATUS_NO_DATA_DETECTED, "STATUS_NO_DATA_DETECTED"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_NO_MEMORY, "STATUS_NO_MEMORY"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
        {STATUS_FILE_CLOSED, "STATUS_FILE_CLOSED"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
        {STATUS_TOO_MANY_NODES, "STATUS_TOO_MANY_NODES"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
    };
    for (const Name& name : names) {
        if (name.status == status) {
            return name.name;
        }
    }
    return fmt::format("0x{:08X}", static_cast<uint32_t>(status));
}

}  // namespace nimbra::host
