// The one-shot hand-over of the next finished picture to a waiting still-image request.
// Arming, taking and withdrawing are each one step under snapshotLock; the copy runs outside
// it in SNAPSHOT_COPYING, and a withdrawal that meets a copy waits for snapshotDone, so a
// request never completes while its buffer is being written.
#include <cstring>

#include "frame/frame_processor.h"

BOOLEAN ArmSnapshot(FrameProcessor* processor, PUCHAR buffer, ULONG length)
{
    KIRQL irql;
    BOOLEAN armed = FALSE;
    KeAcquireSpinLock(&processor->snapshotLock, &irql);
    if (processor->snapshotState == SNAPSHOT_IDLE) {
        KeResetEvent(&processor->snapshotDone);
        processor->snapshotTarget = buffer;
        processor->snapshotLength = length;
        processor->snapshotBytes = 0;
        processor->snapshotState = SNAPSHOT_ARMED;
        armed = TRUE;
    }
    KeReleaseSpinLock(&processor->snapshotLock, irql);
    return armed;
}

VOID HandOverSnapshot(FrameProcessor* processor, const UCHAR* picture)
{
    KIRQL irql;
    KeAcquireSpinLock(&processor->snapshotLock, &irql);
    if (processor->snapshotState != SNAPSHOT_ARMED) {
        KeReleaseSpinLock(&processor->snapshotLock, irql);
        return;
    }
    processor->snapshotState = SNAPSHOT_COPYING;
    PUCHAR target = processor->snapshotTarget;
    const ULONG pictureBytes = static_cast<ULONG>(processor->frameBytes);
    const ULONG bytes = pictureBytes < processor->snapshotLength ? pictureBytes : processor->snapshotLength;
    KeReleaseSpinLock(&processor->snapshotLock, irql);

    std::memcpy(target, picture, bytes);

    KeAcquireSpinLock(&processor->snapshotLock, &irql);
    processor->snapshotBytes = bytes;
    processor->snapshotTarget = nullptr;
    processor->snapshotState = SNAPSHOT_DONE;
    KeSetEvent(&processor->snapshotDone, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&processor->snapshotLock, irql);
}

_Use_decl_annotations_
ULONG WithdrawSnapshot(FrameProcessor* processor)
{
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&processor->snapshotLock, &irql);
    if (processor->snapshotState == SNAPSHOT_COPYING) {
        KeReleaseSpinLock(&processor->snapshotLock, irql);
        KeWaitForSingleObject(&processor->snapshotDone, Executive, KernelMode, FALSE, nullptr);
        KeAcquireSpinLock(&processor->snapshotLock, &irql);
    }
    ULONG bytes = 0;
    if (processor->snapshotState == SNAPSHOT_DONE) {
        bytes = processor->snapshotBytes;
    }
    processor->snapshotTarget = nullptr;
    processor->snapshotState = SNAPSHOT_IDLE;
    KeReleaseSpinLock(&processor->snapshotLock, irql);
    return bytes;
}
