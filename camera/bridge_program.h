// The two register programs of every capture start: the full bridge program (format, picture
// settings, colour block and the two 64-entry tables) and the sensor program.
#pragma once

#include "camera/exposure_model.h"

#define BRIDGE_TABLE_ENTRIES 64

// Bridge tables A and B, loaded low byte first through register 0x64.
extern const USHORT BridgeTableA[BRIDGE_TABLE_ENTRIES];
extern const USHORT BridgeTableB[BRIDGE_TABLE_ENTRIES];

#define SENSOR_PROGRAM_LENGTH 32

// Value of each sensor register 1..32 of the sensor program; registers 3 and 4 (entries 2, 3)
// are placeholders for the exposure high and low byte.
extern const UCHAR SensorProgram[SENSOR_PROGRAM_LENGTH];

// Writes the bridge program (Algorithm of the bridge start-up): sets the gamma, saturation and
// sharpness shadows, the colour block on the first start, then sends every message while the
// device is not closing. Result: the status of the last message (STATUS_FILE_CLOSED if it was
// not sent); earlier statuses are not examined. PASSIVE_LEVEL; the caller serialises bridge
// traffic.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ProgramBridge(ExposureModel* model);

// Waits 100 ms, then writes sensor registers 1..32 with the current exposure in registers 3
// and 4, giving up the rest of the program when another sensor write is under way. Always 0.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ProgramSensor(ExposureModel* model);
