// The private device-control requests of the still-image application: which operation each
// code runs, what its buffers hold and what it reports.
#include <cstring>

#include "frame/frame_processor.h"
#include "still/camera_protocol.h"
#include "usb/capture_device.h"

#define IOCTL_STILL_READ_COMMAND 0x223000u    // command with data read
#define IOCTL_STILL_DATA_READ 0x223038u       // data read
#define IOCTL_STILL_SEND_ABORT 0x22303Cu      // send command byte 0x54
#define IOCTL_STILL_PORT_WRITE 0x22304Cu      // data-port write
#define IOCTL_STILL_PORT_READ 0x223050u       // data-port read
#define IOCTL_STILL_MATCH_COMMAND 0x223054u   // command with reply match
#define IOCTL_STILL_MEMORY_WRITE 0x223060u    // memory write
#define IOCTL_STILL_COMMAND 0x223064u         // command without reply
#define IOCTL_STILL_READ_REPLY 0x223068u      // read reply byte
#define IOCTL_STILL_UNSUPPORTED 0x22306Cu     // refused without touching the pipes
#define IOCTL_STILL_SNAPSHOT 0x223076u        // snapshot of the next video picture

#define SNAPSHOT_TIMEOUT_100NS (-10000000LL)  // 1 s for the next picture
#define REGISTER_COMMAND 0x19
#define REGISTER_STATUS 0x21
#define STATUS_NO_REPLY 0x08

// The request's buffers as the I/O manager passed them (METHOD_BUFFERED: one system buffer).
struct StillRequest {
    ULONG code;
    PUCHAR buffer;
    ULONG inputLength;
    ULONG outputLength;
};

static ULONG Read16(const UCHAR* p)
{
    return p[0] | (p[1] << 8);
}

static ULONG Read24(const UCHAR* p)
{
    return p[0] | (p[1] << 8) | (static_cast<ULONG>(p[2]) << 16);
}

// Whether the buffers hold what the request reads and writes. The application must supply them
// that large; a shorter one is refused before anything is sent.
static bool BuffersSuffice(const StillRequest& r)
{
    const ULONG in = r.buffer == nullptr ? 0 : r.inputLength;
    const ULONG out = r.buffer == nullptr ? 0 : r.outputLength;
    switch (r.code) {
    case IOCTL_STILL_READ_COMMAND:
        return in >= STILL_READ_COMMAND_BYTES && out >= Read24(r.buffer + 5);
    case IOCTL_STILL_DATA_READ:
    case IOCTL_STILL_SEND_ABORT:
        return true;
    case IOCTL_STILL_PORT_WRITE:
        return in >= 4 && in - 4 >= Read16(r.buffer + 2);
    case IOCTL_STILL_PORT_READ:
        return in >= 4 && out >= Read16(r.buffer + 2);
    case IOCTL_STILL_MATCH_COMMAND:
    case IOCTL_STILL_COMMAND:
        return in >= STILL_COMMAND_BYTES;
    case IOCTL_STILL_MEMORY_WRITE:
        return in >= 5 && in - 5 >= Read16(r.buffer + 3) * STILL_MEMORY_UNIT_BYTES;
    case IOCTL_STILL_READ_REPLY:
        return out >= 1;
    default:
        return true;
    }
}

// Answers the read reply byte request: the camera's pending reply, when there is one. A query
// the camera did not answer fails the request: its 0 would otherwise pass for a reply.
static NTSTATUS ReadReplyByte(StillImageChannel* channel, PUCHAR out, ULONG_PTR* information)
{
    UCHAR status;
    NTSTATUS result = QueryChannelRegister(channel, REGISTER_STATUS, &status);
    if (result == STATUS_TIMEOUT) {
        return STATUS_IO_TIMEOUT;
    }
    if (!NT_SUCCESS(result)) {
        return result;
    }
    if (status & STATUS_NO_REPLY) {
        return STATUS_SUCCESS;
    }
    UCHAR reply;
    result = QueryChannelRegister(channel, REGISTER_COMMAND, &reply);
    if (result == STATUS_TIMEOUT) {
        return STATUS_IO_TIMEOUT;
    }
    if (!NT_SUCCESS(result)) {
        return result;
    }
    out[0] = reply;
    *information = 1;
    return STATUS_SUCCESS;
}

// The snapshot: arms the frame processor's hand-over with the request's buffer and waits up to
// 1 s for the next picture. Information: the bytes of the picture, 0 when none came.
static NTSTATUS TakeSnapshot(PIRP Irp, ULONG_PTR* information)
{
    CaptureDevice* device = StillCaptureDevice();
    FrameProcessor* processor = device != nullptr ? device->frameProcessor : nullptr;
    PMDL mdl = Irp->MdlAddress;
    LARGE_INTEGER timeout;
    timeout.QuadPart = SNAPSHOT_TIMEOUT_100NS;
    if (processor == nullptr) {
        // No video has ever been set up, so no picture can come: the wait times out.
        KeDelayExecutionThread(KernelMode, FALSE, &timeout);
        return STATUS_SUCCESS;
    }
    const ULONG length = mdl == nullptr ? 0 : MmGetMdlByteCount(mdl);
    if (length < static_cast<ULONG>(processor->frameBytes)) {
        return STATUS_BUFFER_TOO_SMALL;  // the buffer must hold one picture of the current format
    }
    auto* target = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    if (target == nullptr || !ArmSnapshot(processor, target, length)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    (void)KeWaitForSingleObject(&processor->snapshotDone, Executive, KernelMode, FALSE, &timeout);
    // Withdrawal also collects a picture copied just as the wait ran out.
    *information = WithdrawSnapshot(processor);
    return STATUS_SUCCESS;
}

// Runs the request and returns its status; *information: the bytes it returns.
static NTSTATUS PerformStillRequest(StillImageChannel* channel, PIRP Irp, const StillRequest& r,
                                    ULONG_PTR* information)
{
    PUCHAR buffer = r.buffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bytes = 0;
    switch (r.code) {
    case IOCTL_STILL_READ_COMMAND:
        status = RunReadCommand(channel, buffer, buffer, &bytes);
        *information = bytes;
        return status;
    case IOCTL_STILL_DATA_READ:
        // Bytes the read does not fill (a remainder under one chunk, a short chunk) are returned
        // too: they read as zero, never as what the buffer held before.
        if (buffer != nullptr) {
            std::memset(buffer, 0, r.outputLength);
        }
        status = ReadStillData(channel, buffer, r.buffer == nullptr ? 0 : r.outputLength);
        *information = status == STATUS_SUCCESS ? r.outputLength : 0;  // a timed-out read returns nothing
        return status;
    case IOCTL_STILL_SEND_ABORT: {
        static const UCHAR abort[] = {REGISTER_COMMAND, 0x54};
        (void)SendChannelMessage(abort, sizeof abort);
        return STATUS_SUCCESS;
    }
    case IOCTL_STILL_PORT_WRITE: {
        const ULONG count = Read16(buffer + 2);
        status = WritePortBytes(channel, Read16(buffer), count, buffer + 4, &bytes);
        *information = status == STATUS_SUCCESS ? bytes : 0;
        return status;
    }
    case IOCTL_STILL_PORT_READ: {
        // The port bytes overwrite the input in the one system buffer: take it first.
        const ULONG address = Read16(buffer);
        const ULONG count = Read16(buffer + 2);
        status = ReadPortBytes(channel, address, count, buffer);
        *information = status == STATUS_SUCCESS ? count : 0;
        return status;
    }
    case IOCTL_STILL_MATCH_COMMAND:
        return RunCameraCommand(channel, buffer, TRUE) == buffer[1] ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case IOCTL_STILL_MEMORY_WRITE:
        status = WriteCameraMemory(channel, Read24(buffer), Read16(buffer + 3), buffer + 5, &bytes);
        *information = bytes;
        return status;
    case IOCTL_STILL_COMMAND:
        (void)RunCameraCommand(channel, buffer, FALSE);
        return STATUS_SUCCESS;
    case IOCTL_STILL_READ_REPLY:
        return ReadReplyByte(channel, buffer, information);
    case IOCTL_STILL_SNAPSHOT:
        return TakeSnapshot(Irp, information);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

_Use_decl_annotations_
VOID DispatchStillImageRequest(StillImageChannel* channel, PDEVICE_OBJECT, PIRP Irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    StillRequest request;
    request.code = stack->Parameters.DeviceIoControl.IoControlCode;
    request.buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    request.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    ULONG_PTR information = 0;
    NTSTATUS status;
    KeWaitForSingleObject(&channel->requestLock, Executive, KernelMode, FALSE, nullptr);
    if (!BuffersSuffice(request)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        if (request.code != IOCTL_STILL_SNAPSHOT && request.code != IOCTL_STILL_UNSUPPORTED) {
            ResetStillPipes();
        }
        status = PerformStillRequest(channel, Irp, request, &information);
    }
    KeReleaseMutex(&channel->requestLock, FALSE);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
}
