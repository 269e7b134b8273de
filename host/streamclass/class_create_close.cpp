// The class driver's IRP_MJ_CREATE and IRP_MJ_CLOSE routines. A create without a related file
// object opens the filter (the device); one whose related file object is a filter opens a pin
// with the KSPIN_CONNECT and KSDATAFORMAT in the file object's CreateParameters, by sending
// SRB_OPEN_STREAM. Closing a pin sends SRB_CLOSE_STREAM; closing a filter only forgets it.
#include <cstring>
#include <memory>
#include <string>

#include "host/kernel/host_kernel.h"
#include "host/streamclass/class_driver.h"

using namespace nimbra::host;
using namespace nimbra::host::streamclass;

namespace {

constexpr size_t kStreamObjectBytes = (sizeof(HW_STREAM_OBJECT) + 15) / 16 * 16;

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Opens a pin: checks the connect request, makes the stream object and sends SRB_OPEN_STREAM.
// On success the file object's FsContext holds the pin. PASSIVE_LEVEL.
NTSTATUS OpenPin(AdapterState& adapter, PFILE_OBJECT file, PIRP irp)
{
    auto filter = static_cast<ClassFile*>(file->RelatedFileObject->FsContext);
    if (filter == nullptr || filter->kind != ClassFile::Filter) return STATUS_INVALID_PARAMETER;
    ULONG length = file->CreateParametersLength;
    if (file->CreateParameters == nullptr || length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto connect = static_cast<const KSPIN_CONNECT*>(file->CreateParameters);
    auto format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
    ULONG formatSize = format->FormatSize;
    if (formatSize < sizeof(KSDATAFORMAT) || formatSize > length - sizeof(KSPIN_CONNECT)) return STATUS_INVALID_PARAMETER;
    if (connect->PinId >= adapter.streamInfo.size()) return STATUS_INVALID_PARAMETER;

    auto pin = std::make_unique<PinState>();
    pin->adapter = &adapter;
    pin->pinId = connect->PinId;
    ULONG extensionSize = adapter.driver->registration.PerStreamExtensionSize;
    pin->streamObjectBlock = ZeroedBlock(kStreamObjectBytes + extensionSize);
    PHW_STREAM_OBJECT streamObject = pin->StreamObject();
    streamObject->SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    streamObject->StreamNumber = connect->PinId;
    streamObject->HwStreamExtension =
        extensionSize != 0 ? static_cast<PUCHAR>(pin->streamObjectBlock.Data()) + kStreamObjectBytes : nullptr;
    streamObject->HwDeviceExtension = adapter.hwDeviceExtension.Data();
    pin->format = ZeroedBlock(formatSize);
    std::memcpy(pin->format.Data(), format, formatSize);

    SrbRecord* record = NewSrb(adapter, SRB_OPEN_STREAM, SrbTarget::Adapter, pin.get());
    record->srb.CommandData.OpenFormat = static_cast<PKSDATAFORMAT>(pin->format.Data());
    record->srb.NumberOfBytesToTransfer = formatSize;
    record->srb.Irp = irp;
    NTSTATUS status = SendSrbAndWait(record);
    ReleaseSrb(record);
    if (NT_SUCCESS(status)) {
        file->FsContext = new ClassFile{ClassFile::Pin, pin.release()};
        file->FsContext2 = streamObject;
        adapter.openFiles++;
    }
    return status;
}

// Sends SRB_CLOSE_STREAM and waits for every request of the stream to finish; the minidriver
// must have completed them all by the time it completes the close. Returns the close's status.
NTSTATUS ClosePin(AdapterState& adapter, PinState& pin, PIRP irp)
{
    SrbRecord* record = NewSrb(adapter, SRB_CLOSE_STREAM, SrbTarget::Adapter, &pin);
    record->srb.Irp = irp;
    NTSTATUS status = SendSrbAndWait(record);
    ReleaseSrb(record);
    size_t outstanding = PendingSrbCount(adapter, &pin);
    if (outstanding != 0) {
        BugCheck("stream closed with requests outstanding", NtCallSite::Current(),
                 std::to_string(outstanding) + " request(s) of stream " + std::to_string(pin.pinId) +
                     " not completed by SRB_CLOSE_STREAM");
    }
    WaitForPinDrained(pin);
    return status;
}

}  // namespace

namespace nimbra::host::streamclass {

AdapterState* AdapterFromDevice(PDEVICE_OBJECT device)
{
    return static_cast<AdapterState*>(device->DeviceExtension);
}

// IRP_MJ_CREATE: opens the filter or a pin of the file object in the current stack location.
// Completes the IRP; returns its status. PASSIVE_LEVEL.
NTSTATUS ClassDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AdapterState& adapter = *AdapterFromDevice(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    AdapterPhase phase = adapter.phase.load();
    NTSTATUS status;
    if (file == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (phase == AdapterPhase::Removed || phase == AdapterPhase::Uninitialized) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (phase != AdapterPhase::Described && phase != AdapterPhase::Started) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (file->RelatedFileObject != nullptr) {
        status = OpenPin(adapter, file, Irp);
    } else if (file->CreateParameters != nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        file->FsContext = new ClassFile{ClassFile::Filter, nullptr};
        adapter.openFiles++;
        status = STATUS_SUCCESS;
    }
    return CompleteIrp(Irp, status);
}

// IRP_MJ_CLOSE: a pin sends SRB_CLOSE_STREAM and is freed; a filter is forgotten. The file is
// closed whatever the status, which for a pin is the close SRB's. PASSIVE_LEVEL.
NTSTATUS ClassDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AdapterState& adapter = *AdapterFromDevice(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    ClassFile* classFile = file != nullptr ? static_cast<ClassFile*>(file->FsContext) : nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (classFile != nullptr) {
        if (classFile->kind == ClassFile::Pin) {
            status = ClosePin(adapter, *classFile->pin, Irp);
            delete classFile->pin;
        }
        delete classFile;
        file->FsContext = nullptr;
        file->FsContext2 = nullptr;
        adapter.openFiles--;
    }
    return CompleteIrp(Irp, status);
}

}  // namespace nimbra::host::streamclass
