// The test minidriver: see test_minidriver.h.
#include "tests/streamclass/test_minidriver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "host/kernel/host_kernel.h"

namespace testdriver {

namespace {

std::unique_ptr<TestDriver> theDriver = std::make_unique<TestDriver>();

KSPROPERTY_ITEM deviceItems[3];
KSPROPERTY_SET deviceSets[1];
KSPROPERTY_ITEM streamItems[1];
KSPROPERTY_SET streamSets[1];
KSDATARANGE range;
const KSDATARANGE* ranges[1] = {&range};
HW_STREAM_HEADER streamHeader;
HW_STREAM_INFORMATION streamInfo;

constexpr ULONG kDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);

void MakeTables()
{
    deviceItems[0] = KSPROPERTY_ITEM{};
    deviceItems[0].PropertyId = 0;
    deviceItems[0].GetSupported = TRUE;
    deviceItems[0].SetSupported = TRUE;
    deviceItems[0].MinProperty = sizeof(KSPROPERTY);
    deviceItems[0].MinData = kDevicePropertyMinData;
    deviceItems[1] = KSPROPERTY_ITEM{};
    deviceItems[1].PropertyId = 1;
    deviceItems[1].GetSupported = TRUE;
    deviceItems[1].MinProperty = sizeof(KSPROPERTY);
    deviceItems[1].MinData = sizeof(LONG);
    deviceItems[2] = KSPROPERTY_ITEM{};
    deviceItems[2].PropertyId = 2;
    deviceItems[2].GetSupported = TRUE;
    deviceItems[2].MinProperty = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    deviceItems[2].MinData = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    deviceSets[0] = KSPROPERTY_SET{&kDevicePropertySet, 3, deviceItems, 0, nullptr};

    streamItems[0] = KSPROPERTY_ITEM{};
    streamItems[0].PropertyId = KSPROPERTY_CONNECTION_ALLOCATORFRAMING;
    streamItems[0].GetSupported = TRUE;
    streamItems[0].MinProperty = sizeof(KSPROPERTY);
    streamItems[0].MinData = sizeof(KSALLOCATOR_FRAMING);
    streamSets[0] = KSPROPERTY_SET{&KSPROPSETID_Connection, 1, streamItems, 0, nullptr};

    range = KSDATARANGE{};
    range.FormatSize = sizeof(KSDATARANGE);
    range.SampleSize = 1000;
    range.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    range.SubFormat = KSDATAFORMAT_SUBTYPE_RGB24;
    range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;

    streamHeader = HW_STREAM_HEADER{};
    streamHeader.NumberOfStreams = 1;
    streamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
    streamHeader.NumDevPropArrayEntries = 1;
    streamHeader.DevicePropertiesArray = deviceSets;

    streamInfo = HW_STREAM_INFORMATION{};
    streamInfo.NumberOfPossibleInstances = 1;
    streamInfo.DataFlow = KSPIN_DATAFLOW_OUT;
    streamInfo.DataAccessible = TRUE;
    streamInfo.NumberOfFormatArrayEntries = 1;
    streamInfo.StreamFormatsArray = ranges;
    streamInfo.NumStreamPropArrayEntries = 1;
    streamInfo.StreamPropertiesArray = streamSets;
    streamInfo.Category = &PIN_CATEGORY_CAPTURE;
    streamInfo.Name = &PINNAME_VIDEO_CAPTURE;
}

bool AllZero(const void* memory, size_t bytes)
{
    if (memory == nullptr) return false;
    auto p = static_cast<const UCHAR*>(memory);
    return std::all_of(p, p + bytes, [](UCHAR b) { return b == 0; });
}

bool IsPropertyCommand(LONG command)
{
    return command == SRB_GET_DEVICE_PROPERTY || command == SRB_SET_DEVICE_PROPERTY ||
           command == SRB_GET_STREAM_PROPERTY || command == SRB_SET_STREAM_PROPERTY;
}

bool IsFormatCommand(LONG command)
{
    return command == SRB_OPEN_STREAM || command == SRB_SET_DATA_FORMAT || command == SRB_PROPOSE_DATA_FORMAT;
}

void Record(PHW_STREAM_REQUEST_BLOCK srb, bool stream, bool dataPath = false)
{
    SrbSeen seen{};
    seen.command = srb->Command;
    seen.stream = stream;
    seen.dataPath = dataPath;
    seen.hwDeviceExtension = srb->HwDeviceExtension;
    seen.extensionZeroed = AllZero(srb->SRBExtension, kPerRequestExtensionSize);
    if (srb->SRBExtension != nullptr) std::memset(srb->SRBExtension, 0xA5, kPerRequestExtensionSize);
    seen.streamObject = srb->StreamObject;
    seen.commandData = srb->CommandData;
    seen.numberOfBuffers = srb->NumberOfBuffers;
    seen.numberOfBytesToTransfer = srb->NumberOfBytesToTransfer;
    seen.irp = srb->Irp;
    if (IsPropertyCommand(srb->Command)) {
        seen.propertyDescriptor = *srb->CommandData.PropertyInfo;
        seen.property = *srb->CommandData.PropertyInfo->Property;
    }
    if (srb->Command == SRB_GET_DATA_INTERSECTION) seen.intersect = *srb->CommandData.IntersectInfo;
    if (IsFormatCommand(srb->Command)) seen.format = *srb->CommandData.OpenFormat;
    std::lock_guard guard(theDriver->lock);
    theDriver->srbs.push_back(seen);
    theDriver->changed.notify_all();
}

void Complete(PHW_STREAM_REQUEST_BLOCK srb, bool stream)
{
    if (stream) {
        StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    } else {
        StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
    }
}

void Finish(PHW_STREAM_REQUEST_BLOCK srb, bool stream, Completion how)
{
    TestDriver& driver = *theDriver;
    switch (how) {
    case Completion::Inline:
        Complete(srb, stream);
        break;
    case Completion::OtherThread:
    case Completion::OtherThreadAtDispatch: {
        bool atDispatch = how == Completion::OtherThreadAtDispatch;
        std::lock_guard guard(driver.lock);
        driver.completers.emplace_back([srb, stream, atDispatch] {
            if (atDispatch) {
                nimbra::host::ScopedIrql irql(DISPATCH_LEVEL);
                Complete(srb, stream);
            } else {
                Complete(srb, stream);
            }
        });
        break;
    }
    case Completion::Hold: {
        std::lock_guard guard(driver.lock);
        driver.held.push_back({srb, stream});
        driver.changed.notify_all();
        break;
    }
    }
}

// A read's first header gets FrameExtent bytes of 0x5A and picture number 7.
void FillRead(PHW_STREAM_REQUEST_BLOCK srb)
{
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
    if (header->Data != nullptr) std::memset(header->Data, 0x5A, header->FrameExtent);
    header->DataUsed = header->FrameExtent;
    reinterpret_cast<PKS_FRAME_INFO>(header + 1)->PictureNumber = 7;
    srb->ActualBytesTransferred = header->FrameExtent;
    srb->Status = STATUS_SUCCESS;
}

// Takes the request off the held list. False if it is not there.
bool TakeHeld(PHW_STREAM_REQUEST_BLOCK srb, bool* stream)
{
    std::lock_guard guard(theDriver->lock);
    auto& held = theDriver->held;
    auto found = std::find_if(held.begin(), held.end(), [srb](const HeldSrb& h) { return h.srb == srb; });
    if (found == held.end()) return false;
    *stream = found->stream;
    held.erase(found);
    return true;
}

void CompleteReadCancelled(PHW_STREAM_REQUEST_BLOCK srb)
{
    srb->CommandData.DataBufferArray->DataUsed = 0;
    srb->Status = STATUS_CANCELLED;
    Complete(srb, true);
}

void Intersect(PHW_STREAM_REQUEST_BLOCK srb)
{
    PSTREAM_DATA_INTERSECT_INFO info = srb->CommandData.IntersectInfo;
    if (info->StreamNumber != 0) {
        srb->Status = STATUS_NOT_IMPLEMENTED;
    } else if (!IsEqualGUID(info->DataRange->SubFormat, range.SubFormat)) {
        srb->Status = STATUS_NO_MATCH;
    } else if (info->SizeOfDataFormatBuffer < sizeof(KSDATAFORMAT)) {
        srb->Status = STATUS_BUFFER_TOO_SMALL;
    } else {
        std::memcpy(info->DataFormatBuffer, &range, sizeof(KSDATAFORMAT));
        srb->ActualBytesTransferred = sizeof(KSDATAFORMAT);
    }
}

void DeviceProperty(PHW_STREAM_REQUEST_BLOCK srb)
{
    TestDriver& driver = *theDriver;
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    if (srb->Command == SRB_SET_DEVICE_PROPERTY) {
        std::memcpy(&driver.deviceValue, descriptor->PropertyInfo, sizeof(LONG));
        return;
    }
    if (driver.gateTarget != 0) {
        std::unique_lock guard(driver.lock);
        driver.gateInside++;
        driver.changed.notify_all();
        bool met = driver.changed.wait_for(guard, std::chrono::seconds(10),
                                           [&driver] { return driver.gateInside >= driver.gateTarget; });
        if (!met) srb->Status = STATUS_UNSUCCESSFUL;
    }
    LONG value[2] = {driver.deviceValue, static_cast<LONG>(descriptor->Property->Id)};
    std::memcpy(descriptor->PropertyInfo, value, sizeof(value));
    srb->ActualBytesTransferred = sizeof(value);
}

VOID ReceiveStreamData(PHW_STREAM_REQUEST_BLOCK srb);
VOID ReceiveStreamControl(PHW_STREAM_REQUEST_BLOCK srb);

VOID ReceiveAdapter(PHW_STREAM_REQUEST_BLOCK srb)
{
    Record(srb, false);
    TestDriver& driver = *theDriver;
    srb->Status = STATUS_SUCCESS;
    switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE: {
        PPORT_CONFIGURATION_INFORMATION config = srb->CommandData.ConfigInfo;
        std::lock_guard guard(driver.lock);
        driver.physicalDevice = config->PhysicalDeviceObject;
        driver.deviceExtensionZeroed = config->HwDeviceExtension == srb->HwDeviceExtension &&
                                       AllZero(config->HwDeviceExtension, kDeviceExtensionSize);
        config->StreamDescriptorSize = kDescriptorSize;
        break;
    }
    case SRB_GET_STREAM_INFO:
        if (srb->NumberOfBytesToTransfer < kDescriptorSize) {
            srb->Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        std::memcpy(&srb->CommandData.StreamBuffer->StreamHeader, &streamHeader, sizeof(streamHeader));
        std::memcpy(&srb->CommandData.StreamBuffer->StreamInfo[0], &streamInfo, sizeof(streamInfo));
        break;
    case SRB_OPEN_STREAM: {
        PHW_STREAM_OBJECT stream = srb->StreamObject;
        driver.streamExtensionZeroed = AllZero(stream->HwStreamExtension, kPerStreamExtensionSize);
        stream->ReceiveDataPacket = ReceiveStreamData;
        stream->ReceiveControlPacket = ReceiveStreamControl;
        stream->Pio = TRUE;
        stream->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
        break;
    }
    case SRB_CLOSE_STREAM:
        if (driver.closeCompletesReads) {
            std::vector<HeldSrb> reads;
            {
                std::lock_guard guard(driver.lock);
                auto isRead = [srb](const HeldSrb& h) {
                    return h.stream && h.srb->Command == SRB_READ_DATA && h.srb->StreamObject == srb->StreamObject;
                };
                std::copy_if(driver.held.begin(), driver.held.end(), std::back_inserter(reads), isRead);
                std::erase_if(driver.held, isRead);
            }
            for (const HeldSrb& read : reads) CompleteReadCancelled(read.srb);
        }
        break;
    case SRB_GET_DATA_INTERSECTION:
        Intersect(srb);
        break;
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY:
        DeviceProperty(srb);
        break;
    case SRB_UNKNOWN_DEVICE_COMMAND:
        if (driver.completeTwice) {
            Complete(srb, false);
            Complete(srb, false);
            return;
        }
        break;
    case SRB_INITIALIZATION_COMPLETE:
    case SRB_CHANGE_POWER_STATE:
    case SRB_SURPRISE_REMOVAL:
    case SRB_UNINITIALIZE_DEVICE:
        break;
    default:
        srb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    Finish(srb, false, driver.completion);
}

void ReceiveStream(PHW_STREAM_REQUEST_BLOCK srb, bool dataPath)
{
    Record(srb, true, dataPath);
    TestDriver& driver = *theDriver;
    srb->Status = STATUS_SUCCESS;
    switch (srb->Command) {
    case SRB_READ_DATA:
        srb->TimeoutCounter = driver.readTimeout;
        srb->TimeoutOriginal = driver.readTimeout;
        if (driver.readCompletion != Completion::Hold) FillRead(srb);
        Finish(srb, true, driver.readCompletion);
        return;
    case SRB_GET_STREAM_STATE:
        srb->CommandData.StreamState = driver.state;
        srb->ActualBytesTransferred = sizeof(KSSTATE);
        if (driver.state == KSSTATE_PAUSE) srb->Status = STATUS_NO_DATA_DETECTED;
        break;
    case SRB_SET_STREAM_STATE:
        driver.state = srb->CommandData.StreamState;
        break;
    case SRB_OPEN_MASTER_CLOCK:
        driver.masterClock = srb->CommandData.MasterClockHandle;
        break;
    case SRB_CLOSE_MASTER_CLOCK:
        driver.masterClock = nullptr;
        break;
    case SRB_SET_DATA_FORMAT:
    case SRB_PROPOSE_DATA_FORMAT:
        break;
    case SRB_GET_STREAM_PROPERTY: {
        KSALLOCATOR_FRAMING framing{};
        framing.Frames = 3;
        framing.FrameSize = range.SampleSize;
        std::memcpy(srb->CommandData.PropertyInfo->PropertyInfo, &framing, sizeof(framing));
        srb->ActualBytesTransferred = sizeof(framing);
        break;
    }
    default:
        srb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    Finish(srb, true, driver.completion);
}

VOID ReceiveStreamData(PHW_STREAM_REQUEST_BLOCK srb)
{
    ReceiveStream(srb, true);
}

VOID ReceiveStreamControl(PHW_STREAM_REQUEST_BLOCK srb)
{
    ReceiveStream(srb, false);
}

VOID CancelPacket(PHW_STREAM_REQUEST_BLOCK srb)
{
    {
        std::lock_guard guard(theDriver->lock);
        theDriver->cancelled.push_back(srb);
        theDriver->changed.notify_all();
    }
    bool stream;
    if (theDriver->completeOnCancel && TakeHeld(srb, &stream)) CompleteReadCancelled(srb);
}

VOID RequestTimeout(PHW_STREAM_REQUEST_BLOCK srb)
{
    std::lock_guard guard(theDriver->lock);
    theDriver->timeoutCounters.push_back(srb->TimeoutCounter);
    if (theDriver->restartTimeouts) srb->TimeoutCounter = srb->TimeoutOriginal;
    theDriver->changed.notify_all();
}

void RecordIrp(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    IrpSeen seen{stack->MajorFunction, stack->FileObject,
                 stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ? stack->Parameters.DeviceIoControl.IoControlCode : 0};
    std::lock_guard guard(theDriver->lock);
    theDriver->irps.push_back(seen);
}

// As a driver refuses a request its access mode forbids: completed here, never passed on.
NTSTATUS Refuse(PIRP irp)
{
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS HookCreate(PDEVICE_OBJECT device, PIRP irp)
{
    RecordIrp(irp);
    if (theDriver->hooksRefuse) return Refuse(irp);
    return theDriver->classCreate(device, irp);
}

NTSTATUS HookClose(PDEVICE_OBJECT device, PIRP irp)
{
    RecordIrp(irp);
    return theDriver->classClose(device, irp);
}

// The private code: the output receives the input reversed, wherever the method puts them.
NTSTATUS HookDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    RecordIrp(irp);
    if (theDriver->hooksRefuse) return Refuse(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if ((code & ~3U) != PrivateCode(0)) return theDriver->classDeviceControl(device, irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* input;
    UCHAR* output;
    switch (code & 3) {
    case METHOD_BUFFERED:
        input = output = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        break;
    case METHOD_NEITHER:
        input = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        output = static_cast<UCHAR*>(irp->UserBuffer);
        break;
    default:
        input = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        output = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        break;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < inputLength) {
        status = STATUS_BUFFER_TOO_SMALL;
        irp->IoStatus.Information = 0;
    } else {
        std::vector<UCHAR> reversed(input, input + inputLength);
        std::reverse(reversed.begin(), reversed.end());
        std::memcpy(output, reversed.data(), inputLength);
        irp->IoStatus.Information = inputLength;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

TestDriver& Driver()
{
    return *theDriver;
}

void Reset()
{
    std::vector<std::thread> completers;
    {
        std::lock_guard guard(theDriver->lock);
        completers.swap(theDriver->completers);
    }
    for (std::thread& thread : completers) thread.join();
    theDriver = std::make_unique<TestDriver>();
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    MakeTables();
    HW_INITIALIZATION_DATA init{};
    init.HwInitializationDataSize = sizeof(init);
    init.HwReceivePacket = ReceiveAdapter;
    init.HwCancelPacket = CancelPacket;
    init.HwRequestTimeoutHandler = RequestTimeout;
    init.DeviceExtensionSize = kDeviceExtensionSize;
    init.PerRequestExtensionSize = kPerRequestExtensionSize;
    init.PerStreamExtensionSize = kPerStreamExtensionSize;
    init.TurnOffSynchronization = TRUE;
    NTSTATUS status = StreamClassRegisterAdapter(driverObject, registryPath, &init);
    if (!NT_SUCCESS(status)) return status;
    theDriver->classCreate = driverObject->MajorFunction[IRP_MJ_CREATE];
    theDriver->classClose = driverObject->MajorFunction[IRP_MJ_CLOSE];
    theDriver->classDeviceControl = driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    driverObject->MajorFunction[IRP_MJ_CREATE] = HookCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = HookClose;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HookDeviceControl;
    return status;
}

void CompleteHeld(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status)
{
    bool stream = false;
    if (!TakeHeld(srb, &stream)) return;
    if (srb->Command == SRB_READ_DATA && stream) {
        if (NT_SUCCESS(status)) {
            FillRead(srb);
        } else {
            srb->CommandData.DataBufferArray->DataUsed = 0;
        }
    }
    srb->Status = status;
    Complete(srb, stream);
}

bool WaitFor(const std::function<bool(TestDriver&)>& predicate)
{
    TestDriver& driver = *theDriver;
    std::unique_lock guard(driver.lock);
    return driver.changed.wait_for(guard, std::chrono::seconds(10), [&] { return predicate(driver); });
}

std::vector<LONG> Commands()
{
    std::lock_guard guard(theDriver->lock);
    std::vector<LONG> commands;
    for (const SrbSeen& seen : theDriver->srbs) commands.push_back(seen.command);
    return commands;
}

}  // namespace testdriver
