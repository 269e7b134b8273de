// FrameProcessor: the per-device state that turns an assembled compressed frame into the
// delivered picture: the decoder, three working buffers, the output geometry, the digital zoom
// and the one-shot snapshot hand-over to a still-image request.
#pragma once

#include <atomic>

#include "jpeg/jpeg_decoder.h"
#include "platform/nt_kernel.h"

struct ExposureModel;

#define FRAME_WORK_BUFFER_BYTES 921600      // one 640 × 480 RGB24 picture
#define FRAME_CIF_BUFFER_BYTES 304128       // one 352 × 288 RGB24 picture
#define FRAME_RESAMPLE_BUFFER_BYTES 308850  // one 355 × 290 RGB24 picture
#define FRAME_DECODE_WIDTH 640
#define FRAME_DECODE_HEIGHT 480
#define FRAME_DECODE_STRIDE 1920
#define FRAME_ZOOM_MAX_LEVEL 16

// Snapshot hand-over states (snapshotState).
#define SNAPSHOT_IDLE 0     // no still-image request waits
#define SNAPSHOT_ARMED 1    // a buffer waits for the next finished picture
#define SNAPSHOT_COPYING 2  // the frame worker is copying into the buffer
#define SNAPSHOT_DONE 3     // the copy is complete; the request has not collected it yet

struct ZoomWindow {
    SHORT left;    // margin in pixels
    SHORT top;     // margin in rows
    SHORT width;
    SHORT height;
};

struct FrameProcessor {
    JpegDecoder* decoder;                   // owned; always set up for 640 × 480
    PUCHAR workBuffer;                      // decode target below 640 × 480; zoom and turn scratch
    PUCHAR cifBuffer;                       // fitted picture before the turn
    PUCHAR resampleBuffer;                  // output of the 8-to-5 resampler, 355 × 290
    std::atomic<UCHAR> propertyFlag3;       // custom property 3: stored and reported only
    SHORT pictureWidth;                     // of the current output format
    SHORT pictureHeight;
    ZoomWindow zoomWindow;                  // guarded by zoomLock
    SHORT rowBytes;                         // 3 × pictureWidth
    std::atomic<UCHAR> zoomEnabled;         // custom property 4
    std::atomic<UCHAR> zoomLevel;           // custom property 5; written under zoomLock
    FAST_MUTEX zoomLock;                    // guards zoomLevel and zoomWindow
    std::atomic<ULONG> propertyFlag7;       // custom properties 7 and 8: stored and reported only
    std::atomic<ULONG> propertyFlag8;
    PUCHAR snapshotTarget;                  // the waiting still-image request's buffer, or null
    KEVENT snapshotDone;                    // notification: the picture was copied to the target
    LONG frameBytes;                        // pictureWidth × pictureHeight × 3
    // The hand-over: snapshotLock guards snapshotTarget, snapshotState, snapshotLength and
    // snapshotBytes; the copy itself runs outside the lock in state SNAPSHOT_COPYING.
    KSPIN_LOCK snapshotLock;
    ULONG snapshotState;
    ULONG snapshotLength;                   // bytes the target holds
    ULONG snapshotBytes;                    // bytes copied by the last hand-over
    ExposureModel* exposureModel;           // measured by every frame; put into video mode at set-up
};

// Makes the record with its decoder and three working buffers, all or nothing: null when any of
// them cannot be allocated (nothing is left allocated then). PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
FrameProcessor* CreateFrameProcessor(ExposureModel* model);

// Prepares the processor for an output size (width in the low 16 bits, height in the high 16
// bits): puts the exposure model into its video mode (updating it when the mode changes),
// copies and patches the decoder's header template, sets the geometry. Sizes other than
// 640 × 480, 352 × 288, 320 × 240, 176 × 144 and 160 × 120 are refused with
// STATUS_INVALID_PARAMETER and leave the geometry as it was. Capture start, not while frames are
// processed.
NTSTATUS SetUpFrameProcessor(FrameProcessor* processor, ULONG packedSize);

// Bytes of one delivered picture at the current geometry.
ULONG FrameProcessorPictureBytes(const FrameProcessor* processor);

// Sets the zoom level (0 off, 1..16 window margins of level/64 on each side, computed from the
// current output size; above 16 stored without changing the window). An unchanged level takes no
// lock. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID SetZoomLevel(FrameProcessor* processor, UCHAR level);

// Switches the zoom off and sets the level to 0; the window stays. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ResetZoom(FrameProcessor* processor);

// Arms the snapshot hand-over with a still-image request's buffer of `length` bytes: the next
// finished picture is copied there (at most `length` bytes) and snapshotDone is signalled.
// False, changing nothing, when another request's buffer is armed or not yet collected.
// IRQL <= DISPATCH_LEVEL.
BOOLEAN ArmSnapshot(FrameProcessor* processor, PUCHAR buffer, ULONG length);

// Ends the hand-over that ArmSnapshot began: withdraws the buffer if no picture was taken,
// waits for a copy that is under way, and returns the bytes copied into it (0 when none). Once
// it returns, no copy into the buffer runs or will run. PASSIVE_LEVEL (it may wait).
_IRQL_requires_(PASSIVE_LEVEL)
ULONG WithdrawSnapshot(FrameProcessor* processor);

// Copies the finished picture to an armed snapshot buffer and signals snapshotDone.
// Frame worker.
VOID HandOverSnapshot(FrameProcessor* processor, const UCHAR* picture);

// Turns one assembled camera frame into the picture of the current geometry in output, which
// holds at least FrameProcessorPictureBytes bytes and may hold the frame itself: decode, fit,
// zoom, 180° turn, exposure measurement, tone curve, snapshot. A damaged frame yields a picture
// from the previous contents of the decode target. Always 0. Frame worker only; allocates
// nothing (the decoder's own blocks aside).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ProcessFrame(FrameProcessor* processor, const CompressedFrame* frame, PUCHAR output);

// Frees the decoder, the working buffers and the record.
VOID FreeFrameProcessor(FrameProcessor* processor);
