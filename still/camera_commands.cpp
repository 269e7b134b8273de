// The camera's command protocol (a command passed one byte at a time through register 0x19,
// its reply fetched from there) and the byte-wise data port behind register 0x1F.
#include <cstring>

#include "still/camera_protocol.h"
#include "usb/capture_device.h"

#define POLL_LIMIT 32000
#define REGISTER_MODE 0x00
#define REGISTER_ENABLE 0x01
#define REGISTER_PORT_ADDRESS 0x0F
#define REGISTER_COMMAND 0x19
#define REGISTER_PORT 0x1F
#define REGISTER_STATUS 0x21
#define STATUS_TAKING_BYTE 0x01  // register 0x21: a command byte is being taken
#define STATUS_NO_REPLY 0x08     // register 0x21: no reply is ready
#define MODE_PORT_READ 0x2A
#define MODE_PORT_WRITE 0x28
#define COMMAND_STILL_MODE 0xB5
#define COMMAND_VIDEO_MODE 0xBA
#define FAILED_REPLY 0xFF

enum StatusPoll { PollCleared, PollFailed, PollExhausted };

// Queries register 0x21 until `bit` is clear: PollFailed on a query with a failure status,
// PollExhausted after 32,000 queries with the bit set.
static StatusPoll WaitForStatusClear(StillImageChannel* channel, UCHAR bit)
{
    for (ULONG query = 0; query < POLL_LIMIT; ++query) {
        UCHAR answer;
        if (!NT_SUCCESS(QueryChannelRegister(channel, REGISTER_STATUS, &answer))) {
            return PollFailed;
        }
        if (!(answer & bit)) {
            return PollCleared;
        }
    }
    return PollExhausted;
}

_Use_decl_annotations_
UCHAR SendCameraCommand(StillImageChannel* channel, const UCHAR* command, BOOLEAN replyWanted)
{
    PAGED_CODE();
    bool sent = true;
    for (ULONG i = 0; i < STILL_COMMAND_BYTES && sent; ++i) {
        const StatusPoll poll = WaitForStatusClear(channel, STATUS_TAKING_BYTE);
        if (poll == PollExhausted) {
            return FAILED_REPLY;  // a camera that never takes the byte: give up at once
        }
        const UCHAR message[] = {REGISTER_COMMAND, command[i]};
        sent = poll == PollCleared && NT_SUCCESS(SendChannelMessage(message, sizeof message));
    }
    if (!replyWanted) {
        return 0;
    }
    if (!sent || WaitForStatusClear(channel, STATUS_NO_REPLY) != PollCleared) {
        return FAILED_REPLY;
    }
    UCHAR reply;
    (void)QueryChannelRegister(channel, REGISTER_COMMAND, &reply);  // a failed query answers 0
    return reply;
}

_Use_decl_annotations_
UCHAR RunCameraCommand(StillImageChannel* channel, const UCHAR* command, BOOLEAN replyWanted)
{
    PAGED_CODE();
    CaptureDevice* device = StillCaptureDevice();
    if (device != nullptr && command[1] == COMMAND_STILL_MODE) {
        (void)SelectAlternateSetting(device, 0, 0);
    } else if (device != nullptr && command[1] == COMMAND_VIDEO_MODE) {
        (void)ChooseStreamingAlternate(device);
    }
    return SendCameraCommand(channel, command, replyWanted);
}

_Use_decl_annotations_
NTSTATUS RunReadCommand(StillImageChannel* channel, const UCHAR* input, PUCHAR destination, ULONG* bytes)
{
    PAGED_CODE();
    *bytes = 0;
    const ULONG length = input[5] | (input[6] << 8) | (static_cast<ULONG>(input[7]) << 16);
    const ULONG blocks = input[8] == 0 ? 1 : input[8];
    const ULONG asked = blocks * length;  // at most 255 × (2^24 − 1): fits
    UCHAR command[STILL_COMMAND_BYTES];
    std::memcpy(command, input, STILL_COMMAND_BYTES);
    command[5] = static_cast<UCHAR>(asked);
    command[6] = static_cast<UCHAR>(asked >> 8);
    command[7] = static_cast<UCHAR>(asked >> 16);
    if (SendCameraCommand(channel, command, TRUE) != STILL_REPLY_DATA) {
        return STATUS_DEVICE_BUSY;
    }
    // The whole L bytes are returned: what the chunks do not fill reads as zero.
    std::memset(destination, 0, length);
    const NTSTATUS status = ReadStillData(channel, destination, length);
    if (status == STATUS_SUCCESS) {
        *bytes = length;
    }
    return status;
}

// The opening of a port operation: enable, check the bridge is on, set the port address and
// the mode. False when a step fails.
static bool OpenPort(StillImageChannel* channel, ULONG address, UCHAR mode)
{
    static const UCHAR enable[] = {REGISTER_ENABLE, 0x01};
    UCHAR answer;
    const UCHAR where[] = {REGISTER_PORT_ADDRESS, static_cast<UCHAR>(address / 4)};
    const UCHAR modeMessage[] = {REGISTER_MODE, mode};
    return NT_SUCCESS(SendChannelMessage(enable, sizeof enable)) &&
           NT_SUCCESS(QueryChannelRegister(channel, REGISTER_ENABLE, &answer)) && (answer & 0x01) &&
           NT_SUCCESS(SendChannelMessage(where, sizeof where)) &&
           NT_SUCCESS(SendChannelMessage(modeMessage, sizeof modeMessage));
}

static bool ClosePort()
{
    static const UCHAR idle[] = {REGISTER_MODE, 0x00};
    static const UCHAR disable[] = {REGISTER_ENABLE, 0x00};
    return NT_SUCCESS(SendChannelMessage(idle, sizeof idle)) && NT_SUCCESS(SendChannelMessage(disable, sizeof disable));
}

// Port transfers stop at the first one that timed out: the camera has stopped answering, and a
// read of thousands of bytes would otherwise wait 1.5 s for each.
static bool Answered(NTSTATUS status)
{
    return NT_SUCCESS(status) && status != STATUS_TIMEOUT;
}

_Use_decl_annotations_
NTSTATUS ReadPortBytes(StillImageChannel* channel, ULONG address, ULONG count, PUCHAR destination)
{
    PAGED_CODE();
    static const UCHAR selectPort[] = {REGISTER_PORT};
    if (!OpenPort(channel, address, MODE_PORT_READ) || !NT_SUCCESS(SendChannelMessage(selectPort, 1))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (!Answered(QueryChannelRegister(channel, STILL_NO_SELECTION, destination + i))) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return ClosePort() ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

_Use_decl_annotations_
NTSTATUS WritePortBytes(StillImageChannel* channel, ULONG address, ULONG count, const UCHAR* data,
                        ULONG* lastMessageBytes)
{
    PAGED_CODE();
    *lastMessageBytes = count % STILL_PORT_MESSAGE_BYTES == 0 ? STILL_PORT_MESSAGE_BYTES
                                                              : count % STILL_PORT_MESSAGE_BYTES;
    if (!OpenPort(channel, address, MODE_PORT_WRITE)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UCHAR message[1 + STILL_PORT_MESSAGE_BYTES];
    message[0] = REGISTER_PORT;
    for (ULONG offset = 0; offset < count; offset += STILL_PORT_MESSAGE_BYTES) {
        const ULONG n = count - offset < STILL_PORT_MESSAGE_BYTES ? count - offset : STILL_PORT_MESSAGE_BYTES;
        std::memcpy(message + 1, data + offset, n);
        if (!Answered(SendChannelMessage(message, 1 + n))) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return ClosePort() ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
