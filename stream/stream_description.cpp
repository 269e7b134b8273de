// Stream description: SRB_GET_STREAM_INFO and SRB_GET_DATA_INTERSECTION.
#include "stream/stream_description.h"

#include <cstdlib>
#include <cstring>

#include "driver/request_handlers.h"
#include "settings/device_property_sets.h"

const PictureSize PublishedSizes[VIDEO_RANGE_COUNT] = {
    {640, 480}, {352, 288}, {320, 240}, {176, 144}, {160, 120},
};

// One RGB24 range of a fixed size; every other field is the same in all five.
static constexpr KS_DATARANGE_VIDEO MakeVideoRange(LONG w, LONG h)
{
    KS_DATARANGE_VIDEO range = {};
    range.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    range.DataRange.Flags = 0;
    range.DataRange.SampleSize = static_cast<ULONG>(w * h * 3);
    range.DataRange.Reserved = 0;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_RGB24;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    range.bFixedSizeSamples = TRUE;
    range.bTemporalCompression = TRUE;
    range.StreamDescriptionFlags = 0;
    range.MemoryAllocationFlags = 0;

    KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
    caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    caps.VideoStandard = 0;
    caps.InputSize = caps.MinCroppingSize = caps.MaxCroppingSize = {w, h};
    caps.MinOutputSize = caps.MaxOutputSize = {w, h};
    caps.CropGranularityX = caps.CropGranularityY = 1;
    caps.CropAlignX = caps.CropAlignY = 1;
    caps.OutputGranularityX = caps.OutputGranularityY = 1;
    caps.StretchTapsX = caps.StretchTapsY = 0;
    caps.ShrinkTapsX = caps.ShrinkTapsY = 0;
    caps.MinFrameInterval = VIDEO_FRAME_INTERVAL_MIN;
    caps.MaxFrameInterval = VIDEO_FRAME_INTERVAL_MAX;
    caps.MinBitsPerSecond = w * h * 3 * 8;
    caps.MaxBitsPerSecond = w * h * 3 * 8 * 10;

    KS_VIDEOINFOHEADER& info = range.VideoInfoHeader;
    info.rcSource = {0, 0, 0, 0};
    info.rcTarget = {0, 0, 0, 0};
    info.dwBitRate = static_cast<DWORD>(w * h * 15);
    info.dwBitErrorRate = 0;
    info.AvgTimePerFrame = VIDEO_FRAME_INTERVAL_MIN;
    info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = KS_BI_RGB;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(w * h * 3);
    return range;
}

const KS_DATARANGE_VIDEO VideoDataRanges[VIDEO_RANGE_COUNT] = {
    MakeVideoRange(640, 480), MakeVideoRange(352, 288), MakeVideoRange(320, 240),
    MakeVideoRange(176, 144), MakeVideoRange(160, 120),
};

static const KSDATARANGE* const StreamFormats[VIDEO_RANGE_COUNT] = {
    &VideoDataRanges[0].DataRange, &VideoDataRanges[1].DataRange, &VideoDataRanges[2].DataRange,
    &VideoDataRanges[3].DataRange, &VideoDataRanges[4].DataRange,
};

static const GUID TopologyCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

static const KSTOPOLOGY StreamTopology = {
    2, TopologyCategories,  // categories
    0, nullptr,             // nodes
    0, nullptr,             // connections
    nullptr,                // node names
    0,
};

const HW_STREAM_HEADER StreamHeader = {
    1,                                   // NumberOfStreams
    sizeof(HW_STREAM_INFORMATION),       // SizeOfHwStreamInformation
    DEVICE_PROPERTY_SET_COUNT,           // NumDevPropArrayEntries
    DevicePropertySets,                  // VideoProcAmp, then Custom
    0, nullptr,                          // no device events
    &StreamTopology,
    nullptr,                             // DeviceEventRoutine
    0, nullptr,                          // no device methods
};

// Stream properties, answered by the read path.
static const KSPROPERTY_ITEM ConnectionProperties[] = {{
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
    {.GetSupported = TRUE},
    sizeof(KSPROPERTY),             // MinProperty
    sizeof(KSALLOCATOR_FRAMING),    // MinData
    {.SetSupported = FALSE},
    nullptr, 0, nullptr, nullptr,
    sizeof(ULONG),                  // SerializedSize
}};

static const KSPROPERTY_ITEM DroppedFramesProperties[] = {{
    KSPROPERTY_DROPPEDFRAMES_CURRENT,
    {.GetSupported = TRUE},
    sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
    sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
    {.SetSupported = FALSE},
    nullptr, 0, nullptr, nullptr,
    0,
}};

static const KSPROPERTY_SET StreamPropertySets[] = {
    {&KSPROPSETID_Connection, 1, ConnectionProperties, 0, nullptr},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, DroppedFramesProperties, 0, nullptr},
};

static const KSPIN_MEDIUM StreamMediums[] = {{{{KSMEDIUMSETID_Standard, 0, 0}}}};

const HW_STREAM_INFORMATION StreamInformation = {
    1,                      // NumberOfPossibleInstances
    KSPIN_DATAFLOW_OUT,
    TRUE,                   // DataAccessible
    VIDEO_RANGE_COUNT,
    StreamFormats,
    {nullptr, nullptr, nullptr, nullptr},  // ClassReserved
    2, StreamPropertySets,
    0, nullptr,             // no stream events
    &PIN_CATEGORY_CAPTURE,
    &PINNAME_VIDEO_CAPTURE,
    1, StreamMediums,
    FALSE,                  // BridgeStream
    {0, 0},
};

bool IsPublishedSize(LONG width, LONG height)
{
    for (const PictureSize& size : PublishedSizes) {
        if (size.width == width && size.height == height) {
            return true;
        }
    }
    return false;
}

const KS_VIDEOINFOHEADER* ValidatedVideoInfo(const KSDATAFORMAT* format)
{
    if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        return nullptr;
    }
    auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
    const DWORD biSize = video->VideoInfoHeader.bmiHeader.biSize;
    if (biSize < sizeof(KS_BITMAPINFOHEADER) ||
        biSize > format->FormatSize - sizeof(KSDATAFORMAT) - offsetof(KS_VIDEOINFOHEADER, bmiHeader)) {
        return nullptr;
    }
    return &video->VideoInfoHeader;
}

_Use_decl_annotations_
VOID HandleGetStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (Srb->NumberOfBytesToTransfer >= STREAM_DESCRIPTOR_BYTES) {
        PHW_STREAM_DESCRIPTOR descriptor = Srb->CommandData.StreamBuffer;
        std::memcpy(&descriptor->StreamHeader, &StreamHeader, sizeof(HW_STREAM_HEADER));
        std::memcpy(&descriptor->StreamInfo[0], &StreamInformation, sizeof(HW_STREAM_INFORMATION));
        Srb->Status = STATUS_SUCCESS;
    } else {
        Srb->Status = STATUS_INSUFFICIENT_RESOURCES;
    }
    CompleteAdapterRequest(Srb);
}

// The caller's range matches a published one: format, size, the four flags and ConfigCaps.
static bool RangeMatches(const KS_DATARANGE_VIDEO& caller, const KS_DATARANGE_VIDEO& published)
{
    return IsEqualGUID(caller.DataRange.MajorFormat, published.DataRange.MajorFormat) &&
           IsEqualGUID(caller.DataRange.SubFormat, published.DataRange.SubFormat) &&
           IsEqualGUID(caller.DataRange.Specifier, published.DataRange.Specifier) &&
           caller.DataRange.FormatSize == published.DataRange.FormatSize &&
           caller.bFixedSizeSamples == published.bFixedSizeSamples &&
           caller.bTemporalCompression == published.bTemporalCompression &&
           caller.StreamDescriptionFlags == published.StreamDescriptionFlags &&
           caller.MemoryAllocationFlags == published.MemoryAllocationFlags &&
           std::memcmp(&caller.ConfigCaps, &published.ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) == 0;
}

// Builds the format for a matching range into the caller's buffer; the status of the request.
static NTSTATUS BuildIntersectionFormat(PHW_STREAM_REQUEST_BLOCK Srb, const KS_DATARANGE_VIDEO& caller)
{
    PSTREAM_DATA_INTERSECT_INFO intersect = Srb->CommandData.IntersectInfo;
    const DWORD biSize = caller.VideoInfoHeader.bmiHeader.biSize;
    // The copy of 48 + biSize bytes must stay inside the caller's range (its FormatSize).
    const ULONG rangeRoom = caller.DataRange.FormatSize - offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) -
                            offsetof(KS_VIDEOINFOHEADER, bmiHeader);
    if (biSize < sizeof(KS_BITMAPINFOHEADER) || biSize > rangeRoom) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG formatSize = sizeof(KSDATAFORMAT) + offsetof(KS_VIDEOINFOHEADER, bmiHeader) + biSize;  // 152

    if (intersect->SizeOfDataFormatBuffer == sizeof(ULONG)) {
        *static_cast<ULONG*>(intersect->DataFormatBuffer) = formatSize;
        Srb->ActualBytesTransferred = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (intersect->SizeOfDataFormatBuffer < formatSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* format = static_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(intersect->DataFormatBuffer);
    std::memcpy(&format->DataFormat, &caller.DataRange, sizeof(KSDATAFORMAT));
    format->DataFormat.FormatSize = formatSize;
    std::memcpy(&format->VideoInfoHeader, &caller.VideoInfoHeader, offsetof(KS_VIDEOINFOHEADER, bmiHeader) + biSize);
    const KS_BITMAPINFOHEADER& bitmap = caller.VideoInfoHeader.bmiHeader;
    const ULONG rowBytes = ((static_cast<ULONG>(bitmap.biBitCount) * static_cast<ULONG>(bitmap.biWidth) + 31) / 32) * 4;
    const ULONG imageSize = rowBytes * static_cast<ULONG>(std::labs(bitmap.biHeight));
    format->DataFormat.SampleSize = imageSize;
    format->VideoInfoHeader.bmiHeader.biSizeImage = imageSize;
    Srb->ActualBytesTransferred = formatSize;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID HandleGetDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PSTREAM_DATA_INTERSECT_INFO intersect = Srb->CommandData.IntersectInfo;
    NTSTATUS status = STATUS_NO_MATCH;
    if (intersect->StreamNumber >= 1) {
        status = STATUS_NOT_IMPLEMENTED;
    } else if (intersect->DataRange->FormatSize == sizeof(KS_DATARANGE_VIDEO)) {
        // Only a range of the published size can match; nothing is read before that is known.
        auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(intersect->DataRange);
        for (const KS_DATARANGE_VIDEO& published : VideoDataRanges) {
            if (RangeMatches(*caller, published)) {
                status = BuildIntersectionFormat(Srb, *caller);
                break;
            }
        }
    }
    Srb->Status = status;
    CompleteAdapterRequest(Srb);
}
