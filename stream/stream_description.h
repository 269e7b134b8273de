// The one video capture stream: its header, its information, the five published video data
// ranges and the format rules the rest of the driver sizes itself by.
#pragma once

#include "platform/stream_class.h"

struct StreamRecord;

#define STREAM_DESCRIPTOR_BYTES (sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION))  // 208
static_assert(STREAM_DESCRIPTOR_BYTES == 208);

#define VIDEO_RANGE_COUNT 5
#define VIDEO_FRAME_INTERVAL_MIN 666667    // 100 ns units
#define VIDEO_FRAME_INTERVAL_MAX 1666667

struct PictureSize {
    LONG width;
    LONG height;
};

// The published sizes, in published order.
extern const PictureSize PublishedSizes[VIDEO_RANGE_COUNT];
extern const KS_DATARANGE_VIDEO VideoDataRanges[VIDEO_RANGE_COUNT];
extern const HW_STREAM_HEADER StreamHeader;
extern const HW_STREAM_INFORMATION StreamInformation;

// True when width × height is one of the published sizes (the only ones frame processing handles).
bool IsPublishedSize(LONG width, LONG height);

// The video info header of a client's format, or null when the format's FormatSize does not
// hold a whole KS_DATAFORMAT_VIDEOINFOHEADER with a bitmap header of exactly its biSize bytes.
const KS_VIDEOINFOHEADER* ValidatedVideoInfo(const KSDATAFORMAT* format);

// Records the format of the stream being opened: the format copy and the picture geometry.
// STATUS_INVALID_PARAMETER when a copy exists already, STATUS_TOO_MANY_NODES without pool.
NTSTATUS SetStreamFormat(StreamRecord* stream, const KS_VIDEOINFOHEADER* videoInfo);
