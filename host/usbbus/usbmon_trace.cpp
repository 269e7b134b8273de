// The usbmon pcap writer. Layouts: pcap file header (24 bytes), record header (16 bytes), then
// the usbmon "mmapped" packet: 64-byte header, 16-byte isochronous descriptors, data. All
// fields little-endian, as written by a little-endian host.
#include "host/usbbus/usbmon_trace.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/usb_bus.h"

namespace nimbra::host {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 0x40000;

#pragma pack(push, 1)
struct PcapFileHeader {
    uint32_t magic;
    uint16_t versionMajor;
    uint16_t versionMinor;
    int32_t thisZone;
    uint32_t sigFigs;
    uint32_t snapLength;
    uint32_t linkType;
};

struct PcapRecordHeader {
    uint32_t seconds;
    uint32_t microseconds;
    uint32_t includedLength;
    uint32_t originalLength;
};

struct UsbmonHeader {
    uint64_t id;
    uint8_t type;
    uint8_t transferType;
    uint8_t endpoint;
    uint8_t device;
    uint16_t bus;
    int8_t setupFlag;  // 0: setup bytes present; '-' none
    int8_t dataFlag;   // 0: data present; '<' or '>' none yet / none back; '=' zero length
    int64_t seconds;
    int32_t microseconds;
    int32_t status;
    uint32_t length;
    uint32_t capturedLength;
    union {
        uint8_t setup[8];
        struct {
            int32_t errorCount;
            int32_t descriptorCount;
        } iso;
    } s;
    int32_t interval;
    int32_t startFrame;
    uint32_t transferFlags;
    uint32_t descriptorCount;
};

struct UsbmonIsoRecord {
    int32_t status;
    uint32_t offset;
    uint32_t length;
    uint32_t pad;
};
#pragma pack(pop)

static_assert(sizeof(PcapFileHeader) == 24);
static_assert(sizeof(PcapRecordHeader) == 16);
static_assert(sizeof(UsbmonHeader) == 64);
static_assert(sizeof(UsbmonIsoRecord) == 16);

}  // namespace

UsbmonTrace::~UsbmonTrace()
{
    Close();
}

bool UsbmonTrace::Open(const std::string& path, std::string* error)
{
    std::lock_guard guard(lock_);
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        if (error != nullptr) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    PcapFileHeader header{kPcapMagic, 2, 4, 0, 0, kSnapLength, kLinkTypeUsbLinuxMmapped};
    if (std::fwrite(&header, sizeof header, 1, file) != 1) {
        if (error != nullptr) *error = "cannot write " + path;
        std::fclose(file);
        return false;
    }
    file_ = file;
    return true;
}

void UsbmonTrace::Close()
{
    std::lock_guard guard(lock_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool UsbmonTrace::IsOpen() const
{
    std::lock_guard guard(lock_);
    return file_ != nullptr;
}

void UsbmonTrace::Write(const UsbmonEvent& event)
{
    std::lock_guard guard(lock_);
    if (file_ == nullptr) return;

    UsbmonHeader header;
    std::memset(&header, 0, sizeof header);
    header.id = event.id;
    header.type = static_cast<uint8_t>(event.type);
    header.transferType = event.transferType;
    header.endpoint = event.endpoint;
    header.device = kDeviceNumber;
    header.bus = kBusNumber;
    header.setupFlag = event.hasSetup ? 0 : '-';
    bool in = (event.endpoint & 0x80) != 0;
    if (!event.data.empty()) {
        header.dataFlag = 0;
    } else if (event.type == 'S' && in) {
        header.dataFlag = '<';
    } else if (event.type != 'S' && !in) {
        header.dataFlag = '>';
    } else {
        header.dataFlag = '=';
    }
    int64_t time = event.hostTime < 0 ? 0 : event.hostTime;
    header.seconds = time / 10000000;
    header.microseconds = static_cast<int32_t>((time % 10000000) / 10);
    header.status = event.status;
    header.length = event.length;
    header.capturedLength = static_cast<uint32_t>(event.data.size());
    if (event.hasSetup) {
        std::memcpy(header.s.setup, event.setup, 8);
    } else if (event.transferType == kUsbmonIsochronous) {
        header.s.iso.errorCount = event.errorCount;
        header.s.iso.descriptorCount = static_cast<int32_t>(event.iso.size());
    }
    header.interval = event.interval;
    header.startFrame = event.startFrame;
    header.transferFlags = event.transferFlags;
    header.descriptorCount = static_cast<uint32_t>(event.iso.size());

    size_t isoBytes = event.iso.size() * sizeof(UsbmonIsoRecord);
    size_t total = sizeof header + isoBytes + event.data.size();
    size_t captured = total > kSnapLength ? kSnapLength : total;
    PcapRecordHeader record{static_cast<uint32_t>(header.seconds), static_cast<uint32_t>(header.microseconds),
                            static_cast<uint32_t>(captured), static_cast<uint32_t>(total)};

    std::vector<uint8_t> bytes(total);
    std::memcpy(bytes.data(), &header, sizeof header);
    size_t at = sizeof header;
    for (const UsbmonIsoDescriptor& d : event.iso) {
        UsbmonIsoRecord iso{d.status, d.offset, d.length, 0};
        std::memcpy(bytes.data() + at, &iso, sizeof iso);
        at += sizeof iso;
    }
    if (!event.data.empty()) std::memcpy(bytes.data() + at, event.data.data(), event.data.size());
    std::fwrite(&record, sizeof record, 1, file_);
    std::fwrite(bytes.data(), 1, captured, file_);
}

int32_t UsbmonStatusOf(int32_t usbdStatus)
{
    switch (usbdStatus) {
    case USBD_STATUS_SUCCESS: return 0;
    case USBD_STATUS_PENDING: return -EINPROGRESS;
    case USBD_STATUS_CANCELED: return -ENOENT;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED: return -EPIPE;
    case USBD_STATUS_ERROR_SHORT_TRANSFER: return -EREMOTEIO;
    case USBD_STATUS_DEVICE_GONE: return -ESHUTDOWN;
    case USBD_STATUS_CRC: return -EPROTO;
    case USBD_STATUS_ISO_NOT_ACCESSED_BY_HW:
    case USBD_STATUS_ISO_NOT_ACCESSED_LATE:
    case USBD_STATUS_ISOCH_REQUEST_FAILED: return -EXDEV;
    case USBD_STATUS_DEV_NOT_RESPONDING: return -ETIMEDOUT;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_BAD_START_FRAME: return -EINVAL;
    default: return -EIO;
    }
}

}  // namespace nimbra::host
