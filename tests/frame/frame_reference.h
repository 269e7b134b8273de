// The frame processing written out step by step as plainly as possible, the yardstick for the
// driver's fused and vectorised passes: fit into the output, zoom, turn by copying, tone.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/frame_processor.h"
#include "frame/tone_curve.h"

namespace frametest {

using Bytes = std::vector<uint8_t>;

inline int At(int x, int y, int stride, int c) { return y * stride + 3 * x + c; }

inline Bytes Halve(const uint8_t* s, int stride, int w, int h)
{
    Bytes o(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++) {
                unsigned sum = s[At(2 * x, 2 * y, stride, c)] + s[At(2 * x + 1, 2 * y, stride, c)] +
                               s[At(2 * x, 2 * y + 1, stride, c)] + s[At(2 * x + 1, 2 * y + 1, stride, c)];
                o[(y * w + x) * 3 + c] = static_cast<uint8_t>(sum >> 2);
            }
    return o;
}

inline Bytes Quarter(const uint8_t* s)
{
    Bytes o(160 * 120 * 3);
    for (int y = 0; y < 120; y++)
        for (int x = 0; x < 160; x++)
            for (int c = 0; c < 3; c++) {
                unsigned sum = s[At(4 * x, 4 * y, 1920, c)] + s[At(4 * x + 2, 4 * y, 1920, c)] +
                               s[At(4 * x, 4 * y + 2, 1920, c)] + s[At(4 * x + 2, 4 * y + 2, 1920, c)];
                o[(y * 160 + x) * 3 + c] = static_cast<uint8_t>(sum >> 2);
            }
    return o;
}

// 355 × 290, stride 1065.
inline Bytes Resample(const uint8_t* s)
{
    static const int members[5][2] = {{0, -1}, {1, 2}, {3, -1}, {5, -1}, {6, 7}};
    Bytes o(1065 * 290);
    for (int oy = 0; oy < 290; oy++)
        for (int ox = 0; ox < 355; ox++) {
            const int* ry = members[oy % 5];
            const int* rx = members[ox % 5];
            const int y0 = 10 + 8 * (oy / 5), x0 = 40 + 8 * (ox / 5);
            for (int c = 0; c < 3; c++) {
                unsigned sum = 0;
                int n = 0;
                for (int a = 0; a < 2; a++)
                    for (int b = 0; b < 2; b++)
                        if (ry[a] >= 0 && rx[b] >= 0) {
                            sum += s[At(x0 + rx[b], y0 + ry[a], 1920, c)];
                            n++;
                        }
                o[oy * 1065 + ox * 3 + c] = static_cast<uint8_t>(n == 1 ? sum : n == 2 ? sum >> 1 : sum >> 2);
            }
        }
    return o;
}

inline Bytes TopLeft(const Bytes& s, int stride, int w, int h)
{
    Bytes o(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; y++)
        for (int i = 0; i < w * 3; i++) o[y * w * 3 + i] = s[y * stride + i];
    return o;
}

inline Bytes Zoom(const Bytes& p, int w, int h, const ZoomWindow& z)
{
    Bytes o(p.size());
    double s = std::min(static_cast<double>(z.width) / w, static_cast<double>(z.height) / h);
    for (int i = 0; i < h; i++)
        for (int j = 0; j < w; j++) {
            double fy = i * s, fx = j * s;
            int y0 = static_cast<int>(fy), x0 = static_cast<int>(fx);
            double wy = fy - y0, wx = fx - x0;
            for (int c = 0; c < 3; c++) {
                double P = p[At(z.left + x0, z.top + y0, w * 3, c)];
                double Q = p[At(z.left + x0, z.top + y0 + 1, w * 3, c)];
                double P1 = p[At(z.left + x0 + 1, z.top + y0, w * 3, c)];
                double Q1 = p[At(z.left + x0 + 1, z.top + y0 + 1, w * 3, c)];
                double v = (Q * wy + P * (1 - wy)) * (1 - wx) + (Q1 * wy + P1 * (1 - wy)) * wx;
                if (v > 255.0) v = 255.0;
                o[(i * w + j) * 3 + c] = static_cast<uint8_t>(v);
            }
        }
    return o;
}

inline Bytes Turn(const Bytes& p, int w, int h)
{
    Bytes o(p.size());
    const size_t n = static_cast<size_t>(w) * h;
    for (size_t k = 0; k < n; k++)
        for (int c = 0; c < 3; c++) o[3 * k + c] = p[3 * (n - 1 - k) + c];
    return o;
}

inline Bytes Tone(Bytes p)
{
    for (auto& b : p) b = ToneCurve[b];
    return p;
}

// The fitted picture (before zoom and turn) from the decoded 640 × 480 picture.
inline Bytes Fit(const uint8_t* decoded, int w)
{
    switch (w) {
    case 640: return Bytes(decoded, decoded + 921600);
    case 352: return TopLeft(Resample(decoded), 1065, 352, 288);
    case 320: return Halve(decoded, 1920, 320, 240);
    case 176: {
        const Bytes cif = TopLeft(Resample(decoded), 1065, 352, 288);
        return Halve(cif.data(), 352 * 3, 176, 144);
    }
    default: return Quarter(decoded);
    }
}

// What is delivered, from the decoded picture.
inline Bytes Deliver(const uint8_t* decoded, int w, int h, const ZoomWindow* zoom)
{
    Bytes p = Fit(decoded, w);
    if (zoom != nullptr && w < 640) p = Zoom(p, w, h, *zoom);
    return Tone(Turn(p, w, h));
}

}  // namespace frametest
