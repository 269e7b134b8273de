// The client side: IRPs built as the I/O manager builds them for an application's create,
// close and device-control calls, sent through the driver object's MajorFunction entries.
//
// Each client IRP has one stack location more than the device needs; the top one is the
// client's own, and its completion routine (set in the location below) hands the IRP back with
// STATUS_MORE_PROCESSING_REQUIRED and signals the client's event, so the client frees the IRP
// when it is done with it and a cancel can never meet a freed IRP.
#include <algorithm>
#include <cstring>

#include "host/kernel/host_kernel.h"
#include "host/streamclass/class_driver.h"
#include "host/streamclass/ks_client.h"

namespace nimbra::host {

namespace {

constexpr CSHORT kIoTypeFile = 5;

// Zeroed, aligned storage of at least bytes.
std::vector<AlignedWord> WordsFor(size_t bytes)
{
    return std::vector<AlignedWord>((bytes + sizeof(AlignedWord) - 1) / sizeof(AlignedWord));
}

IO_COMPLETION_ROUTINE ClientIrpDone;

NTSTATUS ClientIrpDone(PDEVICE_OBJECT /*DeviceObject*/, PIRP /*Irp*/, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A client IRP for the file's device: the client's own location current, the next one set up
// for major and the file. Null if the pool has no room.
PIRP AllocateClientIrp(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, PKEVENT done)
{
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
    if (irp == nullptr) return nullptr;
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetCurrentIrpStackLocation(irp)->FileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    KeInitializeEvent(done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, ClientIrpDone, done, TRUE, TRUE, TRUE);
    return irp;
}

// The client's location is finished with, then the IRP is freed.
void FreeClientIrp(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    IoFreeIrp(irp);
}

// Sends the IRP to the device; a dispatch routine that answers other than STATUS_PENDING must
// have completed it.
void CallDriver(PDEVICE_OBJECT device, PIRP irp, PKEVENT done)
{
    NTSTATUS status = IofCallDriver(device, irp);
    if (status != STATUS_PENDING && KeReadStateEvent(done) == 0) {
        BugCheck("dispatch routine returned without completing or pending the IRP", NtCallSite::Current());
    }
}

// Sends the IRP and waits for it; returns its status and Information, and frees it.
NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT done, ULONG_PTR* information = nullptr)
{
    CallDriver(device, irp, done);
    KeWaitForSingleObject(done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information != nullptr) *information = irp->IoStatus.Information;
    FreeClientIrp(irp);
    return status;
}

bool IsErrorStatus(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

std::unique_ptr<FILE_OBJECT> NewFileObject(PDEVICE_OBJECT device)
{
    auto file = std::make_unique<FILE_OBJECT>();
    file->Type = kIoTypeFile;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    return file;
}

}  // namespace

// ---- Handles ---------------------------------------------------------------------------------

KsHandle::KsHandle() = default;

KsHandle::~KsHandle()
{
    if (IsOpen()) Close(*this);
}

KsHandle::KsHandle(KsHandle&& other) noexcept = default;

KsHandle& KsHandle::operator=(KsHandle&& other) noexcept
{
    if (this != &other) {
        if (IsOpen()) Close(*this);
        fileObject_ = std::move(other.fileObject_);
        createParameters_ = std::move(other.createParameters_);
    }
    return *this;
}

NTSTATUS OpenFilter(StreamClassHost& host, KsHandle* filter)
{
    PDEVICE_OBJECT device = host.DeviceObject();
    if (device == nullptr || filter->IsOpen()) return STATUS_INVALID_DEVICE_REQUEST;
    std::unique_ptr<FILE_OBJECT> file = NewFileObject(device);
    KEVENT done;
    PIRP irp = AllocateClientIrp(device, file.get(), IRP_MJ_CREATE, &done);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = CallAndWait(device, irp, &done);
    if (NT_SUCCESS(status)) filter->fileObject_ = std::move(file);
    return status;
}

NTSTATUS OpenPin(KsHandle& filter, ULONG pinId, const KSDATAFORMAT& format, KsHandle* pin)
{
    if (!filter.IsOpen() || pin->IsOpen()) return STATUS_INVALID_DEVICE_REQUEST;
    PDEVICE_OBJECT device = filter.DeviceObject();
    std::unique_ptr<FILE_OBJECT> file = NewFileObject(device);
    ULONG length = sizeof(KSPIN_CONNECT) + format.FormatSize;
    std::vector<AlignedWord> parameters = WordsFor(length);
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.PinId = pinId;
    connect.Priority.PriorityClass = 1;
    std::memcpy(parameters.data(), &connect, sizeof(connect));
    std::memcpy(reinterpret_cast<UCHAR*>(parameters.data()) + sizeof(connect), &format, format.FormatSize);
    file->RelatedFileObject = filter.FileObject();
    file->CreateParameters = parameters.data();
    file->CreateParametersLength = length;
    KEVENT done;
    PIRP irp = AllocateClientIrp(device, file.get(), IRP_MJ_CREATE, &done);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = CallAndWait(device, irp, &done);
    if (NT_SUCCESS(status)) {
        pin->fileObject_ = std::move(file);
        pin->createParameters_ = std::move(parameters);
    }
    return status;
}

NTSTATUS Close(KsHandle& handle)
{
    if (!handle.IsOpen()) return STATUS_INVALID_DEVICE_REQUEST;
    PDEVICE_OBJECT device = handle.DeviceObject();
    KEVENT done;
    PIRP irp = AllocateClientIrp(device, handle.FileObject(), IRP_MJ_CLOSE, &done);
    // A close cannot fail for want of memory: wait for room as the I/O manager would.
    while (irp == nullptr) {
        LARGE_INTEGER shortWait;
        shortWait.QuadPart = -10'000;
        KeDelayExecutionThread(KernelMode, FALSE, &shortWait);
        irp = AllocateClientIrp(device, handle.FileObject(), IRP_MJ_CLOSE, &done);
    }
    NTSTATUS status = CallAndWait(device, irp, &done);
    handle.fileObject_.reset();
    handle.createParameters_.clear();
    return status;
}

// ---- Device control and properties -----------------------------------------------------------

NTSTATUS DeviceControl(KsHandle& handle, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG* returned)
{
    if (returned != nullptr) *returned = 0;
    if (!handle.IsOpen()) return STATUS_INVALID_DEVICE_REQUEST;
    PDEVICE_OBJECT device = handle.DeviceObject();
    KEVENT done;
    PIRP irp = AllocateClientIrp(device, handle.FileObject(), IRP_MJ_DEVICE_CONTROL, &done);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    ULONG method = code & 3;
    std::vector<AlignedWord> systemBuffer;
    PMDL mdl = nullptr;
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        irp->UserBuffer = output;
    } else {
        size_t systemLength = method == METHOD_BUFFERED ? std::max(inputLength, outputLength) : inputLength;
        if (systemLength != 0) {
            systemBuffer = WordsFor(systemLength);
            if (input != nullptr && inputLength != 0) std::memcpy(systemBuffer.data(), input, inputLength);
            irp->AssociatedIrp.SystemBuffer = systemBuffer.data();
        }
        irp->UserBuffer = output;
        if (method != METHOD_BUFFERED && output != nullptr && outputLength != 0) {
            mdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, irp);
            if (mdl == nullptr) {
                FreeClientIrp(irp);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            MmProbeAndLockPages(mdl, UserMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
        }
    }
    ULONG_PTR information = 0;
    CallDriver(device, irp, &done);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    information = irp->IoStatus.Information;
    if (mdl != nullptr) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        irp->MdlAddress = nullptr;
    }
    FreeClientIrp(irp);
    if (method == METHOD_BUFFERED && !IsErrorStatus(status) && output != nullptr) {
        information = std::min<ULONG_PTR>(information, outputLength);
        std::memcpy(output, systemBuffer.data(), information);
    }
    if (returned != nullptr) *returned = static_cast<ULONG>(information);
    return status;
}

NTSTATUS PropertyRequest(KsHandle& handle, const void* property, ULONG propertyLength, void* data, ULONG dataLength,
                         ULONG* returned)
{
    return DeviceControl(handle, IOCTL_KS_PROPERTY, property, propertyLength, data, dataLength, returned);
}

namespace {

// The request of a plain get or set: the KSPROPERTY, followed, when the data is longer than a
// KSPROPERTY, by the data's bytes beyond it (a record that starts with its KSPROPERTY, such as
// KSPROPERTY_VIDEOPROCAMP_S, is its own request).
NTSTATUS PlainPropertyRequest(KsHandle& handle, const GUID& set, ULONG id, ULONG flags, void* data, ULONG size,
                              ULONG* returned)
{
    ULONG requestLength = std::max<ULONG>(sizeof(KSPROPERTY), size);
    std::vector<AlignedWord> request = WordsFor(requestLength);
    auto bytes = reinterpret_cast<UCHAR*>(request.data());
    if (size > sizeof(KSPROPERTY)) std::memcpy(bytes, data, size);
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    std::memcpy(bytes, &property, sizeof(property));
    return PropertyRequest(handle, bytes, requestLength, data, size, returned);
}

}  // namespace

NTSTATUS GetProperty(KsHandle& handle, const GUID& set, ULONG id, void* data, ULONG size, ULONG* returned)
{
    return PlainPropertyRequest(handle, set, id, KSPROPERTY_TYPE_GET, data, size, returned);
}

NTSTATUS SetProperty(KsHandle& handle, const GUID& set, ULONG id, const void* data, ULONG size)
{
    return PlainPropertyRequest(handle, set, id, KSPROPERTY_TYPE_SET, const_cast<void*>(data), size, nullptr);
}

NTSTATUS Intersect(KsHandle& filter, ULONG pinId, const KSDATARANGE& range, std::vector<uint8_t>* formatOut,
                   ULONG bufferSize, ULONG* returned)
{
    return Intersect(filter, pinId, std::vector<const KSDATARANGE*>{&range}, formatOut, bufferSize, returned);
}

NTSTATUS Intersect(KsHandle& filter, ULONG pinId, const std::vector<const KSDATARANGE*>& ranges,
                   std::vector<uint8_t>* formatOut, ULONG bufferSize, ULONG* returned)
{
    ULONG itemsSize = sizeof(KSMULTIPLE_ITEM);
    for (const KSDATARANGE* range : ranges) itemsSize += (range->FormatSize + 7) & ~7U;
    ULONG inputLength = sizeof(KSP_PIN) + itemsSize;
    std::vector<AlignedWord> input = WordsFor(inputLength);
    auto bytes = reinterpret_cast<UCHAR*>(input.data());
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    std::memcpy(bytes, &request, sizeof(request));
    KSMULTIPLE_ITEM items{itemsSize, static_cast<ULONG>(ranges.size())};
    std::memcpy(bytes + sizeof(KSP_PIN), &items, sizeof(items));
    ULONG offset = sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM);
    for (const KSDATARANGE* range : ranges) {
        std::memcpy(bytes + offset, range, range->FormatSize);
        offset += (range->FormatSize + 7) & ~7U;
    }
    formatOut->assign(bufferSize, 0);
    ULONG got = 0;
    NTSTATUS status = PropertyRequest(filter, bytes, inputLength, formatOut->empty() ? nullptr : formatOut->data(),
                                      bufferSize, &got);
    formatOut->resize(NT_SUCCESS(status) ? got : 0);
    if (returned != nullptr) *returned = got;
    return status;
}

NTSTATUS SetState(KsHandle& pin, KSSTATE state)
{
    return SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof(state));
}

NTSTATUS GetState(KsHandle& pin, KSSTATE* state)
{
    return GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, state, sizeof(*state));
}

NTSTATUS SetDataFormat(KsHandle& pin, const KSDATAFORMAT& format)
{
    return SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &format, format.FormatSize);
}

NTSTATUS ProposeDataFormat(KsHandle& pin, const KSDATAFORMAT& format)
{
    return SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT, &format, format.FormatSize);
}

NTSTATUS SetMasterClock(KsHandle& pin, HANDLE clockOrNull)
{
    return SetProperty(pin, KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &clockOrNull, sizeof(clockOrNull));
}

// ---- Reads -----------------------------------------------------------------------------------

std::unique_ptr<PendingRead> SubmitRead(KsHandle& pin, void* buffer, ULONG frameExtent, ULONG numberOfBuffers)
{
    std::unique_ptr<PendingRead> read(new PendingRead);
    read->headerSize_ = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    read->count_ = numberOfBuffers;
    size_t length = static_cast<size_t>(read->headerSize_) * numberOfBuffers;
    read->headers_ = WordsFor(length);
    for (ULONG i = 0; i < numberOfBuffers; i++) {
        KSSTREAM_HEADER* header = read->Header(i);
        header->Size = read->headerSize_;
        header->FrameExtent = frameExtent;
        header->Data = buffer != nullptr ? static_cast<UCHAR*>(buffer) + static_cast<size_t>(i) * frameExtent : nullptr;
        header->PresentationTime.Numerator = 1;
        header->PresentationTime.Denominator = 1;
        read->FrameInfo(i)->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    }
    if (!pin.IsOpen()) {
        read->status_ = STATUS_INVALID_DEVICE_REQUEST;
        return read;
    }
    PDEVICE_OBJECT device = pin.DeviceObject();
    read->done_ = std::make_unique<KEVENT>();
    PIRP irp = AllocateClientIrp(device, pin.FileObject(), IRP_MJ_DEVICE_CONTROL, read->done_.get());
    if (irp == nullptr) {
        read->status_ = STATUS_INSUFFICIENT_RESOURCES;
        return read;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_READ_STREAM;
    next->Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(length);
    irp->UserBuffer = read->headers_.data();
    read->irp_ = irp;
    CallDriver(device, irp, read->done_.get());
    return read;
}

NTSTATUS AwaitRead(PendingRead& read, KSSTREAM_HEADER* header, KS_FRAME_INFO* info, LONGLONG timeout100ns)
{
    if (read.irp_ != nullptr) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -timeout100ns;
        NTSTATUS waited = KeWaitForSingleObject(read.done_.get(), Executive, KernelMode, FALSE,
                                                timeout100ns < 0 ? nullptr : &timeout);
        if (waited == STATUS_TIMEOUT) return STATUS_TIMEOUT;
        read.status_ = read.irp_->IoStatus.Status;
        FreeClientIrp(read.irp_);
        read.irp_ = nullptr;
    }
    if (read.count_ != 0) {
        if (header != nullptr) *header = *read.Header(0);
        if (info != nullptr) *info = *read.FrameInfo(0);
    }
    return read.status_;
}

bool CancelRead(PendingRead& read)
{
    if (read.irp_ == nullptr) return false;
    return IoCancelIrp(read.irp_) != FALSE;
}

PendingRead::~PendingRead()
{
    if (irp_ == nullptr) return;
    if (!Done()) CancelRead(*this);
    AwaitRead(*this, nullptr, nullptr, kWaitForever);
}

bool PendingRead::Done() const
{
    if (irp_ == nullptr) return true;
    return KeReadStateEvent(done_.get()) != 0;
}

KSSTREAM_HEADER* PendingRead::Header(ULONG index)
{
    return reinterpret_cast<KSSTREAM_HEADER*>(reinterpret_cast<UCHAR*>(headers_.data()) +
                                              static_cast<size_t>(index) * headerSize_);
}

KS_FRAME_INFO* PendingRead::FrameInfo(ULONG index)
{
    return reinterpret_cast<KS_FRAME_INFO*>(Header(index) + 1);
}

}  // namespace nimbra::host
