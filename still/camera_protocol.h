// The camera protocol of the still-image channel.
#pragma once

#include "platform/usb_bus.h"

// An abort (URB_FUNCTION_ABORT_PIPE) or reset (URB_FUNCTION_RESET_PIPE) of pipe 1, 2 or 3 of
// interface 0, waited for up to 1.5 s; the result is not examined. IRQL: PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) VOID SendPipeRequest(USHORT function, ULONG pipe);
