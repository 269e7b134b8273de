// Request blocks: making them, handing them to the minidriver, waiting for them, and their
// completion through StreamClassDeviceNotification and StreamClassStreamNotification, from any
// thread at up to DISPATCH_LEVEL. The live-SRB table tells a second completion (or one of a
// block the class never sent) from a first and fails it as the verifier does.
#include <cstdio>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "host/kernel/host_kernel.h"
#include "host/streamclass/class_driver.h"

using namespace nimbra::host;
using namespace nimbra::host::streamclass;

namespace {

constexpr ULONG kDefaultTimeoutSeconds = 15;

// Every SRB handed out and not yet freed, and the addresses of those freed since (so that a
// late second completion is named as such).
struct SrbTable {
    std::mutex lock;  // guards both sets and each record's completionClaimed
    std::unordered_map<const HW_STREAM_REQUEST_BLOCK*, SrbRecord*> live;
    std::unordered_set<const HW_STREAM_REQUEST_BLOCK*> retired;
};

SrbTable& TheTable()
{
    static SrbTable* table = new SrbTable;  // never destroyed: completions may come late
    return *table;
}

std::string CommandText(LONG command)
{
    char text[32];
    std::snprintf(text, sizeof(text), "command 0x%X", static_cast<unsigned>(command));
    return text;
}

// Marks the SRB as completed by the minidriver. Bug check if it is not live or was completed
// before.
SrbRecord* ClaimCompletion(PHW_STREAM_REQUEST_BLOCK srb, const NtCallSite& callSite)
{
    if (srb == nullptr) BugCheck("null SRB completed", callSite);
    SrbTable& table = TheTable();
    std::unique_lock guard(table.lock);
    auto found = table.live.find(srb);
    if (found == table.live.end()) {
        bool retired = table.retired.count(srb) != 0;
        guard.unlock();
        if (retired) BugCheck("SRB completed twice", callSite, "its request has already finished");
        BugCheck("SRB completed that the class driver did not send", callSite);
    }
    SrbRecord* record = found->second;
    if (record->completionClaimed) {
        guard.unlock();
        BugCheck("SRB completed twice", callSite, CommandText(record->srb.Command));
    }
    record->completionClaimed = true;
    return record;
}

// The minidriver has completed the SRB: take it off the pending list and finish it.
void CompleteSrb(SrbRecord* record, const NtCallSite& callSite)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        BugCheck("SRB completed above DISPATCH_LEVEL", callSite, CommandText(record->srb.Command));
    }
    if (record->srb.Status == STATUS_PENDING) {
        BugCheck("SRB completed with STATUS_PENDING", callSite, CommandText(record->srb.Command));
    }
    AdapterState& adapter = *record->adapter;
    {
        std::lock_guard guard(adapter.pendingLock);
        record->finished = true;
        adapter.handedOut--;
        if (record->isPending) {
            adapter.pending.erase(record->pendingPosition);
            record->isPending = false;
        }
    }
    if (record->irp != nullptr) {
        // A read: the cancel routine may be running on another thread; whichever of the two
        // finishes last completes the IRP.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoSetCancelRoutine(record->irp, nullptr);
        record->srbDone = true;
        bool cancelRunning = record->cancelActive;
        IoReleaseCancelSpinLock(irql);
        if (!cancelRunning) FinishRead(record);
        return;
    }
    std::lock_guard guard(record->lock);
    record->done = true;
    record->completed.notify_all();
}

}  // namespace

namespace nimbra::host::streamclass {

SrbRecord* NewSrb(AdapterState& adapter, LONG command, SrbTarget target, PinState* pin)
{
    auto record = new SrbRecord;
    record->adapter = &adapter;
    record->pin = pin;
    record->target = target;
    record->extension = ZeroedBlock(adapter.driver->registration.PerRequestExtensionSize);
    HW_STREAM_REQUEST_BLOCK& srb = record->srb;
    srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    srb.Command = static_cast<SRB_COMMAND>(command);
    srb.Status = STATUS_PENDING;
    srb.StreamObject = pin != nullptr ? pin->StreamObject() : nullptr;
    srb.HwDeviceExtension = adapter.hwDeviceExtension.Data();
    srb.SRBExtension = record->extension.Data();
    srb.TimeoutCounter = kDefaultTimeoutSeconds;
    srb.TimeoutOriginal = kDefaultTimeoutSeconds;
    if (pin != nullptr && target != SrbTarget::Adapter) {
        std::lock_guard guard(pin->lock);
        pin->outstanding++;
    }
    SrbTable& table = TheTable();
    std::lock_guard guard(table.lock);
    table.live[&srb] = record;
    table.retired.erase(&srb);
    return record;
}

NTSTATUS StartSrb(SrbRecord* record)
{
    AdapterState& adapter = *record->adapter;
    PHW_RECEIVE_DEVICE_SRB receiver = nullptr;
    switch (record->target) {
    case SrbTarget::Adapter:
        receiver = adapter.driver->registration.HwReceivePacket;
        break;
    case SrbTarget::StreamData:
        receiver = record->srb.StreamObject->ReceiveDataPacket;
        break;
    case SrbTarget::StreamControl:
        receiver = record->srb.StreamObject->ReceiveControlPacket;
        break;
    }
    if (receiver == nullptr) return STATUS_NOT_IMPLEMENTED;
    // The timer sees the SRB only once the receive routine has returned, so what the routine
    // wrote (TimeoutCounter above all) reaches the timer through pendingLock. The extra
    // reference keeps the record while a completion inside the routine finishes it.
    record->references.fetch_add(1);
    {
        std::lock_guard guard(adapter.pendingLock);
        adapter.handedOut++;
    }
    receiver(&record->srb);
    {
        std::lock_guard guard(adapter.pendingLock);
        if (!record->finished) {
            record->pendingPosition = adapter.pending.insert(adapter.pending.end(), record);
            record->isPending = true;
        }
    }
    ReleaseSrb(record);
    return STATUS_PENDING;
}

NTSTATUS SendSrbAndWait(SrbRecord* record)
{
    NTSTATUS status = StartSrb(record);
    if (status != STATUS_PENDING) {
        record->srb.Status = status;
        return status;
    }
    std::unique_lock guard(record->lock);
    record->completed.wait(guard, [record] { return record->done; });
    return record->srb.Status;
}

void ReleaseSrb(SrbRecord* record)
{
    if (record->references.fetch_sub(1) != 1) return;
    {
        SrbTable& table = TheTable();
        std::lock_guard guard(table.lock);
        table.live.erase(&record->srb);
        table.retired.insert(&record->srb);
    }
    PinState* pin = record->target != SrbTarget::Adapter ? record->pin : nullptr;
    delete record;
    if (pin != nullptr) {
        std::lock_guard guard(pin->lock);
        if (--pin->outstanding == 0) pin->drained.notify_all();
    }
}

size_t PendingSrbCount(AdapterState& adapter)
{
    std::lock_guard guard(adapter.pendingLock);
    return adapter.handedOut;
}

size_t PendingSrbCount(AdapterState& adapter, const PinState* pin)
{
    std::lock_guard guard(adapter.pendingLock);
    size_t count = 0;
    for (const SrbRecord* record : adapter.pending) {
        if (record->pin == pin && record->target != SrbTarget::Adapter) count++;
    }
    return count;
}

void WaitForPinDrained(PinState& pin)
{
    std::unique_lock guard(pin.lock);
    pin.drained.wait(guard, [&pin] { return pin.outstanding == 0; });
}

}  // namespace nimbra::host::streamclass

// DeviceRequestComplete completes an adapter request with its Status; the other notifications
// (ReadyForNextDeviceRequest, events) are accepted and need nothing here. Any thread, IRQL up
// to DISPATCH_LEVEL.
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension,
                                   PHW_STREAM_REQUEST_BLOCK Srb, NtCallSite callSite)
{
    if (NotificationType != DeviceRequestComplete) return;
    SrbRecord* record = ClaimCompletion(Srb, callSite);
    if (record->target != SrbTarget::Adapter) {
        BugCheck("stream request completed with StreamClassDeviceNotification", callSite,
                 CommandText(record->srb.Command));
    }
    if (HwDeviceExtension != record->adapter->hwDeviceExtension.Data()) {
        BugCheck("SRB completed for another device extension", callSite, CommandText(record->srb.Command));
    }
    CompleteSrb(record, callSite);
}

// StreamRequestComplete completes a stream request with its Status, ActualBytesTransferred and
// stream headers; the ReadyForNext… and event notifications are accepted and ignored. Any
// thread, IRQL up to DISPATCH_LEVEL.
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, PHW_STREAM_REQUEST_BLOCK Srb, NtCallSite callSite)
{
    if (NotificationType != StreamRequestComplete) return;
    SrbRecord* record = ClaimCompletion(Srb, callSite);
    if (record->target == SrbTarget::Adapter) {
        BugCheck("adapter request completed with StreamClassStreamNotification", callSite,
                 CommandText(record->srb.Command));
    }
    if (StreamObject != record->pin->StreamObject()) {
        BugCheck("SRB completed for another stream object", callSite, CommandText(record->srb.Command));
    }
    CompleteSrb(record, callSite);
}
