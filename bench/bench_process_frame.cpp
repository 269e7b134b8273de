// BM_ProcessFrame: the driver's ProcessFrame on a camera frame of the simulated camera at each
// of the five output sizes, against BM_DecodeCameraFrame, the decode of the same frame alone,
// timed in the same loop. Counter "after_decode" = (ProcessFrame − decode) / decode: the cost of
// fitting, turn, measurement and tone curve relative to the decode. "kernels" tells the kernel
// set in use (1 plain, 2 AVX2, 3 AVX-512 VBMI: the best the processor has); arg 1 of each
// benchmark forces the plain set. Times are the thread's
// processor time, so that other work on a shared machine does not enter the ratio.
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "camera/exposure_model.h"
#include "frame/frame_processor.h"
#include "frame/picture_kernels.h"
#include "host/camsim/frame_source.h"
#include "host/camsim/header_template.h"
#include "host/kernel/host_kernel.h"

namespace {

double ThreadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Sizes {
    int width, height;
};
const Sizes kSizes[] = {{640, 480}, {352, 288}, {320, 240}, {176, 144}, {160, 120}};

std::vector<uint8_t> CameraFrame()
{
    std::string error;
    nimbra::camsim::FrameSource source(nimbra::camsim::Scene::Create("orientation", error));
    return source.MakeFrame(1, nimbra::camsim::PictureSettings{});
}

void BM_DecodeCameraFrame(benchmark::State& state)
{
    const std::vector<uint8_t> wire = CameraFrame();
    auto* decoder = static_cast<JpegDecoder*>(ExAllocatePool(NonPagedPool, sizeof(JpegDecoder)));
    const auto header = nimbra::camsim::CameraHeaderTemplate();
    std::memcpy(decoder->headerTemplate, header.data(), header.size());
    decoder->headerLength = 624;
    decoder->outputWidth = 640;
    decoder->outputHeight = 480;
    decoder->outputStride = 1920;
    std::vector<uint8_t> out(921600);
    const CompressedFrame frame{wire.data(), static_cast<ULONG>(wire.size())};
    for (auto _ : state) {
        DecodeFrame(decoder, &frame, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    ExFreePool(decoder);
}

void BM_ProcessFrame(benchmark::State& state)
{
    const Sizes size = kSizes[state.range(0)];
    FrameKernelsSelect(state.range(1) == 0);
    const std::vector<uint8_t> wire = CameraFrame();
    ExposureModel model;
    InitializeExposureModel(&model, nullptr);
    FrameProcessor* processor = CreateFrameProcessor(&model);
    SetUpFrameProcessor(processor, static_cast<ULONG>(size.width) | (static_cast<ULONG>(size.height) << 16));
    std::vector<uint8_t> out(921600);
    std::vector<uint8_t> decoded(921600);
    const CompressedFrame frame{wire.data(), static_cast<ULONG>(wire.size())};

    double processSeconds = 0;
    double decodeSeconds = 0;
    for (auto _ : state) {
        const double t0 = ThreadSeconds();
        DecodeFrame(processor->decoder, &frame, decoded.data());
        const double t1 = ThreadSeconds();
        ProcessFrame(processor, &frame, out.data());
        const double t2 = ThreadSeconds();
        decodeSeconds += t1 - t0;
        const double mine = t2 - t1;
        processSeconds += mine;
        state.SetIterationTime(mine);
        benchmark::DoNotOptimize(out.data());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["after_decode"] = (processSeconds - decodeSeconds) / decodeSeconds;
    state.counters["decode_us"] = 1e6 * decodeSeconds / n;
    state.counters["after_decode_us"] = 1e6 * (processSeconds - decodeSeconds) / n;
    state.counters["kernels"] = static_cast<double>(FrameKernelsInUse());
    state.SetLabel(std::to_string(size.width) + "x" + std::to_string(size.height));
    FreeFrameProcessor(processor);
    FrameKernelsSelect(TRUE);
}

// The passes on their own, for finding where the time goes: 0 turn and tone in place at
// 640 × 480, 1 resampling, 2 halving to 320 × 240, 3 quartering, 4 turn and tone at 352 × 288.
void BM_FrameKernel(benchmark::State& state)
{
    FrameKernelsSelect(state.range(1) == 0);
    std::vector<uint8_t> a(921600, 77);
    std::vector<uint8_t> b(921600, 0);
    for (auto _ : state) {
        switch (state.range(0)) {
        case 0: TurnAndToneInPlace(a.data(), 640, 480); break;
        case 1: ResamplePicture(a.data(), b.data()); break;
        case 2: HalvePicture(a.data(), 1920, 320, 240, b.data()); break;
        case 3: QuarterPicture(a.data(), b.data()); break;
        default: TurnAndTone(a.data(), 1065, 352, 288, b.data()); break;
        }
        benchmark::DoNotOptimize(b.data());
        benchmark::DoNotOptimize(a.data());
    }
    FrameKernelsSelect(TRUE);
}

}  // namespace

BENCHMARK(BM_FrameKernel)->ArgNames({"kernel", "plain"})->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeCameraFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessFrame)
    ->ArgNames({"size", "plain"})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
