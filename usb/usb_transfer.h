// UsbTransfer: one circulating video transfer: its request object, URB, buffer, owner and the
// deferred procedure call that resubmits it.
#pragma once

#include <atomic>

#include "usb/capture_device.h"

#define ISO_PACKETS_PER_TRANSFER 32
#define ISO_MAX_PACKET_BYTES 1024                 // 32 packets share the transfer buffer
#define ISO_TRANSFER_BYTES (ISO_PACKETS_PER_TRANSFER * ISO_MAX_PACKET_BYTES)  // 32768
#define ISO_URB_BYTES GET_ISO_URB_SIZE(ISO_PACKETS_PER_TRANSFER)             // 536
#define BULK_TRANSFER_BYTES 8192
#define BULK_URB_BYTES sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)        // 128

struct UsbTransfer {
    PIRP request;           // reused for every submission
    PURB urb;
    PUCHAR buffer;
    CaptureDevice* owner;
    KDPC resubmitCall;      // resubmits this transfer at DISPATCH_LEVEL
    // Set while the request is with the bus driver (submitted and not yet stopped circulating);
    // teardown waits for it to clear before the transfer's storage goes.
    std::atomic<BOOLEAN> outstanding;
};

static_assert(ISO_URB_BYTES == 536);
static_assert(BULK_URB_BYTES == 128);
