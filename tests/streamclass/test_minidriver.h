// A tiny minidriver for the stream class stand-in's tests: one adapter with one output stream,
// one published range, one device property set and one stream property set. It records every
// SRB and every IRP its hooks see, and completes requests as the test asks (at once, from
// another thread, from another thread at DISPATCH_LEVEL, or later by the test).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/streamclass/ks_client.h"
#include "platform/stream_class.h"

namespace testdriver {

constexpr ULONG kDeviceExtensionSize = 64;
constexpr ULONG kPerRequestExtensionSize = 40;
constexpr ULONG kPerStreamExtensionSize = 24;

// The device property set: id 0 get and set (MinData 8), id 1 get only, id 2 get only with
// a 40-byte request and data (a KSPROPERTY_VIDEOPROCAMP_S).
inline constexpr GUID kDevicePropertySet = {0x1b2c3d4e, 0x0001, 0x4000, {0x80, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};
constexpr ULONG kDevicePropertyMinData = 8;
// A private device-control code the hook answers itself, per transfer method.
constexpr ULONG PrivateCode(ULONG method)
{
    return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, method, FILE_ANY_ACCESS);
}

enum class Completion { Inline, OtherThread, OtherThreadAtDispatch, Hold };

struct SrbSeen {
    LONG command;
    bool stream;    // arrived through the stream object's receivers
    bool dataPath;  // through ReceiveDataPacket (else ReceiveControlPacket or HwReceivePacket)
    PVOID hwDeviceExtension;
    bool extensionZeroed;
    PHW_STREAM_OBJECT streamObject;
    nimbra::host::SrbCommandData commandData;
    ULONG numberOfBuffers;
    ULONG numberOfBytesToTransfer;
    PIRP irp;
    KSPROPERTY property;              // property SRBs: the request
    STREAM_PROPERTY_DESCRIPTOR propertyDescriptor;
    STREAM_DATA_INTERSECT_INFO intersect;
    KSDATAFORMAT format;              // format SRBs: the format's KSDATAFORMAT part
};

struct IrpSeen {
    UCHAR major;
    PFILE_OBJECT file;
    ULONG code;
};

struct HeldSrb {
    PHW_STREAM_REQUEST_BLOCK srb;
    bool stream;
};

struct TestDriver {
    std::mutex lock;  // guards everything below
    std::condition_variable changed;
    std::vector<SrbSeen> srbs;
    std::vector<IrpSeen> irps;
    std::vector<HeldSrb> held;                        // held requests, oldest first
    std::vector<PHW_STREAM_REQUEST_BLOCK> cancelled;  // HwCancelPacket calls
    std::vector<ULONG> timeoutCounters;               // TimeoutCounter at each timeout call
    std::vector<std::thread> completers;

    Completion completion = Completion::Inline;  // adapter and stream control requests
    Completion readCompletion = Completion::Hold;
    bool completeTwice = false;         // SRB_UNKNOWN_DEVICE_COMMAND is completed twice
    bool completeOnCancel = true;       // HwCancelPacket completes a held read
    bool closeCompletesReads = true;    // SRB_CLOSE_STREAM completes held reads
    bool restartTimeouts = false;       // the timeout routine restarts the count
    bool hooksRefuse = false;           // the create and device-control hooks refuse every IRP
    ULONG readTimeout = 0;              // TimeoutCounter given to reads
    int gateTarget = 0;                 // device property gets wait until this many are inside
    int gateInside = 0;

    PDEVICE_OBJECT physicalDevice = nullptr;
    PDRIVER_DISPATCH classCreate = nullptr;
    PDRIVER_DISPATCH classClose = nullptr;
    PDRIVER_DISPATCH classDeviceControl = nullptr;
    KSSTATE state = KSSTATE_STOP;
    HANDLE masterClock = nullptr;
    LONG deviceValue = 0;
    bool deviceExtensionZeroed = false;  // at SRB_INITIALIZE_DEVICE
    bool streamExtensionZeroed = false;  // at SRB_OPEN_STREAM
};

TestDriver& Driver();
// Joins completer threads and resets the record.
void Reset();

DRIVER_INITIALIZE DriverEntry;

// Completes a held request with the status (reads: DataUsed = FrameExtent on success).
void CompleteHeld(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status);
// Waits (10 s at most) until predicate holds; the driver's lock is held while it is checked.
bool WaitFor(const std::function<bool(TestDriver&)>& predicate);
// The commands of the SRBs seen so far, in order.
std::vector<LONG> Commands();

}  // namespace testdriver
