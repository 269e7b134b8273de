// Operations whose subsystems have not been built yet.
#include "still/camera_protocol.h"

VOID SendPipeRequest(USHORT, ULONG) {}
