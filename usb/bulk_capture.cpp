// Bulk video transfers, used when no isochronous alternate setting could be selected: the URB
// layout, the completion, frame assembly into the bulk frame slots and their hand-off.
//
// Payload contract. As on the isochronous pipe, a frame lies between two six-byte markers and
// cannot end in the transfer it started in; here the marker's last byte is any of 0x64..0x67.
// Frame data go into the current slot, never beyond bulkFrameLimit; a frame that reaches the
// limit is cut there and handed over only once a frame has ended at a marker (until then the
// stream is not known to be in step). At a frame's end the six bytes 6..11 after the end point
// follow its data when the transfer holds them. Finished slots go to the oldest waiting read
// through the isochronous path's hand-off, so bulk video reaches reads exactly as isochronous
// video does.
#include "usb/bulk_capture.h"

#include <atomic>
#include <cstring>

#include "driver/camera_session.h"
#include "usb/bridge_state.h"
#include "usb/iso_capture.h"
#include "usb/usb_transfer.h"

#define MARKER_BYTES 6
#define MARKER_LAST_FIRST 0x64
#define MARKER_LAST_LAST 0x67
#define TRAILER_OFFSET 6  // the bytes 6..11 after a frame's end point follow its data
#define TRAILER_BYTES 6
#define NO_TRANSFER_COUNT 100

#define SYNC_HUNTING 0
#define SYNC_IN_FRAME 2
#define FRAME_FIRST_TRANSFER 1
#define FRAME_CONTINUING 2

#define SLOT_FREE 0
#define SLOT_READY 1
#define SLOT_TAKEN 2
#define SLOT_FILLING 4
#define SLOT_REFILLING 5

static std::atomic<ULONGLONG> SlotSequence{0};  // driver-wide numbering of filled slots

// Position of the first whole bulk marker in d[0..n), or −1.
static LONG FindBulkMarker(const UCHAR* d, ULONG n)
{
    return FindFrameMarker(d, n, MARKER_LAST_FIRST, MARKER_LAST_LAST);
}

static bool ChangeSlot(BulkFrameSlot& slot, ULONG from, ULONG to)
{
    return slot.state.compare_exchange_strong(from, to);
}

// Takes the next slot to fill, cycling from the one after the current: a Free one first
// choice, else a Ready one whose frame is overwritten; Taken ones are passed over. When every
// slot is Taken the current one is filled again rather than none.
static VOID TakeNextSlot(CaptureDevice* device)
{
    const ULONG count = device->frameSlotCount;
    ULONG chosen = static_cast<ULONG>(device->currentFrameSlot);
    for (ULONG tries = 1; tries <= count; ++tries) {
        const ULONG i = (static_cast<ULONG>(device->currentFrameSlot) + tries) % count;
        if (ChangeSlot(device->frameSlots[i], SLOT_FREE, SLOT_FILLING) ||
            ChangeSlot(device->frameSlots[i], SLOT_READY, SLOT_REFILLING)) {
            chosen = i;
            break;
        }
    }
    BulkFrameSlot& slot = device->frameSlots[chosen];
    slot.sequence = SlotSequence.fetch_add(1, std::memory_order_relaxed) + 1;
    device->currentFrameSlot = static_cast<LONG>(chosen);
    device->bulkWritePos = slot.buffer;
    device->bulkSlotStart = slot.buffer;
    const ULONG limit = static_cast<ULONG>(device->cameraSession->bridgeState->maxCompressedFrame) + MARKER_BYTES;
    // The slot must also hold the trailer; a larger frame limit than the slots allow is cut to them.
    const ULONG room = device->frameSlotSize - TRAILER_BYTES;
    device->bulkFrameLimit = limit < room ? limit : room;
}

// The consumer of the slot ring: every Ready slot goes to the oldest waiting read.
static VOID DeliverReadySlots(CaptureDevice* device)
{
    for (ULONG i = 0; i < device->frameSlotCount; ++i) {
        BulkFrameSlot& slot = device->frameSlots[i];
        if (!ChangeSlot(slot, SLOT_READY, SLOT_TAKEN)) {
            continue;
        }
        LARGE_INTEGER poll;
        poll.QuadPart = 0;
        (void)KeWaitForSingleObject(&device->frameSlotSignal, Executive, KernelMode, FALSE, &poll);
        // The read path takes frames of at most one ring slot.
        const ULONG length = slot.frameLength < FRAME_RING_SLOT_BYTES ? slot.frameLength : FRAME_RING_SLOT_BYTES;
        HandOffFrame(device, slot.buffer, length);
        slot.state.store(SLOT_FREE);
    }
}

// Marks the current slot's frame finished, hands it on and moves to the next slot.
static VOID HandOverSlot(CaptureDevice* device, ULONG frameLength, ULONG averageTransferSize)
{
    BulkFrameSlot& slot = device->frameSlots[device->currentFrameSlot];
    slot.frameLength = frameLength;
    slot.averageTransferSize = averageTransferSize;
    if (ChangeSlot(slot, SLOT_FILLING, SLOT_READY)) {
        KeReleaseSemaphore(&device->frameSlotSignal, IO_NO_INCREMENT, 1, FALSE);
    } else {
        (void)ChangeSlot(slot, SLOT_REFILLING, SLOT_READY);  // the frame it replaced was counted
    }
    DeliverReadySlots(device);
    TakeNextSlot(device);
}

// Ends the frame of the current slot at end point m of the transfer d[0..n).
static VOID EndBulkFrame(CaptureDevice* device, const UCHAR* d, ULONG n, ULONG m, bool atMarker)
{
    if (n - m >= TRAILER_OFFSET + TRAILER_BYTES) {
        std::memcpy(device->bulkWritePos, d + m + TRAILER_OFFSET, TRAILER_BYTES);
        device->bulkFrameLength += TRAILER_BYTES;
    }
    if (atMarker) {
        device->bulkHandOver = TRUE;
    }
    if (atMarker || device->bulkHandOver) {
        const ULONG transfers = device->bulkTransfersInFrame == 0 ? NO_TRANSFER_COUNT : device->bulkTransfersInFrame;
        HandOverSlot(device, device->bulkFrameLength, device->bulkBytesInFrame / transfers);
    } else {
        device->bulkWritePos = device->bulkSlotStart;  // dropped: the slot is filled again
    }
    device->bulkFrameLength = 0;
    device->bulkEndDecided = FALSE;
    device->bulkTransfersInFrame = 0;
}

// A start marker at m: the frame counts start afresh with this transfer.
static VOID StartBulkFrame(CaptureDevice* device, ULONG m, ULONG n)
{
    device->syncState = SYNC_IN_FRAME;
    device->frameState = FRAME_FIRST_TRANSFER;
    device->markerOffset = m;
    device->bulkFrameLength = 0;
    device->bulkBytesInFrame = n;
    device->bulkTransfersInFrame = 1;
    device->bulkEndDecided = FALSE;
    device->bulkWritePos = device->bulkSlotStart;
}

_Use_decl_annotations_
VOID AssembleBulkTransfer(CaptureDevice* device, const UCHAR* d, ULONG n)
{
    if (n == 0 || device->frameSlotCount == 0) {
        return;
    }
    if (device->syncState != SYNC_IN_FRAME) {
        const LONG m = FindBulkMarker(d, n);
        if (m < 0) {
            device->syncState = SYNC_HUNTING;
            return;
        }
        StartBulkFrame(device, static_cast<ULONG>(m), n);
    } else {
        device->bulkTransfersInFrame += 1;
        device->bulkBytesInFrame += n;
    }
    // At most twice: once for the frame that ends at a marker, once for the one it starts.
    for (;;) {
        ULONG from = 0;
        ULONG to = n;
        LONG endMarker = -1;
        if (device->frameState == FRAME_FIRST_TRANSFER) {
            from = device->markerOffset + MARKER_BYTES;
            device->frameState = FRAME_CONTINUING;
        } else {
            endMarker = FindBulkMarker(d, n);
            if (endMarker >= 0) {
                to = static_cast<ULONG>(endMarker);
                device->bulkEndDecided = TRUE;
            }
        }
        const ULONG room = device->bulkFrameLimit - device->bulkFrameLength;
        ULONG count = to - from;
        bool cut = false;
        if (count >= room && !device->bulkEndDecided) {
            count = room;
            cut = true;
        } else if (count > room) {
            count = room;  // a frame ended by its marker still stays inside the slot
        }
        std::memcpy(device->bulkWritePos, d + from, count);
        device->bulkWritePos += count;
        device->bulkFrameLength += count;

        if (endMarker >= 0) {
            EndBulkFrame(device, d, n, static_cast<ULONG>(endMarker), true);
            StartBulkFrame(device, static_cast<ULONG>(endMarker), n);
            continue;  // the bytes after the marker begin the next frame
        }
        if (cut) {
            EndBulkFrame(device, d, n, from + count, false);
            device->syncState = SYNC_HUNTING;
        }
        return;
    }
}

_Use_decl_annotations_
NTSTATUS PrepareBulkFrameSlots(CaptureDevice* device)
{
    PAGED_CODE();
    device->frameSlotCount = 0;
    device->frameSlotSize = ASSEMBLY_BUFFER_BYTES + MARKER_BYTES + TRAILER_BYTES;
    for (BulkFrameSlot& slot : device->frameSlots) {
        if (slot.buffer == nullptr) {
            slot.buffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, device->frameSlotSize));
            if (slot.buffer == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;  // made slots stay for the next attempt
            }
        }
        slot.state.store(SLOT_FREE);
        slot.frameLength = 0;
        slot.averageTransferSize = 0;
    }
    KeInitializeSemaphore(&device->frameSlotSignal, 0, BULK_FRAME_SLOTS);
    device->frameSlotCount = BULK_FRAME_SLOTS;
    device->currentFrameSlot = BULK_FRAME_SLOTS - 1;  // the first search starts at slot 0
    device->syncState = SYNC_HUNTING;
    device->bulkFrameLength = 0;
    device->bulkBytesInFrame = 0;
    device->bulkTransfersInFrame = 0;
    device->bulkEndDecided = FALSE;
    device->bulkHandOver = FALSE;
    TakeNextSlot(device);
    return STATUS_SUCCESS;
}

VOID FreeBulkFrameSlots(CaptureDevice* device)
{
    device->frameSlotCount = 0;
    for (BulkFrameSlot& slot : device->frameSlots) {
        if (slot.buffer != nullptr) {
            ExFreePool(slot.buffer);
            slot.buffer = nullptr;
        }
    }
}

_Use_decl_annotations_
VOID BuildBulkUrb(CaptureDevice* device, UsbTransfer* transfer)
{
    std::memset(transfer->urb, 0, BULK_URB_BYTES);
    FillBulkTransfer(transfer->urb, InterfacePipeHandle(device, PIPE_VIDEO_BULK),
                     USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, transfer->buffer, BULK_TRANSFER_BYTES);
}

_Use_decl_annotations_
VOID RefreshBulkUrb(CaptureDevice* device, UsbTransfer* transfer)
{
    auto& bulk = transfer->urb->UrbBulkOrInterruptTransfer;
    bulk.Hdr.Status = USBD_STATUS_SUCCESS;
    bulk.PipeHandle = InterfacePipeHandle(device, PIPE_VIDEO_BULK);
    bulk.TransferBufferMDL = nullptr;
    bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    bulk.TransferBufferLength = BULK_TRANSFER_BYTES;
    bulk.TransferBuffer = transfer->buffer;
    std::memset(&bulk.hca, 0, sizeof(bulk.hca));
}

_Use_decl_annotations_
NTSTATUS BulkTransferDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* transfer = static_cast<UsbTransfer*>(Context);
    CaptureDevice* device = transfer->owner;
    auto& bulk = transfer->urb->UrbBulkOrInterruptTransfer;
    if (device->captureState.load() == CAPTURE_STOPPED || !NT_SUCCESS(Irp->IoStatus.Status) ||
        !USBD_SUCCESS(bulk.Hdr.Status)) {
        TransferStoppedCirculating(transfer);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // Paused capture assembles as running does. The length is bounded by the buffer.
    const ULONG length = bulk.TransferBufferLength < BULK_TRANSFER_BYTES ? bulk.TransferBufferLength
                                                                        : BULK_TRANSFER_BYTES;
    AssembleBulkTransfer(device, transfer->buffer, length);
    KeInsertQueueDpc(&transfer->resubmitCall, nullptr, nullptr);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
