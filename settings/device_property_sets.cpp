// Published property sets. Every item is get and set, with 40-byte property and data records, a
// stepped range and a default list; the class driver routes the requests to the driver.
#include "settings/device_property_sets.h"

// The published values of one property: its stepped range and its default list. The default list
// has four entries; each of them reads as the default.
#define PUBLISHED_VALUES(name, delta, reserved, minimum, maximum, defaultValue)                        \
    static const KSPROPERTY_STEPPING_LONG name##Stepping = {delta, reserved, {minimum, maximum}};      \
    static const LONG name##Defaults[4] = {defaultValue, defaultValue, defaultValue, defaultValue};    \
    static const KSPROPERTY_MEMBERSLIST name##Members[2] = {                                           \
        {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &name##Stepping},  \
        {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 4, KSPROPERTY_MEMBER_FLAG_DEFAULT}, name##Defaults}, \
    };                                                                                                 \
    static const KSPROPERTY_VALUES name##Values = {{{{KSPROPTYPESETID_General, VT_I4, 0}}}, 2, name##Members}

#define PROPERTY_RECORD_BYTES sizeof(KSPROPERTY_VIDEOPROCAMP_S)  // 40

#define PROPERTY_ITEM(id, name)                                                                   \
    {                                                                                             \
        id, {.GetSupported = TRUE}, PROPERTY_RECORD_BYTES, PROPERTY_RECORD_BYTES,                 \
            {.SetSupported = TRUE}, &name##Values, 0, nullptr, nullptr, sizeof(ULONG)             \
    }

//               name            delta reserved min  max  default
PUBLISHED_VALUES(Brightness,     1,    0,       0,   30,  15);
PUBLISHED_VALUES(Saturation,     1,    0,       1,   255, 200);
PUBLISHED_VALUES(Sharpness,      1,    0,       0,   2,   1);
PUBLISHED_VALUES(Gamma,          1,    0,       0,   3,   1);

PUBLISHED_VALUES(LightSource,    1,    1,       0,   2,   1);
PUBLISHED_VALUES(Flicker,        10,   60,      50,  60,  1);
PUBLISHED_VALUES(ExposureTarget, 1,    31,      0,   100, 50);
PUBLISHED_VALUES(Flag3,          1,    1,       0,   1,   0);
PUBLISHED_VALUES(ZoomOn,         1,    1,       0,   1,   0);
PUBLISHED_VALUES(ZoomLevel,      1,    31,      0,   16,  0);
PUBLISHED_VALUES(Listed6,        1,    1,       0,   1,   0);
PUBLISHED_VALUES(Flag7,          1,    1,       0,   1,   0);
PUBLISHED_VALUES(Flag8,          1,    1,       0,   1,   0);
PUBLISHED_VALUES(Listed9,        1,    0,       0,   1,   0);
PUBLISHED_VALUES(Listed10,       1,    0,       0,   1,   1);
PUBLISHED_VALUES(Register22,     1,    0,       0,   1,   0);

static const KSPROPERTY_ITEM VideoProcAmpItems[] = {
    PROPERTY_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, Brightness),
    PROPERTY_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, Saturation),
    PROPERTY_ITEM(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, Sharpness),
    PROPERTY_ITEM(KSPROPERTY_VIDEOPROCAMP_GAMMA, Gamma),
};

static const KSPROPERTY_ITEM CustomItems[CUSTOM_PROPERTY_COUNT] = {
    PROPERTY_ITEM(0, LightSource),     // light source
    PROPERTY_ITEM(1, Flicker),         // mains flicker frequency, Hz
    PROPERTY_ITEM(2, ExposureTarget),  // exposure target
    PROPERTY_ITEM(3, Flag3),           // stored flag
    PROPERTY_ITEM(4, ZoomOn),          // digital zoom on
    PROPERTY_ITEM(5, ZoomLevel),       // digital zoom level
    PROPERTY_ITEM(6, Listed6),         // listed, not supported
    PROPERTY_ITEM(7, Flag7),           // stored flag
    PROPERTY_ITEM(8, Flag8),           // stored flag
    PROPERTY_ITEM(9, Listed9),         // listed, not supported
    PROPERTY_ITEM(10, Listed10),       // listed, not supported
    PROPERTY_ITEM(11, Register22),     // bridge register 0x22
};

const KSPROPERTY_SET DevicePropertySets[DEVICE_PROPERTY_SET_COUNT] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 4, VideoProcAmpItems, 0, nullptr},
    {&PROPSETID_CUSTOM, CUSTOM_PROPERTY_COUNT, CustomItems, 0, nullptr},
};
