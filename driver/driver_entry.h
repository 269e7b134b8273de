// The driver's entry point and the sizes it registers.
#pragma once

#include "platform/stream_class.h"

#define DRIVER_DEVICE_EXTENSION_SIZE 416   // holds the AdapterRecord
#define DRIVER_REQUEST_EXTENSION_SIZE 56   // holds a ReadRequestEntry

// Fills the registration record, registers the adapter with the class driver and, on success,
// installs the create, close and device-control hooks. Returns the registration status.
// IRQL: PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_INITIALIZE DriverEntry;

// Resets the driver-wide values of the subsystems (sensorWriteBusy, path buffers, ...) to their
// values at load; called first by DriverEntry.
VOID ResetDriverSubsystemGlobals();
