// The handlers the two dispatch tables name. Each adapter handler sets the SRB's Status and
// completes it with StreamClassDeviceNotification(DeviceRequestComplete, ...); each stream handler
// completes its SRB with CompleteStreamRequest, at once or later (reads).
#pragma once

#include "platform/stream_class.h"

typedef VOID REQUEST_HANDLER(PHW_STREAM_REQUEST_BLOCK Srb);

// Adapter requests.
REQUEST_HANDLER HandleGetStreamInfo;
REQUEST_HANDLER HandleOpenStream;
REQUEST_HANDLER HandleCloseStream;
REQUEST_HANDLER HandleAcceptAdapterRequest;  // STATUS_SUCCESS, nothing else
REQUEST_HANDLER HandleGetDeviceProperty;
REQUEST_HANDLER HandleSetDeviceProperty;
REQUEST_HANDLER HandleInitializeDevice;
REQUEST_HANDLER HandleChangePowerState;
REQUEST_HANDLER HandleUninitializeDevice;
REQUEST_HANDLER HandleGetDataIntersection;
REQUEST_HANDLER HandleInitializationComplete;
REQUEST_HANDLER HandleSurpriseRemoval;

// Stream requests.
REQUEST_HANDLER HandleReadData;
REQUEST_HANDLER HandleStreamNotImplemented;  // STATUS_NOT_IMPLEMENTED at once
REQUEST_HANDLER HandleGetStreamState;
REQUEST_HANDLER HandleSetStreamState;
REQUEST_HANDLER HandleGetStreamProperty;
REQUEST_HANDLER HandleOpenMasterClock;       // also SRB_INDICATE_MASTER_CLOCK
REQUEST_HANDLER HandleProposeDataFormat;
REQUEST_HANDLER HandleCloseMasterClock;
REQUEST_HANDLER HandleSetDataFormat;

// Completes an adapter request with the Status already set in it.
inline VOID CompleteAdapterRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

// Completes a stream request with its Status (and, for reads, its stream header) already set.
// Returns 1 and does nothing for a null SRB, else 0.
LONG CompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK Srb);
