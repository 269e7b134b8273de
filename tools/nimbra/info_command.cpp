// nimbra info: starts the device through the host against the simulated camera and prints what
// the driver registered, the camera it found and the formats it offers.
#include <cstdio>
#include <nlohmann/json.hpp>

#include <fmt/core.h>

#include "driver/adapter_record.h"
#include "driver/camera_session.h"
#include "driver/driver_entry.h"
#include "host/kernel/host_kernel.h"
#include "host/stack/device_stack.h"
#include "tools/nimbra/command.h"
#include "usb/capture_device.h"

namespace nimbra::tool {
namespace {

struct InfoOptions {
    bool json = false;
    std::string tracePath;
};

struct FormatInfo {
    LONG width = 0;
    LONG height = 0;
    ULONG formatSize = 0;
    ULONG sampleSize = 0;
    LONGLONG minInterval = 0;
    LONGLONG maxInterval = 0;
    LONGLONG avgInterval = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
};

double FramesPerSecond(LONGLONG interval100ns)
{
    return interval100ns > 0 ? 1e7 / static_cast<double>(interval100ns) : 0.0;
}

int RunInfo(const InfoOptions& options)
{
    host::SetClockRate(1.0);
    host::DeviceStackOptions stackOptions;
    stackOptions.tracePath = options.tracePath;
    host::DeviceStack stack(stackOptions);
    std::string error;
    const NTSTATUS started = stack.Start(DriverEntry, &error);

    const HW_INITIALIZATION_DATA& registration = stack.Host().Registration();
    nlohmann::json out;
    out["registration"] = {
        {"HwInitializationDataSize", registration.HwInitializationDataSize},
        {"DeviceExtensionSize", registration.DeviceExtensionSize},
        {"PerRequestExtensionSize", registration.PerRequestExtensionSize},
        {"PerStreamExtensionSize", registration.PerStreamExtensionSize},
        {"FilterInstanceExtensionSize", registration.FilterInstanceExtensionSize},
        {"BufferAlignment", registration.BufferAlignment},
        {"TurnOffSynchronization", static_cast<bool>(registration.TurnOffSynchronization)},
        {"BusMasterDMA", static_cast<bool>(registration.BusMasterDMA)},
    };
    out["deviceStart"] = host::StatusText(started);

    auto* adapter = static_cast<AdapterRecord*>(stack.Host().HwDeviceExtension());
    CaptureDevice* device = adapter && adapter->cameraSession ? adapter->cameraSession->captureDevice : nullptr;
    if (device != nullptr) {
        const USB_DEVICE_DESCRIPTOR& d = device->deviceDescriptor;
        out["device"] = {{"idVendor", fmt::format("0x{:04X}", d.idVendor)},
                         {"idProduct", fmt::format("0x{:04X}", d.idProduct)},
                         {"bcdDevice", fmt::format("0x{:04X}", d.bcdDevice)},
                         {"bcdUSB", fmt::format("0x{:04X}", d.bcdUSB)},
                         {"configured", static_cast<bool>(device->configured)}};
        nlohmann::json alternates = nlohmann::json::array();
        for (ULONG k = 0; k < ALTERNATE_SETTING_SLOTS; ++k) {
            alternates.push_back({{"alternate", k}, {"packetSize", device->packetSizeByAlternate[k]}});
        }
        out["alternateSettings"] = alternates;
    }

    std::vector<FormatInfo> formats;
    if (NT_SUCCESS(started)) {
        host::KsHandle filter;
        NTSTATUS status = host::OpenFilter(stack.Host(), &filter);
        const HW_STREAM_INFORMATION& info = stack.Host().StreamInfo(0);
        std::vector<uint8_t> first;
        for (ULONG i = 0; NT_SUCCESS(status) && i < info.NumberOfFormatArrayEntries; ++i) {
            const KSDATARANGE& range = *info.StreamFormatsArray[i];
            std::vector<uint8_t> format;
            FormatInfo entry;
            entry.status = host::Intersect(filter, 0, range, &format, 1024);
            if (NT_SUCCESS(entry.status) && format.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
                auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
                auto* published = reinterpret_cast<const KS_DATARANGE_VIDEO*>(&range);
                entry.width = video->VideoInfoHeader.bmiHeader.biWidth;
                entry.height = video->VideoInfoHeader.bmiHeader.biHeight;
                entry.formatSize = video->DataFormat.FormatSize;
                entry.sampleSize = video->DataFormat.SampleSize;
                entry.avgInterval = video->VideoInfoHeader.AvgTimePerFrame;
                entry.minInterval = published->ConfigCaps.MinFrameInterval;
                entry.maxInterval = published->ConfigCaps.MaxFrameInterval;
                if (first.empty()) first = format;
            }
            formats.push_back(entry);
        }
        // The alternate setting the driver streams on: open the pin and ask the camera.
        if (!first.empty()) {
            host::KsHandle pin;
            const NTSTATUS opened =
                host::OpenPin(filter, 0, *reinterpret_cast<const KSDATAFORMAT*>(first.data()), &pin);
            nlohmann::json streaming = {{"openStatus", host::StatusText(opened)}};
            if (NT_SUCCESS(opened)) {
                const UCHAR alternate = stack.Camera().AlternateSetting();
                streaming["alternate"] = alternate;
                streaming["isochronous"] = static_cast<bool>(device->isochronousMode.load());
                streaming["packetSize"] = alternate < ALTERNATE_SETTING_SLOTS ? device->packetSizeByAlternate[alternate] : 0;
                host::Close(pin);
            }
            out["streaming"] = streaming;
        }
        host::Close(filter);
    }
    nlohmann::json jsonFormats = nlohmann::json::array();
    for (const FormatInfo& f : formats) {
        jsonFormats.push_back({{"width", f.width},
                               {"height", f.height},
                               {"status", host::StatusText(f.status)},
                               {"formatSize", f.formatSize},
                               {"sampleSize", f.sampleSize},
                               {"avgTimePerFrame", f.avgInterval},
                               {"minFrameInterval", f.minInterval},
                               {"maxFrameInterval", f.maxInterval}});
    }
    out["formats"] = jsonFormats;
    stack.Stop();

    if (options.json) {
        std::printf("%s\n", out.dump(2).c_str());
        return NT_SUCCESS(started) ? kExitOk : kExitFailure;
    }
    fmt::print("driver registration: HW_INITIALIZATION_DATA {} bytes, device extension {}, per-request {}, "
               "per-stream {}, buffer alignment {}, TurnOffSynchronization {}\n",
               registration.HwInitializationDataSize, registration.DeviceExtensionSize,
               registration.PerRequestExtensionSize, registration.PerStreamExtensionSize,
               registration.BufferAlignment, registration.TurnOffSynchronization ? "TRUE" : "FALSE");
    fmt::print("device start: {}\n", out["deviceStart"].get<std::string>());
    if (out.contains("device")) {
        fmt::print("camera: idVendor {} idProduct {} bcdDevice {} (USB {}), {}\n",
                   out["device"]["idVendor"].get<std::string>(), out["device"]["idProduct"].get<std::string>(),
                   out["device"]["bcdDevice"].get<std::string>(), out["device"]["bcdUSB"].get<std::string>(),
                   out["device"]["configured"].get<bool>() ? "configured" : "not configured");
        fmt::print("interface 0 alternate settings (isochronous packet size):\n");
        for (const auto& alternate : out["alternateSettings"]) {
            fmt::print("  {}: {}\n", alternate["alternate"].get<int>(), alternate["packetSize"].get<int>());
        }
    }
    if (out.contains("streaming")) {
        const auto& s = out["streaming"];
        if (s.contains("alternate")) {
            fmt::print("streams on alternate setting {} ({}, {}-byte packets)\n", s["alternate"].get<int>(),
                       s["isochronous"].get<bool>() ? "isochronous" : "bulk", s["packetSize"].get<int>());
        } else {
            fmt::print("stream open failed: {}\n", s["openStatus"].get<std::string>());
        }
    }
    fmt::print("formats (data intersection of each published range):\n");
    for (const FormatInfo& f : formats) {
        if (!NT_SUCCESS(f.status)) {
            fmt::print("  intersection failed: {}\n", host::StatusText(f.status));
            continue;
        }
        fmt::print("  {}x{}  RGB24  SampleSize {}  format {} bytes  frame interval {}..{} (100 ns; {:.1f}..{:.1f} fps), "
                   "default {}\n",
                   f.width, f.height, f.sampleSize, f.formatSize, f.minInterval, f.maxInterval,
                   FramesPerSecond(f.minInterval), FramesPerSecond(f.maxInterval), f.avgInterval);
    }
    if (!NT_SUCCESS(started)) {
        std::fprintf(stderr, "nimbra info: %s\n", error.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

std::function<int()> SetUpInfo(CLI::App& sub)
{
    auto options = std::make_shared<InfoOptions>();
    sub.add_flag("--json", options->json, "Print the same as JSON");
    sub.add_option("--trace", options->tracePath, "Write the USB traffic as a usbmon pcap file");
    return [options] { return RunInfo(*options); };
}

}  // namespace

NIMBRA_COMMAND(info, "Start the device against the simulated camera and print what the driver found and offers",
               SetUpInfo);

}  // namespace nimbra::tool
