// The digital zoom: bilinear enlargement of the zoom window, in double precision.
#include "frame/frame_processor.h"
#include "frame/picture_kernels.h"

VOID ZoomPicture(const UCHAR* source, LONG sourceStride, LONG width, LONG height, const ZoomWindow* window,
                 UCHAR* out)
{
    const double scaleX = static_cast<double>(window->width) / width;
    const double scaleY = static_cast<double>(window->height) / height;
    const double scale = scaleX < scaleY ? scaleX : scaleY;
    // A window kept from another output size (or never set) may not fit this picture; sample
    // positions are held inside it. A window that fits is never affected.
    auto clampColumn = [width](LONG x) { return x < 0 ? 0 : (x > width - 1 ? width - 1 : x); };
    auto clampRow = [height](LONG y) { return y < 0 ? 0 : (y > height - 1 ? height - 1 : y); };

    for (LONG i = 0; i < height; ++i) {
        const double fy = i * scale;
        const LONG y0 = static_cast<LONG>(fy);
        const double wy = fy - y0;
        const LONG rowP = clampRow(window->top + y0);
        const LONG rowQ = clampRow(window->top + y0 + 1);
        const UCHAR* lineP = source + static_cast<size_t>(rowP) * sourceStride;
        const UCHAR* lineQ = source + static_cast<size_t>(rowQ) * sourceStride;
        UCHAR* to = out + static_cast<size_t>(i) * width * 3;
        for (LONG j = 0; j < width; ++j) {
            const double fx = j * scale;
            const LONG x0 = static_cast<LONG>(fx);
            const double wx = fx - x0;
            const size_t left = 3 * static_cast<size_t>(clampColumn(window->left + x0));
            const size_t right = 3 * static_cast<size_t>(clampColumn(window->left + x0 + 1));
            for (LONG c = 0; c < 3; ++c) {
                const double p = lineP[left + c];
                const double q = lineQ[left + c];
                const double pRight = lineP[right + c];
                const double qRight = lineQ[right + c];
                double v = (q * wy + p * (1 - wy)) * (1 - wx) + (qRight * wy + pRight * (1 - wy)) * wx;
                if (v > 255.0) {
                    v = 255.0;
                }
                to[3 * j + c] = static_cast<UCHAR>(v);
            }
        }
    }
}
