// Capture start and stop, the transfer starts and stop, and the video pipe requests.
#pragma once

#include "usb/capture_device.h"

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StartCapture(CaptureDevice* device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StopCapture(CaptureDevice* device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StartIsochronousTransfers(CaptureDevice* device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StartBulkTransfers(CaptureDevice* device);
// Lets the circulating transfers run down, aborting them after 2 s; returns within about 4 s.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StopTransfers(CaptureDevice* device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ResetVideoPipe(CaptureDevice* device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS AbortVideoPipe(CaptureDevice* device);
