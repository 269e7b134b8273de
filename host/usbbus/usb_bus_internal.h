// The bus's inner records: pipes, transfers in flight, and the core object that owns the
// physical device object, the queues and the host-controller thread. Shared by the files of
// host/usbbus only.
//
// Threads: URBs arrive on any thread (Submit). Everything that touches the device model or
// finishes a transfer runs on the host-controller thread, which completes the IRPs at
// DISPATCH_LEVEL outside lock_. A cancel routine only flags its transfer; the host-controller
// thread completes it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "host/usbbus/usb_bus_host.h"
#include "host/usbbus/usbmon_trace.h"

namespace nimbra::host {

struct UsbPipe;

enum class UsbTransferKind {
    Descriptor,           // GET_DESCRIPTOR_FROM_DEVICE
    SelectConfiguration,  // SELECT_CONFIGURATION
    SelectInterface,      // SELECT_INTERFACE
    AbortPipe,            // ABORT_PIPE
    ResetPipe,            // RESET_PIPE
    Bulk,                 // BULK_OR_INTERRUPT_TRANSFER
    Isochronous,          // ISOCH_TRANSFER
};

// Where a transfer waits. The host-controller thread moves it; only lock_ holders look.
enum class UsbTransferPlace {
    DefaultQueue,  // requests served in order on the default pipe (and pipe requests)
    PipeQueue,     // data transfers on their pipe
    Cancelling,    // finished, but its cancel routine is on its way: completes as cancelled
    Done,          // in the completion list
};

// One URB the bus holds: created at submission, deleted after its IRP completes.
struct UsbTransfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    UsbTransferKind kind = UsbTransferKind::Descriptor;
    UsbTransferPlace place = UsbTransferPlace::DefaultQueue;
    UsbPipe* pipe = nullptr;  // data transfers while in PipeQueue
    USBD_PIPE_HANDLE pipeHandle = nullptr;  // the handle given in the URB (pipe requests)
    uint8_t* buffer = nullptr;  // data transfers: the resolved transfer buffer
    ULONG length = 0;           // data transfers: the requested length
    bool in = false;            // data moves device to host
    bool shortOk = false;
    uint8_t endpoint = 0;        // endpoint address (0 or 0x80 for the default pipe)
    bool cancelRequested = false;  // its cancel routine ran
    uint64_t notBeforeFrame = 0;   // first frame that may serve it (none before its submission)
    ULONG nextPacket = 0;          // isochronous: next packet slot to serve
    USBD_STATUS status = USBD_STATUS_PENDING;  // final URB status once done

    // Trace: what the submission recorded, repeated in the completion.
    bool traced = false;
    uint8_t traceType = kUsbmonBulk;
    bool traceSetup = false;
    uint8_t setup[8] = {};
    int32_t traceInterval = 0;
    uint32_t traceFlags = 0;
};

// A pipe of the current configuration. Replaced (new handle) by every selection.
struct UsbPipe {
    USBD_PIPE_HANDLE handle = nullptr;
    UCHAR interfaceNumber = 0;
    UCHAR endpointAddress = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    USHORT maxPacketSize = 0;
    UCHAR interval = 0;
    bool halted = false;            // a STALL ended a transfer; RESET_PIPE clears it
    uint64_t isoScheduleEnd = 0;    // first frame after the isochronous packets already queued
    std::deque<UsbTransfer*> queue;
};

// A pipe as a selection found it in the configuration descriptor.
struct UsbPipePlan {
    UCHAR endpointAddress;
    UCHAR attributes;
    USHORT maxPacketSize;
    UCHAR interval;
};

class UsbBusCore {
public:
    UsbBusCore(UsbDeviceModel& device, UsbBusOptions options);
    ~UsbBusCore();

    PDEVICE_OBJECT Pdo() { return &pdo_; }
    void SetPaced(bool paced);
    uint64_t CurrentFrame() const { return currentFrame_.load(std::memory_order_relaxed); }
    bool StartTrace(const std::string& path, std::string* error);
    void StopTrace();
    void StallEndpoint(uint8_t endpoint, bool stalled);
    void SetEndpointUnresponsive(uint8_t endpoint, bool unresponsive);
    void SetIsoErrorEvery(uint32_t n);
    void SetIsoLossEvery(uint32_t n);
    void Unplug();
    UsbBus::Stats GetStats() const;
    size_t PendingCount() const;

    // IRP_MJ_INTERNAL_DEVICE_CONTROL of the bus's driver object.
    NTSTATUS Submit(PIRP irp);
    // From the cancel routine of a pending IRP (any thread).
    void OnCancel(UsbTransfer* transfer);

private:
    // ---- usb_bus.cpp: submission ----
    USBD_STATUS CheckUrb(PURB urb, UsbTransfer* transfer);
    USBD_STATUS CheckDataTransferLocked(PURB urb, UsbTransfer* transfer);
    NTSTATUS CompleteAtOnce(PIRP irp, PURB urb, USBD_STATUS status);
    void TraceSubmission(UsbTransfer* transfer);

    // ---- usb_host_controller.cpp: the frame schedule ----
    void Run();
    void RunFrameLocked(uint64_t frame);
    bool ServeDefaultLocked(UsbTransfer* transfer);  // false: NAK, try again next frame
    bool ServePipeLocked(UsbPipe* pipe, uint64_t frame);  // true: progress
    void ServeIsochronousLocked(UsbPipe* pipe, UsbTransfer* transfer, uint64_t frame);
    UsbHandshake ControlLocked(const UsbSetupPacket& setup, std::span<uint8_t> data, size_t* actual);
    void FinishLocked(UsbTransfer* transfer, USBD_STATUS status);
    void RemoveFromPlaceLocked(UsbTransfer* transfer);
    void ReapCancelsLocked();
    void FailAllLocked(USBD_STATUS status);
    void CompleteBatch(std::vector<UsbTransfer*>& batch);
    void TraceCompletion(UsbTransfer* transfer);
    bool HasQueuedWorkLocked() const;

    // ---- usb_bus_config.cpp: configuration, interfaces, pipe requests ----
    bool ServeSelectConfigurationLocked(UsbTransfer* transfer);
    bool ServeSelectInterfaceLocked(UsbTransfer* transfer);
    bool ServeResetPipeLocked(UsbTransfer* transfer);
    void ServeAbortPipeLocked(UsbTransfer* transfer);
    bool PlanInterface(const std::vector<uint8_t>& config, UCHAR interfaceNumber, UCHAR alternate,
                       PUSB_INTERFACE_DESCRIPTOR* found, std::vector<UsbPipePlan>* pipes) const;
    void ReplaceInterfacePipesLocked(UCHAR interfaceNumber, const std::vector<UsbPipePlan>& plan,
                                     PUSBD_INTERFACE_INFORMATION info, PUSB_INTERFACE_DESCRIPTOR descriptor);
    void DestroyPipesLocked(bool (*match)(const UsbPipe&, UCHAR), UCHAR interfaceNumber);
    PVOID NewHandleLocked();
    uint64_t NextFrameForNowLocked() const;

public:
    UsbPipe* FindPipeLocked(USBD_PIPE_HANDLE handle);

private:
    UsbDeviceModel& device_;
    DRIVER_OBJECT driver_{};
    DEVICE_OBJECT pdo_{};
    UsbmonTrace trace_;

    mutable std::mutex lock_;  // guards everything below, and every device-model call
    std::condition_variable wake_;  // submissions, cancels, knob changes, stop
    bool paced_;
    bool stopping_ = false;
    bool unplugged_ = false;
    bool resetPending_ = false;  // tell the device model about the unplug on the HC thread
    int64_t paceOffset_ = 0;     // paced: frame n runs at host time (n − paceOffset_) ms
    std::atomic<uint64_t> currentFrame_{0};
    bool lastFrameProgressed_ = true;  // unpaced: whether to run the next frame at once
    bool idleWait_ = false;            // paced: the last wait had nothing queued

    std::deque<UsbTransfer*> defaultQueue_;
    std::map<USBD_PIPE_HANDLE, std::unique_ptr<UsbPipe>> pipes_;  // pipes of the current selection
    std::vector<UsbTransfer*> cancelling_;      // finished while their cancel routine was running
    std::vector<UsbTransfer*> cancelRequests_;  // flagged by cancel routines, not yet reaped
    std::vector<UsbTransfer*> done_;            // to complete on the HC thread, in this order
    size_t pending_ = 0;                        // transfers created and not yet completed

    std::vector<uint8_t> configuration_;  // descriptor set of the selected configuration
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    std::map<UCHAR, USBD_INTERFACE_HANDLE> interfaceHandles_;
    uintptr_t handleCounter_ = 0;

    std::set<uint8_t> stalled_;       // endpoints whose halt feature is set
    std::set<uint8_t> unresponsive_;  // endpoints that never answer
    uint32_t isoErrorEvery_ = 0;
    uint32_t isoLossEvery_ = 0;
    uint64_t isoPacketCounter_ = 0;  // packet slots served since start, for the two knobs

    UsbBus::Stats stats_{};

    std::thread thread_;  // last: starts after everything above exists
};

// USBD status to the IRP's final status.
NTSTATUS NtStatusOfUsbd(USBD_STATUS status);

}  // namespace nimbra::host
