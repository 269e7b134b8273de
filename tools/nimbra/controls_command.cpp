// nimbra controls: the camera's adjustable properties through the driver. Starts the device,
// opens the filter and the video pin, runs the stream once so that the driver loads the persisted
// settings, stops it, sets the NAME=VALUE pairs given in order, prints every property with its
// value and the range the driver publishes, and closes the stream (the driver writes the settings
// back at that close) before stopping the device.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "driver/driver_entry.h"
#include "host/kernel/host_kernel.h"
#include "host/stack/device_stack.h"
#include "host/streamclass/ks_client.h"
#include "settings/device_property_sets.h"
#include "tools/nimbra/command.h"
#include "tools/nimbra/settings_keys.h"

namespace nimbra::tool {
namespace {


// One property the driver answers, by the name the tool gives it.
struct Control {
    const char* name;
    const GUID* set;
    const char* setName;
    ULONG id;
    const char* meaning;
};

// The Custom ids 6, 9 and 10 are published but answered as not supported: they are left out.
const Control kControls[] = {
    {"brightness", &PROPSETID_VIDCAP_VIDEOPROCAMP, "VideoProcAmp", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, "picture brightness"},
    {"saturation", &PROPSETID_VIDCAP_VIDEOPROCAMP, "VideoProcAmp", KSPROPERTY_VIDEOPROCAMP_SATURATION, "colour saturation"},
    {"sharpness", &PROPSETID_VIDCAP_VIDEOPROCAMP, "VideoProcAmp", KSPROPERTY_VIDEOPROCAMP_SHARPNESS, "sharpness"},
    {"gamma", &PROPSETID_VIDCAP_VIDEOPROCAMP, "VideoProcAmp", KSPROPERTY_VIDEOPROCAMP_GAMMA, "gamma"},
    {"light-source", &PROPSETID_CUSTOM, "Custom", 0, "kind of light, 0, 1 or 2"},
    {"flicker", &PROPSETID_CUSTOM, "Custom", 1, "mains flicker frequency in Hz"},
    {"exposure-target", &PROPSETID_CUSTOM, "Custom", 2, "target brightness of the exposure control"},
    {"flag-3", &PROPSETID_CUSTOM, "Custom", 3, "stored flag, cleared while zoom is on"},
    {"zoom", &PROPSETID_CUSTOM, "Custom", 4, "digital zoom on (1) or off (0)"},
    {"zoom-level", &PROPSETID_CUSTOM, "Custom", 5, "digital zoom level"},
    {"flag-7", &PROPSETID_CUSTOM, "Custom", 7, "stored flag"},
    {"flag-8", &PROPSETID_CUSTOM, "Custom", 8, "stored flag"},
    {"bridge-register", &PROPSETID_CUSTOM, "Custom", 11, "bridge register 0x22, read and written directly"},
};

struct ControlsOptions {
    std::vector<std::string> assignments;
    std::string registryPath;
    std::string tracePath;
    bool json = false;
    bool debug = false;
};

struct Assignment {
    const Control* control = nullptr;
    LONG value = 0;
};

// The range and default the driver publishes for one property.
struct Published {
    bool hasRange = false;
    LONG minimum = 0;
    LONG maximum = 0;
    ULONG step = 0;
    bool hasDefault = false;
    LONG defaultValue = 0;
};

int Usage(const std::string& why)
{
    std::fprintf(stderr, "nimbra controls: %s\n", why.c_str());
    return kExitUsage;
}

int Failure(const std::string& why)
{
    std::fprintf(stderr, "nimbra controls: %s\n", why.c_str());
    return kExitFailure;
}

const Control* FindControl(const std::string& name)
{
    for (const Control& control : kControls) {
        if (name == control.name) return &control;
    }
    return nullptr;
}

// A signed 32-bit number: decimal, or hexadecimal with 0x.
bool ParseValue(const std::string& text, LONG* value)
{
    if (text.empty()) return false;
    // A leading 0 is not octal: only 0x switches the base.
    const size_t digits = text[0] == '-' || text[0] == '+' ? 1 : 0;
    const bool hex = text.compare(digits, 2, "0x") == 0 || text.compare(digits, 2, "0X") == 0;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    *value = static_cast<LONG>(parsed);
    return true;
}

// NAME=VALUE pairs into assignments; false with *error on the first bad one.
bool ParseAssignments(const std::vector<std::string>& texts, std::vector<Assignment>* out, std::string* error)
{
    for (const std::string& text : texts) {
        const size_t equals = text.find('=');
        if (equals == std::string::npos) {
            *error = "expected NAME=VALUE, not " + text;
            return false;
        }
        const std::string name = text.substr(0, equals);
        Assignment assignment;
        assignment.control = FindControl(name);
        if (assignment.control == nullptr) {
            *error = "unknown property " + name + " (see nimbra controls --help)";
            return false;
        }
        if (!ParseValue(text.substr(equals + 1), &assignment.value)) {
            *error = "the value of " + name + " is not a number: " + text.substr(equals + 1);
            return false;
        }
        out->push_back(assignment);
    }
    return true;
}

Published FindPublished(const HW_STREAM_HEADER& header, const Control& control)
{
    Published published;
    for (ULONG s = 0; s < header.NumDevPropArrayEntries && header.DevicePropertiesArray != nullptr; ++s) {
        const KSPROPERTY_SET& set = header.DevicePropertiesArray[s];
        if (set.Set == nullptr || !IsEqualGUID(*set.Set, *control.set)) continue;
        for (ULONG i = 0; i < set.PropertiesCount; ++i) {
            const KSPROPERTY_ITEM& item = set.PropertyItem[i];
            if (item.PropertyId != control.id || item.Values == nullptr) continue;
            for (ULONG m = 0; m < item.Values->MembersListCount; ++m) {
                const KSPROPERTY_MEMBERSLIST& list = item.Values->MembersList[m];
                if (list.MembersHeader.MembersCount == 0 || list.Members == nullptr) continue;
                if (list.MembersHeader.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES &&
                    list.MembersHeader.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG)) {
                    const auto* stepping = static_cast<const KSPROPERTY_STEPPING_LONG*>(list.Members);
                    published.hasRange = true;
                    published.minimum = stepping->Bounds.SignedMinimum;
                    published.maximum = stepping->Bounds.SignedMaximum;
                    published.step = stepping->SteppingDelta;
                } else if (list.MembersHeader.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
                           (list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) != 0 &&
                           list.MembersHeader.MembersSize >= sizeof(LONG)) {
                    published.hasDefault = true;
                    published.defaultValue = *static_cast<const LONG*>(list.Members);
                }
            }
        }
    }
    return published;
}

// The stack with the filter and the video pin open. Close() ends it in order.
class ControlsRun {
public:
    explicit ControlsRun(const ControlsOptions& options) : options_(options) {}
    ~ControlsRun() { Close(); }

    // Starts the device, opens the filter and the pin and runs the stream once; on failure the
    // step and its status are in Error().
    bool Open()
    {
        host::DeviceStackOptions stackOptions;
        stackOptions.tracePath = options_.tracePath;
        try {
            stack_ = std::make_unique<host::DeviceStack>(stackOptions);
        } catch (const std::exception& e) {
            error_ = e.what();
            return false;
        }
        NTSTATUS status = stack_->Start(DriverEntry, &error_);
        if (!NT_SUCCESS(status)) return false;
        status = host::OpenFilter(stack_->Host(), &filter_);
        if (!NT_SUCCESS(status)) return Failed("opening the device", status);

        // The first format the pin offers; the size does not matter to the properties.
        const HW_STREAM_INFORMATION& info = stack_->Host().StreamInfo(0);
        if (info.NumberOfFormatArrayEntries == 0) return Failed("finding a video format", STATUS_UNSUCCESSFUL);
        std::vector<uint8_t> format;
        status = host::Intersect(filter_, 0, *info.StreamFormatsArray[0], &format, 1024);
        if (NT_SUCCESS(status) && format.size() < sizeof(KSDATAFORMAT)) status = STATUS_BUFFER_TOO_SMALL;
        if (!NT_SUCCESS(status)) return Failed("data intersection", status);
        status = host::OpenPin(filter_, 0, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin_);
        if (!NT_SUCCESS(status)) return Failed("opening the video pin", status);
        clock_ = host::CreateMasterClock();
        status = host::SetMasterClock(pin_, clock_);
        if (!NT_SUCCESS(status)) return Failed("setting the master clock", status);
        // The driver loads the persisted settings at the first run, over any value set before.
        status = host::SetState(pin_, KSSTATE_PAUSE);
        if (!NT_SUCCESS(status)) return Failed("pausing the stream", status);
        status = host::SetState(pin_, KSSTATE_RUN);
        running_ = true;
        if (!NT_SUCCESS(status)) return Failed("running the stream", status);
        status = host::SetState(pin_, KSSTATE_STOP);
        running_ = false;
        if (!NT_SUCCESS(status)) return Failed("stopping the stream", status);
        return true;
    }

    // Closes the pin (the driver saves the settings here), the filter, and stops the device.
    // False with Error() when the stream did not stop or close cleanly.
    bool Close()
    {
        bool ok = true;
        if (pin_.IsOpen()) {
            if (running_) {
                const NTSTATUS status = host::SetState(pin_, KSSTATE_STOP);
                if (!NT_SUCCESS(status)) ok = Failed("stopping the stream", status);
                running_ = false;
            }
            if (clock_ != nullptr) host::SetMasterClock(pin_, nullptr);
            const NTSTATUS status = host::Close(pin_);
            if (!NT_SUCCESS(status) && ok) ok = Failed("closing the stream", status);
        }
        if (clock_ != nullptr) {
            host::DestroyMasterClock(clock_);
            clock_ = nullptr;
        }
        if (filter_.IsOpen()) host::Close(filter_);
        if (stack_) stack_->Stop();
        return ok;
    }

    NTSTATUS Get(const Control& control, LONG* value)
    {
        KSPROPERTY_VIDEOPROCAMP_S record{};
        const NTSTATUS status = host::GetProperty(filter_, *control.set, control.id, &record, sizeof(record));
        *value = record.Value;
        return status;
    }

    NTSTATUS Set(const Control& control, LONG value)
    {
        KSPROPERTY_VIDEOPROCAMP_S record{};
        record.Value = value;
        if (IsEqualGUID(*control.set, PROPSETID_VIDCAP_VIDEOPROCAMP)) record.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        return host::SetProperty(filter_, *control.set, control.id, &record, sizeof(record));
    }

    const HW_STREAM_HEADER& Header() { return stack_->Host().StreamHeader(); }
    const std::string& Error() const { return error_; }

private:
    bool Failed(const std::string& step, NTSTATUS status)
    {
        error_ = step + " failed: " + host::StatusText(status);
        return false;
    }

    const ControlsOptions& options_;
    std::unique_ptr<host::DeviceStack> stack_;
    host::KsHandle filter_;
    host::KsHandle pin_;
    HANDLE clock_ = nullptr;
    bool running_ = false;
    std::string error_;
};

// Reads every property and prints it as a table or as JSON; false with *error on a failed get.
bool PrintAll(ControlsRun& run, bool json, std::string* error)
{
    nlohmann::json out = nlohmann::json::array();
    std::string table;
    for (const Control& control : kControls) {
        LONG value = 0;
        const NTSTATUS status = run.Get(control, &value);
        if (!NT_SUCCESS(status)) {
            *error = fmt::format("reading {} failed: {}", control.name, host::StatusText(status));
            return false;
        }
        const Published published = FindPublished(run.Header(), control);
        if (json) {
            nlohmann::json entry{{"name", control.name}, {"set", control.setName}, {"id", control.id}, {"value", value}};
            if (published.hasRange) {
                entry["minimum"] = published.minimum;
                entry["maximum"] = published.maximum;
                entry["step"] = published.step;
            }
            if (published.hasDefault) entry["default"] = published.defaultValue;
            out.push_back(std::move(entry));
        } else {
            std::string range;
            if (published.hasRange) {
                range = fmt::format("{}..{}", published.minimum, published.maximum);
                if (published.step != 1) range += fmt::format(" step {}", published.step);
            }
            if (published.hasDefault) {
                range += fmt::format("{}default {}", range.empty() ? "" : ", ", published.defaultValue);
            }
            table += fmt::format("{:<16} {:>6}  {:<30} {}\n", control.name, value, range.empty() ? "" : "(" + range + ")",
                                 control.meaning);
        }
    }
    const std::string text = json ? out.dump(2) + "\n" : table;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return true;
}

int RunControls(const ControlsOptions& options)
{
    std::vector<Assignment> assignments;
    std::string error;
    if (!ParseAssignments(options.assignments, &assignments, &error)) return Usage(error);

    // The keys an installer makes; the driver only reads and writes values.
    host::ClearRegistry();
    CreateSettingsKeys();
    if (!options.registryPath.empty() && std::filesystem::exists(options.registryPath)) {
        if (!host::LoadRegistryFile(options.registryPath, &error)) {
            return Usage("cannot load " + options.registryPath + ": " + error);
        }
    }
    host::SetClockRate(1.0);
    host::SetDebugEcho(options.debug);

    int exit = kExitOk;
    {
        ControlsRun run(options);
        if (!run.Open()) {
            error = run.Error();
            exit = kExitFailure;
        }
        for (const Assignment& assignment : assignments) {
            if (exit != kExitOk) break;
            const NTSTATUS status = run.Set(*assignment.control, assignment.value);
            if (!NT_SUCCESS(status)) {
                error = fmt::format("{}={} refused: {}", assignment.control->name, assignment.value,
                                    host::StatusText(status));
                exit = kExitFailure;
            }
        }
        if (exit == kExitOk && !PrintAll(run, options.json, &error)) exit = kExitFailure;
        if (!run.Close() && exit == kExitOk) {
            error = run.Error();
            exit = kExitFailure;
        }
    }
    if (exit != kExitOk) std::fprintf(stderr, "nimbra controls: %s\n", error.c_str());
    if (!options.registryPath.empty() && !host::SaveRegistryFile(options.registryPath)) {
        return Failure("cannot write " + options.registryPath);
    }
    return exit;
}

std::function<int()> SetUpControls(CLI::App& sub)
{
    auto options = std::make_shared<ControlsOptions>();
    std::string names;
    for (const Control& control : kControls) names += fmt::format("  {:<16} {}\n", control.name, control.meaning);
    sub.footer(
        "Properties (VALUE is a signed 32-bit number, decimal or 0x hex):\n" + names +
        "Each NAME=VALUE is set in order, then every property is printed with its value and the range and\n"
        "default the driver publishes. The stream is opened and run once first: the driver loads the\n"
        "persisted settings at the first run and writes brightness, saturation, sharpness, gamma,\n"
        "exposure-target, light-source and flicker back when the stream closes. Zoom is reset at every\n"
        "stream open, so it lasts for this run only.\n"
        "Registry: the keys ...\\Korvane\\Nimbra\\SETTING\\Video and \\Custom are created as an installer would,\n"
        "FILE is loaded when it exists and the registry is saved to FILE after the stream is closed.\n"
        "Exit status: 0 done, 1 the device failed or refused a value, 2 an unknown name or a value that is\n"
        "not a number.");
    sub.add_option("assignments", options->assignments, "NAME=VALUE pairs to set, in order");
    sub.add_option("--registry", options->registryPath,
                   "The persisted settings as a .reg file: loaded when it exists, saved after the run");
    sub.add_option("--trace", options->tracePath, "Write the USB traffic as a usbmon pcap file");
    sub.add_flag("--json", options->json, "Print the properties as JSON on stdout");
    sub.add_flag("--debug", options->debug, "Show the driver's debug output on stderr");
    return [options] { return RunControls(*options); };
}

}  // namespace

NIMBRA_COMMAND(controls, "Get and set the camera's properties (brightness, flicker, zoom, ...) through the driver",
               SetUpControls);

}  // namespace nimbra::tool
