// Inside the stream class driver stand-in: the records the class keeps per driver, per adapter,
// per open file and per request, and the operations its files share. Not for use outside
// host/streamclass.
//
// Ownership: StreamClassHost owns the DriverState, which owns the AdapterState. A FILE_OBJECT
// belongs to its client (KsHandle); the class hangs its ClassFile on FsContext. A SrbRecord
// lives from NewSrb until its last reference is dropped (the sender's, plus one the timeout
// timer takes while it calls the timeout routine).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/streamclass/aligned_word.h"
#include "platform/stream_class.h"

namespace nimbra::host {

using SrbCommandData = decltype(HW_STREAM_REQUEST_BLOCK::CommandData);

namespace streamclass {

// Zero-filled memory, 16-byte aligned, of a size fixed at creation.
class ZeroedBlock {
public:
    explicit ZeroedBlock(size_t bytes = 0)
        : words_((bytes + sizeof(AlignedWord) - 1) / sizeof(AlignedWord)), bytes_(bytes)
    {
    }
    void* Data() { return bytes_ == 0 ? nullptr : words_.data(); }
    const void* Data() const { return bytes_ == 0 ? nullptr : words_.data(); }
    size_t Size() const { return bytes_; }

private:
    std::vector<AlignedWord> words_;
    size_t bytes_;
};

struct AdapterState;
struct PinState;

// Where an SRB goes: HwReceivePacket, or the stream object's data or control receiver.
enum class SrbTarget { Adapter, StreamData, StreamControl };

// One request block handed to the minidriver, with the class's bookkeeping around it.
struct SrbRecord {
    HW_STREAM_REQUEST_BLOCK srb{};  // what the minidriver sees
    AdapterState* adapter = nullptr;
    PinState* pin = nullptr;        // the stream a stream request is for
    SrbTarget target = SrbTarget::Adapter;
    ZeroedBlock extension;          // SRBExtension
    std::atomic<int> references{1};
    bool completionClaimed = false;  // guarded by the live-SRB table's lock

    // Synchronous senders wait here for the minidriver's completion.
    std::mutex lock;
    std::condition_variable completed;
    bool done = false;  // guarded by lock

    // A read: the IRP that pends until the SRB completes. cancelActive and srbDone are
    // guarded by the cancel spin lock.
    PIRP irp = nullptr;
    ULONG_PTR irpInformation = 0;
    bool cancelActive = false;
    bool srbDone = false;

    // In adapter->pending from the return of the receive routine until completion. Guarded by
    // adapter->pendingLock.
    std::list<SrbRecord*>::iterator pendingPosition;
    bool isPending = false;
    bool finished = false;  // the minidriver has completed it

    // Storage for what CommandData points to.
    STREAM_PROPERTY_DESCRIPTOR propertyDescriptor{};
    STREAM_DATA_INTERSECT_INFO intersectInfo{};
};

// An open pin: its stream object (with the per-stream extension behind it) and what the class
// keeps for it.
struct PinState {
    AdapterState* adapter = nullptr;
    ULONG pinId = 0;
    ZeroedBlock streamObjectBlock;  // HW_STREAM_OBJECT, then PerStreamExtensionSize bytes
    ZeroedBlock format;             // the current data format (FormatSize bytes)
    HANDLE masterClock = nullptr;   // set through KSPROPERTY_STREAM_MASTERCLOCK

    std::mutex lock;
    std::condition_variable drained;
    int outstanding = 0;  // stream requests not yet finished; guarded by lock

    PHW_STREAM_OBJECT StreamObject() { return static_cast<PHW_STREAM_OBJECT>(streamObjectBlock.Data()); }
};

// What the class keeps on a FILE_OBJECT's FsContext.
struct ClassFile {
    enum Kind { Filter, Pin } kind = Filter;
    PinState* pin = nullptr;  // Pin only; owned
};

enum class AdapterPhase : int {
    Created,        // device object made, nothing sent
    Initialized,    // SRB_INITIALIZE_DEVICE sent
    Described,      // stream information read
    Started,        // SRB_INITIALIZATION_COMPLETE sent
    Removed,        // SRB_SURPRISE_REMOVAL sent
    Uninitialized,  // SRB_UNINITIALIZE_DEVICE sent
};

struct DriverState;

// One adapter: the device object the class made for it and everything it keeps per device.
struct AdapterState {
    DriverState* driver = nullptr;
    DEVICE_OBJECT deviceObject{};  // DeviceExtension points back here
    ZeroedBlock hwDeviceExtension;
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    std::atomic<AdapterPhase> phase{AdapterPhase::Created};

    HW_STREAM_HEADER streamHeader{};
    std::vector<HW_STREAM_INFORMATION> streamInfo;

    std::mutex pendingLock;
    std::list<SrbRecord*> pending;  // SRBs back from their receive routine and not yet completed
    size_t handedOut = 0;           // SRBs given to a receive routine and not yet completed

    std::atomic<int> openFiles{0};

    // The timeout timer: ticks pending SRBs once a second of host time.
    KEVENT timerStop{};
    std::thread timer;
};

struct DriverState {
    DRIVER_OBJECT driverObject{};  // DriverExtension points back here
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
    bool registered = false;
    NTSTATUS registrationFailure = STATUS_SUCCESS;  // answer of the next registration
    std::atomic<bool> timerPaused{false};            // the timer thread skips its ticks
    HW_INITIALIZATION_DATA registration{};
    std::unique_ptr<AdapterState> adapter;
};

// ---- Requests (srb_request.cpp) --------------------------------------------------------------

// A new SRB for the adapter, with its extension, HwDeviceExtension and (for a pin) StreamObject
// filled in, Status STATUS_PENDING and a 15 s timeout. Registered as live.
SrbRecord* NewSrb(AdapterState& adapter, LONG command, SrbTarget target, PinState* pin);
// Hands the SRB to the minidriver; it may complete before this returns. Returns the status if
// the SRB could not be sent (no receiver), else STATUS_PENDING.
NTSTATUS StartSrb(SrbRecord* record);
// StartSrb, then waits until the minidriver has completed it. Returns its Status.
NTSTATUS SendSrbAndWait(SrbRecord* record);
// Drops one reference; the last one frees the record.
void ReleaseSrb(SrbRecord* record);
// Number of SRBs of the adapter handed out and not yet completed.
size_t PendingSrbCount(AdapterState& adapter);
// Number of stream SRBs of the pin handed out and not yet completed by the minidriver.
size_t PendingSrbCount(AdapterState& adapter, const PinState* pin);
// Waits until every stream request of the pin has finished.
void WaitForPinDrained(PinState& pin);

// ---- Timeouts (timeout_timer.cpp) ------------------------------------------------------------

void StartTimeoutTimer(AdapterState& adapter);
void StopTimeoutTimer(AdapterState& adapter);
// One tick: counts down each pending SRB's TimeoutCounter, calls the timeout routine at zero.
void TickPendingSrbs(AdapterState& adapter);

// ---- IRP entries (class_create_close.cpp, class_device_control.cpp, class_properties.cpp) ----

DRIVER_DISPATCH ClassDispatchCreate;
DRIVER_DISPATCH ClassDispatchClose;
DRIVER_DISPATCH ClassDispatchDeviceControl;

// IOCTL_KS_PROPERTY on a filter or pin. Sets *information.
NTSTATUS HandlePropertyRequest(AdapterState& adapter, ClassFile* file, PIRP irp, ULONG_PTR* information);
// IOCTL_KS_READ_STREAM on a pin: STATUS_PENDING when the read went to the minidriver.
NTSTATUS StartReadRequest(AdapterState& adapter, PinState& pin, PIRP irp);
// Completes the read IRP of a completed SRB and finishes the record. Cancel spin lock not held.
void FinishRead(SrbRecord* record);

// ---- Master clocks (master_clock.cpp) --------------------------------------------------------

bool IsMasterClock(HANDLE handle);

AdapterState* AdapterFromDevice(PDEVICE_OBJECT device);

}  // namespace streamclass
}  // namespace nimbra::host
