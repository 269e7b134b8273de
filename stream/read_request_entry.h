// ReadRequestEntry: the per-request extension of every SRB. For reads it is the node of the read
// lists and carries the compressed frame the capture attached to the read.
#pragma once

#include "platform/stream_class.h"

struct ReadRequestEntry {
    LIST_ENTRY links;                   // membership in readQueue or readyQueue
    PHW_STREAM_REQUEST_BLOCK request;   // the SRB that owns this extension
    ULONGLONG frameNumber;              // framesCaptured of the attached frame; 0 while none
    ULONG frameLength;                  // bytes of the attached compressed frame
    PUCHAR frameData;                   // the frame-ring slot holding the frame, when inRing
    BOOLEAN inRing;                     // 1: frame in a ring slot; 0: in the read's own buffer
};
static_assert(sizeof(ReadRequestEntry) == 56, "the per-request extension the driver registers");

inline ReadRequestEntry* EntryOfRequest(PHW_STREAM_REQUEST_BLOCK srb)
{
    return static_cast<ReadRequestEntry*>(srb->SRBExtension);
}
