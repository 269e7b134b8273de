// The fixed tone curve every delivered byte goes through: steep from 0, flat at 253 from 215.
#pragma once

#include "platform/nt_types.h"

extern const UCHAR ToneCurve[256];
