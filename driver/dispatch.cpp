// Request dispatch: one bounds check and one table lookup per SRB; the handlers complete their
// own requests.
#include "driver/dispatch.h"

#include "driver/adapter_record.h"
#include "driver/driver_globals.h"
#include "driver/request_handlers.h"
#include "stream/read_request_entry.h"

// Index = SRB code − 0x100.
static REQUEST_HANDLER* const AdapterRequestTable[ADAPTER_TABLE_ENTRIES] = {
    HandleGetStreamInfo,           // 0x100 SRB_GET_STREAM_INFO
    HandleOpenStream,              // 0x101 SRB_OPEN_STREAM
    HandleCloseStream,             // 0x102 SRB_CLOSE_STREAM
    HandleAcceptAdapterRequest,    // 0x103 SRB_OPEN_DEVICE_INSTANCE
    HandleAcceptAdapterRequest,    // 0x104 SRB_CLOSE_DEVICE_INSTANCE
    HandleGetDeviceProperty,       // 0x105 SRB_GET_DEVICE_PROPERTY
    HandleSetDeviceProperty,       // 0x106 SRB_SET_DEVICE_PROPERTY
    HandleInitializeDevice,        // 0x107 SRB_INITIALIZE_DEVICE
    HandleChangePowerState,        // 0x108 SRB_CHANGE_POWER_STATE
    HandleUninitializeDevice,      // 0x109 SRB_UNINITIALIZE_DEVICE
    HandleAcceptAdapterRequest,    // 0x10A SRB_UNKNOWN_DEVICE_COMMAND
    HandleAcceptAdapterRequest,    // 0x10B SRB_PAGING_OUT_DRIVER
    HandleGetDataIntersection,     // 0x10C SRB_GET_DATA_INTERSECTION
    HandleInitializationComplete,  // 0x10D SRB_INITIALIZATION_COMPLETE
    HandleSurpriseRemoval,         // 0x10E SRB_SURPRISE_REMOVAL
};

// Index = SRB code.
static REQUEST_HANDLER* const StreamRequestTable[STREAM_TABLE_ENTRIES] = {
    HandleReadData,              // 0 SRB_READ_DATA
    HandleStreamNotImplemented,  // 1 SRB_WRITE_DATA
    HandleGetStreamState,        // 2 SRB_GET_STREAM_STATE
    HandleSetStreamState,        // 3 SRB_SET_STREAM_STATE
    HandleStreamNotImplemented,  // 4 SRB_SET_STREAM_PROPERTY
    HandleGetStreamProperty,     // 5 SRB_GET_STREAM_PROPERTY
    HandleOpenMasterClock,       // 6 SRB_OPEN_MASTER_CLOCK
    HandleOpenMasterClock,       // 7 SRB_INDICATE_MASTER_CLOCK
    HandleStreamNotImplemented,  // 8 SRB_UNKNOWN_STREAM_COMMAND
    HandleStreamNotImplemented,  // 9 SRB_SET_STREAM_RATE
    HandleProposeDataFormat,     // 10 SRB_PROPOSE_DATA_FORMAT
    HandleCloseMasterClock,      // 11 SRB_CLOSE_MASTER_CLOCK
    HandleStreamNotImplemented,  // 12 SRB_PROPOSE_STREAM_RATE
    HandleSetDataFormat,         // 13 SRB_SET_DATA_FORMAT
    HandleStreamNotImplemented,  // 14 SRB_GET_DATA_FORMAT
    HandleStreamNotImplemented,  // 15 SRB_BEGIN_FLUSH
    HandleStreamNotImplemented,  // 16 SRB_END_FLUSH
};

// The entry every stream code outside the table runs: SRB_GET_DATA_FORMAT, not implemented.
#define STREAM_OUT_OF_RANGE_INDEX 14

_Use_decl_annotations_
VOID AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    EntryOfRequest(Srb)->request = Srb;

    const LONG code = static_cast<LONG>(Srb->Command);
    LONG index = AdapterEntryCount - 1;  // out of range: the surprise-removal entry
    if (code >= SRB_GET_STREAM_INFO && code - SRB_GET_STREAM_INFO < AdapterEntryCount) {
        index = code - SRB_GET_STREAM_INFO;
    }
    AdapterRequestTable[index](Srb);
}

_Use_decl_annotations_
VOID StreamReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    EntryOfRequest(Srb)->request = Srb;

    const LONG code = static_cast<LONG>(Srb->Command);
    const LONG index = (code < 0 || code >= StreamEntryCount) ? STREAM_OUT_OF_RANGE_INDEX : code;
    StreamRequestTable[index](Srb);
}

_Use_decl_annotations_
LONG CompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    if (Srb == nullptr) {
        return 1;
    }
    StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
    return 0;
}

_Use_decl_annotations_
VOID CancelPacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    AdapterRecord* adapter = AdapterOfRequest(Srb);
    ReadRequestEntry* unlinked = nullptr;

    KIRQL oldIrql;
    KeAcquireSpinLock(&adapter->readQueueLock, &oldIrql);
    for (PLIST_ENTRY link = adapter->readQueue.Flink; link != &adapter->readQueue; link = link->Flink) {
        ReadRequestEntry* entry = CONTAINING_RECORD(link, ReadRequestEntry, links);
        if (entry->request == Srb) {
            RemoveEntryList(link);
            unlinked = entry;
            break;
        }
    }
    KeReleaseSpinLock(&adapter->readQueueLock, oldIrql);

    // Not queued (not a read, or the capture already attached a frame): the owner completes it.
    if (unlinked == nullptr) {
        return;
    }
    Srb->CommandData.DataBufferArray->DataUsed = 0;
    Srb->Status = STATUS_CANCELLED;
    CompleteStreamRequest(Srb);
}

_Use_decl_annotations_
VOID RequestTimeoutHandler(PHW_STREAM_REQUEST_BLOCK Srb)
{
    Srb->TimeoutCounter = Srb->TimeoutOriginal;
}

_Use_decl_annotations_
VOID HandleAcceptAdapterRequest(PHW_STREAM_REQUEST_BLOCK Srb)
{
    Srb->Status = STATUS_SUCCESS;
    CompleteAdapterRequest(Srb);
}

_Use_decl_annotations_
VOID HandleStreamNotImplemented(PHW_STREAM_REQUEST_BLOCK Srb)
{
    Srb->Status = STATUS_NOT_IMPLEMENTED;
    CompleteStreamRequest(Srb);
}
