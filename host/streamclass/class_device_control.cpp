// The class driver's IRP_MJ_DEVICE_CONTROL routine: IOCTL_KS_PROPERTY goes to the property
// routing, IOCTL_KS_READ_STREAM on a pin becomes SRB_READ_DATA and pends until the minidriver
// completes the SRB; other codes are not the class's and fail with
// STATUS_INVALID_DEVICE_REQUEST. Also the read's cancel routine and its completion.
#include "host/kernel/host_kernel.h"
#include "host/streamclass/class_driver.h"

using namespace nimbra::host;
using namespace nimbra::host::streamclass;

namespace {

// Cancel routine of a pending read, called by IoCancelIrp with the cancel spin lock held. Calls
// HwCancelPacket at the canceller's IRQL with no lock held; if the minidriver completed the SRB
// meanwhile, the IRP is completed here.
VOID CancelRead(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp)
{
    auto record = static_cast<SrbRecord*>(Irp->Tail.Overlay.DriverContext[0]);
    record->cancelActive = true;
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    PHW_CANCEL_SRB cancel = record->adapter->driver->registration.HwCancelPacket;
    if (cancel != nullptr) cancel(&record->srb);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    record->cancelActive = false;
    bool completed = record->srbDone;
    IoReleaseCancelSpinLock(irql);
    if (completed) FinishRead(record);
}

}  // namespace

namespace nimbra::host::streamclass {

void FinishRead(SrbRecord* record)
{
    PIRP irp = record->irp;
    irp->IoStatus.Status = record->srb.Status;
    irp->IoStatus.Information = record->irpInformation;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseSrb(record);
}

// The output buffer (METHOD_NEITHER: UserBuffer) is the caller's array of stream headers, each
// of Size sizeof(KSSTREAM_HEADER) + StreamHeaderMediaSpecific. PASSIVE_LEVEL.
NTSTATUS StartReadRequest(AdapterState& adapter, PinState& pin, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PHW_STREAM_OBJECT streamObject = pin.StreamObject();
    ULONG headerSize = sizeof(KSSTREAM_HEADER) + streamObject->StreamHeaderMediaSpecific;
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto headers = static_cast<PUCHAR>(irp->UserBuffer);
    if (headers == nullptr || length < headerSize || length % headerSize != 0) return STATUS_INVALID_PARAMETER;
    ULONG count = length / headerSize;
    ULONG bytes = 0;
    for (ULONG i = 0; i < count; i++) {
        auto header = reinterpret_cast<const KSSTREAM_HEADER*>(headers + static_cast<size_t>(i) * headerSize);
        if (header->Size != headerSize) return STATUS_INVALID_PARAMETER;
        bytes += header->FrameExtent;
    }
    if (streamObject->ReceiveDataPacket == nullptr) return STATUS_NOT_IMPLEMENTED;

    SrbRecord* record = NewSrb(adapter, SRB_READ_DATA, SrbTarget::StreamData, &pin);
    record->srb.CommandData.DataBufferArray = reinterpret_cast<PKSSTREAM_HEADER>(headers);
    record->srb.NumberOfBuffers = count;
    record->srb.NumberOfBytesToTransfer = bytes;
    record->srb.Irp = irp;
    record->irp = irp;
    record->irpInformation = length;
    irp->Tail.Overlay.DriverContext[0] = record;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRead);
    StartSrb(record);
    return STATUS_PENDING;
}

// IRP_MJ_DEVICE_CONTROL. Completes the IRP unless it pends (a read); returns its status.
// PASSIVE_LEVEL.
NTSTATUS ClassDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AdapterState& adapter = *AdapterFromDevice(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ClassFile* file = stack->FileObject != nullptr ? static_cast<ClassFile*>(stack->FileObject->FsContext) : nullptr;
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_READ_STREAM:
        if (file == nullptr || file->kind != ClassFile::Pin) {
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
        status = StartReadRequest(adapter, *file->pin, Irp);
        if (status == STATUS_PENDING) return status;
        break;
    case IOCTL_KS_PROPERTY:
        status = file != nullptr ? HandlePropertyRequest(adapter, file, Irp, &information) : STATUS_INVALID_DEVICE_REQUEST;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace nimbra::host::streamclass
