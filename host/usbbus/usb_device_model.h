// The narrow interface between the USB bus stand-in and a device on it. A device model sees
// only USB: standard control requests on endpoint 0, bulk/interrupt data and isochronous packets.
// It answers as a device would: ACK with data, NAK (nothing yet, ask again in a later frame) or
// STALL. All calls come from the bus's host-controller thread, one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace nimbra::host {

struct UsbSetupPacket {
    uint8_t bmRequestType;  // bit 7: device-to-host
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

enum class UsbHandshake {
    Ack,    // done; for IN, *actual bytes were written
    Nak,    // not ready: the bus retries in a later bus frame
    Stall,  // the request or the endpoint is refused
};

// What happened to one isochronous IN packet slot.
enum class UsbIsoOutcome {
    Data,   // *actual bytes (0 allowed) delivered without error
    Error,  // delivered with an error (e.g. CRC); *actual bytes are still reported
    Lost,   // nothing arrived in this frame (not accessed by hardware)
};

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    // Control transfer on endpoint 0. The bus sends GET_DESCRIPTOR (device, configuration),
    // SET_CONFIGURATION, SET_INTERFACE and CLEAR_FEATURE(ENDPOINT_HALT) here. For a
    // device-to-host request `data` has wLength bytes to fill; for host-to-device it holds the
    // data stage (usually empty).
    virtual UsbHandshake HandleControl(const UsbSetupPacket& setup, std::span<uint8_t> data, size_t* actual) = 0;

    // One bulk or interrupt OUT transfer to `endpoint` (address, bit 7 clear), whole.
    virtual UsbHandshake HandleDataOut(uint8_t endpoint, std::span<const uint8_t> data) = 0;

    // One bulk or interrupt IN transfer from `endpoint` (address, bit 7 set): fill at most
    // buffer.size() bytes. A Nak leaves the transfer pending for a later frame.
    virtual UsbHandshake HandleDataIn(uint8_t endpoint, std::span<uint8_t> buffer, size_t* actual) = 0;

    // The isochronous IN packet of `endpoint` scheduled in bus frame `busFrame`: fill at most
    // packet.size() bytes (the selected alternate setting's wMaxPacketSize).
    virtual UsbIsoOutcome HandleIsoIn(uint8_t endpoint, uint64_t busFrame, std::span<uint8_t> packet,
                                      size_t* actual) = 0;

    // Start of every 1 ms bus frame, before that frame's transfers.
    virtual void OnBusFrame(uint64_t /*busFrame*/) {}

    // Bus reset or unplug: the device returns to its unconfigured state.
    virtual void OnBusReset() {}
};

}  // namespace nimbra::host
