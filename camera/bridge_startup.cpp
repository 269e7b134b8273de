// Bridge start-up and picture adjustment.
#include "camera/bridge_startup.h"

#include "camera/bridge_program.h"
#include "camera/picture_registers.h"
#include "driver/camera_session.h"

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// Writes one changed setting unless the device is closing.
NTSTATUS WriteSetting(BridgeState* bridge, UCHAR firstRegister, const UCHAR* values, ULONG count)
{
    if (IsDeviceClosing(bridge->cameraSession)) {
        return STATUS_FILE_CLOSED;
    }
    return WriteBridgeRegisters(bridge, values, firstRegister, count);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS StartBridge(BridgeState* bridge)
{
    PAGED_CODE();
    ExposureModel* model = bridge->cameraSession->exposureModel;
    if (!bridge->bridgeEnabled) {
        bridge->commandBytes[0] = BRIDGE_COMMAND_ENABLE_0;
        bridge->commandBytes[1] = BRIDGE_COMMAND_ENABLE_1;
        SendBridgeCommand(bridge, bridge->commandBytes, 2);
        bridge->bridgeEnabled = TRUE;
    }
    if (!NT_SUCCESS(ProgramBridge(model))) {
        return STATUS_UNSUCCESSFUL;
    }
    bridge->settingsChanged.store(FALSE, kRelaxed);
    bridge->appliedBrightness = bridge->brightness.load(kRelaxed);
    bridge->appliedSaturation = bridge->saturation.load(kRelaxed);
    bridge->appliedSharpness = bridge->sharpness.load(kRelaxed);
    bridge->appliedGamma = bridge->gamma.load(kRelaxed);
    ProgramSensor(model);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS ApplyPictureSettings(BridgeState* bridge)
{
    PAGED_CODE();
    // The flag is taken before the settings are read: a change stored while this runs raises
    // it again and is written at the next frame instead of being lost.
    if (!bridge->settingsChanged.exchange(FALSE, std::memory_order_acq_rel)) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;

    const UCHAR brightness = bridge->brightness.load(kRelaxed);
    if (brightness != bridge->appliedBrightness) {
        const UCHAR value = EncodeBrightness(brightness);
        status = WriteSetting(bridge, REGISTER_BRIGHTNESS, &value, 1);
        bridge->appliedBrightness = brightness;
    }
    const UCHAR saturation = bridge->saturation.load(kRelaxed);
    if (saturation != bridge->appliedSaturation) {
        UCHAR values[2];
        EncodeSaturation(saturation, bridge->saturationShadow, values);
        status = WriteSetting(bridge, REGISTER_SATURATION, values, 2);
        bridge->appliedSaturation = saturation;
    }
    const UCHAR sharpness = bridge->sharpness.load(kRelaxed);
    if (sharpness != bridge->appliedSharpness) {
        const UCHAR value = EncodeSharpness(sharpness, bridge->sharpnessShadow);
        status = WriteSetting(bridge, REGISTER_SHARPNESS, &value, 1);
        bridge->appliedSharpness = sharpness;
    }
    const UCHAR gamma = bridge->gamma.load(kRelaxed);
    if (gamma != bridge->appliedGamma) {
        const UCHAR value = EncodeGamma(gamma, bridge->gammaShadow);
        status = WriteSetting(bridge, REGISTER_GAMMA, &value, 1);
        bridge->appliedGamma = gamma;
    }
    return status;
}
