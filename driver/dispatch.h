// The two request dispatch tables with their receivers, the cancel and timeout routines.
#pragma once

#include "platform/stream_class.h"

#define ADAPTER_TABLE_ENTRIES 15  // codes 0x100..0x10E
#define STREAM_TABLE_ENTRIES 17   // codes 0..16

// HwReceivePacket: dispatches an adapter request; codes outside 0x100..0x10E run the
// surprise-removal entry.
HW_RECEIVE_DEVICE_SRB AdapterReceivePacket;
// ReceiveDataPacket and ReceiveControlPacket of the stream: codes outside 0..16 run the
// SRB_GET_DATA_FORMAT entry, which is not implemented.
HW_RECEIVE_STREAM_DATA_SRB StreamReceivePacket;
// HwCancelPacket: cancels a read still waiting in readQueue; anything else is ignored.
HW_CANCEL_SRB CancelPacket;
// HwRequestTimeoutHandler: restarts the timeout; no request fails for taking long.
HW_REQUEST_TIMEOUT_HANDLER RequestTimeoutHandler;
