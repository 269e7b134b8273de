// Descriptor tables.
#include "host/camsim/descriptors.h"

#include <cstring>

#include "platform/usb_bus.h"

namespace nimbra::camsim {
namespace {

constexpr uint16_t kBulkPacketSize = 64;  // full speed

void Append(std::vector<uint8_t>& out, const void* record, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(record);
    out.insert(out.end(), bytes, bytes + size);
}

void AppendEndpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t attributes, uint16_t packetSize,
                    uint8_t interval)
{
    USB_ENDPOINT_DESCRIPTOR ep{};
    ep.bLength = sizeof(ep);
    ep.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
    ep.bEndpointAddress = address;
    ep.bmAttributes = attributes;
    ep.wMaxPacketSize = packetSize;
    ep.bInterval = interval;
    Append(out, &ep, sizeof(ep));
}

void AppendInterface(std::vector<uint8_t>& out, uint8_t number, uint8_t alternate, uint8_t endpoints)
{
    USB_INTERFACE_DESCRIPTOR id{};
    id.bLength = sizeof(id);
    id.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
    id.bInterfaceNumber = number;
    id.bAlternateSetting = alternate;
    id.bNumEndpoints = endpoints;
    id.bInterfaceClass = 0xFF;  // vendor specific
    Append(out, &id, sizeof(id));
}

}  // namespace

std::array<uint8_t, 18> BuildDeviceDescriptor(const CameraConfig& config)
{
    USB_DEVICE_DESCRIPTOR dd{};
    dd.bLength = sizeof(dd);
    dd.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    dd.bcdUSB = 0x0110;
    dd.bDeviceClass = 0x00;  // per interface
    dd.bMaxPacketSize0 = 8;
    dd.idVendor = config.vendorId;
    dd.idProduct = config.productId;
    dd.bcdDevice = config.bcdDevice;
    dd.bNumConfigurations = 1;
    std::array<uint8_t, 18> out{};
    std::memcpy(out.data(), &dd, sizeof(dd));
    return out;
}

std::vector<uint8_t> BuildConfigurationDescriptor(const CameraConfig& config)
{
    if (!config.rawConfigDescriptor.empty()) return config.rawConfigDescriptor;
    std::vector<uint8_t> out(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    for (size_t alt = 0; alt < config.isoPacketSizes.size(); ++alt) {
        AppendInterface(out, 0, static_cast<uint8_t>(alt), 7);
        const uint8_t isoAttributes = alt < config.isoAttributes.size() ? config.isoAttributes[alt] : 0x01;
        AppendEndpoint(out, kEpVideoIso, isoAttributes, config.isoPacketSizes[alt], 1);
        AppendEndpoint(out, kEpVideoBulk, USB_ENDPOINT_TYPE_BULK, kBulkPacketSize, 0);
        AppendEndpoint(out, kEpReply, USB_ENDPOINT_TYPE_BULK, kBulkPacketSize, 0);
        AppendEndpoint(out, kEpMessages, USB_ENDPOINT_TYPE_BULK, kBulkPacketSize, 0);
        AppendEndpoint(out, kEpInterrupt, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10);
        AppendEndpoint(out, kEpSpareOut, USB_ENDPOINT_TYPE_BULK, kBulkPacketSize, 0);
        AppendEndpoint(out, kEpMemoryWrite, USB_ENDPOINT_TYPE_BULK, kBulkPacketSize, 0);
    }
    for (uint8_t i = 1; i < config.interfaceCount; ++i) AppendInterface(out, i, 0, 0);

    USB_CONFIGURATION_DESCRIPTOR cd{};
    cd.bLength = sizeof(cd);
    cd.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    cd.wTotalLength = static_cast<USHORT>(out.size());
    cd.bNumInterfaces = config.interfaceCount;
    cd.bConfigurationValue = 1;
    cd.bmAttributes = 0x80;  // bus powered
    cd.MaxPower = 250;       // 500 mA
    std::memcpy(out.data(), &cd, sizeof(cd));
    return out;
}

}  // namespace nimbra::camsim
