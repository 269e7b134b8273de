// The four bridge message operations: a command, a bridge register write, a sensor register
// write and a register read, each one bulk transfer on pipe 3 (and pipe 2 for the reply).
#include <cstring>

#include "driver/camera_session.h"
#include "usb/bridge_state.h"
#include "usb/capture_device.h"

std::atomic<LONG> sensorWriteBusy{0};

#define SENSOR_WRITE_DELAY_100NS (-10000LL)  // 1 ms before each sensor write
#define BRIDGE_NO_BUFFERS_YET 3               // what a command reports before the buffers exist
#define REGISTER_READ_COMMAND 0x22

static const UCHAR RegisterReadCommand[1] = {REGISTER_READ_COMMAND};

static CaptureDevice* DeviceOf(BridgeState* bridge)
{
    return bridge->cameraSession->captureDevice;
}

static VOID LockMessages(BridgeState* bridge)
{
    KeWaitForSingleObject(&bridge->messageLock, Executive, KernelMode, FALSE, nullptr);
}

static VOID UnlockMessages(BridgeState* bridge)
{
    KeReleaseMutex(&bridge->messageLock, FALSE);
}

// Fills a bulk transfer request for a pipe of interface 0. False when the selected setting has
// no such pipe.
static bool BuildBulkMessage(BridgeState* bridge, PURB urb, ULONG pipe, ULONG flags, PVOID buffer, ULONG length)
{
    USBD_PIPE_HANDLE handle = InterfacePipeHandle(DeviceOf(bridge), pipe);
    if (handle == nullptr) {
        return false;
    }
    std::memset(urb, 0, BRIDGE_REQUEST_BYTES);
    FillBulkTransfer(urb, handle, flags, buffer, length);
    return true;
}

VOID InitializeBridgeState(BridgeState* bridge, CameraSession* session)
{
    std::memset(static_cast<void*>(bridge), 0, sizeof(*bridge));
    bridge->modeFlags = 33;
    bridge->cameraSession = session;
    KeInitializeMutex(&bridge->messageLock, 0);
}

_Use_decl_annotations_
NTSTATUS SendBridgeCommand(BridgeState* bridge, const UCHAR* bytes, ULONG length)
{
    if (IsDeviceClosing(bridge->cameraSession)) {
        return STATUS_FILE_CLOSED;
    }
    if (bridge->commandRequest == nullptr) {
        return BRIDGE_NO_BUFFERS_YET;
    }
    NTSTATUS status;
    LockMessages(bridge);
    if (!BuildBulkMessage(bridge, bridge->commandRequest, PIPE_BRIDGE_MESSAGES, USBD_SHORT_TRANSFER_OK,
                          const_cast<PUCHAR>(bytes), length)) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (IsDeviceClosing(bridge->cameraSession)) {
        status = STATUS_FILE_CLOSED;
    } else {
        status = SubmitUrbSync(DeviceOf(bridge), bridge->commandRequest);
    }
    UnlockMessages(bridge);
    return status;
}

_Use_decl_annotations_
NTSTATUS WriteBridgeRegisters(BridgeState* bridge, const UCHAR* values, UCHAR firstRegister, ULONG count)
{
    if (bridge->registerWriteRequest == nullptr) {
        return STATUS_SUCCESS;
    }
    if (count > BRIDGE_MAX_REGISTER_COUNT) {
        return STATUS_INVALID_PARAMETER;  // the payload holds the register number and 15 values
    }
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    LockMessages(bridge);
    bridge->payloadBuffer[0] = firstRegister;
    std::memcpy(bridge->payloadBuffer + 1, values, count);
    if (BuildBulkMessage(bridge, bridge->registerWriteRequest, PIPE_BRIDGE_MESSAGES, 0, bridge->payloadBuffer,
                         count + 1)) {
        status = SubmitUrbSync(DeviceOf(bridge), bridge->registerWriteRequest);
    }
    UnlockMessages(bridge);
    return status;
}

_Use_decl_annotations_
NTSTATUS WriteSensorRegister(BridgeState* bridge, const UCHAR* value, UCHAR sensorRegister)
{
    NTSTATUS status = STATUS_SUCCESS;
    sensorWriteBusy.store(1, std::memory_order_relaxed);
    if (bridge->sensorWriteRequest != nullptr) {
        LARGE_INTEGER delay;
        delay.QuadPart = SENSOR_WRITE_DELAY_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        LockMessages(bridge);
        bridge->payloadBuffer[0] = 0x1F;
        bridge->payloadBuffer[1] = 0x00;
        bridge->payloadBuffer[2] = sensorRegister;
        bridge->payloadBuffer[3] = *value;
        if (BuildBulkMessage(bridge, bridge->sensorWriteRequest, PIPE_BRIDGE_MESSAGES, 0, bridge->payloadBuffer, 4)) {
            status = SubmitUrbSync(DeviceOf(bridge), bridge->sensorWriteRequest);
        } else {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
        UnlockMessages(bridge);
    }
    sensorWriteBusy.store(0, std::memory_order_relaxed);
    return status;
}

_Use_decl_annotations_
NTSTATUS ReadBridgeRegister(BridgeState* bridge, UCHAR* value)
{
    if (bridge->registerReadRequest == nullptr) {
        bridge->registerReadRequest = static_cast<PURB>(ExAllocatePool(NonPagedPool, BRIDGE_REQUEST_BYTES));
        if (bridge->registerReadRequest == nullptr) {
            return STATUS_NO_MEMORY;
        }
    }
    // The selection and its reply are one exchange: no other message may come between them.
    LockMessages(bridge);
    UCHAR reply[BRIDGE_REPLY_BYTES] = {};
    NTSTATUS status = SendBridgeCommand(bridge, RegisterReadCommand, sizeof(RegisterReadCommand));
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    if (!BuildBulkMessage(bridge, bridge->registerReadRequest, PIPE_REGISTER_REPLY,
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, reply, sizeof(reply))) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        goto Exit;
    }
    if (IsDeviceClosing(bridge->cameraSession)) {
        *value = 0;
        status = STATUS_FILE_CLOSED;
        goto Exit;
    }
    status = SubmitUrbSync(DeviceOf(bridge), bridge->registerReadRequest);
    if (NT_SUCCESS(status)) {
        *value = reply[0];
        status = STATUS_SUCCESS;
    }
Exit:
    UnlockMessages(bridge);
    return status;
}

// Allocates one buffer into `slot` unless it exists; false when memory runs out.
static bool MakeBuffer(PVOID* slot, ULONG bytes)
{
    if (*slot == nullptr) {
        *slot = ExAllocatePool(NonPagedPool, bytes);
    }
    return *slot != nullptr;
}

static VOID ForgetBuffer(PVOID* slot)
{
    if (*slot != nullptr) {
        ExFreePool(*slot);
        *slot = nullptr;
    }
}

NTSTATUS AllocateBridgeBuffers(BridgeState* bridge)
{
    auto** command = reinterpret_cast<PVOID*>(&bridge->commandRequest);
    auto** registerWrite = reinterpret_cast<PVOID*>(&bridge->registerWriteRequest);
    auto** sensorWrite = reinterpret_cast<PVOID*>(&bridge->sensorWriteRequest);
    auto** registerRead = reinterpret_cast<PVOID*>(&bridge->registerReadRequest);
    auto** payload = reinterpret_cast<PVOID*>(&bridge->payloadBuffer);

    if (!MakeBuffer(command, BRIDGE_REQUEST_BYTES)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!MakeBuffer(registerWrite, BRIDGE_REQUEST_BYTES)) {
        ForgetBuffer(command);
        return STATUS_UNSUCCESSFUL;
    }
    if (!MakeBuffer(sensorWrite, BRIDGE_REQUEST_BYTES)) {
        ForgetBuffer(registerWrite);
        ForgetBuffer(command);
        return STATUS_UNSUCCESSFUL;
    }
    MakeBuffer(registerRead, BRIDGE_REQUEST_BYTES);  // a missing read buffer is made at its first use
    if (!MakeBuffer(payload, BRIDGE_PAYLOAD_BYTES)) {
        ForgetBuffer(sensorWrite);
        ForgetBuffer(registerWrite);
        ForgetBuffer(command);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

VOID FreeBridgeBuffers(BridgeState* bridge)
{
    ForgetBuffer(reinterpret_cast<PVOID*>(&bridge->commandRequest));
    ForgetBuffer(reinterpret_cast<PVOID*>(&bridge->registerWriteRequest));
    ForgetBuffer(reinterpret_cast<PVOID*>(&bridge->sensorWriteRequest));
    ForgetBuffer(reinterpret_cast<PVOID*>(&bridge->registerReadRequest));
    ForgetBuffer(reinterpret_cast<PVOID*>(&bridge->payloadBuffer));
}
