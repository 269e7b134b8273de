// Requests whose handling has not been built yet answer STATUS_NOT_IMPLEMENTED.
#include "driver/request_handlers.h"
#include "driver/driver_entry.h"
#include "still/still_image_channel.h"

static VOID AdapterNotImplemented(PHW_STREAM_REQUEST_BLOCK Srb)
{
    Srb->Status = STATUS_NOT_IMPLEMENTED;
    CompleteAdapterRequest(Srb);
}

VOID HandleGetDeviceProperty(PHW_STREAM_REQUEST_BLOCK Srb) { AdapterNotImplemented(Srb); }
VOID HandleSetDeviceProperty(PHW_STREAM_REQUEST_BLOCK Srb) { AdapterNotImplemented(Srb); }


VOID DispatchStillImageRequest(StillImageChannel*, PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
}

VOID ResetDriverSubsystemGlobals() {}
