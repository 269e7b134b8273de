// The stream class driver stand-in, host side: load a minidriver and drive its device through
// the life Windows gives it (StreamClassHost), and the client API a capture application or the
// still-image application would use (KsHandle and the functions below). Every client operation
// is an IRP sent through the driver object's MajorFunction entries, so the minidriver's hooks
// see it before the class driver does; the class turns it into SRBs.
//
// Threads: any number of client threads may call at once (the class takes no lock around
// minidriver calls). Waits run on the host's rated clock.
//
// Order of teardown: close every handle and await (or drop) every PendingRead, then StopDevice
// and UnloadDriver. UnloadDriver fails as the verifier does if handles are open, requests are
// pending, or the driver left pool or threads behind.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/streamclass/aligned_word.h"
#include "platform/stream_class.h"

namespace nimbra::host {

namespace streamclass {
struct DriverState;
struct AdapterState;
}  // namespace streamclass

using SrbCommandData = decltype(HW_STREAM_REQUEST_BLOCK::CommandData);

// A raw SRB for tests: any command code, CommandData as given.
struct SrbRequest {
    LONG command = 0;
    SrbCommandData commandData{};
    ULONG numberOfBytesToTransfer = 0;
    ULONG numberOfBuffers = 0;
    PHW_STREAM_OBJECT streamObject = nullptr;  // adapter SRBs only (e.g. a raw SRB_OPEN_STREAM)
};

struct SrbResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG actualBytesTransferred = 0;
    SrbCommandData commandData{};  // as the minidriver left it
};

class KsHandle;

// One loaded driver with one adapter.
class StreamClassHost {
public:
    StreamClassHost();
    ~StreamClassHost();  // stops the timer and frees the class's memory; no verifier checks
    StreamClassHost(const StreamClassHost&) = delete;
    StreamClassHost& operator=(const StreamClassHost&) = delete;

    // Makes the driver object and calls driverEntry(driverObject, registryPath). Returns its
    // status.
    NTSTATUS LoadDriver(DRIVER_INITIALIZE* driverEntry,
                        std::u16string_view registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nimbra");
    // The next StreamClassRegisterAdapter answers status (a failure) instead of registering.
    void FailNextRegistration(NTSTATUS status);

    // InitializeDevice, then CompleteInitialization.
    NTSTATUS StartDevice(PDEVICE_OBJECT physicalDeviceObject);
    // Makes the adapter's device object with a zero-filled HwDeviceExtension, sends
    // SRB_INITIALIZE_DEVICE (PORT_CONFIGURATION_INFORMATION with physicalDeviceObject) and, if
    // it succeeds, SRB_GET_STREAM_INFO with a buffer of the StreamDescriptorSize it set, and
    // keeps the stream header and informations. Returns the first failure.
    NTSTATUS InitializeDevice(PDEVICE_OBJECT physicalDeviceObject);
    // SRB_INITIALIZATION_COMPLETE.
    NTSTATUS CompleteInitialization();
    NTSTATUS SetPowerState(DEVICE_POWER_STATE state);  // SRB_CHANGE_POWER_STATE
    NTSTATUS SurpriseRemove();                         // SRB_SURPRISE_REMOVAL; later creates fail
    // SRB_UNINITIALIZE_DEVICE; sent whenever SRB_INITIALIZE_DEVICE was, even if it failed. The
    // device object stays until unload, so handles still open can be closed afterwards.
    NTSTATUS StopDevice();
    // Calls the driver's DriverUnload if it set one, frees the class's objects and runs the
    // kernel verifier's unload checks (no pool left, no system threads).
    void UnloadDriver();

    // Raw requests for tests: an adapter SRB to HwReceivePacket; the completed status.
    NTSTATUS SendAdapterSrb(LONG command, PVOID commandData, ULONG numberOfBytes, ULONG* actual = nullptr);
    SrbResult SendAdapterSrb(const SrbRequest& request);
    // A stream SRB on an open pin: SRB_READ_DATA and SRB_WRITE_DATA go to ReceiveDataPacket,
    // others to ReceiveControlPacket. Waits for completion.
    SrbResult SendStreamSrb(KsHandle& pin, const SrbRequest& request);
    // Ticks the timeout timer once, as its thread does every second of host time.
    void TickTimeouts();
    // While paused the timer thread does not tick (TickTimeouts still does).
    void PauseTimeoutTimer(bool paused);

    bool DriverRegistered() const;
    const HW_INITIALIZATION_DATA& Registration() const;
    PDRIVER_OBJECT DriverObject() const;
    PDEVICE_OBJECT DeviceObject() const;  // null before InitializeDevice
    PVOID HwDeviceExtension() const;
    const HW_STREAM_HEADER& StreamHeader() const;
    const HW_STREAM_INFORMATION& StreamInfo(ULONG streamNumber) const;
    // SRBs handed to the minidriver and not yet completed.
    size_t PendingSrbCount() const;

private:
    std::unique_ptr<streamclass::DriverState> driver_;
};

// An open file of the device: the filter, or a pin opened on it. Owned by the client; closed
// by Close or when destroyed.
class KsHandle {
public:
    KsHandle();
    ~KsHandle();
    KsHandle(KsHandle&& other) noexcept;
    KsHandle& operator=(KsHandle&& other) noexcept;
    KsHandle(const KsHandle&) = delete;
    KsHandle& operator=(const KsHandle&) = delete;

    bool IsOpen() const { return fileObject_ != nullptr; }
    PFILE_OBJECT FileObject() const { return fileObject_.get(); }
    PDEVICE_OBJECT DeviceObject() const { return fileObject_ ? fileObject_->DeviceObject : nullptr; }

private:
    friend NTSTATUS OpenFilter(StreamClassHost& host, KsHandle* filter);
    friend NTSTATUS OpenPin(KsHandle& filter, ULONG pinId, const KSDATAFORMAT& format, KsHandle* pin);
    friend NTSTATUS Close(KsHandle& handle);

    std::unique_ptr<FILE_OBJECT> fileObject_;
    std::vector<AlignedWord> createParameters_;
};

// Opens the device (IRP_MJ_CREATE with no create parameters).
NTSTATUS OpenFilter(StreamClassHost& host, KsHandle* filter);
// Opens a pin in the given format (format is FormatSize bytes): IRP_MJ_CREATE with a related
// file object and a KSPIN_CONNECT followed by the format.
NTSTATUS OpenPin(KsHandle& filter, ULONG pinId, const KSDATAFORMAT& format, KsHandle* pin);
// IRP_MJ_CLOSE; the handle is closed whatever the status (a pin's is that of SRB_CLOSE_STREAM).
NTSTATUS Close(KsHandle& handle);

// KSPROPERTY_PIN_DATAINTERSECTION with one range (FormatSize bytes) or several: the format the
// driver chose goes to *formatOut (resized to the bytes returned); bufferSize is the output
// buffer offered (4 asks only for the size, as the driver defines it).
NTSTATUS Intersect(KsHandle& filter, ULONG pinId, const KSDATARANGE& range, std::vector<uint8_t>* formatOut,
                   ULONG bufferSize, ULONG* returned = nullptr);
NTSTATUS Intersect(KsHandle& filter, ULONG pinId, const std::vector<const KSDATARANGE*>& ranges,
                   std::vector<uint8_t>* formatOut, ULONG bufferSize, ULONG* returned = nullptr);

NTSTATUS SetState(KsHandle& pin, KSSTATE state);
NTSTATUS GetState(KsHandle& pin, KSSTATE* state);
NTSTATUS SetDataFormat(KsHandle& pin, const KSDATAFORMAT& format);      // SRB_SET_DATA_FORMAT
NTSTATUS ProposeDataFormat(KsHandle& pin, const KSDATAFORMAT& format);  // SRB_PROPOSE_DATA_FORMAT

// A master clock: stream time in 100 ns units of host time since its creation.
HANDLE CreateMasterClock();
// Destroy a clock only once no pin uses it (set the pin's clock to null or close the pin).
void DestroyMasterClock(HANDLE clock);
// The clock's stream time now (0 for a handle that is no clock).
LONGLONG MasterClockTime(HANDLE clock);
// KSPROPERTY_STREAM_MASTERCLOCK set: a clock opens it on the stream, null closes it.
NTSTATUS SetMasterClock(KsHandle& pin, HANDLE clockOrNull);

// Property get and set. The request is the KSPROPERTY (set, id, flags), followed by the data's
// bytes beyond the first sizeof(KSPROPERTY) when the data is longer (so a record that begins
// with its KSPROPERTY, like KSPROPERTY_VIDEOPROCAMP_S, meets a MinProperty of its own size).
NTSTATUS GetProperty(KsHandle& handle, const GUID& set, ULONG id, void* data, ULONG size, ULONG* returned = nullptr);
NTSTATUS SetProperty(KsHandle& handle, const GUID& set, ULONG id, const void* data, ULONG size);
// Any IOCTL_KS_PROPERTY request: property (its own length, e.g. a KSP_PIN) and data.
NTSTATUS PropertyRequest(KsHandle& handle, const void* property, ULONG propertyLength, void* data, ULONG dataLength,
                         ULONG* returned = nullptr);

class PendingRead;
constexpr LONGLONG kWaitForever = -1;

// Sends a read of numberOfBuffers frames of frameExtent bytes each, the i-th at buffer + i ×
// frameExtent. Never null: a read that could not be sent is done with its status.
std::unique_ptr<PendingRead> SubmitRead(KsHandle& pin, void* buffer, ULONG frameExtent, ULONG numberOfBuffers = 1);
// Waits up to timeout100ns of host time (kWaitForever: no limit). STATUS_TIMEOUT if the read is
// still pending; otherwise its status, with the first stream header and frame info copied out
// (either may be null).
NTSTATUS AwaitRead(PendingRead& read, KSSTREAM_HEADER* header, KS_FRAME_INFO* info, LONGLONG timeout100ns);
// IoCancelIrp on the read's IRP. True if a cancel routine was called.
bool CancelRead(PendingRead& read);

// One IOCTL_KS_READ_STREAM in flight: its IRP and its stream headers (each a KSSTREAM_HEADER
// with a KS_FRAME_INFO behind it). Destroying a read still pending cancels it and waits for it.
class PendingRead {
public:
    ~PendingRead();
    PendingRead(const PendingRead&) = delete;
    PendingRead& operator=(const PendingRead&) = delete;

    // True once the IRP has completed.
    bool Done() const;
    // The IRP while it is in flight (null once awaited).
    PIRP Irp() const { return irp_; }
    ULONG NumberOfBuffers() const { return count_; }
    KSSTREAM_HEADER* Header(ULONG index = 0);
    KS_FRAME_INFO* FrameInfo(ULONG index = 0);

private:
    friend std::unique_ptr<PendingRead> SubmitRead(KsHandle& pin, void* buffer, ULONG frameExtent, ULONG numberOfBuffers);
    friend NTSTATUS AwaitRead(PendingRead& read, KSSTREAM_HEADER* header, KS_FRAME_INFO* info, LONGLONG timeout100ns);
    friend bool CancelRead(PendingRead& read);
    PendingRead() = default;

    PIRP irp_ = nullptr;
    NTSTATUS status_ = STATUS_PENDING;  // once completed
    ULONG headerSize_ = 0;
    ULONG count_ = 0;
    std::vector<AlignedWord> headers_;
    std::unique_ptr<KEVENT> done_;
};

// IRP_MJ_DEVICE_CONTROL built as the I/O manager builds it for the code's transfer method:
// METHOD_BUFFERED one system buffer (input copied in, Information bytes copied back),
// METHOD_IN/OUT_DIRECT the input in the system buffer and an MDL for the output, METHOD_NEITHER
// Type3InputBuffer and UserBuffer as given.
NTSTATUS DeviceControl(KsHandle& handle, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG* returned = nullptr);

}  // namespace nimbra::host
