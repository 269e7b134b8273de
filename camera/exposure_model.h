// ExposureModel: the host-side exposure control: flicker, light source, target brightness and
// band, the exposure table with its index and limits, and the exposure the sensor should use.
#pragma once

#include <atomic>

#include "platform/nt_types.h"

struct CameraSession;

#define EXPOSURE_MODE_UNSET 255
#define EXPOSURE_MODE_VIDEO 2

struct ExposureModel {
    std::atomic<USHORT> exposureValue;    // what the sensor should use (registers 3 high, 4 low)
    std::atomic<USHORT> appliedExposure;  // last written to the sensor by the frame worker
    std::atomic<const USHORT*> exposureTable;  // the 50 Hz or 60 Hz table; null until first chosen
    std::atomic<UCHAR> flicker;           // mains frequency: 50 selects the 50 Hz rules
    std::atomic<UCHAR> lightSource;       // 0, 1 or 2
    std::atomic<SHORT> exposureIndex;
    std::atomic<SHORT> maxIndex;
    std::atomic<SHORT> minIndex;
    std::atomic<UCHAR> exposureChanged;   // the frame worker is to compare value and applied
    std::atomic<UCHAR> targetBrightness;
    std::atomic<UCHAR> bandHigh;
    std::atomic<UCHAR> bandLow;
    std::atomic<UCHAR> stepDelay;         // frames to skip after each exposure change
    std::atomic<UCHAR> stepCountdown;     // frames still to skip before the next measurement
    std::atomic<UCHAR> mode;              // 255 until the first frame-processor set-up, then 2
    CameraSession* cameraSession;
};

#define EXPOSURE_TABLE_ENTRIES 17   // maxIndex is always 16
#define EXPOSURE_START_INDEX 13
#define EXPOSURE_MAX_INDEX 16
#define EXPOSURE_STEP_DELAY 4       // frames skipped after each exposure change

// The two exposure tables, in the sensor's units (entries 0..16).
extern const USHORT ExposureTable50Hz[EXPOSURE_TABLE_ENTRIES];
extern const USHORT ExposureTable60Hz[EXPOSURE_TABLE_ENTRIES];

// Gives a new ExposureModel its creation values.
VOID InitializeExposureModel(ExposureModel* model, CameraSession* session);

// Recomputes the index limits, the table (in the video mode, or when none was chosen yet), the
// index (13), the exposure and the step delay; value and applied exposure are made equal, so the
// sensor is not rewritten. No lock; any IRQL.
VOID UpdateExposureModel(ExposureModel* model);

// Measures the green average of every fourth pixel of every fourth row of a delivered picture
// (width × height RGB24, packed rows) and steps the exposure by at most one table entry, unless
// frames are still to be skipped after the last step. Only reads the picture. Frame worker.
VOID AdjustExposure(ExposureModel* model, const UCHAR* picture, LONG width, LONG height);

// As AdjustExposure, for a picture that is still to be turned by 180°: it samples the pixels that
// land on the measured positions after the turn, so the outcome is that of AdjustExposure on the
// turned picture. Its rows are stride bytes apart.
VOID AdjustExposureBeforeTurn(ExposureModel* model, const UCHAR* unturned, LONG width, LONG height,
                              LONG stride);

// Target and band from an exposure target of 0..100 (target = value + 50, band ×/÷ 1.3).
VOID SetExposureTarget(ExposureModel* model, ULONG value);
// Store a different light source or flicker frequency, update the model and mark the exposure
// changed; an equal value changes nothing. PASSIVE_LEVEL request context.
VOID SetLightSource(ExposureModel* model, UCHAR value);
VOID SetFlicker(ExposureModel* model, UCHAR value);
