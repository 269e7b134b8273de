// The two device property sets the stream header publishes: the video-processing-amplifier set
// and the private Custom set.
#pragma once

#include "platform/ks_media.h"

// 77A89771-F970-4900-9757-20A6F03FACE4
NT_DEFINE_GUID(PROPSETID_CUSTOM, 0x77a89771, 0xf970, 0x4900, 0x97, 0x57, 0x20, 0xa6, 0xf0, 0x3f, 0xac, 0xe4);

#define DEVICE_PROPERTY_SET_COUNT 2
#define DEVICE_PROPERTY_SET_VIDEOPROCAMP 0
#define DEVICE_PROPERTY_SET_CUSTOM 1
#define CUSTOM_PROPERTY_COUNT 12

extern const KSPROPERTY_SET DevicePropertySets[DEVICE_PROPERTY_SET_COUNT];
