// The host-controller thread: the 1 ms frame schedule, serving the default-pipe queue and each
// pipe's head transfer once per frame, finishing transfers (cancel, abort, unplug) and running
// the IRP completions at DISPATCH_LEVEL outside the bus lock, in the order they finished.
//
// Per frame: the device model's OnBusFrame; the default queue in order (a NAKed control
// request holds back the control requests behind it, not the aborts); then every pipe's head
// transfer: a bulk or interrupt transfer whole (or NAKed, to be retried next frame), an
// isochronous transfer one packet.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "host/kernel/host_kernel.h"
#include "host/usbbus/usb_bus_internal.h"

namespace nimbra::host {

namespace {

constexpr LONGLONG kFrameUnits = 10000;  // 1 ms in 100 ns units

// Real time for a span of host time at the clock's current rate.
std::chrono::nanoseconds RealSpan(LONGLONG units)
{
    double ns = static_cast<double>(units) * 100.0 / ClockRate();
    ns = std::clamp(ns, 1000.0, 50e6);  // at least 1 µs, and look again at least every 50 ms
    return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

// Final packet fields of an isochronous transfer: slots never served are not accessed; the
// error count and the transfer length follow from the packets.
void FinalizeIsochronous(UsbTransfer* transfer)
{
    auto& request = transfer->urb->UrbIsochronousTransfer;
    PUSBD_ISO_PACKET_DESCRIPTOR packet = request.IsoPacket;
    ULONG errors = 0;
    ULONG total = 0;
    for (ULONG i = 0; i < request.NumberOfPackets; ++i) {
        if (i >= transfer->nextPacket) {
            packet[i].Length = 0;
            packet[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        }
        if (!USBD_SUCCESS(packet[i].Status)) ++errors;
        total += packet[i].Length;
    }
    request.ErrorCount = errors;
    request.TransferBufferLength = total;
}

}  // namespace

void UsbBusCore::Run()
{
    std::unique_lock guard(lock_);
    for (;;) {
        ReapCancelsLocked();
        if (resetPending_) {
            resetPending_ = false;
            device_.OnBusReset();
        }
        if (!done_.empty()) {
            std::vector<UsbTransfer*> batch;
            batch.swap(done_);
            guard.unlock();
            CompleteBatch(batch);
            guard.lock();
            continue;
        }
        if (stopping_ && pending_ == 0) break;
        if (stopping_) {
            // Only transfers whose cancel routine is on its way are left.
            wake_.wait_for(guard, std::chrono::milliseconds(1));
            continue;
        }

        bool work = HasQueuedWorkLocked();
        uint64_t next = CurrentFrame() + 1;
        if (paced_) {
            LONGLONG due = (static_cast<int64_t>(next) - paceOffset_) * kFrameUnits;
            LONGLONG now = HostTimeNow();
            if (now < due) {
                std::chrono::nanoseconds wait = RealSpan(due - now);
                // Idle: no need to wake for every frame.
                if (!work) wait = std::max<std::chrono::nanoseconds>(wait, std::chrono::milliseconds(5));
                idleWait_ = !work;
                wake_.wait_for(guard, wait);
                continue;
            }
            if (idleWait_) {
                // The frames that passed while nothing was queued: the device sees each start,
                // but what was submitted meanwhile goes in the frame of the present, not into
                // frames already past.
                idleWait_ = false;
                auto present = static_cast<uint64_t>(std::max<int64_t>(now / kFrameUnits + paceOffset_, 0));
                for (uint64_t frame = next; frame < present; ++frame) {
                    currentFrame_.store(frame, std::memory_order_relaxed);
                    device_.OnBusFrame(frame);
                }
                next = CurrentFrame() + 1;
            }
        } else {
            if (!work) {
                wake_.wait(guard);
                continue;
            }
            if (!lastFrameProgressed_) {
                // Only waiting transfers (NAK, unresponsive): go at host pace instead of spinning.
                lastFrameProgressed_ = true;
                wake_.wait_for(guard, RealSpan(kFrameUnits));
                continue;
            }
        }
        currentFrame_.store(next, std::memory_order_relaxed);
        RunFrameLocked(next);
    }
}

bool UsbBusCore::HasQueuedWorkLocked() const
{
    if (!defaultQueue_.empty() || !cancelRequests_.empty() || !done_.empty() || resetPending_) return true;
    for (const auto& entry : pipes_) {
        if (!entry.second->queue.empty()) return true;
    }
    return false;
}

// One bus frame. Caller holds lock_.
void UsbBusCore::RunFrameLocked(uint64_t frame)
{
    device_.OnBusFrame(frame);
    bool progress = false;
    bool controlBlocked = false;
    std::vector<UsbTransfer*> waiting(defaultQueue_.begin(), defaultQueue_.end());
    for (UsbTransfer* transfer : waiting) {
        if (transfer->place != UsbTransferPlace::DefaultQueue) continue;  // finished by an earlier one
        if (frame < transfer->notBeforeFrame) {
            controlBlocked = controlBlocked || transfer->kind != UsbTransferKind::AbortPipe;
            continue;
        }
        if (transfer->kind == UsbTransferKind::AbortPipe) {
            ServeAbortPipeLocked(transfer);
            progress = true;
            continue;
        }
        if (controlBlocked) continue;
        if (ServeDefaultLocked(transfer)) {
            progress = true;
        } else {
            controlBlocked = true;
        }
    }
    for (auto& entry : pipes_) progress |= ServePipeLocked(entry.second.get(), frame);
    lastFrameProgressed_ = progress;
}

// A control transfer on the default pipe, with the knobs of endpoint 0 applied: unresponsive
// never answers (NAK), stalled refuses. Caller holds lock_.
UsbHandshake UsbBusCore::ControlLocked(const UsbSetupPacket& setup, std::span<uint8_t> data, size_t* actual)
{
    *actual = 0;
    if (unresponsive_.count(0x00) || unresponsive_.count(0x80)) return UsbHandshake::Nak;
    if (stalled_.count(0x00) || stalled_.count(0x80)) return UsbHandshake::Stall;
    UsbHandshake handshake = device_.HandleControl(setup, data, actual);
    *actual = std::min(*actual, data.size());
    return handshake;
}

// A request of the default queue other than an abort. Returns false when it was NAKed and
// stays queued. Caller holds lock_.
bool UsbBusCore::ServeDefaultLocked(UsbTransfer* transfer)
{
    switch (transfer->kind) {
    case UsbTransferKind::Descriptor: {
        auto& request = transfer->urb->UrbControlDescriptorRequest;
        UsbSetupPacket setup{transfer->setup[0], transfer->setup[1],
                             static_cast<uint16_t>(transfer->setup[2] | transfer->setup[3] << 8),
                             static_cast<uint16_t>(transfer->setup[4] | transfer->setup[5] << 8),
                             static_cast<uint16_t>(transfer->length)};
        size_t actual = 0;
        UsbHandshake handshake = ControlLocked(setup, std::span<uint8_t>(transfer->buffer, transfer->length), &actual);
        if (handshake == UsbHandshake::Nak) return false;
        if (handshake == UsbHandshake::Stall) {
            request.TransferBufferLength = 0;
            FinishLocked(transfer, USBD_STATUS_STALL_PID);
            return true;
        }
        request.TransferBufferLength = static_cast<ULONG>(actual);
        stats_.bytesIn += actual;
        FinishLocked(transfer, USBD_STATUS_SUCCESS);
        return true;
    }
    case UsbTransferKind::SelectConfiguration: return ServeSelectConfigurationLocked(transfer);
    case UsbTransferKind::SelectInterface: return ServeSelectInterfaceLocked(transfer);
    case UsbTransferKind::ResetPipe: return ServeResetPipeLocked(transfer);
    default:
        FinishLocked(transfer, USBD_STATUS_INVALID_URB_FUNCTION);
        return true;
    }
}

// The head transfer of one pipe in this frame. Returns true when it moved. Caller holds lock_.
bool UsbBusCore::ServePipeLocked(UsbPipe* pipe, uint64_t frame)
{
    if (pipe->queue.empty()) return false;
    UsbTransfer* transfer = pipe->queue.front();
    if (unresponsive_.count(pipe->endpointAddress) || frame < transfer->notBeforeFrame) return false;
    if (pipe->type == UsbdPipeTypeIsochronous) {
        ServeIsochronousLocked(pipe, transfer, frame);
        return true;
    }

    auto& request = transfer->urb->UrbBulkOrInterruptTransfer;
    if (pipe->halted) {
        request.TransferBufferLength = 0;
        FinishLocked(transfer, USBD_STATUS_ENDPOINT_HALTED);
        return true;
    }
    UsbHandshake handshake = UsbHandshake::Stall;
    size_t actual = 0;
    if (!stalled_.count(pipe->endpointAddress)) {
        if (transfer->in) {
            handshake = device_.HandleDataIn(pipe->endpointAddress, std::span<uint8_t>(transfer->buffer, transfer->length),
                                             &actual);
            actual = std::min<size_t>(actual, transfer->length);
        } else {
            handshake = device_.HandleDataOut(pipe->endpointAddress,
                                              std::span<const uint8_t>(transfer->buffer, transfer->length));
            actual = transfer->length;
        }
    }
    if (handshake == UsbHandshake::Nak) return false;
    if (handshake == UsbHandshake::Stall) {
        pipe->halted = true;
        request.TransferBufferLength = 0;
        FinishLocked(transfer, USBD_STATUS_STALL_PID);
        return true;
    }
    request.TransferBufferLength = static_cast<ULONG>(actual);
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (transfer->in) {
        stats_.bytesIn += actual;
        if (actual < transfer->length && !transfer->shortOk) status = USBD_STATUS_ERROR_SHORT_TRANSFER;
    } else {
        stats_.bytesOut += actual;
    }
    FinishLocked(transfer, status);
    return true;
}

// One packet slot of an isochronous IN transfer: packet i gets at most the pipe's packet size,
// bounded by the next packet's offset (or the buffer's end). Caller holds lock_.
void UsbBusCore::ServeIsochronousLocked(UsbPipe* pipe, UsbTransfer* transfer, uint64_t frame)
{
    auto& request = transfer->urb->UrbIsochronousTransfer;
    PUSBD_ISO_PACKET_DESCRIPTOR packet = request.IsoPacket;
    ULONG i = transfer->nextPacket;
    if (i == 0) request.StartFrame = static_cast<ULONG>(frame);
    ULONG offset = packet[i].Offset;
    ULONG end = i + 1 < request.NumberOfPackets ? packet[i + 1].Offset : transfer->length;
    size_t room = std::min<size_t>(end - offset, pipe->maxPacketSize & 0x7FF);
    size_t actual = 0;
    UsbIsoOutcome outcome = device_.HandleIsoIn(pipe->endpointAddress, frame,
                                                std::span<uint8_t>(transfer->buffer + offset, room), &actual);
    actual = std::min(actual, room);
    ++isoPacketCounter_;
    ++stats_.isoPackets;
    if (isoLossEvery_ != 0 && isoPacketCounter_ % isoLossEvery_ == 0) {
        outcome = UsbIsoOutcome::Lost;
    } else if (isoErrorEvery_ != 0 && isoPacketCounter_ % isoErrorEvery_ == 0 && outcome == UsbIsoOutcome::Data) {
        outcome = UsbIsoOutcome::Error;
    }
    switch (outcome) {
    case UsbIsoOutcome::Data:
        packet[i].Length = static_cast<ULONG>(actual);
        packet[i].Status = USBD_STATUS_SUCCESS;
        break;
    case UsbIsoOutcome::Error:
        packet[i].Length = static_cast<ULONG>(actual);
        packet[i].Status = USBD_STATUS_CRC;
        break;
    case UsbIsoOutcome::Lost:
        packet[i].Length = 0;
        packet[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        break;
    }
    stats_.bytesIn += packet[i].Length;
    transfer->nextPacket = i + 1;
    if (transfer->nextPacket < request.NumberOfPackets) return;

    ULONG errors = 0;
    for (ULONG k = 0; k < request.NumberOfPackets; ++k) errors += USBD_SUCCESS(packet[k].Status) ? 0 : 1;
    FinishLocked(transfer, errors == request.NumberOfPackets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS);
}

// Takes a transfer out of its queue and lines it up for completion with the given URB status.
// If its cancel routine is already running, it waits in cancelling_ and completes as cancelled
// once the routine has flagged it. Caller holds lock_.
void UsbBusCore::FinishLocked(UsbTransfer* transfer, USBD_STATUS status)
{
    RemoveFromPlaceLocked(transfer);
    if (IoSetCancelRoutine(transfer->irp, nullptr) == nullptr) {
        transfer->place = UsbTransferPlace::Cancelling;
        cancelling_.push_back(transfer);
        return;
    }
    transfer->status = status;
    if (transfer->kind == UsbTransferKind::Isochronous) {
        FinalizeIsochronous(transfer);
    } else if (transfer->kind == UsbTransferKind::Bulk && !USBD_SUCCESS(status) &&
               status != USBD_STATUS_ERROR_SHORT_TRANSFER) {
        transfer->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    } else if (transfer->kind == UsbTransferKind::Descriptor && !USBD_SUCCESS(status)) {
        transfer->urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
    }
    transfer->urb->UrbHeader.Status = status;
    transfer->place = UsbTransferPlace::Done;
    done_.push_back(transfer);
}

void UsbBusCore::RemoveFromPlaceLocked(UsbTransfer* transfer)
{
    auto erase = [transfer](auto& container) {
        auto it = std::find(container.begin(), container.end(), transfer);
        if (it != container.end()) container.erase(it);
    };
    switch (transfer->place) {
    case UsbTransferPlace::DefaultQueue: erase(defaultQueue_); break;
    case UsbTransferPlace::PipeQueue:
        erase(transfer->pipe->queue);
        if (transfer->pipe->queue.empty()) transfer->pipe->isoScheduleEnd = 0;
        transfer->pipe = nullptr;
        break;
    case UsbTransferPlace::Cancelling: erase(cancelling_); break;
    case UsbTransferPlace::Done: break;
    }
}

// Transfers whose cancel routine ran: out of their queue, completed with STATUS_CANCELLED.
// Caller holds lock_.
void UsbBusCore::ReapCancelsLocked()
{
    for (UsbTransfer* transfer : cancelRequests_) {
        RemoveFromPlaceLocked(transfer);
        transfer->status = USBD_STATUS_CANCELED;
        if (transfer->kind == UsbTransferKind::Isochronous) {
            FinalizeIsochronous(transfer);
        } else if (transfer->kind == UsbTransferKind::Bulk) {
            transfer->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        } else if (transfer->kind == UsbTransferKind::Descriptor) {
            transfer->urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
        }
        transfer->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        transfer->place = UsbTransferPlace::Done;
        done_.push_back(transfer);
    }
    cancelRequests_.clear();
}

// Every queued transfer ends with the given status (unplug, shutdown). Caller holds lock_.
void UsbBusCore::FailAllLocked(USBD_STATUS status)
{
    std::vector<UsbTransfer*> all(defaultQueue_.begin(), defaultQueue_.end());
    for (auto& entry : pipes_) all.insert(all.end(), entry.second->queue.begin(), entry.second->queue.end());
    for (UsbTransfer* transfer : all) FinishLocked(transfer, status);
}

// Completes finished transfers in order, each at DISPATCH_LEVEL on this thread, outside lock_:
// a completion routine may submit again. STATUS_MORE_PROCESSING_REQUIRED from it leaves the
// IRP with its driver (IofCompleteRequest stops there).
void UsbBusCore::CompleteBatch(std::vector<UsbTransfer*>& batch)
{
    uint64_t cancelled = 0;
    for (UsbTransfer* transfer : batch) {
        TraceCompletion(transfer);
        if (transfer->status == USBD_STATUS_CANCELED) ++cancelled;
        PIRP irp = transfer->irp;
        irp->Tail.Overlay.DriverContext[0] = nullptr;
        irp->Tail.Overlay.DriverContext[1] = nullptr;
        irp->IoStatus.Status = NtStatusOfUsbd(transfer->status);
        irp->IoStatus.Information = 0;
        delete transfer;
        {
            // Counted before the completion runs: a waiter woken by it sees the bus settled.
            // This thread checks for shutdown only after the whole batch.
            std::lock_guard guard(lock_);
            ++stats_.completed;
            stats_.cancelled += cancelled;
            cancelled = 0;
            --pending_;
        }
        ScopedIrql dispatch(DISPATCH_LEVEL);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// Writes the 'C' record: the final status and length, IN data, the packet results.
void UsbBusCore::TraceCompletion(UsbTransfer* transfer)
{
    if (!transfer->traced || !trace_.IsOpen()) return;
    UsbmonEvent event;
    event.id = reinterpret_cast<uintptr_t>(transfer->urb);
    event.type = 'C';
    event.transferType = transfer->traceType;
    event.endpoint = transfer->traceSetup ? static_cast<uint8_t>(transfer->setup[0] & 0x80) : transfer->endpoint;
    event.hostTime = HostTimeNow();
    event.status = UsbmonStatusOf(transfer->status);
    event.interval = transfer->traceInterval;
    event.transferFlags = transfer->traceFlags;
    std::vector<UsbmonIsoDescriptor> iso;
    switch (transfer->kind) {
    case UsbTransferKind::Descriptor: {
        ULONG actual = transfer->urb->UrbControlDescriptorRequest.TransferBufferLength;
        event.length = actual;
        if (actual != 0) event.data = std::span<const uint8_t>(transfer->buffer, actual);
        break;
    }
    case UsbTransferKind::Bulk: {
        ULONG actual = transfer->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        event.length = actual;
        if (transfer->in && actual != 0) event.data = std::span<const uint8_t>(transfer->buffer, actual);
        break;
    }
    case UsbTransferKind::Isochronous: {
        auto& request = transfer->urb->UrbIsochronousTransfer;
        const USBD_ISO_PACKET_DESCRIPTOR* packet = request.IsoPacket;
        size_t captured = 0;
        for (ULONG i = 0; i < request.NumberOfPackets; ++i) {
            iso.push_back({UsbmonStatusOf(packet[i].Status), packet[i].Offset, packet[i].Length});
            if (packet[i].Length != 0) captured = std::max<size_t>(captured, packet[i].Offset + packet[i].Length);
        }
        event.length = request.TransferBufferLength;
        if (captured != 0) event.data = std::span<const uint8_t>(transfer->buffer, captured);
        event.startFrame = static_cast<int32_t>(request.StartFrame);
        event.errorCount = static_cast<int32_t>(request.ErrorCount);
        event.iso = iso;
        break;
    }
    default: break;
    }
    trace_.Write(event);
}

}  // namespace nimbra::host
