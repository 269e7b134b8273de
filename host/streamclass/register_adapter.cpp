// StreamClassRegisterAdapter: keeps the minidriver's registration record and points the driver
// object's create, close and device-control entries at the class driver's own routines.
#include <cstring>

#include "host/streamclass/class_driver.h"

using namespace nimbra::host::streamclass;

// Argument1: the driver object (its DriverExtension is the class's DriverState, made when the
// host loaded the driver); Argument2: the registry path. Returns STATUS_SUCCESS, or
// STATUS_INVALID_PARAMETER for a record that is missing, of the wrong size or without
// HwReceivePacket. PASSIVE_LEVEL (DriverEntry).
NTSTATUS StreamClassRegisterAdapter(PVOID Argument1, PVOID /*Argument2*/, PHW_INITIALIZATION_DATA HwInitializationData)
{
    auto driverObject = static_cast<PDRIVER_OBJECT>(Argument1);
    if (driverObject == nullptr || driverObject->DriverExtension == nullptr) return STATUS_INVALID_PARAMETER;
    auto driver = static_cast<DriverState*>(driverObject->DriverExtension);
    if (driver->registrationFailure != STATUS_SUCCESS) {
        NTSTATUS status = driver->registrationFailure;
        driver->registrationFailure = STATUS_SUCCESS;
        return status;
    }
    if (HwInitializationData == nullptr || HwInitializationData->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA) ||
        HwInitializationData->HwReceivePacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(&driver->registration, HwInitializationData, sizeof(HW_INITIALIZATION_DATA));
    driver->registered = true;
    driverObject->MajorFunction[IRP_MJ_CREATE] = ClassDispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = ClassDispatchClose;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ClassDispatchDeviceControl;
    return STATUS_SUCCESS;
}
