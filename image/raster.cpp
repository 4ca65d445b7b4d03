#include "image/raster.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace krel {

void rasterPolyline(const double *xy, int npts, int columns, int rows, const RasterSpan &span)
{
    for (int k = 0; k + 1 < npts || (k == 0 && npts == 1); ++k) {
        double x0 = xy[2 * k], y0 = xy[2 * k + 1];
        double x1 = npts > 1 ? xy[2 * k + 2] : x0, y1 = npts > 1 ? xy[2 * k + 3] : y0;
        double dx = x1 - x0, dy = y1 - y0;
        // Steps of one pixel along the longer axis: a fractional length
        // ends short of the last point rather than stretching the steps.
        const double length = std::max(std::fabs(dx), std::fabs(dy));
        const double steps = std::floor(length);
        // Only the steps whose points can fall inside the grid are walked (a
        // step or two of slack each way), so a segment reaching far outside
        // costs what its visible part costs and its visible points are the
        // ones the whole walk would give.
        double first = 0.0, last = steps;
        auto keepInside = [&](double p0, double d, double size) {
            if (d == 0.0 || steps == 0.0) {
                if (p0 < -1.0 || p0 > size + 1.0) last = -1.0;
                return;
            }
            double a = (-1.0 - p0) * length / d, z = (size + 1.0 - p0) * length / d;
            if (a > z) std::swap(a, z);
            first = std::max(first, std::floor(a) - 1.0);
            last = std::min(last, std::ceil(z) + 1.0);
        };
        keepInside(x0, dx, columns);
        keepInside(y0, dy, rows);
        for (double s = first; s <= last; s += 1.0) {
            double t = length != 0.0 ? s / length : 0.0;
            double px = std::floor(x0 + dx * t + 0.5), py = std::floor(y0 + dy * t + 0.5);
            if (px < 0 || py < 0 || px >= columns || py >= rows) continue;
            span(static_cast<int>(py), static_cast<int>(px), static_cast<int>(px));
        }
        if (npts == 1) break;
    }
}

void rasterPolygon(const double *xy, int npts, int columns, int rows, const RasterSpan &span)
{
    if (npts < 3) return;
    double ymin = xy[1], ymax = xy[1];
    for (int k = 0; k < npts; ++k) ymin = std::min(ymin, xy[2 * k + 1]), ymax = std::max(ymax, xy[2 * k + 1]);
    // Bounds are clamped as doubles: a far-away vertex must not overflow the
    // conversion to int.
    int r0 = static_cast<int>(std::clamp(std::ceil(ymin - 0.5), 0.0, static_cast<double>(rows)));
    int r1 = static_cast<int>(std::clamp(std::floor(ymax - 0.5), -1.0, rows - 1.0));
    std::vector<double> xs;
    for (int r = r0; r <= r1; ++r) {
        double yc = r + 0.5;
        xs.clear();
        for (int k = 0; k < npts; ++k) {
            double ax = xy[2 * k], ay = xy[2 * k + 1];
            double bx = xy[(2 * k + 2) % (2 * npts)], by = xy[(2 * k + 3) % (2 * npts)];
            if ((ay <= yc && by > yc) || (by <= yc && ay > yc)) {
                // Vertices near the double range can make inf - inf.
                double x = ax + (yc - ay) * (bx - ax) / (by - ay);
                if (!std::isnan(x)) xs.push_back(x);
            }
        }
        std::sort(xs.begin(), xs.end());
        for (size_t k = 0; k + 1 < xs.size(); k += 2) {
            int c0 = static_cast<int>(std::clamp(std::ceil(xs[k] - 0.5), 0.0, static_cast<double>(columns)));
            int c1 = static_cast<int>(std::clamp(std::floor(xs[k + 1] - 0.5), -1.0, columns - 1.0));
            if (c0 <= c1) span(r, c0, c1);
        }
    }
}

}  // namespace krel
