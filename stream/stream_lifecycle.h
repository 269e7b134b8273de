// Stream lifecycle: open, close, states, master clock, and the forced teardown.
#pragma once

#include "driver/camera_session.h"

// The forced close used at surprise removal and uninitialisation: stops the transfers and the
// frame worker and releases the format copy; neither selects alternate setting 0 nor writes the
// registry. Always STATUS_SUCCESS. IRQL: PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS TearDownStream(StreamRecord* stream, PHW_STREAM_REQUEST_BLOCK Srb);
