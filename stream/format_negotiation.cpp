// Format requests on the open stream (propose, set) and the format record of the stream open.
#include <cstring>

#include "driver/camera_session.h"
#include "driver/request_handlers.h"
#include "stream/stream_description.h"
#include "usb/bridge_state.h"

#define MAX_COMPRESSED_FRAME_WIDE 0x140000  // at width 1280
#define MAX_COMPRESSED_FRAME 307200

static StreamRecord* StreamOfRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CameraSession* session = AdapterOfRequest(Srb)->cameraSession;
    return session ? session->streamRecord : nullptr;
}

// The geometry the read path, capture start and frame processing size themselves by.
static VOID SetPictureGeometry(BridgeState* bridge, const KS_VIDEOINFOHEADER* info)
{
    const LONG width = info->bmiHeader.biWidth;
    const LONG height = info->bmiHeader.biHeight;
    bridge->frameWidth = bridge->outputWidth = width;
    bridge->frameHeight = bridge->outputHeight = height;
    bridge->pixelCount = width * height;
    bridge->imageSize.store(width * height * 3, std::memory_order_relaxed);
}

// A pool copy of the video info header (48 + biSize bytes), or null.
static PKS_VIDEOINFOHEADER CopyVideoInfo(const KS_VIDEOINFOHEADER* info)
{
    const ULONG bytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader) + info->bmiHeader.biSize;
    auto* copy = static_cast<PKS_VIDEOINFOHEADER>(ExAllocatePool(NonPagedPool, bytes));
    if (copy != nullptr) {
        std::memcpy(copy, info, bytes);
    }
    return copy;
}

NTSTATUS SetStreamFormat(StreamRecord* stream, const KS_VIDEOINFOHEADER* videoInfo)
{
    if (stream->formatCopy[0] != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    stream->formatCopy[0] = CopyVideoInfo(videoInfo);
    if (stream->formatCopy[0] == nullptr) {
        return STATUS_TOO_MANY_NODES;
    }
    BridgeState* bridge = stream->cameraSession->bridgeState;
    SetPictureGeometry(bridge, videoInfo);
    bridge->maxCompressedFrame =
        videoInfo->bmiHeader.biWidth == 1280 ? MAX_COMPRESSED_FRAME_WIDE : MAX_COMPRESSED_FRAME;
    bridge->maxCompressedFrameTriple = 3 * bridge->maxCompressedFrame;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID HandleProposeDataFormat(PHW_STREAM_REQUEST_BLOCK Srb)
{
    // Only the published sizes can be carried through frame processing.
    const KS_VIDEOINFOHEADER* info = ValidatedVideoInfo(Srb->CommandData.OpenFormat);
    Srb->Status = info != nullptr && IsPublishedSize(info->bmiHeader.biWidth, info->bmiHeader.biHeight)
                      ? STATUS_SUCCESS
                      : STATUS_NOT_SUPPORTED;
    CompleteStreamRequest(Srb);
}

_Use_decl_annotations_
VOID HandleSetDataFormat(PHW_STREAM_REQUEST_BLOCK Srb)
{
    StreamRecord* stream = StreamOfRequest(Srb);
    const KS_VIDEOINFOHEADER* info = ValidatedVideoInfo(Srb->CommandData.OpenFormat);
    NTSTATUS status = STATUS_SUCCESS;

    if (stream == nullptr || stream->streamIndex.load(std::memory_order_relaxed) == -1 || info == nullptr ||
        !IsPublishedSize(info->bmiHeader.biWidth, info->bmiHeader.biHeight)) {
        status = STATUS_NO_MATCH;
    } else {
        if (stream->formatCopy[0] != nullptr) {
            ExFreePool(stream->formatCopy[0]);
            stream->formatCopy[0] = nullptr;
        }
        stream->formatCopy[0] = CopyVideoInfo(info);
        if (stream->formatCopy[0] == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            SetPictureGeometry(stream->cameraSession->bridgeState, info);
        }
    }
    Srb->Status = status;
    CompleteStreamRequest(Srb);
}
