// The bulk video transfers, used when no isochronous alternate setting could be selected.
#pragma once

#include "usb/capture_device.h"

struct UsbTransfer;

// Lays out a bulk URB: pipe 1, IN with short transfers allowed, 8192 bytes.
VOID BuildBulkUrb(CaptureDevice* device, UsbTransfer* transfer);
// Refreshes a bulk URB for its next submission.
VOID RefreshBulkUrb(CaptureDevice* device, UsbTransfer* transfer);
// The bulk completion: assembles frames from the transfer while capture runs, then resubmits.
IO_COMPLETION_ROUTINE BulkTransferDone;
