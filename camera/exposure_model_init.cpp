// Creation values of the ExposureModel.
#include "camera/exposure_model.h"

VOID InitializeExposureModel(ExposureModel* model, CameraSession* session)
{
    model->exposureValue.store(0, std::memory_order_relaxed);
    model->appliedExposure.store(0, std::memory_order_relaxed);
    model->exposureTable.store(nullptr, std::memory_order_relaxed);
    model->flicker.store(60, std::memory_order_relaxed);
    model->lightSource.store(0, std::memory_order_relaxed);
    model->exposureIndex.store(0, std::memory_order_relaxed);
    model->maxIndex.store(0, std::memory_order_relaxed);
    model->minIndex.store(0, std::memory_order_relaxed);
    model->exposureChanged.store(0, std::memory_order_relaxed);
    model->targetBrightness.store(130, std::memory_order_relaxed);
    model->bandHigh.store(169, std::memory_order_relaxed);
    model->bandLow.store(100, std::memory_order_relaxed);
    model->stepDelay.store(0, std::memory_order_relaxed);
    model->stepCountdown.store(0, std::memory_order_relaxed);
    model->mode.store(EXPOSURE_MODE_UNSET, std::memory_order_relaxed);
    model->cameraSession = session;
}
