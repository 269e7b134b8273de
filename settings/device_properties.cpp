// SRB_GET_DEVICE_PROPERTY and SRB_SET_DEVICE_PROPERTY: the video-processing-amplifier set and
// the Custom set. A get answers from the values the driver keeps; a set stores the value where the
// rest of the driver picks it up (picture settings between frames, exposure settings in the
// model, zoom in the frame processing); only the bridge register is read or written at once.
#include "camera/exposure_model.h"
#include "driver/camera_session.h"
#include "driver/request_handlers.h"
#include "frame/frame_processor.h"
#include "settings/device_property_sets.h"
#include "settings/persisted_settings.h"
#include "usb/bridge_state.h"
#include "usb/capture_device.h"

#define DIRECT_REGISTER 0x22

enum CustomProperty : ULONG {
    CustomLightSource = 0,
    CustomFlicker = 1,
    CustomExposureTarget = 2,
    CustomFlag3 = 3,
    CustomZoomOn = 4,
    CustomZoomLevel = 5,
    CustomFlag7 = 7,
    CustomFlag8 = 8,
    CustomRegister22 = 11,
};

// The property request and its 40-byte record, or null when the record is too short.
static PKSPROPERTY_VIDEOPROCAMP_S PropertyRecord(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
    if (descriptor->PropertyOutputSize < sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
        return nullptr;
    }
    return static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(descriptor->PropertyInfo);
}

// The picture setting a VideoProcAmp id keeps, with its accepted range; null for other ids.
static std::atomic<UCHAR>* PictureSetting(BridgeState* bridge, ULONG id, LONG* minimum, LONG* maximum)
{
    switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: *minimum = 0; *maximum = 30; return &bridge->brightness;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: *minimum = 1; *maximum = 255; return &bridge->saturation;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS: *minimum = 0; *maximum = 2; return &bridge->sharpness;
    case KSPROPERTY_VIDEOPROCAMP_GAMMA: *minimum = 0; *maximum = 3; return &bridge->gamma;
    default: return nullptr;
    }
}

static NTSTATUS GetVideoProcAmp(CameraSession* session, ULONG id, PKSPROPERTY_VIDEOPROCAMP_S record, ULONG* bytes)
{
    LONG minimum, maximum;
    std::atomic<UCHAR>* setting = PictureSetting(session->bridgeState, id, &minimum, &maximum);
    if (setting == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    record->Value = setting->load(std::memory_order_relaxed);
    record->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    record->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    *bytes = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    return STATUS_SUCCESS;
}

static NTSTATUS SetVideoProcAmp(CameraSession* session, ULONG id, const KSPROPERTY_VIDEOPROCAMP_S* record)
{
    LONG minimum, maximum;
    BridgeState* bridge = session->bridgeState;
    std::atomic<UCHAR>* setting = PictureSetting(bridge, id, &minimum, &maximum);
    if (setting == nullptr || record->Value < minimum || record->Value > maximum) {
        return STATUS_INVALID_PARAMETER;
    }
    // Written to the device by the frame worker between two frames, or by the next capture start.
    setting->store(static_cast<UCHAR>(record->Value), std::memory_order_relaxed);
    bridge->settingsChanged.store(TRUE);
    return STATUS_SUCCESS;
}

// Bridge register 0x22, read under settingsLock so that it never interleaves with the frame
// worker's register traffic; 0 when the device is closing or the read fails.
static LONG ReadDirectRegister(CameraSession* session)
{
    AdapterRecord* adapter = session->adapter;
    UCHAR value = 0;
    KeWaitForSingleObject(&adapter->settingsLock, Executive, KernelMode, FALSE, nullptr);
    if (!IsDeviceClosing(session) && !NT_SUCCESS(ReadBridgeRegister(session->bridgeState, &value))) {
        value = 0;
    }
    KeReleaseMutex(&adapter->settingsLock, FALSE);
    return value;
}

static VOID WriteDirectRegister(CameraSession* session, UCHAR value)
{
    AdapterRecord* adapter = session->adapter;
    KeWaitForSingleObject(&adapter->settingsLock, Executive, KernelMode, FALSE, nullptr);
    if (!IsDeviceClosing(session)) {
        WriteBridgeRegisters(session->bridgeState, &value, DIRECT_REGISTER, 1);  // status not reported
    }
    KeReleaseMutex(&adapter->settingsLock, FALSE);
}

static NTSTATUS GetCustom(CameraSession* session, ULONG id, PKSPROPERTY_VIDEOPROCAMP_S record, ULONG* bytes)
{
    ExposureModel* model = session->exposureModel;
    FrameProcessor* processor = session->captureDevice->frameProcessor;
    *bytes = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    LONG value;
    switch (id) {
    case CustomLightSource: value = model->lightSource.load(); break;
    case CustomFlicker: value = model->flicker.load(); break;
    case CustomExposureTarget: value = static_cast<LONG>(model->targetBrightness.load()) - 50; break;
    // The zoom and flags live in the frame processing, made at the first stream open: before it,
    // they read as 0.
    case CustomFlag3: value = processor && processor->propertyFlag3.load() ? 1 : 0; break;
    case CustomZoomOn: value = processor && processor->zoomEnabled.load() ? 1 : 0; break;
    case CustomZoomLevel: value = processor ? processor->zoomLevel.load() : 0; break;
    case CustomFlag7: value = processor && processor->propertyFlag7.load() ? 1 : 0; break;
    case CustomFlag8: value = processor && processor->propertyFlag8.load() ? 1 : 0; break;
    case CustomRegister22: value = ReadDirectRegister(session); break;
    default: return STATUS_NOT_SUPPORTED;  // the record is left as it came
    }
    record->Value = value;
    record->Flags = 0;
    record->Capabilities = 0;
    return STATUS_SUCCESS;
}

static NTSTATUS SetCustom(CameraSession* session, ULONG id, const KSPROPERTY_VIDEOPROCAMP_S* record)
{
    ExposureModel* model = session->exposureModel;
    FrameProcessor* processor = session->captureDevice->frameProcessor;
    const LONG v = record->Value;
    const UCHAR lowByte = static_cast<UCHAR>(v & 0xFF);
    switch (id) {
    case CustomLightSource:
        SetLightSource(model, lowByte);
        return STATUS_SUCCESS;
    case CustomFlicker:
        SetFlicker(model, lowByte);
        SaveFlickerSetting(static_cast<ULONG>(v));  // the whole value, whatever the model kept
        return STATUS_SUCCESS;
    case CustomExposureTarget:
        SetExposureTarget(model, lowByte);
        return STATUS_SUCCESS;
    case CustomRegister22:
        WriteDirectRegister(session, lowByte);
        return STATUS_SUCCESS;
    case CustomFlag3:
    case CustomZoomOn:
    case CustomZoomLevel:
    case CustomFlag7:
    case CustomFlag8:
        break;
    default:
        return STATUS_NOT_SUPPORTED;
    }
    // Before the first stream open there is no frame processing to keep the value: refuse the set
    // rather than report success for a value nobody keeps.
    if (processor == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    switch (id) {
    case CustomFlag3:
        processor->propertyFlag3.store(v == 1 && !processor->zoomEnabled.load() ? 1 : 0);
        break;
    case CustomZoomOn:
        if (v == 1) {
            processor->zoomEnabled.store(1);
            processor->propertyFlag3.store(0);
        } else {
            processor->zoomEnabled.store(0);
        }
        break;
    case CustomZoomLevel:
        SetZoomLevel(processor, lowByte);
        break;
    case CustomFlag7:
        processor->propertyFlag7.store(v == 1 ? 1 : 0);
        break;
    case CustomFlag8:
        processor->propertyFlag8.store(v == 1 ? 1 : 0);
        break;
    }
    return STATUS_SUCCESS;
}

// Which published set a request names: VideoProcAmp, Custom or neither.
static int PropertySetOf(PHW_STREAM_REQUEST_BLOCK Srb)
{
    const GUID& set = Srb->CommandData.PropertyInfo->Property->Set;
    if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOPROCAMP)) return DEVICE_PROPERTY_SET_VIDEOPROCAMP;
    if (IsEqualGUID(set, PROPSETID_CUSTOM)) return DEVICE_PROPERTY_SET_CUSTOM;
    return -1;
}

_Use_decl_annotations_
VOID HandleGetDeviceProperty(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CameraSession* session = AdapterOfRequest(Srb)->cameraSession;
    PKSPROPERTY_VIDEOPROCAMP_S record = PropertyRecord(Srb);
    const ULONG id = Srb->CommandData.PropertyInfo->Property->Id;
    const int set = PropertySetOf(Srb);
    ULONG bytes = 0;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    if (session == nullptr) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (set >= 0 && record == nullptr) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (set == DEVICE_PROPERTY_SET_VIDEOPROCAMP) {
        status = GetVideoProcAmp(session, id, record, &bytes);
    } else if (set == DEVICE_PROPERTY_SET_CUSTOM) {
        status = GetCustom(session, id, record, &bytes);
    }
    Srb->ActualBytesTransferred = bytes;
    Srb->Status = status;
    CompleteAdapterRequest(Srb);
}

_Use_decl_annotations_
VOID HandleSetDeviceProperty(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CameraSession* session = AdapterOfRequest(Srb)->cameraSession;
    PKSPROPERTY_VIDEOPROCAMP_S record = PropertyRecord(Srb);
    const ULONG id = Srb->CommandData.PropertyInfo->Property->Id;
    const int set = PropertySetOf(Srb);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (session == nullptr) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (set >= 0 && record == nullptr) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (set == DEVICE_PROPERTY_SET_VIDEOPROCAMP) {
        status = SetVideoProcAmp(session, id, record);
    } else if (set == DEVICE_PROPERTY_SET_CUSTOM) {
        status = SetCustom(session, id, record);
    }
    Srb->Status = status;
    CompleteAdapterRequest(Srb);
}
