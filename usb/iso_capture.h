// Capture resources, the isochronous transfer set and frame assembly.
#pragma once

#include "usb/capture_device.h"

struct UsbTransfer;

// Makes the frame processing state, the bridge buffers, both transfer sets, the assembly buffer
// and the frame ring, each only if missing. IRQL: PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS AllocateCaptureResources(CaptureDevice* device);
// Releases both transfer sets after capture has stopped; a transfer still with the bus driver is
// cancelled and awaited first.
_IRQL_requires_(PASSIVE_LEVEL) VOID FreeTransferSets(CaptureDevice* device);

// Lays out an isochronous URB: 32 packets of pipe 0's packet size (at most 1024 bytes).
VOID BuildIsoUrb(CaptureDevice* device, UsbTransfer* transfer);
// Readies a transfer's request for submission to the camera with the given completion.
VOID PrepareTransferSubmission(UsbTransfer* transfer, PIO_COMPLETION_ROUTINE completion);
// A transfer stops circulating: the last one to stop signals allStoppedEvent.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID TransferStoppedCirculating(UsbTransfer* transfer);
// The isochronous completion: assembles the packets while running, then resubmits.
IO_COMPLETION_ROUTINE IsoTransferDone;
// Position of the first whole frame marker in d[0..n) whose last byte lies in lastLow..lastHigh
// (the first five are FF FF 00 FF 96), or −1.
LONG FindFrameMarker(const UCHAR* d, ULONG n, UCHAR lastLow, UCHAR lastHigh);
// One packet step of the frame assembly. IRQL: DISPATCH_LEVEL.
_IRQL_requires_(DISPATCH_LEVEL) VOID AssemblePacket(CaptureDevice* device, const UCHAR* data, ULONG length);
// Hands a finished frame to the oldest waiting read (or drops it). IRQL: DISPATCH_LEVEL.
_IRQL_requires_(DISPATCH_LEVEL) VOID HandOffFrame(CaptureDevice* device, const UCHAR* frame, ULONG length);
