// The exposure model: tables, limits, the measurement and its step, the setters.
#include <gtest/gtest.h>

#include <vector>

#include "camera/exposure_model.h"

namespace {

// A picture whose sampled green bytes all equal `green`; every other byte is 0.
std::vector<UCHAR> Picture(LONG width, LONG height, UCHAR green)
{
    std::vector<UCHAR> p(static_cast<size_t>(width) * height * 3, 0);
    for (size_t i = 1; i < p.size(); i += 3) p[i] = green;
    return p;
}

class ExposureModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitializeExposureModel(&model, nullptr);
        model.mode = EXPOSURE_MODE_VIDEO;
        UpdateExposureModel(&model);
    }
    // Runs frames of one brightness until the countdown allows a measurement, then measures.
    void Measure(UCHAR green)
    {
        const auto p = Picture(160, 120, green);
        while (model.stepCountdown > 0) AdjustExposure(&model, p.data(), 160, 120);
        AdjustExposure(&model, p.data(), 160, 120);
    }
    ExposureModel model;
};

TEST(ExposureTables, HoldTheirMultiples)
{
    for (int i = 0; i <= 10; ++i) EXPECT_EQ(ExposureTable50Hz[i], ExposureTable60Hz[i]);
    EXPECT_EQ(ExposureTable50Hz[11], 131);
    for (int k = 2; k <= 5; ++k) EXPECT_EQ(ExposureTable50Hz[11 + k], 131 * k);
    EXPECT_EQ(ExposureTable50Hz[12], 185);
    EXPECT_EQ(ExposureTable60Hz[10], 109);
    for (int k = 2; k <= 5; ++k) EXPECT_EQ(ExposureTable60Hz[10 + k], 109 * k);
    EXPECT_EQ(ExposureTable60Hz[11], 154);
    EXPECT_EQ(ExposureTable60Hz[16], 655);
    EXPECT_EQ(ExposureTable50Hz[0], 19);
}

TEST_F(ExposureModelTest, UpdateSetsLimitsTableAndStartValue)
{
    struct Case {
        UCHAR flicker, light;
        SHORT minIndex;
        USHORT value;
    } cases[] = {{50, 0, 11, 262}, {50, 1, 0, 262}, {50, 2, 11, 262},
                 {60, 0, 10, 327}, {60, 1, 0, 327}, {55, 2, 10, 327}};
    for (const Case& c : cases) {
        model.flicker = c.flicker;
        model.lightSource = c.light;
        UpdateExposureModel(&model);
        EXPECT_EQ(model.minIndex, c.minIndex) << int(c.flicker) << "/" << int(c.light);
        EXPECT_EQ(model.maxIndex, 16);
        EXPECT_EQ(model.exposureIndex, 13);
        EXPECT_EQ(model.exposureValue, c.value);
        EXPECT_EQ(model.appliedExposure, c.value);
        EXPECT_EQ(model.stepCountdown, 4);
    }
    model.lightSource = 7;  // unknown: the limit stays
    model.minIndex = 5;
    UpdateExposureModel(&model);
    EXPECT_EQ(model.minIndex, 5);
}

TEST_F(ExposureModelTest, BandEdgesAndDirection)
{
    struct Case {
        UCHAR green;
        SHORT index;
        bool changed;
    } cases[] = {{100, 13, false}, {169, 13, false}, {99, 14, true}, {170, 12, true}};
    for (const Case& c : cases) {
        SetUp();
        Measure(c.green);
        EXPECT_EQ(model.exposureIndex, c.index) << int(c.green);
        EXPECT_EQ(model.exposureChanged, c.changed ? 1 : 0) << int(c.green);
        if (c.changed) {
            EXPECT_EQ(model.exposureValue, ExposureTable60Hz[c.index]);
            EXPECT_EQ(model.stepCountdown, 4);
        }
    }
}

TEST_F(ExposureModelTest, SkipsFourFramesAfterAStep)
{
    Measure(20);
    ASSERT_EQ(model.exposureIndex, 14);
    const auto dark = Picture(160, 120, 20);
    for (int i = 0; i < 4; ++i) {
        AdjustExposure(&model, dark.data(), 160, 120);
        EXPECT_EQ(model.exposureIndex, 14) << "frame " << i;
    }
    AdjustExposure(&model, dark.data(), 160, 120);
    EXPECT_EQ(model.exposureIndex, 15);
}

TEST_F(ExposureModelTest, StopsAtTheLimits)
{
    for (int i = 0; i < 10; ++i) Measure(10);
    EXPECT_EQ(model.exposureIndex, 16);
    EXPECT_EQ(model.exposureChanged, 0);
    for (int i = 0; i < 20; ++i) Measure(250);
    EXPECT_EQ(model.exposureIndex, 10);  // light source 0 at 60 Hz: never below 109
    EXPECT_EQ(model.exposureValue, 109);

    SetFlicker(&model, 50);
    for (int i = 0; i < 20; ++i) Measure(250);
    EXPECT_EQ(model.exposureValue, 131);
    SetLightSource(&model, 1);
    for (int i = 0; i < 20; ++i) Measure(250);
    EXPECT_EQ(model.exposureValue, 19);
}

TEST_F(ExposureModelTest, LightSourceAndFlickerChangesResetTheLoop)
{
    Measure(10);
    Measure(10);
    ASSERT_EQ(model.exposureIndex, 15);
    model.appliedExposure = model.exposureValue.load();
    SetFlicker(&model, 60);  // equal: nothing happens
    EXPECT_EQ(model.exposureIndex, 15);
    SetFlicker(&model, 50);
    EXPECT_EQ(model.exposureIndex, 13);
    EXPECT_EQ(model.stepCountdown, 4);
    EXPECT_EQ(model.exposureValue, 262);
    EXPECT_EQ(model.appliedExposure, 262);  // the sensor is not rewritten for the update
    EXPECT_EQ(model.exposureChanged, 1);
    model.exposureChanged = 0;
    SetLightSource(&model, 2);
    EXPECT_EQ(model.exposureChanged, 1);
    EXPECT_EQ(model.minIndex, 11);
}

TEST(ExposureModelBeforeStart, SettersLeaveAValidModel)
{
    ExposureModel model;
    InitializeExposureModel(&model, nullptr);
    SetFlicker(&model, 50);  // mode still 255, no table chosen
    EXPECT_EQ(model.exposureTable.load(), ExposureTable50Hz);
    EXPECT_EQ(model.exposureValue, 262);
    const auto p = Picture(160, 120, 10);
    for (int i = 0; i < 10; ++i) AdjustExposure(&model, p.data(), 160, 120);  // no crash, steps
    SetLightSource(&model, 1);
    EXPECT_EQ(model.exposureIndex, 13);
    // The first set-up switches to the video mode and chooses again.
    model.mode = EXPOSURE_MODE_VIDEO;
    model.flicker = 60;
    UpdateExposureModel(&model);
    EXPECT_EQ(model.exposureTable.load(), ExposureTable60Hz);
    EXPECT_EQ(model.exposureValue, 327);
    EXPECT_EQ(model.stepDelay, 4);
}

TEST(ExposureTarget, TargetAndBand)
{
    ExposureModel model;
    InitializeExposureModel(&model, nullptr);
    struct Case {
        ULONG value;
        UCHAR target, low, high;
    } cases[] = {{0, 50, 38, 65}, {50, 100, 76, 130}, {80, 130, 100, 169}, {100, 150, 115, 195}};
    for (const Case& c : cases) {
        SetExposureTarget(&model, c.value);
        EXPECT_EQ(model.targetBrightness, c.target);
        EXPECT_EQ(model.bandLow, c.low);
        EXPECT_EQ(model.bandHigh, c.high);
    }
    SetExposureTarget(&model, 200);  // target 250: the band's top is held at 255
    EXPECT_EQ(model.bandHigh, 255);
}

TEST_F(ExposureModelTest, MeasuringBeforeTheTurnEqualsMeasuringTheTurnedPicture)
{
    // An uneven picture: only the turned picture's sampled pixels are bright.
    for (LONG width : {640, 352, 176}) {
        const LONG height = width * 3 / 4;
        std::vector<UCHAR> turned(static_cast<size_t>(width) * height * 3, 0);
        for (LONG y = 0; y < height; y += 4)
            for (LONG x = 0; x < width; x += 4) turned[(static_cast<size_t>(y) * width + x) * 3 + 1] = 250;
        std::vector<UCHAR> unturned(turned.rbegin(), turned.rend());  // byte order reversed...
        for (size_t k = 0; k < unturned.size(); k += 3) std::swap(unturned[k], unturned[k + 2]);  // ...pixels kept
        ExposureModel a = {}, b = {};
        InitializeExposureModel(&a, nullptr);
        InitializeExposureModel(&b, nullptr);
        a.mode = b.mode = EXPOSURE_MODE_VIDEO;
        UpdateExposureModel(&a);
        UpdateExposureModel(&b);
        a.stepCountdown = b.stepCountdown = 0;
        AdjustExposure(&a, turned.data(), width, height);
        AdjustExposureBeforeTurn(&b, unturned.data(), width, height, width * 3);
        EXPECT_EQ(a.exposureIndex, 12) << width;
        EXPECT_EQ(b.exposureIndex, a.exposureIndex) << width;
    }
}

}  // namespace
