// Bridge start-up at every capture start and the per-frame writing of changed picture settings.
#pragma once

#include "usb/bridge_state.h"

#define BRIDGE_COMMAND_ENABLE_0 0x01
#define BRIDGE_COMMAND_ENABLE_1 0x01

// Switches the bridge on if it is off (the command's result is not examined), runs the bridge
// program, marks the four picture settings as written and runs the sensor program. 0, or
// STATUS_UNSUCCESSFUL when the bridge program failed (nothing further is written then).
// PASSIVE_LEVEL, in the capture start, before the video transfers run.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartBridge(BridgeState* bridge);

// Writes each picture setting that differs from its applied copy, in the order brightness,
// saturation, sharpness, gamma, one message each; every applied copy is updated whether its
// write succeeded or not. Result: the outcome of the last setting handled (STATUS_FILE_CLOSED
// when the device is closing), 0 when nothing changed. Frame worker, under settingsLock.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ApplyPictureSettings(BridgeState* bridge);
