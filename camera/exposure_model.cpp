// The exposure loop: limits and table by flicker and light source, the per-frame measurement
// and step, and the setters the properties and the persisted settings use. The fields are
// shared with property requests without a lock; each is a relaxed atomic word.
#include "camera/exposure_model.h"

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr UCHAR kFlicker50Hz = 50;
constexpr SHORT kMinIndexLow = 0;        // light source 1 may use the whole table
constexpr SHORT kMinIndex50Hz = 11;      // never below 131 at 50 Hz
constexpr SHORT kMinIndex60Hz = 10;      // never below 109 at 60 Hz
constexpr LONG kSampleStep = 4;          // every fourth pixel of every fourth row
constexpr double kBandFactor = 1.3;

const USHORT* TableForFlicker(UCHAR flicker)
{
    return flicker == kFlicker50Hz ? ExposureTable50Hz : ExposureTable60Hz;
}

// Steps 3 to 7 of the measurement, once the average is known.
VOID StepExposure(ExposureModel* model, ULONG average)
{
    model->exposureChanged.store(0, kRelaxed);
    if (average >= model->bandLow.load(kRelaxed) && average <= model->bandHigh.load(kRelaxed)) {
        return;
    }
    const LONG index = model->exposureIndex.load(kRelaxed);
    const LONG next = average < model->bandLow.load(kRelaxed) ? index + 1 : index - 1;
    const USHORT* table = model->exposureTable.load(kRelaxed);
    if (next > model->maxIndex.load(kRelaxed) || next < model->minIndex.load(kRelaxed) || table == nullptr ||
        next < 0 || next >= EXPOSURE_TABLE_ENTRIES) {
        return;
    }
    model->exposureIndex.store(static_cast<SHORT>(next), kRelaxed);
    model->exposureValue.store(table[next], kRelaxed);
    model->exposureChanged.store(1, kRelaxed);
    model->stepCountdown.store(model->stepDelay.load(kRelaxed), kRelaxed);
}

// Step 1: true when this frame is to be skipped (the countdown is then decreased).
bool SkipMeasurement(ExposureModel* model)
{
    const UCHAR countdown = model->stepCountdown.load(kRelaxed);
    if (countdown > 0) {
        model->stepCountdown.store(static_cast<UCHAR>(countdown - 1), kRelaxed);
        return true;
    }
    return false;
}

}  // namespace

const USHORT ExposureTable50Hz[EXPOSURE_TABLE_ENTRIES] = {
    19, 23, 27, 32, 38, 46, 54, 65, 77, 91, 109, 131, 185, 262, 393, 524, 655,
};
const USHORT ExposureTable60Hz[EXPOSURE_TABLE_ENTRIES] = {
    19, 23, 27, 32, 38, 46, 54, 65, 77, 91, 109, 154, 218, 327, 436, 545, 655,
};

VOID UpdateExposureModel(ExposureModel* model)
{
    model->exposureIndex.store(EXPOSURE_START_INDEX, kRelaxed);
    const UCHAR flicker = model->flicker.load(kRelaxed);
    switch (model->lightSource.load(kRelaxed)) {
    case 0:
    case 2:
        model->minIndex.store(flicker == kFlicker50Hz ? kMinIndex50Hz : kMinIndex60Hz, kRelaxed);
        break;
    case 1:
        model->minIndex.store(kMinIndexLow, kRelaxed);
        break;
    default:
        break;  // an unknown light source keeps the limit it had
    }
    model->maxIndex.store(EXPOSURE_MAX_INDEX, kRelaxed);
    // Outside the video mode the table stays, except that a model that never had one (a
    // property set before the first capture start) takes the flicker's table now; the first
    // frame-processor set-up chooses again.
    if (model->mode.load(kRelaxed) == EXPOSURE_MODE_VIDEO || model->exposureTable.load(kRelaxed) == nullptr) {
        model->exposureTable.store(TableForFlicker(flicker), kRelaxed);
        model->stepDelay.store(EXPOSURE_STEP_DELAY, kRelaxed);
    }
    const USHORT value = model->exposureTable.load(kRelaxed)[EXPOSURE_START_INDEX];
    model->exposureValue.store(value, kRelaxed);
    model->appliedExposure.store(value, kRelaxed);
    model->stepCountdown.store(model->stepDelay.load(kRelaxed), kRelaxed);
}

VOID AdjustExposure(ExposureModel* model, const UCHAR* picture, LONG width, LONG height)
{
    if (SkipMeasurement(model) || width <= 0 || height <= 0) {
        return;
    }
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    ULONG sum = 0;
    ULONG samples = 0;
    for (LONG y = 0; y < height; y += kSampleStep) {
        const UCHAR* row = picture + static_cast<size_t>(y) * rowBytes;
        for (LONG x = 0; x < width; x += kSampleStep) {
            sum += row[3 * static_cast<size_t>(x) + 1];
            ++samples;
        }
    }
    StepExposure(model, sum / samples);
}

VOID AdjustExposureBeforeTurn(ExposureModel* model, const UCHAR* unturned, LONG width, LONG height, LONG stride)
{
    if (SkipMeasurement(model) || width <= 0 || height <= 0) {
        return;
    }
    // Turned pixel (x, y) is unturned pixel (width − 1 − x, height − 1 − y); a sum does not
    // depend on the order of its terms.
    ULONG sum = 0;
    ULONG samples = 0;
    for (LONG y = 0; y < height; y += kSampleStep) {
        const UCHAR* row = unturned + static_cast<size_t>(height - 1 - y) * stride;
        for (LONG x = 0; x < width; x += kSampleStep) {
            sum += row[3 * static_cast<size_t>(width - 1 - x) + 1];
            ++samples;
        }
    }
    StepExposure(model, sum / samples);
}

VOID SetExposureTarget(ExposureModel* model, ULONG value)
{
    const UCHAR target = static_cast<UCHAR>(value + 50);
    const LONG high = static_cast<LONG>(target * kBandFactor);
    model->targetBrightness.store(target, kRelaxed);
    model->bandHigh.store(static_cast<UCHAR>(high < 255 ? high : 255), kRelaxed);
    model->bandLow.store(static_cast<UCHAR>(target / kBandFactor), kRelaxed);
}

VOID SetLightSource(ExposureModel* model, UCHAR value)
{
    if (value == model->lightSource.load(kRelaxed)) {
        return;
    }
    model->lightSource.store(value, kRelaxed);
    UpdateExposureModel(model);
    model->exposureChanged.store(1, kRelaxed);
}

VOID SetFlicker(ExposureModel* model, UCHAR value)
{
    if (value == model->flicker.load(kRelaxed)) {
        return;
    }
    model->flicker.store(value, kRelaxed);
    UpdateExposureModel(model);
    model->exposureChanged.store(1, kRelaxed);
}
