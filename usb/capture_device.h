// CaptureDevice: the per-device USB and capture state: descriptors, the interface table with
// pipe handles, the packet size of each alternate setting, the transfer mode and states, the
// transfer sets, the assembly buffer and the frame ring. Owns the FrameProcessor.
#pragma once

#include <atomic>

#include "platform/usb_bus.h"

struct CameraSession;
struct FrameProcessor;
struct UsbTransfer;

#define ALTERNATE_SETTING_SLOTS 9
#define FRAME_RING_SLOTS 5
#define FRAME_RING_SLOT_BYTES 307200
#define ASSEMBLY_BUFFER_BYTES 307200
#define BULK_FRAME_SLOTS 3

// Pipes of interface 0, by position in the interface information.
#define PIPE_VIDEO_ISOCHRONOUS 0
#define PIPE_VIDEO_BULK 1
#define PIPE_REGISTER_REPLY 2
#define PIPE_BRIDGE_MESSAGES 3
#define PIPE_MEMORY_WRITE 6

// captureState values.
#define CAPTURE_STOPPED 0
#define CAPTURE_PAUSED 2
#define CAPTURE_RUNNING 3

struct InterfaceTableEntry {
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor;  // alternate setting 0, inside configDescriptor
    PUSBD_INTERFACE_INFORMATION interfaceInfo;      // owned copy of what the bus driver returned
};

struct BulkFrameSlot {
    std::atomic<ULONG> state;
    PUCHAR buffer;
    ULONGLONG sequence;
    ULONG frameLength;
    ULONG averageTransferSize;
};

struct CaptureDevice {
    USB_DEVICE_DESCRIPTOR deviceDescriptor;
    PUCHAR configDescriptor;             // the whole configuration descriptor set
    ULONG configDescriptorLength;        // its wTotalLength, the bound of every parse
    InterfaceTableEntry* interfaceTable;
    CameraSession* cameraSession;
    // Bulk-mode frame slots.
    ULONG frameSlotCount;
    ULONG frameSlotSize;
    BulkFrameSlot frameSlots[BULK_FRAME_SLOTS];
    LONG currentFrameSlot;
    KSEMAPHORE frameSlotSignal;
    PUCHAR bulkWritePos;
    PUCHAR bulkSlotStart;
    // Frame-marker and assembly state.
    ULONG syncState;                     // 0 hunting, 1 marker found, 2 inside a frame
    ULONG frameState;                    // 0 none, 1 first packet, 2 continuing, 3 complete
    ULONG bulkFrameLimit;
    ULONG bulkFrameLength;
    ULONG bulkBytesInFrame;
    ULONG bulkTransfersInFrame;
    ULONG markerOffset;
    BOOLEAN bulkEndDecided;
    BOOLEAN endsAtMarker;
    BOOLEAN bulkHandOver;
    std::atomic<LONG> inFlightCount;     // video transfers circulating
    std::atomic<ULONG> captureState;     // CAPTURE_STOPPED, CAPTURE_PAUSED, CAPTURE_RUNNING
    KEVENT allStoppedEvent;              // auto-reset: inFlightCount reached 0
    BOOLEAN configured;                  // configuration and interface selection succeeded
    std::atomic<BOOLEAN> isochronousMode;  // 1: video on the isochronous pipe; 0: bulk pipe
    BOOLEAN resourcesReady;              // transfer sets and frame processing exist
    std::atomic<BOOLEAN> transfersStarted;
    std::atomic<ULONG> streamState;      // the stream state last set: 0 stop, 2 pause, 3 run
    FrameProcessor* frameProcessor;
    BOOLEAN settingsLoaded;
    USBD_CONFIGURATION_HANDLE configurationHandle;
    ULONG packetSizeByAlternate[ALTERNATE_SETTING_SLOTS];
    UsbTransfer* isoTransfers[2];
    UsbTransfer* bulkTransfers[2];
    ULONG slotStateRefilling;
    ULONG slotStateFilling;
    ULONG slotStateReady;
    ULONG slotStateFree;
    ULONG slotStateTaken;
    PUCHAR assemblyBuffer;
    PUCHAR assemblyWritePos;
    ULONG assemblyCapacity;
    ULONG assemblyLength;
    PUCHAR frameRing[FRAME_RING_SLOTS];
    ULONG frameRingSlotSize;
    ULONG frameRingNext;
    // A ring slot is busy from the hand-off until the frame worker has finished with its read, so
    // that a later frame never overwrites a frame still being decoded.
    std::atomic<BOOLEAN> frameRingBusy[FRAME_RING_SLOTS];
    std::atomic<ULONGLONG> framesDroppedRingFull;  // frames dropped because the next slot was busy
};

// Driver-wide: bNumInterfaces of the configuration descriptor.
extern ULONG interfaceCount;

// Fills a newly allocated CaptureDevice and configures the device. Always yields the record;
// `configured` tells whether the device is usable. IRQL: PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID InitializeCaptureDevice(CaptureDevice* device, CameraSession* session);
// Sends one URB to the device and waits for it, at most 1.5 s. A request still outstanding then
// is cancelled and its completion awaited before STATUS_TIMEOUT is returned.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbSync(CaptureDevice* device, PURB urb);
// The same for any lower device object; `pended` tells whether the bus driver answered
// STATUS_PENDING (the transfer went on the bus) rather than at once.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbToDevice(PDEVICE_OBJECT lower, PURB urb, BOOLEAN* pended);
// Selects an alternate setting of an interface; STATUS_IO_DEVICE_ERROR when the bus refuses it.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SelectAlternateSetting(CaptureDevice* device, ULONG interfaceIndex, UCHAR alternateSetting);
// Chooses the streaming alternate setting by its rule and sets isochronousMode.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ChooseStreamingAlternate(CaptureDevice* device);
// Fills the fields of a bulk or interrupt transfer request block (zeroing it is the caller's).
VOID FillBulkTransfer(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length);
// The pipe handle of a pipe of interface 0, or null when the selected setting has no such pipe.
USBD_PIPE_HANDLE InterfacePipeHandle(const CaptureDevice* device, ULONG pipe);
// The pipe information of a pipe of interface 0, or null when the setting has no such pipe.
PUSBD_PIPE_INFORMATION InterfacePipe(const CaptureDevice* device, ULONG pipe);
// Releases the descriptors and the interface table (capture buffers are released elsewhere).
VOID FreeCaptureDeviceConfiguration(CaptureDevice* device);
