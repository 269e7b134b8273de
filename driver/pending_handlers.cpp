// The still-image channel has not been built yet: its requests answer STATUS_NOT_IMPLEMENTED
// (after the device access mode has routed them).
#include "still/still_image_channel.h"

VOID DispatchStillImageRequest(StillImageChannel*, PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
}
