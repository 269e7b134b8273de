// BM_DecodeCameraFrame: our DecodeFrame on 640 x 480 camera frames (the 624-byte template plus
// the entropy-coded data of a baseline 2x1 JPEG from libjpeg-turbo) against libjpeg-turbo
// decoding the same stream (JDCT_ISLOW, no fancy upsampling, JCS_EXT_BGR) in the same run.
// Counter "ratio" = our time / libjpeg-turbo's time; "blocks" = pool blocks per decode.
#include <chrono>
#include <cstring>

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include "host/kernel/host_kernel.h"
#include "jpeg/jpeg_decoder.h"
#include "platform/nt_pool.h"
#include "tests/jpeg/jpeg_test_support.h"

using namespace jpegtest;

namespace {

struct Scene {
    Bytes frame;   // 10 camera bytes + entropy-coded data
    Bytes stream;  // template + entropy-coded data: what both decoders read
};

Scene MakeFrame(int kind)
{
    EncodeOptions options;
    options.quality = 50;  // the template's Annex K tables
    const Bytes jpeg = Encode(MakeScene(640, 480, 3, kind, 11), options);
    Scene s;
    const Bytes data = EntropyData(jpeg);
    s.frame.assign(10, 0);
    s.frame.insert(s.frame.end(), data.begin(), data.end());
    s.stream = CameraTemplate();
    s.stream.insert(s.stream.end(), data.begin(), data.end());
    return s;
}

void LibjpegDecode(const Bytes& stream, unsigned char* out)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jerr.emit_message = [](j_common_ptr, int) {};  // the template's stray 00 byte draws a warning
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = FALSE;
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out + static_cast<size_t>(479 - cinfo.output_scanline) * 1920;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

void BM_DecodeCameraFrame(benchmark::State& state)
{
    const Scene scene = MakeFrame(static_cast<int>(state.range(0)));
    auto* d = static_cast<JpegDecoder*>(ExAllocatePool(NonPagedPool, sizeof(JpegDecoder)));
    const Bytes t = CameraTemplate();
    std::memcpy(d->headerTemplate, t.data(), t.size());
    d->headerLength = 624;
    d->outputWidth = 640;
    d->outputHeight = 480;
    d->outputStride = 1920;
    Bytes ours(1920 * 480), theirs(1920 * 480);
    const CompressedFrame frame{scene.frame.data(), static_cast<ULONG>(scene.frame.size())};
    using Clock = std::chrono::steady_clock;
    double oursSeconds = 0, theirsSeconds = 0;
    const uint64_t allocationsBefore = nimbra::host::GetPoolStats().allocations;
    int64_t decodes = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        DecodeFrame(d, &frame, ours.data());
        const auto t1 = Clock::now();
        LibjpegDecode(scene.stream, theirs.data());
        const auto t2 = Clock::now();
        const double mine = std::chrono::duration<double>(t1 - t0).count();
        oursSeconds += mine;
        theirsSeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(mine);
        decodes++;
        benchmark::DoNotOptimize(ours.data());
        benchmark::DoNotOptimize(theirs.data());
    }
    if (d->status != 0) {
        state.SkipWithError(JpegStatusText(d->status));
    }
    state.counters["ratio"] = oursSeconds / theirsSeconds;
    state.counters["libjpeg_turbo_us"] = 1e6 * theirsSeconds / static_cast<double>(decodes);
    state.counters["blocks"] = static_cast<double>(nimbra::host::GetPoolStats().allocations - allocationsBefore) /
                               static_cast<double>(decodes);
    state.counters["bytes"] = static_cast<double>(scene.frame.size());
    ExFreePool(d);
}

}  // namespace

BENCHMARK(BM_DecodeCameraFrame)->ArgName("busy")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
