// Persisted settings: RtlQueryRegistryValues and RtlWriteRegistryValue on the absolute keys
// "\Registry\MACHINE\SOFTWARE\Korvane\Nimbra\SETTING\Video" and "...\Custom". Each access builds
// its path in a buffer of its own on the stack, so a stream close and a flicker set running at
// the same time cannot mix their paths.
#include "settings/persisted_settings.h"

#include "camera/exposure_model.h"
#include "driver/camera_session.h"
#include "usb/bridge_state.h"

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr WCHAR kBasePath[] = u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING";
constexpr WCHAR kVideoKey[] = u"Video";
constexpr WCHAR kCustomKey[] = u"Custom";

constexpr ULONG kQueryDirectRequired = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;

// Index of each value in the load and save order.
enum SettingIndex { kBrightness, kSaturation, kSharpness, kGamma, kExposure, kLightSource, kFlicker, kSettingCount };

struct SettingName {
    const WCHAR* key;
    const WCHAR* name;
    LONG defaultValue;
};

const SettingName kSettings[kSettingCount] = {
    {kVideoKey, u"Brightness", 15},  {kVideoKey, u"Saturation", 200}, {kVideoKey, u"Sharpness", 1},
    {kVideoKey, u"Gamma", 1},        {kCustomKey, u"Exposure", 50},   {kCustomKey, u"LightSoure", 0},
    {kCustomKey, u"Flicker", 60},
};

// base + "\" + key into path (SETTINGS_PATH_CHARS characters, always terminated).
VOID BuildPath(WCHAR* path, const WCHAR* key)
{
    ULONG n = 0;
    for (const WCHAR* c = kBasePath; *c != 0 && n + 1 < SETTINGS_PATH_CHARS; ++c) {
        path[n++] = *c;
    }
    if (n + 1 < SETTINGS_PATH_CHARS) {
        path[n++] = u'\\';
    }
    for (const WCHAR* c = key; *c != 0 && n + 1 < SETTINGS_PATH_CHARS; ++c) {
        path[n++] = *c;
    }
    path[n] = 0;
}

// The value as stored, or its default when it is missing or unreadable.
LONG QuerySetting(const SettingName& setting)
{
    WCHAR path[SETTINGS_PATH_CHARS];
    BuildPath(path, setting.key);
    LONG result = 0;
    LONG fallback = setting.defaultValue;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = nullptr;
    table[0].Flags = kQueryDirectRequired;
    table[0].Name = const_cast<PWSTR>(setting.name);
    table[0].EntryContext = &result;
    table[0].DefaultType = REG_NONE;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = 0;  // a missing value fails the query instead of supplying this
    if (!NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr))) {
        return setting.defaultValue;
    }
    return result;
}

LONG Clamp(LONG value, LONG low, LONG high)
{
    return value < low ? low : (value > high ? high : value);
}

VOID WriteSetting(const SettingName& setting, ULONG value)
{
    WCHAR path[SETTINGS_PATH_CHARS];
    BuildPath(path, setting.key);
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, setting.name, REG_DWORD, &value, sizeof(value));
}

}  // namespace

_Use_decl_annotations_
VOID LoadSettings(CaptureDevice* device)
{
    PAGED_CODE();
    BridgeState* bridge = device->cameraSession->bridgeState;
    ExposureModel* model = device->cameraSession->exposureModel;

    bridge->brightness.store(static_cast<UCHAR>(Clamp(QuerySetting(kSettings[kBrightness]), 0, 30)), kRelaxed);
    bridge->saturation.store(static_cast<UCHAR>(Clamp(QuerySetting(kSettings[kSaturation]), 0, 255)), kRelaxed);
    bridge->sharpness.store(static_cast<UCHAR>(Clamp(QuerySetting(kSettings[kSharpness]), 0, 2)), kRelaxed);
    bridge->gamma.store(static_cast<UCHAR>(Clamp(QuerySetting(kSettings[kGamma]), 0, 3)), kRelaxed);

    SetExposureTarget(model, static_cast<ULONG>(Clamp(QuerySetting(kSettings[kExposure]), 0, 100)));
    const LONG lightSource = QuerySetting(kSettings[kLightSource]);
    SetLightSource(model, static_cast<UCHAR>(lightSource >= 0 && lightSource <= 2 ? lightSource : 0));
    SetFlicker(model, QuerySetting(kSettings[kFlicker]) == 60 ? 60 : 50);

    device->settingsLoaded = TRUE;
}

_Use_decl_annotations_
VOID SaveSettings(CaptureDevice* device)
{
    PAGED_CODE();
    const BridgeState* bridge = device->cameraSession->bridgeState;
    const ExposureModel* model = device->cameraSession->exposureModel;
    const ULONG values[kSettingCount] = {
        bridge->brightness.load(kRelaxed),
        bridge->saturation.load(kRelaxed),
        bridge->sharpness.load(kRelaxed),
        bridge->gamma.load(kRelaxed),
        static_cast<ULONG>(model->targetBrightness.load(kRelaxed) - 50),
        model->lightSource.load(kRelaxed),
        model->flicker.load(kRelaxed),
    };
    for (int i = 0; i < kSettingCount; ++i) {
        WriteSetting(kSettings[i], values[i]);
    }
}

_Use_decl_annotations_
VOID SaveFlickerSetting(ULONG value)
{
    PAGED_CODE();
    WriteSetting(kSettings[kFlicker], value);
}
