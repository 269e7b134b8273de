// The usbmon trace read back by tshark: transfer types, endpoints, lengths and data.
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/usbbus/usb_test_support.h"

namespace nimbra::host::test {
namespace {

std::vector<std::string> RunLines(const std::string& command)
{
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return lines;
    char line[8192];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        lines.push_back(text);
    }
    pclose(pipe);
    return lines;
}

TEST_F(UsbBusTest, TraceIsReadBackByTshark)
{
    if (RunLines("command -v tshark").empty()) GTEST_SKIP() << "tshark not installed";
    std::string path = (std::filesystem::temp_directory_path() /
                        ("nimbra-usbbus-" + std::to_string(::getpid()) + ".pcap")).string();
    StartBus({.paced = false});
    std::string error;
    ASSERT_TRUE(bus_->StartTrace(path, &error)) << error;
    Configure();                                   // control OUT: SET_CONFIGURATION
    ASSERT_EQ(SelectAlternate(1, 3), STATUS_SUCCESS);  // control OUT: SET_INTERFACE
    uint8_t out[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    URB urb;
    BuildBulk(&urb, Pipe(2), USBD_TRANSFER_DIRECTION_OUT, out, sizeof out);
    ASSERT_EQ(SubmitSync(Pdo(), &urb), STATUS_SUCCESS);
    device_.QueueReply({0x01, 0x02, 0x03});
    uint8_t in[16] = {};
    BuildBulk(&urb, Pipe(1), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in, sizeof in);
    ASSERT_EQ(SubmitSync(Pdo(), &urb), STATUS_SUCCESS);
    device_.SetIsoLength(2);
    UrbBuffer iso(GET_ISO_URB_SIZE(3));
    std::vector<uint8_t> buffer(3 * 256);
    BuildIso(iso.get(), Pipe(0), buffer.data(), 3, 256);
    ASSERT_EQ(SubmitSync(Pdo(), iso.get()), STATUS_SUCCESS);
    bus_->StopTrace();

    std::vector<std::string> lines = RunLines(
        "tshark -r " + path +
        " -T fields -E separator=, -E occurrence=f -e usb.urb_type -e usb.transfer_type -e usb.endpoint_address -e usb.data_len"
        " -e usb.capdata -e usb.iso.numdesc 2>/dev/null");
    // Two selections, bulk OUT, bulk IN, isochronous IN: a submission and a completion each.
    // Fields: URB type, transfer type, endpoint, data length, data, isochronous descriptors.
    const std::vector<std::string> expected = {
        "'S',0x02,0x00,0,,0",
        "'C',0x02,0x00,0,,0",
        "'S',0x02,0x00,0,,0",
        "'C',0x02,0x00,0,,0",
        "'S',0x03,0x02,4,deadbeef,0",
        "'C',0x03,0x02,0,,0",
        "'S',0x03,0x81,0,,0",
        "'C',0x03,0x81,3,010203,0",
        "'S',0x00,0x83,0,,3",
        "'C',0x00,0x83,514,,3",
    };
    ASSERT_EQ(lines.size(), expected.size()) << (lines.empty() ? "" : lines[0]);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "record " << i;

    // The isochronous packets: offsets, lengths and each packet's 2 data bytes.
    std::vector<std::string> packets = RunLines(
        "tshark -r " + path + " -Y 'usb.transfer_type == 0' -T fields -E separator=,"
        " -e usb.urb_type -e usb.iso.iso_off -e usb.iso.iso_len -e usb.iso.data 2>/dev/null");
    std::filesystem::remove(path);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], "'S',0,256,512,256,256,256,");
    ULONG start = iso->UrbIsochronousTransfer.StartFrame;
    char bytes[3][8];
    for (ULONG i = 0; i < 3; ++i) std::snprintf(bytes[i], sizeof bytes[i], "%02x%02x", (start + i) & 0xFF, (start + i) & 0xFF);
    EXPECT_EQ(packets[1], "'C',0,256,512,2,2,2," + std::string(bytes[0]) + "," + bytes[1] + "," + bytes[2]);
}

}  // namespace
}  // namespace nimbra::host::test
