// Isochronous capture: the capture resources, the two circulating transfers, frame assembly
// from the packets and the hand-off of each finished frame to the oldest waiting read.
//
// Payload contract. A frame starts right after the six-byte marker FF FF 00 FF 96 64 and ends
// right before the next one; a marker counts only when all six bytes lie in one packet. The bytes
// between two markers are handed over unchanged. A frame cannot end in the packet it started in;
// the bytes after an end marker begin the next frame without a further search. A frame longer
// than the assembly buffer is cut to it and handed over, and the capture hunts for the next marker.
#include "usb/iso_capture.h"

#include <cstring>

#include "driver/camera_session.h"
#include "frame/frame_processor.h"
#include "stream/read_request_entry.h"
#include "usb/bridge_state.h"
#include "usb/bulk_capture.h"
#include "usb/usb_transfer.h"

static const UCHAR MarkerStart[5] = {0xFF, 0xFF, 0x00, 0xFF, 0x96};
#define MARKER_BYTES 6
#define ISO_MARKER_LAST 0x64

#define SYNC_HUNTING 0
#define SYNC_MARKER_FOUND 1
#define SYNC_IN_FRAME 2
#define FRAME_NONE 0
#define FRAME_FIRST_PACKET 1
#define FRAME_CONTINUING 2
#define FRAME_COMPLETE 3

_Use_decl_annotations_
LONG FindFrameMarker(const UCHAR* d, ULONG n, UCHAR lastLow, UCHAR lastHigh)
{
    if (n < MARKER_BYTES) {
        return -1;
    }
    const UCHAR* p = d;
    const UCHAR* last = d + n - MARKER_BYTES;
    while (p <= last) {
        p = static_cast<const UCHAR*>(std::memchr(p, 0xFF, static_cast<size_t>(last - p) + 1));
        if (p == nullptr) {
            return -1;
        }
        if (std::memcmp(p, MarkerStart, sizeof MarkerStart) == 0 && p[5] >= lastLow && p[5] <= lastHigh) {
            return static_cast<LONG>(p - d);
        }
        ++p;
    }
    return -1;
}

// Position of the first whole isochronous marker in d[0..n), or −1.
static LONG FindMarker(const UCHAR* d, ULONG n)
{
    return FindFrameMarker(d, n, ISO_MARKER_LAST, ISO_MARKER_LAST);
}

// The packet size the transfers are laid out with: pipe 0's, never above what 32 packets may
// take of the transfer buffer.
static ULONG IsoPacketSize(CaptureDevice* device)
{
    PUSBD_PIPE_INFORMATION pipe = InterfacePipe(device, PIPE_VIDEO_ISOCHRONOUS);
    if (pipe == nullptr) {
        return 0;
    }
    return pipe->MaximumPacketSize > ISO_MAX_PACKET_BYTES ? ISO_MAX_PACKET_BYTES : pipe->MaximumPacketSize;
}

_Use_decl_annotations_
VOID BuildIsoUrb(CaptureDevice* device, UsbTransfer* transfer)
{
    const ULONG packetSize = IsoPacketSize(device);
    std::memset(transfer->urb, 0, ISO_URB_BYTES);
    auto& iso = transfer->urb->UrbIsochronousTransfer;
    iso.Hdr.Length = ISO_URB_BYTES;
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = InterfacePipeHandle(device, PIPE_VIDEO_ISOCHRONOUS);
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = transfer->buffer;
    iso.TransferBufferLength = ISO_PACKETS_PER_TRANSFER * packetSize;
    iso.TransferBufferMDL = nullptr;
    iso.UrbLink = nullptr;
    iso.NumberOfPackets = ISO_PACKETS_PER_TRANSFER;
    for (ULONG i = 0; i < ISO_PACKETS_PER_TRANSFER; ++i) {
        iso.IsoPacket[i].Offset = i * packetSize;
    }
}

// Refreshes an isochronous URB for its next submission.
static VOID RefreshIsoUrb(CaptureDevice* device, UsbTransfer* transfer)
{
    const ULONG packetSize = IsoPacketSize(device);
    auto& iso = transfer->urb->UrbIsochronousTransfer;
    iso.Hdr.Status = USBD_STATUS_SUCCESS;
    iso.TransferBufferMDL = nullptr;
    iso.UrbLink = nullptr;
    iso.TransferBuffer = transfer->buffer;
    iso.TransferBufferLength = ISO_PACKETS_PER_TRANSFER * packetSize;
    std::memset(&iso.hca, 0, sizeof(iso.hca));
    iso.StartFrame = 0;
    iso.ErrorCount = 0;
    for (ULONG i = 0; i < ISO_PACKETS_PER_TRANSFER; ++i) {
        iso.IsoPacket[i].Offset = i * packetSize;
        iso.IsoPacket[i].Length = 0;
        iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    }
}

_Use_decl_annotations_
VOID PrepareTransferSubmission(UsbTransfer* transfer, PIO_COMPLETION_ROUTINE completion)
{
    IoReuseIrp(transfer->request, STATUS_SUCCESS);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer->request);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = transfer->urb;
    IoSetCompletionRoutine(transfer->request, completion, transfer, TRUE, TRUE, TRUE);
}

_Use_decl_annotations_
VOID TransferStoppedCirculating(UsbTransfer* transfer)
{
    CaptureDevice* device = transfer->owner;
    transfer->outstanding.store(FALSE);
    if (device->inFlightCount.fetch_sub(1) == 1) {
        KeSetEvent(&device->allStoppedEvent, IO_NO_INCREMENT, FALSE);
    }
}

// The resubmission call, at DISPATCH_LEVEL: the completion saw the transfer should circulate on.
static VOID ResubmitTransfer(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    auto* transfer = static_cast<UsbTransfer*>(DeferredContext);
    CaptureDevice* device = transfer->owner;
    const bool isochronous = transfer == device->isoTransfers[0] || transfer == device->isoTransfers[1];
    if (isochronous) {
        RefreshIsoUrb(device, transfer);
        PrepareTransferSubmission(transfer, IsoTransferDone);
    } else {
        RefreshBulkUrb(device, transfer);
        PrepareTransferSubmission(transfer, BulkTransferDone);
    }
    IofCallDriver(device->cameraSession->lowerDevice, transfer->request);  // the completion sees the outcome
}

// Hands the assembled frame to the oldest waiting read, through a ring slot or straight into the
// read's own buffer. IRQL: DISPATCH_LEVEL.
_IRQL_requires_(DISPATCH_LEVEL)
VOID HandOffFrame(CaptureDevice* device, const UCHAR* frame, ULONG length)
{
    AdapterRecord* adapter = device->cameraSession->adapter;
    const ULONGLONG frameNumber = adapter->framesCaptured.fetch_add(1, std::memory_order_relaxed) + 1;

    KeAcquireSpinLockAtDpcLevel(&adapter->readQueueLock);
    if (IsListEmpty(&adapter->readQueue)) {
        KeReleaseSpinLockFromDpcLevel(&adapter->readQueueLock);
        return;  // no waiting read: the frame is dropped
    }
    ReadRequestEntry* entry = CONTAINING_RECORD(adapter->readQueue.Flink, ReadRequestEntry, links);
    PKSSTREAM_HEADER header = entry->request->CommandData.DataBufferArray;
    const bool useRing = header->FrameExtent < device->frameRingSlotSize;
    const ULONG slot = device->frameRingNext;
    if (useRing && device->frameRingBusy[slot].load()) {
        // The worker still decodes the frame in that slot: drop this one instead of overwriting it.
        KeReleaseSpinLockFromDpcLevel(&adapter->readQueueLock);
        device->framesDroppedRingFull.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    RemoveEntryList(&entry->links);
    KeReleaseSpinLockFromDpcLevel(&adapter->readQueueLock);

    entry->frameNumber = frameNumber;
    entry->frameLength = length;
    if (useRing) {
        device->frameRingBusy[slot].store(TRUE);
        entry->inRing = TRUE;
        entry->frameData = device->frameRing[slot];
        std::memcpy(entry->frameData, frame, length);
        device->frameRingNext = (slot + 1) % FRAME_RING_SLOTS;
    } else {
        entry->inRing = FALSE;
        entry->frameData = nullptr;
        std::memcpy(header->Data, frame, length);
    }
    ExInterlockedInsertTailList(&adapter->readyQueue, &entry->links, &adapter->readyQueueLock);
    KeReleaseSemaphore(&adapter->workerSignal, IO_NO_INCREMENT, 1, FALSE);
}

// Appends bytes to the frame being assembled; a frame that would outgrow the buffer is cut.
// Returns false when the frame was cut.
static bool AppendToFrame(CaptureDevice* device, const UCHAR* bytes, ULONG count)
{
    if (device->assemblyLength + count <= device->assemblyCapacity) {
        std::memcpy(device->assemblyWritePos, bytes, count);
        device->assemblyWritePos += count;
        device->assemblyLength += count;
        return true;
    }
    const ULONG fit = device->assemblyCapacity - device->assemblyLength;
    std::memcpy(device->assemblyWritePos, bytes, fit);
    device->assemblyWritePos += fit;
    device->assemblyLength = device->assemblyCapacity;
    return false;
}

_Use_decl_annotations_
VOID AssemblePacket(CaptureDevice* device, const UCHAR* d, ULONG n)
{
    switch (device->syncState) {
    case SYNC_HUNTING: {
        if (n == 0) {
            return;
        }
        const LONG m = FindMarker(d, n);
        if (m < 0) {
            return;
        }
        device->frameState = FRAME_NONE;
        device->syncState = SYNC_MARKER_FOUND;
        device->markerOffset = static_cast<ULONG>(m);
    }
        [[fallthrough]];
    case SYNC_MARKER_FOUND:
        device->syncState = SYNC_IN_FRAME;
        device->frameState = FRAME_FIRST_PACKET;
        [[fallthrough]];
    case SYNC_IN_FRAME: {
        if (n == 0) {
            return;
        }
        if (device->frameState == FRAME_CONTINUING && n >= MARKER_BYTES) {
            const LONG m = FindMarker(d, n);
            if (m >= 0) {
                device->endsAtMarker = TRUE;
                device->markerOffset = static_cast<ULONG>(m);
                device->frameState = FRAME_COMPLETE;
            }
        }
        const UCHAR* bytes = d;
        ULONG count = n;
        if (device->frameState == FRAME_FIRST_PACKET) {
            bytes = d + device->markerOffset + MARKER_BYTES;
            count = n - (device->markerOffset + MARKER_BYTES);
            device->frameState = FRAME_CONTINUING;
        } else if (device->frameState == FRAME_COMPLETE) {
            count = device->markerOffset;
        }
        if (!AppendToFrame(device, bytes, count)) {
            device->endsAtMarker = FALSE;
            device->frameState = FRAME_COMPLETE;
        }
        if (device->frameState != FRAME_COMPLETE) {
            return;
        }
        HandOffFrame(device, device->assemblyBuffer, device->assemblyLength);
        if (device->endsAtMarker) {
            const ULONG next = device->markerOffset + MARKER_BYTES;
            const ULONG rest = n - next;
            std::memcpy(device->assemblyBuffer, d + next, rest);
            device->assemblyLength = rest;
            device->assemblyWritePos = device->assemblyBuffer + rest;
            device->syncState = SYNC_IN_FRAME;
            device->frameState = FRAME_CONTINUING;
            device->endsAtMarker = FALSE;
        } else {
            device->syncState = SYNC_HUNTING;
            device->assemblyLength = 0;
            device->assemblyWritePos = device->assemblyBuffer;
        }
        return;
    }
    default:
        device->syncState = SYNC_HUNTING;
        return;
    }
}

_Use_decl_annotations_
NTSTATUS IsoTransferDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* transfer = static_cast<UsbTransfer*>(Context);
    CaptureDevice* device = transfer->owner;
    auto& iso = transfer->urb->UrbIsochronousTransfer;

    if (device->captureState.load() == CAPTURE_STOPPED) {
        TransferStoppedCirculating(transfer);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (iso.ErrorCount != 0) {
        DbgPrint("pUrb->UrbIsochronousTransfer.ErrorCount=%u\n", iso.ErrorCount);
    }
    if (!NT_SUCCESS(Irp->IoStatus.Status) || !USBD_SUCCESS(iso.Hdr.Status) || iso.ErrorCount == iso.NumberOfPackets) {
        TransferStoppedCirculating(transfer);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (device->captureState.load() == CAPTURE_RUNNING) {
        // Each packet's data is bounded by its slot in the buffer, whatever length is reported.
        const ULONG packets = iso.NumberOfPackets < ISO_PACKETS_PER_TRANSFER ? iso.NumberOfPackets
                                                                             : ISO_PACKETS_PER_TRANSFER;
        const ULONG packetSize = IsoPacketSize(device);
        for (ULONG i = 0; i < packets; ++i) {
            const ULONG offset = iso.IsoPacket[i].Offset;
            if (offset >= ISO_TRANSFER_BYTES) {
                continue;
            }
            ULONG length = iso.IsoPacket[i].Length;
            if (length > packetSize) {
                length = packetSize;
            }
            if (length > ISO_TRANSFER_BYTES - offset) {
                length = ISO_TRANSFER_BYTES - offset;
            }
            AssemblePacket(device, transfer->buffer + offset, length);
        }
    }
    KeInsertQueueDpc(&transfer->resubmitCall, nullptr, nullptr);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Releases one transfer's parts.
static VOID FreeTransfer(UsbTransfer* transfer)
{
    if (transfer->request != nullptr) {
        IoFreeIrp(transfer->request);
    }
    if (transfer->urb != nullptr) {
        ExFreePool(transfer->urb);
    }
    if (transfer->buffer != nullptr) {
        ExFreePool(transfer->buffer);
    }
    ExFreePool(transfer);
}

// One complete transfer (record, buffer, request object, URB, resubmission call), or null with
// nothing left allocated.
static UsbTransfer* CreateTransfer(CaptureDevice* device, ULONG bufferBytes, ULONG urbBytes)
{
    auto* transfer = static_cast<UsbTransfer*>(ExAllocatePool(NonPagedPool, sizeof(UsbTransfer)));
    if (transfer == nullptr) {
        return nullptr;
    }
    std::memset(static_cast<void*>(transfer), 0, sizeof(UsbTransfer));
    transfer->owner = device;
    transfer->buffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, bufferBytes));
    transfer->request = IoAllocateIrp(static_cast<CCHAR>(device->cameraSession->lowerDevice->StackSize + 1), FALSE);
    transfer->urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, urbBytes));
    if (transfer->buffer == nullptr || transfer->request == nullptr || transfer->urb == nullptr) {
        FreeTransfer(transfer);
        return nullptr;
    }
    KeInitializeDpc(&transfer->resubmitCall, ResubmitTransfer, transfer);
    return transfer;
}

_Use_decl_annotations_
NTSTATUS AllocateCaptureResources(CaptureDevice* device)
{
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    if (!device->resourcesReady) {
        if (device->frameProcessor == nullptr) {
            device->frameProcessor = CreateFrameProcessor(device->cameraSession->exposureModel);
            if (device->frameProcessor == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        status = AllocateBridgeBuffers(device->cameraSession->bridgeState);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        bool complete = true;
        for (UsbTransfer*& transfer : device->isoTransfers) {
            if (transfer == nullptr && (transfer = CreateTransfer(device, ISO_TRANSFER_BYTES, ISO_URB_BYTES)) != nullptr) {
                BuildIsoUrb(device, transfer);
            }
            complete = complete && transfer != nullptr;
        }
        device->captureState.store(CAPTURE_STOPPED);
        for (UsbTransfer*& transfer : device->bulkTransfers) {
            if (transfer == nullptr &&
                (transfer = CreateTransfer(device, BULK_TRANSFER_BYTES, BULK_URB_BYTES)) != nullptr) {
                BuildBulkUrb(device, transfer);
            }
            complete = complete && transfer != nullptr;
        }
        device->captureState.store(CAPTURE_STOPPED);
        if (!complete) {
            status = STATUS_INSUFFICIENT_RESOURCES;  // what was made stays for the next attempt
        } else {
            device->resourcesReady = TRUE;
        }
    }

    if (device->assemblyBuffer == nullptr) {
        device->assemblyBuffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, ASSEMBLY_BUFFER_BYTES));
        if (device->assemblyBuffer != nullptr) {
            device->assemblyCapacity = ASSEMBLY_BUFFER_BYTES;
            device->assemblyLength = 0;
            device->assemblyWritePos = device->assemblyBuffer;
        }
    }
    device->frameRingNext = 0;
    device->frameRingSlotSize = FRAME_RING_SLOT_BYTES;
    bool ringComplete = true;
    for (ULONG i = 0; i < FRAME_RING_SLOTS; ++i) {
        if (device->frameRing[i] == nullptr) {
            device->frameRing[i] = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, FRAME_RING_SLOT_BYTES));
        }
        ringComplete = ringComplete && device->frameRing[i] != nullptr;
    }
    if (device->assemblyBuffer == nullptr || !ringComplete) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return status;
}

// Waits until a transfer is back from the bus driver, cancelling it if need be. False when it
// never came back (its storage must then stay).
static bool RecallTransfer(UsbTransfer* transfer)
{
    CaptureDevice* device = transfer->owner;
    for (int attempt = 0; attempt < 10 && transfer->outstanding.load(); ++attempt) {
        IoCancelIrp(transfer->request);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000000LL;  // 1 s
        KeWaitForSingleObject(&device->allStoppedEvent, Executive, KernelMode, FALSE, &timeout);
    }
    return !transfer->outstanding.load();
}

_Use_decl_annotations_
VOID FreeTransferSets(CaptureDevice* device)
{
    PAGED_CODE();
    device->captureState.store(CAPTURE_STOPPED);
    UsbTransfer** sets[2] = {device->isoTransfers, device->bulkTransfers};
    for (UsbTransfer** set : sets) {
        for (int i = 0; i < 2; ++i) {
            UsbTransfer* transfer = set[i];
            if (transfer == nullptr) {
                continue;
            }
            KeRemoveQueueDpc(&transfer->resubmitCall);
            if (!RecallTransfer(transfer)) {
                set[i] = nullptr;  // never came back: its storage is kept (the unload check reports it)
                continue;
            }
            KeFlushQueuedDpcs();  // no resubmission call may still be running for it
            FreeTransfer(transfer);
            set[i] = nullptr;
        }
    }
    device->resourcesReady = FALSE;
}
