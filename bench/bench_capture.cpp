// Live video costs: the isochronous completion path (marker scan and copy) per 32-packet
// transfer, and the bulk completion path per 8,192-byte transfer, each against memcpy of the
// same bytes; unpaced frames per second through the whole stack, isochronous and bulk; and,
// paced as the real bus is, the CPU time per delivered frame.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstring>
#include <vector>

#include "driver/camera_session.h"
#include "driver/driver_entry.h"
#include "host/camsim/camera.h"
#include "host/kernel/host_kernel.h"
#include "host/stack/device_stack.h"
#include "stream/read_request_entry.h"
#include "usb/bridge_state.h"
#include "usb/bulk_capture.h"
#include "usb/capture_device.h"
#include "usb/iso_capture.h"

namespace {

using namespace nimbra;

constexpr ULONG kPacket = 1023;
constexpr ULONG kPackets = 32;
constexpr size_t kBulkTransfer = 8192;

// A capture device with its assembly buffer and ring, a read always waiting.
struct AssemblyBench {
    AdapterRecord adapter;
    CameraSession session{};
    CaptureDevice device;
    std::vector<uint8_t> assembly = std::vector<uint8_t>(ASSEMBLY_BUFFER_BYTES);
    std::vector<uint8_t> ring[FRAME_RING_SLOTS];
    HW_STREAM_REQUEST_BLOCK srb{};
    ReadRequestEntry entry{};
    KSSTREAM_HEADER header{};
    std::vector<uint8_t> readBuffer = std::vector<uint8_t>(921600);

    AssemblyBench()
    {
        std::memset(static_cast<void*>(&adapter), 0, sizeof(adapter));
        InitializeListHead(&adapter.readQueue);
        KeInitializeSpinLock(&adapter.readQueueLock);
        InitializeListHead(&adapter.readyQueue);
        KeInitializeSpinLock(&adapter.readyQueueLock);
        KeInitializeSemaphore(&adapter.workerSignal, 0, 0x7FFFFFFF);
        session.adapter = &adapter;
        std::memset(static_cast<void*>(&device), 0, sizeof(device));
        device.cameraSession = &session;
        device.assemblyBuffer = assembly.data();
        device.assemblyWritePos = assembly.data();
        device.assemblyCapacity = ASSEMBLY_BUFFER_BYTES;
        for (int i = 0; i < FRAME_RING_SLOTS; ++i) {
            ring[i].resize(FRAME_RING_SLOT_BYTES);
            device.frameRing[i] = ring[i].data();
        }
        device.frameRingSlotSize = FRAME_RING_SLOT_BYTES;
        srb.SRBExtension = &entry;
        srb.CommandData.DataBufferArray = &header;
        entry.request = &srb;
        header.FrameExtent = static_cast<ULONG>(readBuffer.size());
        header.Data = readBuffer.data();
    }

    // Keeps one read waiting so every finished frame is handed over (copied a second time).
    void Requeue()
    {
        if (ExInterlockedRemoveHeadList(&adapter.readyQueue, &adapter.readyQueueLock) != nullptr ||
            IsListEmpty(&adapter.readQueue)) {
            ExInterlockedInsertTailList(&adapter.readQueue, &entry.links, &adapter.readQueueLock);
        }
    }
};

// Packets of a stream of frames: each frame starts in a fresh packet, as the camera sends them.
std::vector<uint8_t> PacketStream(size_t frameBytes, int frames)
{
    static const uint8_t marker[6] = {0xFF, 0xFF, 0x00, 0xFF, 0x96, 0x64};
    std::vector<uint8_t> packets;
    uint32_t seed = 12345;
    for (int f = 0; f < frames; ++f) {
        std::vector<uint8_t> frame(marker, marker + 6);
        for (size_t i = 0; i < frameBytes; ++i) {
            seed = seed * 1103515245u + 12345u;
            uint8_t b = static_cast<uint8_t>(seed >> 16);
            frame.push_back(b == 0xFF ? 0xFE : b);  // entropy data with its FF stuffed away
        }
        const size_t padded = (frame.size() + kPacket - 1) / kPacket * kPacket;
        frame.resize(padded, 0);  // the rest of the last packet: zero filler
        packets.insert(packets.end(), frame.begin(), frame.end());
    }
    packets.resize((packets.size() + kPacket * kPackets - 1) / (kPacket * kPackets) * kPacket * kPackets, 0);
    return packets;
}

void BM_IsoCompletionPath(benchmark::State& state)
{
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    AssemblyBench bench;
    const std::vector<uint8_t> stream = PacketStream(40000, 8);
    const size_t transfers = stream.size() / (kPacket * kPackets);
    size_t next = 0;
    for (auto _ : state) {
        bench.Requeue();
        const uint8_t* transfer = stream.data() + next * kPacket * kPackets;
        for (ULONG i = 0; i < kPackets; ++i) {
            AssemblePacket(&bench.device, transfer + i * kPacket, kPacket);
        }
        next = (next + 1) % transfers;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPacket * kPackets);
}
BENCHMARK(BM_IsoCompletionPath);

void BM_MemcpyOfATransfer(benchmark::State& state)
{
    const std::vector<uint8_t> stream = PacketStream(40000, 8);
    std::vector<uint8_t> target(ASSEMBLY_BUFFER_BYTES);
    const size_t transfers = stream.size() / (kPacket * kPackets);
    size_t next = 0, offset = 0;
    for (auto _ : state) {
        const size_t bytes = kPacket * kPackets;
        if (offset + bytes > target.size()) offset = 0;
        std::memcpy(target.data() + offset, stream.data() + next * bytes, bytes);
        benchmark::DoNotOptimize(target.data());
        offset += bytes;
        next = (next + 1) % transfers;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPacket * kPackets);
}
BENCHMARK(BM_MemcpyOfATransfer);

// Bulk transfers of a stream of frames: each frame starts in a fresh transfer, its marker's
// last byte counting 0x64..0x67, as the camera sends them on alternate 0.
std::vector<uint8_t> BulkStream(size_t frameBytes, int frames)
{
    std::vector<uint8_t> transfers;
    uint32_t seed = 12345;
    for (int f = 0; f < frames; ++f) {
        std::vector<uint8_t> frame = {0xFF, 0xFF, 0x00, 0xFF, 0x96, static_cast<uint8_t>(0x64 + f % 4)};
        for (size_t i = 0; i < frameBytes; ++i) {
            seed = seed * 1103515245u + 12345u;
            uint8_t b = static_cast<uint8_t>(seed >> 16);
            frame.push_back(b == 0xFF ? 0xFE : b);
        }
        frame.resize((frame.size() + kBulkTransfer - 1) / kBulkTransfer * kBulkTransfer, 0);
        transfers.insert(transfers.end(), frame.begin(), frame.end());
    }
    return transfers;
}

void BM_BulkCompletionPath(benchmark::State& state)
{
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    AssemblyBench bench;
    BridgeState bridge;
    std::memset(static_cast<void*>(&bridge), 0, sizeof(bridge));
    bridge.maxCompressedFrame = 307200;
    bench.session.bridgeState = &bridge;
    {
        host::ScopedIrql passive(PASSIVE_LEVEL);
        if (!NT_SUCCESS(PrepareBulkFrameSlots(&bench.device))) {
            state.SkipWithError("no frame slots");
            return;
        }
    }
    const std::vector<uint8_t> stream = BulkStream(40000, 8);
    const size_t transfers = stream.size() / kBulkTransfer;
    size_t next = 0;
    for (auto _ : state) {
        bench.Requeue();
        AssembleBulkTransfer(&bench.device, stream.data() + next * kBulkTransfer, kBulkTransfer);
        next = (next + 1) % transfers;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBulkTransfer);
    FreeBulkFrameSlots(&bench.device);
}
BENCHMARK(BM_BulkCompletionPath);

void BM_MemcpyOfABulkTransfer(benchmark::State& state)
{
    const std::vector<uint8_t> stream = BulkStream(40000, 8);
    std::vector<uint8_t> target(ASSEMBLY_BUFFER_BYTES);
    const size_t transfers = stream.size() / kBulkTransfer;
    size_t next = 0, offset = 0;
    for (auto _ : state) {
        if (offset + kBulkTransfer > target.size()) offset = 0;
        std::memcpy(target.data() + offset, stream.data() + next * kBulkTransfer, kBulkTransfer);
        benchmark::DoNotOptimize(target.data());
        offset += kBulkTransfer;
        next = (next + 1) % transfers;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBulkTransfer);
}
BENCHMARK(BM_MemcpyOfABulkTransfer);

// Frames through the whole stack: open at the size, run, keep three reads pending. With `bulk`
// the camera refuses every isochronous alternate, so video comes on the bulk pipe.
void RunStack(benchmark::State& state, bool paced, LONG width, LONG height, int frames, uint32_t frameIntervalMs = 0,
              bool bulk = false)
{
    host::SetClockRate(1.0);
    host::DeviceStackOptions options;
    options.paced = paced;
    options.camera.minFrameIntervalMs = frameIntervalMs;
    if (bulk) options.camera.refusedAlternates = {1, 2, 3, 4, 5, 6, 7, 8};
    host::DeviceStack stack(options);
    if (!NT_SUCCESS(stack.Start(DriverEntry))) {
        state.SkipWithError("device start failed");
        return;
    }
    host::KsHandle filter, pin;
    host::OpenFilter(stack.Host(), &filter);
    const HW_STREAM_INFORMATION& info = stack.Host().StreamInfo(0);
    std::vector<uint8_t> format;
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        if (range->VideoInfoHeader.bmiHeader.biWidth == width) host::Intersect(filter, 0, *info.StreamFormatsArray[i], &format, 1024);
    }
    if (format.empty() || !NT_SUCCESS(host::OpenPin(filter, 0, *reinterpret_cast<KSDATAFORMAT*>(format.data()), &pin))) {
        state.SkipWithError("pin open failed");
        return;
    }
    host::SetState(pin, KSSTATE_PAUSE);
    host::SetState(pin, KSSTATE_RUN);
    const ULONG bytes = static_cast<ULONG>(width * height * 3);
    std::vector<std::vector<uint8_t>> buffers(3, std::vector<uint8_t>(bytes));
    int delivered = 0;
    rusage before{}, after{};
    for (auto _ : state) {
        getrusage(RUSAGE_SELF, &before);
        const LONGLONG start = host::HostTimeNow();
        std::vector<std::unique_ptr<host::PendingRead>> reads;
        for (auto& buffer : buffers) reads.push_back(host::SubmitRead(pin, buffer.data(), bytes));
        for (int n = 0; n < frames; ++n) {
            auto& read = reads[n % 3];
            if (host::AwaitRead(*read, nullptr, nullptr, host::kWaitForever) == STATUS_SUCCESS) ++delivered;
            read = host::SubmitRead(pin, buffers[n % 3].data(), bytes);
        }
        for (auto& read : reads) host::CancelRead(*read);
        reads.clear();
        getrusage(RUSAGE_SELF, &after);
        const double seconds = static_cast<double>(host::HostTimeNow() - start) / 1e7;
        const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec + after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                           (after.ru_utime.tv_usec - before.ru_utime.tv_usec + after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
        state.counters["fps"] = frames / seconds;
        state.counters["cpu_ms_per_frame"] = 1e3 * cpu / frames;
        state.counters["cpu_share_of_one_core"] = cpu / seconds;
    }
    state.counters["frames"] = delivered;
    host::SetState(pin, KSSTATE_STOP);
    host::Close(pin);
    host::Close(filter);
    stack.Stop();
}

void BM_UnpacedStack640(benchmark::State& state) { RunStack(state, false, 640, 480, 60); }
void BM_UnpacedStack160(benchmark::State& state) { RunStack(state, false, 160, 120, 60); }
void BM_UnpacedBulkStack640(benchmark::State& state) { RunStack(state, false, 640, 480, 60, 0, true); }
void BM_PacedStack640(benchmark::State& state) { RunStack(state, true, 640, 480, 60); }
// A sensor that delivers at most 15 pictures a second (the formats' shortest frame interval).
void BM_PacedStack640At15fps(benchmark::State& state) { RunStack(state, true, 640, 480, 30, 66); }
BENCHMARK(BM_UnpacedStack640)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnpacedStack160)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnpacedBulkStack640)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PacedStack640)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PacedStack640At15fps)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
