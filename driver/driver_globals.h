// Driver-wide values: one instance per loaded driver, not per device. DriverEntry gives each its
// value at load.
#pragma once

#include <atomic>

#include "platform/nt_kernel.h"

struct AdapterRecord;
struct StillImageChannel;

// Gate for create and device-control requests.
enum DeviceAccessModeValue : ULONG {
    AccessClosed = 0,      // refuse creates and device control
    AccessIdle = 1,        // creates pass; device control passes or is routed
    AccessStillImage = 2,  // a private request arrived: creates refused
    AccessStreaming = 3,   // a stream read arrived: creates refused
};

extern std::atomic<ULONG> DeviceAccessMode;
extern LONG AdapterEntryCount;  // entries in the AdapterRequestTable
extern LONG StreamEntryCount;   // entries in the StreamRequestTable

// The class driver's own routines, saved from the driver object after registration.
extern PDRIVER_DISPATCH ClassCreate;
extern PDRIVER_DISPATCH ClassClose;
extern PDRIVER_DISPATCH ClassDeviceControl;

// The still-image channel, made by the first private request, freed at uninitialisation.
extern std::atomic<StillImageChannel*> StillImageChannelPointer;

// The AdapterRecord of the initialised device.
extern std::atomic<AdapterRecord*> CurrentAdapter;
// 1 after SRB_UNINITIALIZE_DEVICE freed the CameraSession, 0 again after the next SRB_OPEN_STREAM.
extern std::atomic<LONG> SessionReleased;
