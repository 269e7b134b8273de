// CameraSession: the per-device root the driver allocates at SRB_INITIALIZE_DEVICE; it holds the
// camera's physical device object and owns the records below it. StreamRecord: the state of the
// one video stream.
#pragma once

#include "driver/adapter_record.h"
#include "jpeg/jpeg_decoder.h"

struct StreamRecord {
    PHW_STREAM_OBJECT streamObject;     // the open stream's object
    std::atomic<HANDLE> masterClock;    // from SRB_OPEN/INDICATE_MASTER_CLOCK; null for none
    PUCHAR outputBuffer;                // data buffer of the read being filled
    CameraSession* cameraSession;
    ULONG instanceCount[1];             // open instances, one entry per stream
    PKS_VIDEOINFOHEADER formatCopy[1];  // copy of the stream's video info header, or null
    std::atomic<LONG> streamIndex;      // stream number of the open stream; −1 when none
    CompressedFrame inputFrame;         // the compressed frame handed to ProcessFrame
};

struct CameraSession {
    PDEVICE_OBJECT lowerDevice;         // the camera's physical device object
    CaptureDevice* captureDevice;
    StreamRecord* streamRecord;
    BridgeState* bridgeState;
    ExposureModel* exposureModel;
    AdapterRecord* adapter;
};

inline BOOLEAN IsDeviceClosing(const CameraSession* session)
{
    return session->adapter->closing.load(std::memory_order_relaxed);
}
