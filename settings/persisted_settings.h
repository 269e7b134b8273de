// The seven settings kept in the registry between uses of the device: the four picture settings
// under "...\SETTING\Video" and the three exposure settings under "...\SETTING\Custom".
#pragma once

#include "usb/capture_device.h"

#define SETTINGS_PATH_CHARS 128

// Reads the seven values (a missing or unreadable value gives its default), clamps them, stores
// the picture settings in the BridgeState without raising settingsChanged and hands the exposure
// settings to the ExposureModel setters; then sets settingsLoaded. Always succeeds.
// PASSIVE_LEVEL, in the capture start.
_IRQL_requires_(PASSIVE_LEVEL)
VOID LoadSettings(CaptureDevice* device);

// Writes the seven values in use; write failures are ignored. PASSIVE_LEVEL, at stream close.
_IRQL_requires_(PASSIVE_LEVEL)
VOID SaveSettings(CaptureDevice* device);

// Writes "Flicker" with the whole value a client set; a failure is ignored. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID SaveFlickerSetting(ULONG value);
