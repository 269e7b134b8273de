// StillImageChannel: the event and query request buffer of the still-image channel, created by
// the first private device-control request and freed at device uninitialisation.
#pragma once

#include "platform/nt_kernel.h"

#define STILL_QUERY_REQUEST_BYTES 152

struct StillImageChannel {
    KEVENT transferDone;  // signalled by the completion of each chunk of a data read
    PUCHAR queryRequest;  // request buffer for register queries, or none
    // Held by each private request from its start to its end: the event, the query buffer and
    // the camera's one command register serve one request at a time.
    KMUTEX requestLock;
};

// Performs one private request (codes 0x223000..0x223076) in the requester's thread and sets
// the IRP's IoStatus; never completes the IRP. IRQL: PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID DispatchStillImageRequest(StillImageChannel* channel, PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Frees the channel's query request buffer (if any) and the record.
VOID FreeStillImageChannel(StillImageChannel* channel);
