// The camera protocol of the still-image channel: messages to the bridge registers and queries
// of their values, the 8-byte command protocol, chunked data reads and memory writes, the data
// port and the pipe resets. Everything runs in the requester's thread at PASSIVE_LEVEL, one
// operation at a time (the private request holds the channel's requestLock).
#pragma once

#include "platform/usb_bus.h"
#include "still/still_image_channel.h"

#define STILL_COMMAND_BYTES 8
#define STILL_READ_COMMAND_BYTES 9         // the command and a block count
#define STILL_DATA_CHUNK_BYTES 8192        // one bulk IN transfer of a data read
#define STILL_MEMORY_CHUNK_BYTES 32768     // one bulk OUT transfer of a memory write
#define STILL_MEMORY_UNIT_BYTES 1024       // memory write sizes are counted in these
#define STILL_PORT_MESSAGE_BYTES 15        // data bytes in one data-port message
#define STILL_REPLY_DATA 0xA8              // the camera's reply when data follows on pipe 1
#define STILL_NO_SELECTION 0xFF            // QueryChannelRegister without a selection message

// One message to the bridge registers on pipe 3 (length taken modulo 256), waited for up to
// 1.5 s. STATUS_TIMEOUT when it did not finish (the transfer is withdrawn first); 0 when it did,
// whatever the transfer's own status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendChannelMessage(const UCHAR* bytes, ULONG length);

// Selects `reg` (unless STILL_NO_SELECTION) and reads one 16-byte reply on pipe 2; *answer is
// its byte 0, or 0 when the reply did not come.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryChannelRegister(StillImageChannel* channel, UCHAR reg, PUCHAR answer);

// An abort (URB_FUNCTION_ABORT_PIPE) or reset (URB_FUNCTION_RESET_PIPE) of a pipe of interface
// 0, waited for up to 1.5 s; the result is not examined. IRQL: PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) VOID SendPipeRequest(USHORT function, ULONG pipe);

// Aborts pipes 1, 2 and 3, then resets them.
_IRQL_requires_(PASSIVE_LEVEL) VOID ResetStillPipes();

// Reads length ÷ 8,192 whole chunks of pipe 1 into destination, one transfer at a time (a
// remainder is not read). STATUS_INSUFFICIENT_RESOURCES when there is no whole chunk;
// STATUS_TIMEOUT when a chunk does not finish within 3 s.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadStillData(StillImageChannel* channel, PUCHAR destination, ULONG length);

// Passes an 8-byte command to the camera a byte at a time through register 0x19 and, when
// wanted, returns its reply byte (0xFF when the command or the reply could not be had).
_IRQL_requires_(PASSIVE_LEVEL)
UCHAR SendCameraCommand(StillImageChannel* channel, const UCHAR* command, BOOLEAN replyWanted);

// SendCameraCommand, with the interface moved to alternate 0 before command 0xB5 and to the
// streaming alternate before command 0xBA.
_IRQL_requires_(PASSIVE_LEVEL)
UCHAR RunCameraCommand(StillImageChannel* channel, const UCHAR* command, BOOLEAN replyWanted);

// The command with data read: 9 input bytes (command, block count); on the camera's 0xA8 reads
// the block of L bytes (command bytes 5..7) into destination. *bytes: L on success, else 0.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RunReadCommand(StillImageChannel* channel, const UCHAR* input, PUCHAR destination, ULONG* bytes);

// Loads size × 1,024 bytes into the camera's memory at address, in 32,768-byte transfers all
// put on the bus at once. *bytes: the bytes transferred on success, else 0.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WriteCameraMemory(StillImageChannel* channel, ULONG address, ULONG size, const UCHAR* data,
                           ULONG* bytes);

// Reads count bytes from the data port at address into destination.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadPortBytes(StillImageChannel* channel, ULONG address, ULONG count, PUCHAR destination);

// Writes count bytes to the data port at address; *lastMessageBytes: the data bytes of the last
// message (1..15; 15 when count is a multiple of 15, 0 included).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WritePortBytes(StillImageChannel* channel, ULONG address, ULONG count, const UCHAR* data,
                        ULONG* lastMessageBytes);

// ---- Shared by the protocol files ----

struct CaptureDevice;
// The capture device of the initialised device, or null once it is gone.
_IRQL_requires_(PASSIVE_LEVEL) CaptureDevice* StillCaptureDevice();
// The lower device object of the initialised device, or null once it is gone.
_IRQL_requires_(PASSIVE_LEVEL) PDEVICE_OBJECT StillLowerDevice();
// Fills a bulk transfer request block for a pipe of interface 0 (the first 128 bytes zeroed).
// False when the device is gone or the selected setting has no such pipe.
_IRQL_requires_(PASSIVE_LEVEL)
bool BuildStillTransfer(PURB urb, ULONG pipe, ULONG flags, PVOID buffer, ULONG length);
// A request block of STILL_QUERY_REQUEST_BYTES from non-paged pool, or null.
PURB AllocateStillRequestBlock();
// Submits a request for urb to the lower device and waits up to 1.5 s, as a channel message:
// STATUS_TIMEOUT when it did not finish (it is withdrawn first), 0 when it did, the call's
// status when it did not pend. *pended tells which.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitChannelRequest(PURB urb, BOOLEAN* pended);
