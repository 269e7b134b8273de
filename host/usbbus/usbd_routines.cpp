// The USB driver interface routines: walking a configuration descriptor set and building the
// select-configuration URB. Every walk stays inside the stated total length: a descriptor with
// bLength 0, shorter than its header, or running past the end ends the walk.
#include <cstring>

#include "platform/usb_bus.h"

namespace {

constexpr ULONG kUsbdPoolTag = 0x44425355;  // 'USBD'

// True when the descriptor at p (2 bytes at least, inside [base, end)) is whole.
bool DescriptorFits(const UCHAR* p, const UCHAR* end)
{
    if (end - p < 2) return false;
    UCHAR length = p[0];
    return length >= 2 && length <= end - p;
}

}  // namespace

// Returns the next descriptor of DescriptorType (−1: any type) at or after StartPosition within
// TotalLength bytes of DescriptorBuffer, or null. Any IRQL.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType)
{
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
    auto* base = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* end = base + TotalLength;
    auto* p = static_cast<const UCHAR*>(StartPosition);
    if (p < base || p >= end) return nullptr;
    while (DescriptorFits(p, end)) {
        if (DescriptorType == -1 || p[1] == static_cast<UCHAR>(DescriptorType)) {
            return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(p));
        }
        p += p[0];
    }
    return nullptr;
}

// Returns the first interface descriptor at or after StartPosition that matches every filter
// that is not −1, or null. Interface descriptors too short to hold their fields are skipped.
// Any IRQL.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == nullptr) return nullptr;
    ULONG total = ConfigurationDescriptor->wTotalLength;
    auto* base = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
    auto* p = static_cast<UCHAR*>(StartPosition != nullptr ? StartPosition : ConfigurationDescriptor);
    auto matches = [](LONG filter, UCHAR value) { return filter == -1 || static_cast<UCHAR>(filter) == value; };
    while (PUSB_COMMON_DESCRIPTOR found = USBD_ParseDescriptors(base, total, p, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) && matches(InterfaceNumber, candidate->bInterfaceNumber) &&
            matches(AlternateSetting, candidate->bAlternateSetting) &&
            matches(InterfaceClass, candidate->bInterfaceClass) &&
            matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
            matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
            return candidate;
        }
        p = reinterpret_cast<UCHAR*>(found) + found->bLength;
    }
    return nullptr;
}

// Builds a select-configuration URB from pool for the interfaces of InterfaceList (ended by a
// null InterfaceDescriptor): one interface record per entry with room for its bNumEndpoints
// pipes, each record's Length, InterfaceNumber, AlternateSetting and NumberOfPipes set and
// every pipe's MaximumTransferSize at USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE; each entry's
// Interface points at its record. Returns null when memory runs out, when an entry's
// descriptor is not a whole interface descriptor inside the set, or when the URB would not
// fit its 16-bit length. The caller frees it with ExFreePool. PASSIVE_LEVEL.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    auto* base = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = base + ConfigurationDescriptor->wTotalLength;

    constexpr size_t kHeaderSize = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    size_t size = kHeaderSize;
    size_t interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        auto* p = reinterpret_cast<const UCHAR*>(entry->InterfaceDescriptor);
        if (p < base || !DescriptorFits(p, end) || p[0] < sizeof(USB_INTERFACE_DESCRIPTOR) ||
            p[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
            return nullptr;
        }
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
        if (size > 0xFFFF) return nullptr;
    }
    if (interfaces == 0) return nullptr;
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        ULONG pipes = descriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i) info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        entry->Interface = info;
        record += info->Length;
    }
    return urb;
}
