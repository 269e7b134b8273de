// The create, close and device-control routines the driver installs in its driver object in
// front of the class driver's own. They keep the device access mode and route the private
// device-control codes to the still-image channel.
#pragma once

#include "platform/stream_class.h"

#define PRIVATE_CODE_FIRST 0x223000u
#define PRIVATE_CODE_SPAN 0x76u  // 0x223000..0x223076 inclusive

// IRP_MJ_CREATE: passed to the class driver only in AccessIdle; refused otherwise.
DRIVER_DISPATCH CreateHook;
// IRP_MJ_CLOSE: back to AccessIdle, then the class driver. Never refused.
DRIVER_DISPATCH CloseHook;
// IRP_MJ_DEVICE_CONTROL: refused in AccessClosed; private codes go to the still-image channel,
// everything else to the class driver (IOCTL_KS_READ_STREAM marks streaming).
DRIVER_DISPATCH DeviceControlHook;
