#include "display/filter.h"

#include <cmath>

namespace krel {

namespace {
inline uint8_t clampByte(double v)
{
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    return static_cast<uint8_t>(v);
}
inline double tr(double v) { return std::trunc(v); }
}  // namespace

void filterLine(const LineFilter &f, uint8_t *cur, uint8_t *up, int n)
{
    const double s = f.strength;
    const int b = f.background;
    double w = 0.25, k = 0.25;
    if (s < 0 && b >= 0) {
        w = s < -708.39 ? 0.25 : std::exp(s) * 0.75 + 0.25;
        k = (1 - w) / 3;
    }
    int left = 0, upLeft = 0;
    for (int i = 0; i < n; ++i) {
        const int c = cur[i];
        const int u = up[i];
        if (i == 0) {
            left = c;
            upLeft = u;
        }
        double r;
        if (b < 0) {
            r = tr((3.0 * c - left - upLeft - u) * s + 0.5) + 192;
        } else if (s < 0) {
            r = tr(left * w + (c + upLeft + u) * k + 0.5);
        } else {
            double d;
            switch (f.direction) {
            case 1: d = tr((left - c) * 3 * s + 0.5); break;
            case 2: d = tr((left - u) * 3 * s + 0.5); break;
            case 3: d = tr((c - u) * 3 * s + 0.5); break;
            case 4: d = tr((c - upLeft) * 3 * s + 0.5); break;
            default: d = tr((3.0 * c - left - upLeft - u) * s + 0.5); break;
            }
            r = (b != 0 ? b : c) + d;
        }
        cur[i] = clampByte(r);
        // The unfiltered values become the neighbours of what follows.
        up[i] = static_cast<uint8_t>(c);
        left = c;
        upLeft = u;
    }
}

}  // namespace krel
