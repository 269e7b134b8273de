// The bridge and sensor register programs.
#include "camera/bridge_program.h"

#include "camera/picture_registers.h"
#include "driver/camera_session.h"

namespace {

constexpr LONGLONG kSensorProgramDelay100ns = -1000000;  // 100 ms before the sensor program
constexpr UCHAR kTableSelectRegister = 0x63;
constexpr UCHAR kTablePortRegister = 0x64;
constexpr UCHAR kSelectTableA = 0x07;
constexpr UCHAR kSelectTableB = 0x05;
constexpr UCHAR kColourBlockRegister = 0x69;
constexpr UCHAR kVideoModeFlag = 0x40;

// Sends one message unless the device is closing.
NTSTATUS SendProgramMessage(BridgeState* bridge, UCHAR firstRegister, const UCHAR* values, ULONG count)
{
    if (IsDeviceClosing(bridge->cameraSession)) {
        return STATUS_FILE_CLOSED;
    }
    return WriteBridgeRegisters(bridge, values, firstRegister, count);
}

// A table through its port register, one byte per message, low byte first.
NTSTATUS SendTable(BridgeState* bridge, const USHORT* table)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < BRIDGE_TABLE_ENTRIES; ++i) {
        const UCHAR bytes[2] = {static_cast<UCHAR>(table[i] & 0xFF), static_cast<UCHAR>(table[i] >> 8)};
        SendProgramMessage(bridge, kTablePortRegister, &bytes[0], 1);
        status = SendProgramMessage(bridge, kTablePortRegister, &bytes[1], 1);
    }
    return status;
}

// The three values of the colour block, set up on the first start after device creation.
VOID ColourBlock(BridgeState* bridge, UCHAR values[3])
{
    if (bridge->colourShadow[0] == 0) {
        const UCHAR initial[5] = {47, 32, 47, 32, 32};
        for (int i = 0; i < 5; ++i) {
            bridge->colourShadow[i] = initial[i];
        }
        bridge->modeFlags = 2;
    }
    values[0] = (bridge->modeFlags & 1) ? bridge->colourShadow[3] : bridge->colourShadow[2];
    values[1] = (bridge->modeFlags & 3) ? bridge->colourShadow[4] : bridge->colourShadow[3];
    values[2] = static_cast<UCHAR>((bridge->modeFlags & 7) | kVideoModeFlag);
    bridge->modeFlags = values[2];
}

}  // namespace

const USHORT BridgeTableA[BRIDGE_TABLE_ENTRIES] = {
    409, 585, 585, 512, 585, 682, 409, 512,  //  0..7
    512, 512, 372, 409, 409, 372, 292, 170,  //  8..15
    256, 292, 315, 315, 292, 141, 195, 186,  // 16..23
    240, 170, 117, 132, 110, 113, 120, 132,  // 24..31
    120, 124, 107, 95,  74,  87,  107, 99,   // 32..39
    78,  99,  124, 120, 85,  63,  83,  78,   // 40..47
    71,  69,  66,  66,  66,  110, 89,  60,   // 48..55
    56,  61,  68,  56,  74,  67,  66,  69,   // 56..63
};

const USHORT BridgeTableB[BRIDGE_TABLE_ENTRIES] = {
    409, 372, 372, 292, 315, 292, 146, 256, 256, 146, 69, 102, 120, 102, 69, 69,  // 0..15
    69,  69,  69,  69,  69,  69,  69,  69,  69,  69,  69, 69,  69,  69,  69, 69,  // 16..31
    69,  69,  69,  69,  69,  69,  69,  69,  69,  69,  69, 69,  69,  69,  69, 69,  // 32..47
    69,  69,  69,  69,  69,  69,  69,  69,  69,  69,  69, 69,  69,  69,  69, 69,  // 48..63
};

const UCHAR SensorProgram[SENSOR_PROGRAM_LENGTH] = {
    0x48, 0x22, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,  // registers 1..8 (3, 4: the exposure)
    0x00, 0x01, 0x30, 0x01, 0x30, 0x01, 0x30, 0x01,  // 9..16
    0x30, 0x00, 0x04, 0x00, 0x06, 0x01, 0xE2, 0x02,  // 17..24
    0x82, 0x00, 0x20, 0x17, 0x80, 0x08, 0x0C, 0x00,  // 25..32
};

_Use_decl_annotations_
NTSTATUS ProgramBridge(ExposureModel* model)
{
    PAGED_CODE();
    BridgeState* bridge = model->cameraSession->bridgeState;

    bridge->gammaShadow = 0;
    const UCHAR format[10] = {
        0x0D, 0x01,
        0x50,  // 640 ÷ 8
        0x3C,  // 480 ÷ 8
        0x30, 0x02, EncodeGamma(bridge->gamma.load(std::memory_order_relaxed), bridge->gammaShadow),
        0x01, 0x52, 0x18,
    };
    SendProgramMessage(bridge, 0x00, format, sizeof(format));
    const UCHAR reg23 = 0x09;
    SendProgramMessage(bridge, 0x23, &reg23, 1);
    const UCHAR reg3C = 0x32;
    SendProgramMessage(bridge, 0x3C, &reg3C, 1);

    bridge->saturationShadow = 4;
    UCHAR picture[5] = {0x00, 0, 0, EncodeBrightness(bridge->brightness.load(std::memory_order_relaxed)), 0x00};
    EncodeSaturation(bridge->saturation.load(std::memory_order_relaxed), bridge->saturationShadow, &picture[1]);
    SendProgramMessage(bridge, 0x5E, picture, sizeof(picture));

    bridge->sharpnessShadow = 3;
    const UCHAR sharpness[2] = {EncodeSharpness(bridge->sharpness.load(std::memory_order_relaxed),
                                                bridge->sharpnessShadow),
                                0x14};
    SendProgramMessage(bridge, REGISTER_SHARPNESS, sharpness, sizeof(sharpness));

    UCHAR colour[3];
    ColourBlock(bridge, colour);
    SendProgramMessage(bridge, kColourBlockRegister, colour, sizeof(colour));

    SendProgramMessage(bridge, kTableSelectRegister, &kSelectTableA, 1);
    SendTable(bridge, BridgeTableA);
    SendProgramMessage(bridge, kTableSelectRegister, &kSelectTableB, 1);
    return SendTable(bridge, BridgeTableB);
}

_Use_decl_annotations_
NTSTATUS ProgramSensor(ExposureModel* model)
{
    PAGED_CODE();
    BridgeState* bridge = model->cameraSession->bridgeState;
    LARGE_INTEGER delay;
    delay.QuadPart = kSensorProgramDelay100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);

    const USHORT exposure = model->exposureValue.load(std::memory_order_relaxed);
    LONG busy = sensorWriteBusy.load(std::memory_order_relaxed);
    for (ULONG i = 0; i < SENSOR_PROGRAM_LENGTH && busy == 0; ++i) {
        UCHAR value = SensorProgram[i];
        if (i == 2) {
            value = static_cast<UCHAR>(exposure >> 8);
        } else if (i == 3) {
            value = static_cast<UCHAR>(exposure & 0xFF);
        }
        WriteSensorRegister(bridge, &value, static_cast<UCHAR>(i + 1));
        busy = sensorWriteBusy.load(std::memory_order_relaxed);
    }
    return STATUS_SUCCESS;
}
