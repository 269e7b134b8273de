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
// Assembles frames from one bulk transfer's data into the frame slots and hands finished ones
// to the waiting reads. Bus completion context. IRQL: DISPATCH_LEVEL.
_IRQL_requires_(DISPATCH_LEVEL) VOID AssembleBulkTransfer(CaptureDevice* device, const UCHAR* data, ULONG length);
// Gives the frame-slot ring its buffers, count and signal, and starts the assembly afresh.
// Slots already made are kept. IRQL: PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PrepareBulkFrameSlots(CaptureDevice* device);
// Frees the slot buffers.
VOID FreeBulkFrameSlots(CaptureDevice* device);
