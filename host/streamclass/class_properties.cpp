// Property requests (IOCTL_KS_PROPERTY, METHOD_NEITHER: Type3InputBuffer holds the KSPROPERTY
// or KSP_PIN, UserBuffer the data). The class answers some itself and turns the rest into SRBs:
//   filter: KSPROPSETID_Pin (data intersection as one SRB_GET_DATA_INTERSECTION per range; pin
//           count and data ranges from the stream information), then the stream header's
//           DevicePropertiesArray (SRB_GET/SET_DEVICE_PROPERTY);
//   pin:    KSPROPSETID_Connection state, data format and proposed format (SRB_GET/SET_STREAM_
//           STATE, SRB_SET_DATA_FORMAT, SRB_PROPOSE_DATA_FORMAT), KSPROPSETID_Stream master
//           clock (SRB_OPEN/CLOSE_MASTER_CLOCK), then the stream's StreamPropertiesArray
//           (SRB_GET/SET_STREAM_PROPERTY).
// Unknown sets and ids answer STATUS_NOT_FOUND.
#include <algorithm>
#include <cstring>

#include "host/streamclass/class_driver.h"

using namespace nimbra::host;
using namespace nimbra::host::streamclass;

namespace {

constexpr ULONG AlignQuad(ULONG bytes)
{
    return (bytes + 7) & ~7U;
}

bool IsErrorStatus(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// One property request, its input captured in class memory.
struct PropertyRequest {
    AdapterState* adapter;
    PIRP irp;
    ZeroedBlock input;
    KSPROPERTY* property;
    ULONG inputLength;
    PUCHAR data;
    ULONG dataLength;
    bool get;
};

// A handler word of a KSPROPERTY_ITEM (a routine or a BOOLEAN in the same union) marks the
// direction supported when it is not zero.
bool DirectionSupported(const PFNKSHANDLER& word)
{
    uintptr_t bits;
    std::memcpy(&bits, &word, sizeof(bits));
    return bits != 0;
}

// Sends one SRB for the request and waits for it. pin null: an adapter request; otherwise a
// stream control request. *actual gets ActualBytesTransferred, *commandData the CommandData the
// minidriver left.
NTSTATUS SendRequestSrb(PropertyRequest& request, PinState* pin, LONG command, const SrbCommandData& commandData,
                        ULONG bytes, ULONG* actual = nullptr, SrbCommandData* commandDataOut = nullptr,
                        const STREAM_PROPERTY_DESCRIPTOR* descriptor = nullptr)
{
    SrbRecord* record = NewSrb(*request.adapter, command, pin != nullptr ? SrbTarget::StreamControl : SrbTarget::Adapter, pin);
    record->srb.CommandData = commandData;
    if (descriptor != nullptr) {
        record->propertyDescriptor = *descriptor;
        record->srb.CommandData.PropertyInfo = &record->propertyDescriptor;
    }
    record->srb.NumberOfBytesToTransfer = bytes;
    record->srb.Irp = request.irp;
    NTSTATUS status = SendSrbAndWait(record);
    if (actual != nullptr) *actual = record->srb.ActualBytesTransferred;
    if (commandDataOut != nullptr) *commandDataOut = record->srb.CommandData;
    ReleaseSrb(record);
    return status;
}

// A set published by the minidriver: checks the item and sends SRB_GET/SET_DEVICE_PROPERTY (pin
// null) or SRB_GET/SET_STREAM_PROPERTY. *routed is false when the set is not in the array.
NTSTATUS RoutePublishedSet(PropertyRequest& request, const KSPROPERTY_SET* sets, ULONG count, PinState* pin,
                           ULONG_PTR* information, bool* routed)
{
    *routed = false;
    ULONG index = 0;
    while (index < count && (sets[index].Set == nullptr || !IsEqualGUID(*sets[index].Set, request.property->Set))) index++;
    if (index == count) return STATUS_NOT_FOUND;
    *routed = true;
    const KSPROPERTY_SET& set = sets[index];
    const KSPROPERTY_ITEM* item = nullptr;
    for (ULONG i = 0; i < set.PropertiesCount && item == nullptr; i++) {
        if (set.PropertyItem[i].PropertyId == request.property->Id) item = &set.PropertyItem[i];
    }
    if (item == nullptr) return STATUS_NOT_FOUND;
    if (!DirectionSupported(request.get ? item->GetPropertyHandler : item->SetPropertyHandler)) return STATUS_NOT_FOUND;
    if (request.inputLength < item->MinProperty) return STATUS_INVALID_PARAMETER;
    if (request.dataLength < item->MinData) return STATUS_BUFFER_TOO_SMALL;

    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = request.property;
    descriptor.PropertySetID = index;
    descriptor.PropertyInfo = request.data;
    descriptor.PropertyInputSize = request.inputLength;
    descriptor.PropertyOutputSize = request.dataLength;
    LONG command = pin == nullptr ? (request.get ? SRB_GET_DEVICE_PROPERTY : SRB_SET_DEVICE_PROPERTY)
                                  : (request.get ? SRB_GET_STREAM_PROPERTY : SRB_SET_STREAM_PROPERTY);
    ULONG actual = 0;
    NTSTATUS status = SendRequestSrb(request, pin, command, SrbCommandData{}, request.dataLength, &actual, nullptr, &descriptor);
    if (!IsErrorStatus(status)) *information = std::min(actual, request.dataLength);
    return status;
}

// KSPROPERTY_PIN_DATAINTERSECTION: input KSP_PIN, KSMULTIPLE_ITEM, then the ranges (each
// aligned to 8 bytes). One SRB_GET_DATA_INTERSECTION per range until one answers other than
// STATUS_NO_MATCH; its status and byte count are the result.
NTSTATUS Intersect(PropertyRequest& request, ULONG_PTR* information)
{
    if (request.inputLength < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_PARAMETER;
    auto pinRequest = reinterpret_cast<const KSP_PIN*>(request.property);
    auto items = reinterpret_cast<const KSMULTIPLE_ITEM*>(pinRequest + 1);
    if (items->Size < sizeof(KSMULTIPLE_ITEM) || items->Size > request.inputLength - sizeof(KSP_PIN)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto base = reinterpret_cast<const UCHAR*>(items);
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG k = 0; k < items->Count; k++) {
        if (offset > items->Size || items->Size - offset < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
        auto range = reinterpret_cast<const KSDATARANGE*>(base + offset);
        if (range->FormatSize < sizeof(KSDATARANGE) || range->FormatSize > items->Size - offset) {
            return STATUS_INVALID_PARAMETER;
        }
        STREAM_DATA_INTERSECT_INFO info{};
        info.StreamNumber = pinRequest->PinId;
        info.DataRange = const_cast<PKSDATARANGE>(range);
        info.DataFormatBuffer = request.data;
        info.SizeOfDataFormatBuffer = request.dataLength;
        SrbRecord* record = NewSrb(*request.adapter, SRB_GET_DATA_INTERSECTION, SrbTarget::Adapter, nullptr);
        record->intersectInfo = info;
        record->srb.CommandData.IntersectInfo = &record->intersectInfo;
        record->srb.NumberOfBytesToTransfer = request.dataLength;
        record->srb.Irp = request.irp;
        NTSTATUS status = SendSrbAndWait(record);
        ULONG actual = record->srb.ActualBytesTransferred;
        ReleaseSrb(record);
        if (status != STATUS_NO_MATCH) {
            if (!IsErrorStatus(status)) *information = std::min(actual, request.dataLength);
            return status;
        }
        offset += AlignQuad(range->FormatSize);
    }
    return STATUS_NO_MATCH;
}

// KSPROPERTY_PIN_DATARANGES: a KSMULTIPLE_ITEM followed by the pin's published ranges, each
// aligned to 8 bytes. A zero-length buffer asks for the size (STATUS_BUFFER_OVERFLOW); a buffer
// of only a KSMULTIPLE_ITEM gets the header.
NTSTATUS PinDataRanges(PropertyRequest& request, ULONG_PTR* information)
{
    if (request.inputLength < sizeof(KSP_PIN)) return STATUS_INVALID_PARAMETER;
    ULONG pinId = reinterpret_cast<const KSP_PIN*>(request.property)->PinId;
    if (pinId >= request.adapter->streamInfo.size()) return STATUS_INVALID_PARAMETER;
    const HW_STREAM_INFORMATION& info = request.adapter->streamInfo[pinId];
    ULONG size = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; i++) size += AlignQuad(info.StreamFormatsArray[i]->FormatSize);
    KSMULTIPLE_ITEM header{size, info.NumberOfFormatArrayEntries};
    if (request.dataLength == 0) {
        *information = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request.dataLength < sizeof(KSMULTIPLE_ITEM)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(request.data, &header, sizeof(header));
    if (request.dataLength < size) {
        *information = sizeof(KSMULTIPLE_ITEM);
        return STATUS_SUCCESS;
    }
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; i++) {
        const KSDATARANGE* range = info.StreamFormatsArray[i];
        std::memset(request.data + offset, 0, AlignQuad(range->FormatSize));
        std::memcpy(request.data + offset, range, range->FormatSize);
        offset += AlignQuad(range->FormatSize);
    }
    *information = size;
    return STATUS_SUCCESS;
}

NTSTATUS FilterProperty(PropertyRequest& request, ULONG_PTR* information)
{
    AdapterState& adapter = *request.adapter;
    if (IsEqualGUID(request.property->Set, KSPROPSETID_Pin)) {
        if (!request.get) return STATUS_NOT_FOUND;
        switch (request.property->Id) {
        case KSPROPERTY_PIN_DATAINTERSECTION:
            return Intersect(request, information);
        case KSPROPERTY_PIN_DATARANGES:
            return PinDataRanges(request, information);
        case KSPROPERTY_PIN_CTYPES: {
            if (request.dataLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
            auto count = static_cast<ULONG>(adapter.streamInfo.size());
            std::memcpy(request.data, &count, sizeof(count));
            *information = sizeof(count);
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_NOT_FOUND;
        }
    }
    bool routed;
    return RoutePublishedSet(request, adapter.streamHeader.DevicePropertiesArray,
                             adapter.streamHeader.NumDevPropArrayEntries, nullptr, information, &routed);
}

// Copies the KSDATAFORMAT in the request's data (FormatSize bytes). False if the data does not
// hold a whole one.
bool CaptureFormat(const PropertyRequest& request, ZeroedBlock* format)
{
    if (request.dataLength < sizeof(KSDATAFORMAT)) return false;
    ULONG formatSize = reinterpret_cast<const KSDATAFORMAT*>(request.data)->FormatSize;
    if (formatSize < sizeof(KSDATAFORMAT) || formatSize > request.dataLength) return false;
    *format = ZeroedBlock(formatSize);
    std::memcpy(format->Data(), request.data, formatSize);
    return true;
}

// KSPROPSETID_Connection items the class handles. *handled false: not one of them.
NTSTATUS ConnectionProperty(PropertyRequest& request, PinState& pin, ULONG_PTR* information, bool* handled)
{
    *handled = true;
    SrbCommandData commandData{};
    switch (request.property->Id) {
    case KSPROPERTY_CONNECTION_STATE: {
        if (request.dataLength < sizeof(KSSTATE)) return STATUS_BUFFER_TOO_SMALL;
        if (!request.get) {
            std::memcpy(&commandData.StreamState, request.data, sizeof(KSSTATE));
            return SendRequestSrb(request, &pin, SRB_SET_STREAM_STATE, commandData, sizeof(KSSTATE));
        }
        SrbCommandData result{};
        NTSTATUS status = SendRequestSrb(request, &pin, SRB_GET_STREAM_STATE, commandData, sizeof(KSSTATE), nullptr, &result);
        if (!IsErrorStatus(status)) {
            std::memcpy(request.data, &result.StreamState, sizeof(KSSTATE));
            *information = sizeof(KSSTATE);
        }
        return status;
    }
    case KSPROPERTY_CONNECTION_DATAFORMAT: {
        if (request.get) {
            std::lock_guard guard(pin.lock);
            auto size = static_cast<ULONG>(pin.format.Size());
            if (request.dataLength == 0) {
                *information = size;
                return STATUS_BUFFER_OVERFLOW;
            }
            if (request.dataLength < size) return STATUS_BUFFER_TOO_SMALL;
            std::memcpy(request.data, pin.format.Data(), size);
            *information = size;
            return STATUS_SUCCESS;
        }
        ZeroedBlock format;
        if (!CaptureFormat(request, &format)) return STATUS_INVALID_PARAMETER;
        commandData.OpenFormat = static_cast<PKSDATAFORMAT>(format.Data());
        NTSTATUS status = SendRequestSrb(request, &pin, SRB_SET_DATA_FORMAT, commandData, static_cast<ULONG>(format.Size()));
        if (NT_SUCCESS(status)) {
            std::lock_guard guard(pin.lock);
            pin.format = std::move(format);
        }
        return status;
    }
    case KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT: {
        if (request.get) return STATUS_NOT_FOUND;
        ZeroedBlock format;
        if (!CaptureFormat(request, &format)) return STATUS_INVALID_PARAMETER;
        commandData.OpenFormat = static_cast<PKSDATAFORMAT>(format.Data());
        return SendRequestSrb(request, &pin, SRB_PROPOSE_DATA_FORMAT, commandData, static_cast<ULONG>(format.Size()));
    }
    default:
        *handled = false;
        return STATUS_NOT_FOUND;
    }
}

// KSPROPERTY_STREAM_MASTERCLOCK: set with a clock handle opens it on the stream, set with null
// closes the current one; get answers the handle set last.
NTSTATUS MasterClockProperty(PropertyRequest& request, PinState& pin, ULONG_PTR* information)
{
    if (request.dataLength < sizeof(HANDLE)) return STATUS_BUFFER_TOO_SMALL;
    if (request.get) {
        std::lock_guard guard(pin.lock);
        std::memcpy(request.data, &pin.masterClock, sizeof(HANDLE));
        *information = sizeof(HANDLE);
        return STATUS_SUCCESS;
    }
    HANDLE clock;
    std::memcpy(&clock, request.data, sizeof(clock));
    if (clock != nullptr && !IsMasterClock(clock)) return STATUS_INVALID_PARAMETER;
    SrbCommandData commandData{};
    HANDLE previous;
    {
        std::lock_guard guard(pin.lock);
        previous = pin.masterClock;
    }
    commandData.MasterClockHandle = clock != nullptr ? clock : previous;
    NTSTATUS status = SendRequestSrb(request, &pin, clock != nullptr ? SRB_OPEN_MASTER_CLOCK : SRB_CLOSE_MASTER_CLOCK,
                                     commandData, sizeof(HANDLE));
    if (NT_SUCCESS(status)) {
        std::lock_guard guard(pin.lock);
        pin.masterClock = clock;
    }
    return status;
}

NTSTATUS PinProperty(PropertyRequest& request, PinState& pin, ULONG_PTR* information)
{
    if (IsEqualGUID(request.property->Set, KSPROPSETID_Connection)) {
        bool handled;
        NTSTATUS status = ConnectionProperty(request, pin, information, &handled);
        if (handled) return status;
    }
    if (IsEqualGUID(request.property->Set, KSPROPSETID_Stream) && request.property->Id == KSPROPERTY_STREAM_MASTERCLOCK) {
        return MasterClockProperty(request, pin, information);
    }
    const HW_STREAM_INFORMATION& info = request.adapter->streamInfo[pin.pinId];
    bool routed;
    return RoutePublishedSet(request, info.StreamPropertiesArray, info.NumStreamPropArrayEntries, &pin, information, &routed);
}

}  // namespace

namespace nimbra::host::streamclass {

// Routes one property request; the caller completes the IRP. PASSIVE_LEVEL.
NTSTATUS HandlePropertyRequest(AdapterState& adapter, ClassFile* file, PIRP irp, ULONG_PTR* information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const void* input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (input == nullptr || inputLength < sizeof(KSPROPERTY)) return STATUS_INVALID_PARAMETER;
    PropertyRequest request{&adapter, irp, ZeroedBlock(inputLength), nullptr, inputLength,
                            static_cast<PUCHAR>(irp->UserBuffer), stack->Parameters.DeviceIoControl.OutputBufferLength,
                            false};
    if (request.data == nullptr && request.dataLength != 0) return STATUS_INVALID_PARAMETER;
    std::memcpy(request.input.Data(), input, inputLength);
    request.property = static_cast<KSPROPERTY*>(request.input.Data());
    ULONG flags = request.property->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    if (flags == KSPROPERTY_TYPE_GET) {
        request.get = true;
    } else if (flags != KSPROPERTY_TYPE_SET) {
        return STATUS_NOT_FOUND;  // basic support and other kinds are not offered
    }
    return file->kind == ClassFile::Pin ? PinProperty(request, *file->pin, information) : FilterProperty(request, information);
}

}  // namespace nimbra::host::streamclass
