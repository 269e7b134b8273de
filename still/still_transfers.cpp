// The chunked transfers of the still-image channel: data reads on pipe 1, one 8,192-byte
// transfer at a time, and memory writes on pipe 6, every 32,768-byte transfer at once.
#include <cstring>

#include "still/camera_protocol.h"
#include "usb/capture_device.h"

#define CHUNK_READ_TIMEOUT_100NS (-30000000LL)     // 3 s for one data-read chunk
#define MEMORY_WRITE_TIMEOUT_100NS (-100000000LL)  // 10 s for all chunks of a memory write
#define MEMORY_POLL_LIMIT 32000
#define MEMORY_LENGTH_ARRIVED 0x01                 // register 0x20 bit 0
#define REGISTER_ENABLE 0x01
#define REGISTER_MEMORY_DONE 0x20

// Sets up an allocated request to carry urb to the lower device, with its completion routine.
static VOID PrepareChunkRequest(PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE done, PVOID context)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, done, context, TRUE, TRUE, TRUE);
}

static PIRP AllocateChunkRequest(PDEVICE_OBJECT lower)
{
    return IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
}

// ---- Data reads ----

// Completion of a data-read chunk: hands the request back to ReadStillData. Bus completion
// context, up to DISPATCH_LEVEL.
static NTSTATUS ChunkReadDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(&static_cast<StillImageChannel*>(Context)->transferDone, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_Use_decl_annotations_
NTSTATUS ReadStillData(StillImageChannel* channel, PUCHAR destination, ULONG length)
{
    PAGED_CODE();
    const ULONG chunks = length / STILL_DATA_CHUNK_BYTES;
    if (chunks == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT lower = StillLowerDevice();
    if (lower == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    PURB urb = AllocateStillRequestBlock();
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < chunks && status == STATUS_SUCCESS; ++i) {
        if (!BuildStillTransfer(urb, PIPE_VIDEO_BULK, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                destination + static_cast<size_t>(STILL_DATA_CHUNK_BYTES) * i,
                                STILL_DATA_CHUNK_BYTES)) {
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
        PIRP irp = AllocateChunkRequest(lower);
        if (irp == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        PrepareChunkRequest(irp, urb, ChunkReadDone, channel);
        KeResetEvent(&channel->transferDone);
        const NTSTATUS call = IofCallDriver(lower, irp);
        if (call == STATUS_PENDING) {
            LARGE_INTEGER timeout;
            timeout.QuadPart = CHUNK_READ_TIMEOUT_100NS;
            if (KeWaitForSingleObject(&channel->transferDone, Executive, KernelMode, FALSE, &timeout) ==
                STATUS_TIMEOUT) {
                // The aborts end the chunk; its request and the block are released only once
                // its completion has run, so the bus never writes into freed memory.
                ResetStillPipes();
                IoCancelIrp(irp);
                KeWaitForSingleObject(&channel->transferDone, Executive, KernelMode, FALSE, nullptr);
                status = STATUS_TIMEOUT;
            }
        } else if (!NT_SUCCESS(call)) {
            status = call;
        }
        // A chunk that ended in failure (stalled, cancelled, device gone) ends the read: its
        // bytes are not the camera's data.
        if (status == STATUS_SUCCESS && !NT_SUCCESS(irp->IoStatus.Status)) {
            status = irp->IoStatus.Status;
        }
        IoFreeIrp(irp);
    }
    ExFreePool(urb);
    return status;
}

// ---- Memory writes ----

// What all chunks of one memory write share. It lives in pool, not on the writer's stack, and
// goes only after the last completion has released the lock.
struct MemoryWriteShared {
    KSPIN_LOCK lock;   // guards remaining and total
    KEVENT done;       // notification: remaining reached 0
    LONG remaining;    // chunks not yet completed
    ULONG total;       // bytes transferred by the completed chunks
};

// The bookkeeping block of one chunk.
struct MemoryChunk {
    PIRP request;
    PURB urb;
    PKSPIN_LOCK lock;
    PKEVENT done;
    LONG* remaining;
    ULONG* total;
};
static_assert(sizeof(MemoryChunk) == 48);

// Completion of a memory-write chunk: counts it, frees its request, block and bookkeeping.
// Bus completion context, up to DISPATCH_LEVEL; chunks may complete at the same time.
static NTSTATUS ChunkWriteDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    auto* chunk = static_cast<MemoryChunk*>(Context);
    KIRQL irql;
    KeAcquireSpinLock(chunk->lock, &irql);
    *chunk->remaining -= 1;
    *chunk->total += chunk->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    IoFreeIrp(chunk->request);
    ExFreePool(chunk->urb);
    if (*chunk->remaining == 0) {
        KeSetEvent(chunk->done, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(chunk->lock, irql);
    ExFreePool(chunk);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one chunk. False (nothing sent, nothing left allocated) when an allocation fails or the
// call fails; in the second case the completion has already counted the chunk.
static bool SendMemoryChunk(PDEVICE_OBJECT lower, MemoryWriteShared* shared, const UCHAR* data, ULONG length,
                            bool* sent)
{
    *sent = false;
    auto* chunk = static_cast<MemoryChunk*>(ExAllocatePool(NonPagedPool, sizeof(MemoryChunk)));
    PIRP irp = chunk == nullptr ? nullptr : AllocateChunkRequest(lower);
    PURB urb = irp == nullptr ? nullptr : AllocateStillRequestBlock();
    if (urb == nullptr || !BuildStillTransfer(urb, PIPE_MEMORY_WRITE, 0, const_cast<PUCHAR>(data), length)) {
        if (urb != nullptr) ExFreePool(urb);
        if (irp != nullptr) IoFreeIrp(irp);
        if (chunk != nullptr) ExFreePool(chunk);
        return false;
    }
    *chunk = {irp, urb, &shared->lock, &shared->done, &shared->remaining, &shared->total};
    PrepareChunkRequest(irp, urb, ChunkWriteDone, chunk);
    *sent = true;
    return NT_SUCCESS(IofCallDriver(lower, irp));
}

// Chunks not sent are taken off the count; chunks on the bus are aborted; then waits for the
// last completion and for it to leave the lock, after which the shared block may go.
static VOID SettleMemoryWrite(MemoryWriteShared* shared, LONG unsent, bool abort)
{
    KIRQL irql;
    KeAcquireSpinLock(&shared->lock, &irql);
    shared->remaining -= unsent;
    const LONG outstanding = shared->remaining;
    KeReleaseSpinLock(&shared->lock, irql);
    if (outstanding > 0) {
        if (abort) {
            SendPipeRequest(URB_FUNCTION_ABORT_PIPE, PIPE_MEMORY_WRITE);
        }
        KeWaitForSingleObject(&shared->done, Executive, KernelMode, FALSE, nullptr);
    }
    KeAcquireSpinLock(&shared->lock, &irql);  // the last completion signals while holding it
    KeReleaseSpinLock(&shared->lock, irql);
}

// Polls register 0x20 until the camera has taken the whole length. A query that timed out ends
// the poll: the camera has stopped answering, and each of 32,000 queries would wait in vain.
static bool MemoryLengthArrived(StillImageChannel* channel)
{
    for (ULONG query = 0; query < MEMORY_POLL_LIMIT; ++query) {
        UCHAR answer;
        const NTSTATUS status = QueryChannelRegister(channel, REGISTER_MEMORY_DONE, &answer);
        if (!NT_SUCCESS(status) || status == STATUS_TIMEOUT) {
            return false;
        }
        if (answer & MEMORY_LENGTH_ARRIVED) {
            return true;
        }
    }
    return false;
}

_Use_decl_annotations_
NTSTATUS WriteCameraMemory(StillImageChannel* channel, ULONG address, ULONG size, const UCHAR* data, ULONG* bytes)
{
    PAGED_CODE();
    *bytes = 0;
    const ULONG total = size * STILL_MEMORY_UNIT_BYTES;

    static const UCHAR enable[] = {REGISTER_ENABLE, 0x01};
    (void)SendChannelMessage(enable, sizeof enable);
    UCHAR answer;
    if (!NT_SUCCESS(QueryChannelRegister(channel, REGISTER_ENABLE, &answer)) || !(answer & 0x01)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    static const UCHAR setUp[] = {0x00, 0x02};
    const ULONG unit = address / 8;
    const UCHAR where[] = {0x0C, static_cast<UCHAR>(unit), static_cast<UCHAR>(unit >> 8),
                           static_cast<UCHAR>(unit >> 16)};
    const UCHAR howMuch[] = {0x24, static_cast<UCHAR>(total), static_cast<UCHAR>(total >> 8),
                             static_cast<UCHAR>(total >> 16)};
    static const UCHAR dataPhase[] = {0x00, 0x22};
    (void)SendChannelMessage(setUp, sizeof setUp);
    (void)SendChannelMessage(where, sizeof where);
    (void)SendChannelMessage(howMuch, sizeof howMuch);
    (void)SendChannelMessage(dataPhase, sizeof dataPhase);

    PDEVICE_OBJECT lower = StillLowerDevice();
    auto* shared = static_cast<MemoryWriteShared*>(ExAllocatePool(NonPagedPool, sizeof(MemoryWriteShared)));
    if (lower == nullptr || shared == nullptr) {
        if (shared != nullptr) ExFreePool(shared);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG chunks = (total + STILL_MEMORY_CHUNK_BYTES - 1) / STILL_MEMORY_CHUNK_BYTES;
    KeInitializeSpinLock(&shared->lock);
    KeInitializeEvent(&shared->done, NotificationEvent, FALSE);
    shared->remaining = static_cast<LONG>(chunks);
    shared->total = 0;

    NTSTATUS status = STATUS_SUCCESS;
    ULONG sentChunks = 0;
    for (ULONG i = 0; i < chunks; ++i) {
        const ULONG offset = STILL_MEMORY_CHUNK_BYTES * i;
        const ULONG length = total - offset < STILL_MEMORY_CHUNK_BYTES ? total - offset : STILL_MEMORY_CHUNK_BYTES;
        bool sent;
        const bool ok = SendMemoryChunk(lower, shared, data + offset, length, &sent);
        sentChunks += sent ? 1 : 0;
        if (!ok) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        SettleMemoryWrite(shared, static_cast<LONG>(chunks - sentChunks), true);
        ExFreePool(shared);
        return status;
    }

    LARGE_INTEGER timeout;
    timeout.QuadPart = MEMORY_WRITE_TIMEOUT_100NS;
    if (KeWaitForSingleObject(&shared->done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        status = STATUS_TIMEOUT;
    }
    SettleMemoryWrite(shared, 0, status == STATUS_TIMEOUT);
    const ULONG transferred = shared->total;
    ExFreePool(shared);

    if (!MemoryLengthArrived(channel)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    static const UCHAR idle[] = {0x00, 0x00};
    static const UCHAR disable[] = {REGISTER_ENABLE, 0x00};
    (void)SendChannelMessage(idle, sizeof idle);
    (void)SendChannelMessage(disable, sizeof disable);
    if (status == STATUS_SUCCESS) {
        *bytes = transferred;
    }
    return status;
}
