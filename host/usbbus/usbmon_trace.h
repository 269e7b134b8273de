// The usbmon trace writer: a pcap file with LINKTYPE_USB_LINUX_MMAPPED (220) records, each the
// 64-byte usbmon header, the isochronous descriptors (16 bytes each) and the captured data, as
// Linux's binary usbmon interface delivers them. tshark and Wireshark read it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

namespace nimbra::host {

// Linux usbmon transfer types.
enum UsbmonTransferType : uint8_t {
    kUsbmonIsochronous = 0,
    kUsbmonInterrupt = 1,
    kUsbmonControl = 2,
    kUsbmonBulk = 3,
};

// Linux URB transfer flags recorded in the header.
constexpr uint32_t kUsbmonShortNotOk = 0x0001;
constexpr uint32_t kUsbmonIsoAsap = 0x0002;
constexpr uint32_t kUsbmonDirIn = 0x0200;

struct UsbmonIsoDescriptor {
    int32_t status;  // negative errno, 0 for success
    uint32_t offset;
    uint32_t length;
};

// One event. type: 'S' submission, 'C' completion, 'E' refused at submission.
struct UsbmonEvent {
    uint64_t id = 0;  // the same for a URB's submission and completion
    char type = 'S';
    uint8_t transferType = kUsbmonBulk;
    uint8_t endpoint = 0;  // address with the direction bit
    bool hasSetup = false;
    uint8_t setup[8] = {};
    int64_t hostTime = 0;  // 100 ns units of the host clock
    int32_t status = 0;    // negative errno; -EINPROGRESS for a submission
    uint32_t length = 0;   // requested (submission) or actual (completion) length
    std::span<const uint8_t> data;  // bytes captured after the header
    int32_t interval = 0;
    int32_t startFrame = 0;
    uint32_t transferFlags = 0;
    int32_t errorCount = 0;  // isochronous only
    std::span<const UsbmonIsoDescriptor> iso;
};

class UsbmonTrace {
public:
    UsbmonTrace() = default;
    ~UsbmonTrace();
    UsbmonTrace(const UsbmonTrace&) = delete;
    UsbmonTrace& operator=(const UsbmonTrace&) = delete;

    // Creates (or truncates) the file and writes the pcap file header. Closes a trace in progress.
    bool Open(const std::string& path, std::string* error);
    void Close();
    bool IsOpen() const;
    // Appends one record; does nothing when no trace is open. Thread-safe.
    void Write(const UsbmonEvent& event);

    // Bus and device numbers written in every record.
    static constexpr uint16_t kBusNumber = 1;
    static constexpr uint8_t kDeviceNumber = 2;

private:
    mutable std::mutex lock_;  // guards file_
    FILE* file_ = nullptr;
};

// Linux errno value (negative) that stands for a USBD status in the trace.
int32_t UsbmonStatusOf(int32_t usbdStatus);

}  // namespace nimbra::host
