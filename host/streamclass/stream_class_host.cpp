// StreamClassHost: one loaded minidriver and its adapter, driven through the device life as
// Windows drives it: load (DriverEntry), SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO,
// SRB_INITIALIZATION_COMPLETE, power changes, surprise removal, SRB_UNINITIALIZE_DEVICE, unload.
#include <cstring>
#include <string>

#include "host/kernel/host_kernel.h"
#include "host/streamclass/class_driver.h"
#include "host/streamclass/ks_client.h"

using namespace nimbra::host::streamclass;

namespace nimbra::host {

namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;

// Sends one adapter SRB and waits for it.
SrbResult SendAdapterRequest(AdapterState& adapter, const SrbRequest& request)
{
    SrbRecord* record = NewSrb(adapter, request.command, SrbTarget::Adapter, nullptr);
    record->srb.CommandData = request.commandData;
    record->srb.NumberOfBytesToTransfer = request.numberOfBytesToTransfer;
    record->srb.NumberOfBuffers = request.numberOfBuffers;
    record->srb.StreamObject = request.streamObject;
    SrbResult result;
    result.status = SendSrbAndWait(record);
    result.actualBytesTransferred = record->srb.ActualBytesTransferred;
    result.commandData = record->srb.CommandData;
    ReleaseSrb(record);
    return result;
}

NTSTATUS SendAdapterCommand(AdapterState& adapter, LONG command, const SrbCommandData& commandData, ULONG bytes = 0)
{
    SrbRequest request;
    request.command = command;
    request.commandData = commandData;
    request.numberOfBytesToTransfer = bytes;
    return SendAdapterRequest(adapter, request).status;
}

// Reads the stream header and the stream informations out of the SRB_GET_STREAM_INFO buffer.
NTSTATUS KeepStreamDescription(AdapterState& adapter, const ZeroedBlock& buffer)
{
    HW_STREAM_HEADER header;
    std::memcpy(&header, buffer.Data(), sizeof(header));
    size_t stride = header.SizeOfHwStreamInformation;
    if (header.NumberOfStreams != 0 &&
        (stride < sizeof(HW_STREAM_INFORMATION) ||
         (buffer.Size() - sizeof(HW_STREAM_HEADER)) / stride < header.NumberOfStreams)) {
        return STATUS_INVALID_PARAMETER;
    }
    adapter.streamHeader = header;
    adapter.streamInfo.resize(header.NumberOfStreams);
    auto first = static_cast<const UCHAR*>(buffer.Data()) + sizeof(HW_STREAM_HEADER);
    for (ULONG i = 0; i < header.NumberOfStreams; i++) {
        std::memcpy(&adapter.streamInfo[i], first + i * stride, sizeof(HW_STREAM_INFORMATION));
    }
    return STATUS_SUCCESS;
}

}  // namespace

StreamClassHost::StreamClassHost() : driver_(std::make_unique<DriverState>())
{
    DRIVER_OBJECT& driverObject = driver_->driverObject;
    driverObject.Type = kIoTypeDriver;
    driverObject.Size = sizeof(DRIVER_OBJECT);
    driverObject.DriverExtension = driver_.get();
}

StreamClassHost::~StreamClassHost()
{
    if (driver_->adapter) StopTimeoutTimer(*driver_->adapter);
}

NTSTATUS StreamClassHost::LoadDriver(DRIVER_INITIALIZE* driverEntry, std::u16string_view registryPath)
{
    driver_->registryPath = registryPath;
    UNICODE_STRING& path = driver_->registryPathString;
    path.Length = static_cast<USHORT>(driver_->registryPath.size() * sizeof(WCHAR));
    path.MaximumLength = static_cast<USHORT>(path.Length + sizeof(WCHAR));
    path.Buffer = driver_->registryPath.data();
    return driverEntry(&driver_->driverObject, &path);
}

void StreamClassHost::FailNextRegistration(NTSTATUS status)
{
    driver_->registrationFailure = status;
}

NTSTATUS StreamClassHost::StartDevice(PDEVICE_OBJECT physicalDeviceObject)
{
    NTSTATUS status = InitializeDevice(physicalDeviceObject);
    if (!NT_SUCCESS(status)) return status;
    return CompleteInitialization();
}

NTSTATUS StreamClassHost::InitializeDevice(PDEVICE_OBJECT physicalDeviceObject)
{
    if (!driver_->registered || driver_->adapter) return STATUS_INVALID_DEVICE_REQUEST;
    auto adapter = std::make_unique<AdapterState>();
    adapter->driver = driver_.get();
    adapter->hwDeviceExtension = ZeroedBlock(driver_->registration.DeviceExtensionSize);
    adapter->physicalDeviceObject = physicalDeviceObject;
    DEVICE_OBJECT& device = adapter->deviceObject;
    device.Type = kIoTypeDevice;
    device.Size = sizeof(DEVICE_OBJECT);
    device.DriverObject = &driver_->driverObject;
    device.DeviceExtension = adapter.get();
    device.DeviceType = FILE_DEVICE_KS;
    device.StackSize = static_cast<CCHAR>((physicalDeviceObject != nullptr ? physicalDeviceObject->StackSize : 0) + 1);
    driver_->driverObject.DeviceObject = &device;
    driver_->adapter = std::move(adapter);
    AdapterState& state = *driver_->adapter;
    StartTimeoutTimer(state);

    PORT_CONFIGURATION_INFORMATION config{};
    config.SizeOfThisPacket = sizeof(config);
    config.HwDeviceExtension = state.hwDeviceExtension.Data();
    config.ClassDeviceObject = &device;
    config.PhysicalDeviceObject = physicalDeviceObject;
    config.RealPhysicalDeviceObject = physicalDeviceObject;
    SrbCommandData commandData{};
    commandData.ConfigInfo = &config;
    state.phase = AdapterPhase::Initialized;
    NTSTATUS status = SendAdapterCommand(state, SRB_INITIALIZE_DEVICE, commandData, sizeof(config));
    if (!NT_SUCCESS(status)) return status;
    if (config.StreamDescriptorSize < sizeof(HW_STREAM_HEADER)) return STATUS_INVALID_PARAMETER;

    ZeroedBlock descriptor(config.StreamDescriptorSize);
    commandData = SrbCommandData{};
    commandData.StreamBuffer = static_cast<PHW_STREAM_DESCRIPTOR>(descriptor.Data());
    status = SendAdapterCommand(state, SRB_GET_STREAM_INFO, commandData, config.StreamDescriptorSize);
    if (!NT_SUCCESS(status)) return status;
    status = KeepStreamDescription(state, descriptor);
    if (!NT_SUCCESS(status)) return status;
    state.phase = AdapterPhase::Described;
    return STATUS_SUCCESS;
}

NTSTATUS StreamClassHost::CompleteInitialization()
{
    AdapterState* adapter = driver_->adapter.get();
    if (adapter == nullptr || adapter->phase.load() != AdapterPhase::Described) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = SendAdapterCommand(*adapter, SRB_INITIALIZATION_COMPLETE, SrbCommandData{});
    if (NT_SUCCESS(status)) adapter->phase = AdapterPhase::Started;
    return status;
}

NTSTATUS StreamClassHost::SetPowerState(DEVICE_POWER_STATE state)
{
    AdapterState* adapter = driver_->adapter.get();
    if (adapter == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    SrbCommandData commandData{};
    commandData.DeviceState = state;
    return SendAdapterCommand(*adapter, SRB_CHANGE_POWER_STATE, commandData);
}

NTSTATUS StreamClassHost::SurpriseRemove()
{
    AdapterState* adapter = driver_->adapter.get();
    if (adapter == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    adapter->phase = AdapterPhase::Removed;
    return SendAdapterCommand(*adapter, SRB_SURPRISE_REMOVAL, SrbCommandData{});
}

NTSTATUS StreamClassHost::StopDevice()
{
    AdapterState* adapter = driver_->adapter.get();
    if (adapter == nullptr || adapter->phase.load() == AdapterPhase::Created ||
        adapter->phase.load() == AdapterPhase::Uninitialized) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    adapter->phase = AdapterPhase::Uninitialized;
    return SendAdapterCommand(*adapter, SRB_UNINITIALIZE_DEVICE, SrbCommandData{});
}

void StreamClassHost::UnloadDriver()
{
    AdapterState* adapter = driver_->adapter.get();
    if (adapter != nullptr) {
        if (adapter->openFiles.load() != 0) {
            BugCheck("driver unloaded with handles open", NtCallSite::Current(),
                     std::to_string(adapter->openFiles.load()) + " file object(s) still open");
        }
        size_t pending = streamclass::PendingSrbCount(*adapter);
        if (pending != 0) {
            BugCheck("driver unloaded with requests pending", NtCallSite::Current(),
                     std::to_string(pending) + " SRB(s) not completed");
        }
    }
    if (driver_->driverObject.DriverUnload != nullptr) driver_->driverObject.DriverUnload(&driver_->driverObject);
    if (adapter != nullptr) {
        StopTimeoutTimer(*adapter);
        driver_->driverObject.DeviceObject = nullptr;
        driver_->adapter.reset();
    }
    driver_->registered = false;
    CheckDriverUnloaded();
}

NTSTATUS StreamClassHost::SendAdapterSrb(LONG command, PVOID commandData, ULONG numberOfBytes, ULONG* actual)
{
    SrbRequest request;
    request.command = command;
    std::memcpy(&request.commandData, &commandData, sizeof(commandData));
    request.numberOfBytesToTransfer = numberOfBytes;
    SrbResult result = SendAdapterSrb(request);
    if (actual != nullptr) *actual = result.actualBytesTransferred;
    return result.status;
}

SrbResult StreamClassHost::SendAdapterSrb(const SrbRequest& request)
{
    AdapterState* adapter = driver_->adapter.get();
    if (adapter == nullptr) return SrbResult{STATUS_INVALID_DEVICE_REQUEST, 0, {}};
    return SendAdapterRequest(*adapter, request);
}

SrbResult StreamClassHost::SendStreamSrb(KsHandle& pin, const SrbRequest& request)
{
    auto file = pin.IsOpen() ? static_cast<ClassFile*>(pin.FileObject()->FsContext) : nullptr;
    AdapterState* adapter = driver_->adapter.get();
    if (adapter == nullptr || file == nullptr || file->kind != ClassFile::Pin) {
        return SrbResult{STATUS_INVALID_DEVICE_REQUEST, 0, {}};
    }
    bool data = request.command == SRB_READ_DATA || request.command == SRB_WRITE_DATA;
    SrbRecord* record = NewSrb(*adapter, request.command, data ? SrbTarget::StreamData : SrbTarget::StreamControl, file->pin);
    record->srb.CommandData = request.commandData;
    record->srb.NumberOfBytesToTransfer = request.numberOfBytesToTransfer;
    record->srb.NumberOfBuffers = request.numberOfBuffers;
    SrbResult result;
    result.status = SendSrbAndWait(record);
    result.actualBytesTransferred = record->srb.ActualBytesTransferred;
    result.commandData = record->srb.CommandData;
    ReleaseSrb(record);
    return result;
}

void StreamClassHost::TickTimeouts()
{
    if (driver_->adapter) TickPendingSrbs(*driver_->adapter);
}

void StreamClassHost::PauseTimeoutTimer(bool paused)
{
    driver_->timerPaused.store(paused, std::memory_order_relaxed);
}

bool StreamClassHost::DriverRegistered() const
{
    return driver_->registered;
}

const HW_INITIALIZATION_DATA& StreamClassHost::Registration() const
{
    return driver_->registration;
}

PDRIVER_OBJECT StreamClassHost::DriverObject() const
{
    return &driver_->driverObject;
}

PDEVICE_OBJECT StreamClassHost::DeviceObject() const
{
    return driver_->adapter ? &driver_->adapter->deviceObject : nullptr;
}

PVOID StreamClassHost::HwDeviceExtension() const
{
    return driver_->adapter ? driver_->adapter->hwDeviceExtension.Data() : nullptr;
}

const HW_STREAM_HEADER& StreamClassHost::StreamHeader() const
{
    static const HW_STREAM_HEADER none{};
    return driver_->adapter ? driver_->adapter->streamHeader : none;
}

const HW_STREAM_INFORMATION& StreamClassHost::StreamInfo(ULONG streamNumber) const
{
    static const HW_STREAM_INFORMATION none{};
    if (!driver_->adapter || streamNumber >= driver_->adapter->streamInfo.size()) return none;
    return driver_->adapter->streamInfo[streamNumber];
}

size_t StreamClassHost::PendingSrbCount() const
{
    return driver_->adapter ? streamclass::PendingSrbCount(*driver_->adapter) : 0;
}

}  // namespace nimbra::host
