// The USB bus stand-in as the host sees it: one device model on one bus, the physical device
// object the driver sends its URBs to, the frame clock, the usbmon trace and the fault knobs
// tests use. The driver never includes this; it sees only platform/usb_bus.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/usbbus/usb_device_model.h"
#include "platform/usb_bus.h"

namespace nimbra::host {

struct UsbBusOptions {
    bool paced = true;  // one bus frame per 1 ms of host (rated) time; false: as fast as work allows
};

class UsbBusCore;

class UsbBus {
public:
    explicit UsbBus(UsbDeviceModel& device, UsbBusOptions options = {});
    // Fails whatever is still pending (device gone), then stops the host-controller thread.
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // The lower device object the driver sends IOCTL_INTERNAL_USB_SUBMIT_URB requests to.
    PDEVICE_OBJECT PhysicalDeviceObject();

    // Paced: frame n runs no earlier than n ms of host time (rate-scaled). Unpaced: frames run
    // back to back while transfers progress, slow to host pace while they only wait, and stop
    // while nothing is queued.
    void SetPaced(bool paced);
    // The number of the bus frame most recently run.
    uint64_t CurrentFrame() const;

    // Records every submission and completion from now on as a usbmon pcap file
    // (LINKTYPE_USB_LINUX_MMAPPED). A second call replaces the file being written.
    bool StartTrace(const std::string& pcapPath, std::string* error);
    // Ends the trace and flushes the file.
    void StopTrace();

    // ---- Fault knobs ----
    // The endpoint's halt feature: transfers to it end with a STALL; RESET_PIPE
    // (CLEAR_FEATURE(ENDPOINT_HALT)) clears it, as does a call with stalled = false.
    void StallEndpoint(uint8_t endpointAddress, bool stalled);
    // Transfers to the endpoint are never answered: they stay pending until cancelled, aborted
    // or the device is unplugged. Also freezes an isochronous pipe's schedule.
    void SetEndpointUnresponsive(uint8_t endpointAddress, bool unresponsive);
    // Every n-th isochronous packet served on the bus arrives with a CRC error; 0 turns it off.
    void SetIsoErrorEvery(uint32_t n);
    // Every n-th isochronous packet served on the bus is lost (no data); 0 turns it off.
    void SetIsoLossEvery(uint32_t n);
    // The device leaves the bus: pending transfers fail with USBD_STATUS_DEVICE_GONE, later
    // submissions fail at once.
    void Unplug();

    struct Stats {
        uint64_t submitted;   // URBs received
        uint64_t completed;   // IRPs completed (every outcome, at once or later)
        uint64_t cancelled;   // of those, completed with STATUS_CANCELLED (cancel or abort)
        uint64_t isoPackets;  // isochronous packet slots served
        uint64_t bytesIn;     // data bytes device to host (control, bulk, isochronous)
        uint64_t bytesOut;    // data bytes host to device
    };
    Stats GetStats() const;
    // URBs queued in the bus and not yet completed.
    size_t PendingCount() const;

private:
    std::unique_ptr<UsbBusCore> core_;
};

}  // namespace nimbra::host
