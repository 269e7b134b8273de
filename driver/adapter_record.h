// AdapterRecord: the device extension the class driver provides (zero-filled), the root of the
// per-device state. CameraSession and StreamRecord: the records the driver allocates per device.
#pragma once

#include <atomic>

#include "platform/stream_class.h"

struct CameraSession;
struct CaptureDevice;
struct BridgeState;
struct ExposureModel;

struct AdapterRecord {
    CameraSession* cameraSession;       // set at SRB_INITIALIZE_DEVICE
    LIST_ENTRY readQueue;               // reads waiting for a frame
    KSPIN_LOCK readQueueLock;           // guards readQueue
    LIST_ENTRY readyQueue;              // reads with a frame attached, waiting for the FrameWorker
    KSPIN_LOCK readyQueueLock;          // guards readyQueue
    KSEMAPHORE workerSignal;            // one unit per read put into readyQueue, one per stop request
    std::atomic<BOOLEAN> workerStop;    // asks the FrameWorker to end
    BOOLEAN workerRunning;              // a FrameWorker thread exists
    KEVENT workerExited;                // signalled by the FrameWorker as it ends
    KS_FRAME_INFO frameInfo;            // copied behind the header of every completed read
    std::atomic<ULONGLONG> framesCaptured;  // frames completed by the capture; reset at pause
    ULONG powerState;                   // the device power state last set; 0 until the first change
    LONGLONG frameDuration;             // AvgTimePerFrame of the open format, 100 ns units
    LONGLONG lastPresentationTime;      // presentation time of the last completed read
    std::atomic<BOOLEAN> closing;       // removed or uninitialised: device access is refused
    KMUTEX settingsLock;                // serialises the FrameWorker's and the properties' register traffic
};
static_assert(sizeof(AdapterRecord) <= 416, "must fit the device extension the driver registers");

inline AdapterRecord* AdapterOfRequest(PHW_STREAM_REQUEST_BLOCK srb)
{
    return static_cast<AdapterRecord*>(srb->HwDeviceExtension);
}
