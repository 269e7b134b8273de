// A FrameProcessor with its exposure model, for the frame tests.
#pragma once

#include <gtest/gtest.h>

#include <random>

#include "camera/exposure_model.h"
#include "frame/frame_processor.h"
#include "frame/picture_kernels.h"
#include "host/kernel/host_kernel.h"
#include "tests/frame/frame_reference.h"

namespace frametest {

inline ULONG Packed(int w, int h) { return static_cast<ULONG>(w) | (static_cast<ULONG>(h) << 16); }

struct Size {
    int w, h;
};
inline const Size kSizes[] = {{640, 480}, {352, 288}, {320, 240}, {176, 144}, {160, 120}};

inline Bytes Noise(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    return b;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitializeExposureModel(&model, nullptr);
        processor = CreateFrameProcessor(&model);
        ASSERT_NE(processor, nullptr);
    }
    void TearDown() override
    {
        FrameKernelsSelect(TRUE);
        FreeFrameProcessor(processor);
    }

    // The decode target of the current size: the output at 640 × 480, else workBuffer.
    void FillDecodeTarget(const Bytes& picture, Bytes& output)
    {
        if (processor->pictureWidth == 640) {
            std::copy(picture.begin(), picture.end(), output.begin());
        } else {
            std::copy(picture.begin(), picture.end(), processor->workBuffer);
        }
    }

    // ProcessFrame on a frame of 10 bytes, which decodes nothing: the output is made from what
    // the decode target holds.
    Bytes ProcessUndecoded(const Bytes& decoded)
    {
        Bytes output(921600, 0x5A);
        FillDecodeTarget(decoded, output);
        const uint8_t header[10] = {};
        const CompressedFrame frame{header, 10};
        EXPECT_EQ(ProcessFrame(processor, &frame, output.data()), STATUS_SUCCESS);
        output.resize(static_cast<size_t>(processor->frameBytes));
        return output;
    }

    ExposureModel model;
    FrameProcessor* processor = nullptr;
};

}  // namespace frametest
