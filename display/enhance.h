// Enhancement tables: the 256-entry map of a channel's sampled index to its
// output level, from the enhancement function, the band's statistics, the
// tone curve and the output range given by contrast and brightness.
#pragma once

#include <cstdint>
#include <vector>

namespace krel {

// Tone curve with exponent g: mode 0 power curve, 1 symmetric S-curve,
// other modes straight.
double toneCurve(double x, double g, int mode);

// Output range [lo, hi] from -contrast and -bright (lo > hi inverts).
void outputRange(double contrast, double bright, int *lo, int *hi);

// Statistics of the values a channel shows.
struct ChannelStats {
    bool present = false;
    double mean = 0, stdDev = 0, min = 0, max = 0;
    std::vector<double> bins;  // empty for types without a histogram
};

struct EnhanceParams {
    int func = 1;        // EnhanceFunc
    int range = 2;       // RangeMode
    double k = 2.5;      // -std
    double gamma = 1.0;
    int gmid = 0;
    int lo = 0, hi = 255;
    double low = 0, high = 255;      // display range in; updated for types without bins
    const uint8_t *remap = nullptr;  // optional
};

// Builds the table. `stats` may be null (no image). On return p.low/p.high
// hold the display range the statistics gave (unchanged when none applied).
void buildEnhanceTable(EnhanceParams &p, const ChannelStats *stats, uint8_t out[256]);

}  // namespace krel
