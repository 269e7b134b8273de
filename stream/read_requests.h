// Read requests and frame delivery: the read queue, the FrameWorker thread and the completion
// of each read with its presentation time, drop count and picture number.
#pragma once

#include "driver/camera_session.h"

// The FrameWorker thread routine; its context is the AdapterRecord. It ends itself with
// PsTerminateSystemThread when asked to stop, after completing every queued read.
KSTART_ROUTINE FrameWorker;
