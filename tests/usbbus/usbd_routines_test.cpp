// The USB driver interface routines on a good descriptor set and on malformed ones. Every set
// lives in a buffer of exactly its stated length, so a read past it shows under ASan.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "platform/usb_bus.h"
#include "tests/usbbus/test_usb_device.h"

namespace nimbra::host::test {
namespace {

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

TEST(UsbdRoutines, ParseFindsInterfacesAndEndpointsOfTheGoodSet)
{
    TestUsbDevice device;
    std::vector<uint8_t> bytes = device.ConfigurationDescriptor();
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
    const USHORT packetSizes[4] = {0, 256, 512, 512};
    for (LONG alternate = 0; alternate < 4; ++alternate) {
        PUSB_INTERFACE_DESCRIPTOR interface =
            USBD_ParseConfigurationDescriptorEx(config, config, 0, alternate, -1, -1, -1);
        ASSERT_NE(interface, nullptr) << alternate;
        EXPECT_EQ(interface->bAlternateSetting, alternate);
        // The first endpoint after it (the class-specific descriptor of setting 1 is skipped).
        auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
            USBD_ParseDescriptors(config, config->wTotalLength, interface, USB_ENDPOINT_DESCRIPTOR_TYPE));
        ASSERT_NE(endpoint, nullptr);
        EXPECT_EQ(endpoint->bEndpointAddress, 0x83);
        USHORT packetSize = endpoint->wMaxPacketSize;  // packed field: read by value
        EXPECT_EQ(packetSize, packetSizes[alternate]);
    }
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 4, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1), nullptr);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0xFF, 0x01, 0x02), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0E, -1, -1), nullptr);
    // From a start position past setting 2, setting 1 is not found again.
    PUSB_INTERFACE_DESCRIPTOR second = USBD_ParseConfigurationDescriptorEx(config, config, 0, 2, -1, -1, -1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, second, 0, 1, -1, -1, -1), nullptr);
    // Start positions outside the set find nothing.
    EXPECT_EQ(USBD_ParseDescriptors(config, config->wTotalLength, bytes.data() + bytes.size(), -1), nullptr);
}

TEST(UsbdRoutines, MalformedSetsEndTheWalk)
{
    auto interface = [](uint8_t length, uint8_t alternate) {
        return std::vector<uint8_t>{length, USB_INTERFACE_DESCRIPTOR_TYPE, 0, alternate, 1, 0, 0, 0, 0};
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> tail;  // after the 9-byte configuration descriptor
        bool alternate1Found;
    };
    std::vector<uint8_t> zeroLength = interface(9, 0);
    zeroLength.insert(zeroLength.end(), {0, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 2, 64, 0, 0});
    std::vector<uint8_t> zeroThenSetting1 = zeroLength;
    std::vector<uint8_t> setting1 = interface(9, 1);
    zeroThenSetting1.insert(zeroThenSetting1.end(), setting1.begin(), setting1.end());
    std::vector<uint8_t> runsPast = interface(9, 0);
    runsPast.insert(runsPast.end(), {200, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 1, 0, 0, 0, 0, 0});
    std::vector<uint8_t> truncated = interface(9, 0);
    truncated.insert(truncated.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 1});  // 4 of its 9 bytes
    std::vector<uint8_t> tooShort = interface(4, 1);
    tooShort.resize(4);
    const Case cases[] = {
        {"bLength 0", zeroThenSetting1, false},
        {"descriptor runs past wTotalLength", runsPast, false},
        {"set ends inside a descriptor", truncated, false},
        {"interface descriptor shorter than its fields", tooShort, false},
        {"one trailing byte", {1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
        bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
        bytes[2] = static_cast<uint8_t>(bytes.size());
        bytes.shrink_to_fit();
        PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 1, -1, -1, -1) != nullptr, c.alternate1Found);
        // A full walk of any type terminates inside the buffer.
        int seen = 0;
        for (auto* p = USBD_ParseDescriptors(config, config->wTotalLength, config, -1); p != nullptr && seen < 100;
             p = USBD_ParseDescriptors(config, config->wTotalLength, reinterpret_cast<uint8_t*>(p) + p->bLength, -1)) {
            EXPECT_LE(reinterpret_cast<uint8_t*>(p) + p->bLength, bytes.data() + bytes.size());
            ++seen;
        }
        EXPECT_LT(seen, 100);
    }
}

TEST(UsbdRoutines, CreateConfigurationRequestSizesAndLinksEveryInterface)
{
    TestUsbDevice device;
    std::vector<uint8_t> bytes = device.ConfigurationDescriptor();
    PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
    // Two interface records (settings 0 and 3 stand in for two interfaces: 3 and 4 pipes).
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 0, 3, -1, -1, -1), nullptr},
        {nullptr, nullptr},
    };
    size_t liveBefore = GetPoolStats().liveBlocks;
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    const ULONG expectedLength = offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(3) +
                                 GET_USBD_INTERFACE_SIZE(4);
    EXPECT_EQ(urb->UrbHeader.Length, expectedLength);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    ASSERT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface),
              reinterpret_cast<uint8_t*>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(3));
    const ULONG pipes[2] = {3, 4};
    for (int i = 0; i < 2; ++i) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(pipes[i]));
        EXPECT_EQ(info->InterfaceNumber, 0);
        EXPECT_EQ(info->AlternateSetting, i == 0 ? 0 : 3);
        EXPECT_EQ(info->NumberOfPipes, pipes[i]);
        for (ULONG j = 0; j < pipes[i]; ++j) {
            EXPECT_EQ((info->Pipes + j)->MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        }
    }
    ExFreePool(urb);
    EXPECT_EQ(GetPoolStats().liveBlocks, liveBefore);

    // A descriptor outside the set, an empty list, or no memory: no URB.
    uint8_t stray[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, 0, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY strayList[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(stray), nullptr},
                                              {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, strayList), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, &list[2]), nullptr);
    FailAllocationAfter(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
    ClearAllocationFaults();
}

}  // namespace
}  // namespace nimbra::host::test
