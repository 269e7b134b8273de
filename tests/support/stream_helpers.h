// Opening the video pin at a published size and reading pictures through the client API.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/streamclass/ks_client.h"

namespace nimbra::test {

// The published range of a size, as a client reads it from the stream information.
inline const KSDATARANGE* PublishedRange(host::StreamClassHost& host, LONG width, LONG height)
{
    const HW_STREAM_INFORMATION& info = host.StreamInfo(0);
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        if (range->VideoInfoHeader.bmiHeader.biWidth == width && range->VideoInfoHeader.bmiHeader.biHeight == height) {
            return info.StreamFormatsArray[i];
        }
    }
    return nullptr;
}

// The format the driver gives for a published size (data intersection).
inline std::vector<uint8_t> FormatFor(host::StreamClassHost& host, host::KsHandle& filter, LONG width, LONG height)
{
    std::vector<uint8_t> format;
    const KSDATARANGE* range = PublishedRange(host, width, height);
    EXPECT_NE(range, nullptr);
    if (range != nullptr) {
        EXPECT_EQ(host::Intersect(filter, 0, *range, &format, 1024), STATUS_SUCCESS);
    }
    return format;
}

inline const KSDATAFORMAT& AsFormat(const std::vector<uint8_t>& bytes)
{
    return *reinterpret_cast<const KSDATAFORMAT*>(bytes.data());
}

// An open filter and pin with a master clock.
struct OpenVideo {
    host::KsHandle filter;
    host::KsHandle pin;
    HANDLE clock = nullptr;
    LONG width = 0;
    LONG height = 0;

    ULONG ImageBytes() const { return static_cast<ULONG>(width * height * 3); }

    NTSTATUS Open(host::StreamClassHost& host, LONG w, LONG h, bool withClock = true)
    {
        width = w;
        height = h;
        NTSTATUS status = host::OpenFilter(host, &filter);
        if (!NT_SUCCESS(status)) return status;
        std::vector<uint8_t> format = FormatFor(host, filter, w, h);
        if (format.empty()) return STATUS_NO_MATCH;
        status = host::OpenPin(filter, 0, AsFormat(format), &pin);
        if (!NT_SUCCESS(status)) return status;
        if (withClock) {
            clock = host::CreateMasterClock();
            status = host::SetMasterClock(pin, clock);
        }
        return status;
    }

    NTSTATUS Run()
    {
        NTSTATUS status = host::SetState(pin, KSSTATE_PAUSE);
        return NT_SUCCESS(status) ? host::SetState(pin, KSSTATE_RUN) : status;
    }

    void CloseAll()
    {
        if (pin.IsOpen()) host::Close(pin);
        if (filter.IsOpen()) host::Close(filter);
        if (clock != nullptr) {
            host::DestroyMasterClock(clock);
            clock = nullptr;
        }
    }

    ~OpenVideo() { CloseAll(); }
};

// One completed read: status, header, frame info and the picture bytes.
struct DeliveredFrame {
    NTSTATUS status = STATUS_PENDING;
    KSSTREAM_HEADER header{};
    KS_FRAME_INFO info{};
    std::vector<uint8_t> picture;
};

// Submits `count` reads at once (each its own buffer) and awaits them all, in order.
inline std::vector<DeliveredFrame> ReadFrames(host::KsHandle& pin, ULONG frameBytes, int count,
                                              LONGLONG timeout100ns = 600000000LL)
{
    std::vector<std::vector<uint8_t>> buffers(count, std::vector<uint8_t>(frameBytes, 0));
    std::vector<std::unique_ptr<host::PendingRead>> reads;
    for (int i = 0; i < count; ++i) {
        reads.push_back(host::SubmitRead(pin, buffers[i].data(), frameBytes));
    }
    std::vector<DeliveredFrame> frames(count);
    for (int i = 0; i < count; ++i) {
        frames[i].status = host::AwaitRead(*reads[i], &frames[i].header, &frames[i].info, timeout100ns);
        frames[i].picture = std::move(buffers[i]);
    }
    return frames;
}

// Mean green of a grid of cells over the picture as displayed (a bottom-up DIB: buffer row
// height − 1 is the top line of the screen).
inline std::vector<double> DisplayedGreenGrid(const uint8_t* bgr, LONG width, LONG height, int cols, int rows)
{
    std::vector<double> grid(static_cast<size_t>(cols * rows), 0.0);
    std::vector<int> counts(grid.size(), 0);
    for (LONG y = 0; y < height; ++y) {
        const uint8_t* row = bgr + static_cast<size_t>(height - 1 - y) * width * 3;
        for (LONG x = 0; x < width; ++x) {
            const size_t cell = static_cast<size_t>((y * rows / height) * cols + x * cols / width);
            grid[cell] += row[x * 3 + 1];
            counts[cell]++;
        }
    }
    for (size_t i = 0; i < grid.size(); ++i) grid[i] /= counts[i] ? counts[i] : 1;
    return grid;
}

// The same grid over an upright top-down RGB picture.
inline std::vector<double> UprightGreenGrid(const uint8_t* rgb, LONG width, LONG height, int cols, int rows,
                                            bool turn180 = false, bool mirror = false)
{
    std::vector<double> grid(static_cast<size_t>(cols * rows), 0.0);
    std::vector<int> counts(grid.size(), 0);
    for (LONG y = 0; y < height; ++y) {
        for (LONG x = 0; x < width; ++x) {
            LONG sx = x, sy = y;
            if (turn180) { sx = width - 1 - x; sy = height - 1 - y; }
            if (mirror) sx = width - 1 - sx;
            const size_t cell = static_cast<size_t>((y * rows / height) * cols + x * cols / width);
            grid[cell] += rgb[(static_cast<size_t>(sy) * width + sx) * 3 + 1];
            counts[cell]++;
        }
    }
    for (size_t i = 0; i < grid.size(); ++i) grid[i] /= counts[i] ? counts[i] : 1;
    return grid;
}

inline double Correlation(const std::vector<double>& a, const std::vector<double>& b)
{
    double ma = 0, mb = 0;
    for (size_t i = 0; i < a.size(); ++i) { ma += a[i]; mb += b[i]; }
    ma /= a.size();
    mb /= b.size();
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return (saa > 0 && sbb > 0) ? sab / std::sqrt(saa * sbb) : 0.0;
}

}  // namespace nimbra::test
