// BridgeState: the per-device state of the camera's bridge chip: the geometry of the selected
// format, the request buffers of the four message operations, the picture settings with the value
// last written for each, and the register shadow bytes.
#pragma once

#include <atomic>

#include "platform/usb_bus.h"

struct CameraSession;

#define BRIDGE_REQUEST_BYTES 128   // one URB buffer per message operation
#define BRIDGE_PAYLOAD_BYTES 16
#define BRIDGE_REPLY_BYTES 16
#define BRIDGE_MAX_REGISTER_COUNT 15

struct BridgeState {
    // Geometry of the selected video format.
    LONG frameWidth;
    LONG frameHeight;
    std::atomic<LONG> imageSize;         // width × height × 3; reads with smaller buffers are refused
    LONG outputWidth;
    LONG outputHeight;
    LONG pixelCount;
    LONG maxCompressedFrame;             // 1310720 at width 1280, else 307200
    LONG maxCompressedFrameTriple;
    // Request and payload buffers, made with the capture resources.
    UCHAR commandBytes[2];
    PUCHAR payloadBuffer;
    PURB registerWriteRequest;
    PURB sensorWriteRequest;
    PURB commandRequest;
    PURB registerReadRequest;
    BOOLEAN bridgeEnabled;               // the enable command was sent and not yet undone
    // Bits of shared registers the picture adjustment keeps; set by the bridge programming.
    UCHAR gammaShadow;
    UCHAR saturationShadow;
    UCHAR modeFlags;
    UCHAR sharpnessShadow;
    UCHAR colourShadow[5];
    // Picture settings and the value last written to the device.
    std::atomic<UCHAR> brightness;
    UCHAR appliedBrightness;
    std::atomic<UCHAR> saturation;
    UCHAR appliedSaturation;
    std::atomic<UCHAR> sharpness;
    UCHAR appliedSharpness;
    std::atomic<UCHAR> gamma;
    UCHAR appliedGamma;
    std::atomic<BOOLEAN> settingsChanged;  // a picture setting changed and awaits writing
    CameraSession* cameraSession;
    // Serialises the message operations: they share the request buffers and payloadBuffer, and
    // the capture start, the frame worker and the property requests all send messages.
    KMUTEX messageLock;
};

// Driver-wide: 1 while a sensor register write is in progress. Writers that find it set skip
// their own writes.
extern std::atomic<LONG> sensorWriteBusy;

// Gives a new BridgeState its creation values.
VOID InitializeBridgeState(BridgeState* bridge, CameraSession* session);
// Makes the request and payload buffers that do not exist yet. 0, or STATUS_UNSUCCESSFUL when
// memory runs out (what failed is released and forgotten).
NTSTATUS AllocateBridgeBuffers(BridgeState* bridge);
// Releases every request and payload buffer.
VOID FreeBridgeBuffers(BridgeState* bridge);

// The four message operations. Each is one bulk transfer waited for with SubmitUrbSync; they run
// where waiting is allowed and must not overlap (callers serialise).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendBridgeCommand(BridgeState* bridge, const UCHAR* bytes, ULONG length);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WriteBridgeRegisters(BridgeState* bridge, const UCHAR* values, UCHAR firstRegister, ULONG count);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WriteSensorRegister(BridgeState* bridge, const UCHAR* value, UCHAR sensorRegister);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadBridgeRegister(BridgeState* bridge, UCHAR* value);
