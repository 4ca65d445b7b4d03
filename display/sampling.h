// Sampling of RAM image lines for the display: the maps from display
// positions to source columns and rows, and one channel of one display row.
#pragma once

#include <cstdint>
#include <vector>

namespace krel {

// Display position i -> source index trunc(i / magnification + start), the
// values in reverse order when flipped.
struct SampleMap {
    std::vector<int32_t> index;
    int length = -1;
    int start = 0;
    int flip = 0;
    double mag = 0.0;

    // Rebuilds the table only when a parameter changed; true when it did.
    bool update(int length, int start, int flip, double mag);
};

// The part [first, last) of a map whose entries lie inside 0..limit-1. Maps
// are monotonic, so the valid entries are one run.
void validRange(const SampleMap &map, int limit, int *first, int *last);

struct LineSampler {
    int pixel = 0;        // pixel type code
    int msbf = 0;         // bit and nibble order of 1BIT and 4BITS data
    double low = 0.0;     // channel range of 16/32-bit and FLOAT data
    double high = 255.0;
    const uint8_t *table = nullptr;      // enhancement table
    const uint8_t *component = nullptr;  // palette component per index, or null
};

// Fills out[0..count) for display columns whose source columns are map[0..count):
// positions [first, last) are sampled from `line`, the others get table[0].
void sampleLine(const LineSampler &s, const uint8_t *line, const int32_t *map, int count, int first, int last,
                uint8_t *out);

// The 0..255 index of a 16/32-bit or FLOAT value for the channel range.
struct RangeScale {
    double low, high, scale, offset;
    explicit RangeScale(double lo, double hi);
    int operator()(double v) const;
};

}  // namespace krel
