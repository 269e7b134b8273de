// Bulk video transfers: the URB layout and the completion. Frame assembly from the bulk pipe
// is not built yet: while capture runs the transfers circulate and their data is dropped.
#include "usb/bulk_capture.h"

#include <cstring>

#include "usb/iso_capture.h"
#include "usb/usb_transfer.h"

_Use_decl_annotations_
VOID BuildBulkUrb(CaptureDevice* device, UsbTransfer* transfer)
{
    std::memset(transfer->urb, 0, BULK_URB_BYTES);
    auto& bulk = transfer->urb->UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = BULK_URB_BYTES;
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = InterfacePipeHandle(device, PIPE_VIDEO_BULK);
    bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    bulk.TransferBuffer = transfer->buffer;
    bulk.TransferBufferLength = BULK_TRANSFER_BYTES;
    bulk.TransferBufferMDL = nullptr;
    bulk.UrbLink = nullptr;
}

_Use_decl_annotations_
VOID RefreshBulkUrb(CaptureDevice* device, UsbTransfer* transfer)
{
    auto& bulk = transfer->urb->UrbBulkOrInterruptTransfer;
    bulk.Hdr.Status = USBD_STATUS_SUCCESS;
    bulk.PipeHandle = InterfacePipeHandle(device, PIPE_VIDEO_BULK);
    bulk.TransferBufferMDL = nullptr;
    bulk.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    bulk.TransferBufferLength = BULK_TRANSFER_BYTES;
    bulk.TransferBuffer = transfer->buffer;
    std::memset(&bulk.hca, 0, sizeof(bulk.hca));
}

_Use_decl_annotations_
NTSTATUS BulkTransferDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* transfer = static_cast<UsbTransfer*>(Context);
    CaptureDevice* device = transfer->owner;
    auto& bulk = transfer->urb->UrbBulkOrInterruptTransfer;
    if (device->captureState.load() == CAPTURE_STOPPED || !NT_SUCCESS(Irp->IoStatus.Status) ||
        !USBD_SUCCESS(bulk.Hdr.Status)) {
        TransferStoppedCirculating(transfer);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    KeInsertQueueDpc(&transfer->resubmitCall, nullptr, nullptr);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
