// The line filter of the display: sharpening, smoothing and emboss of one
// channel's sampled line against the previous display row.
#pragma once

#include <cstdint>

namespace krel {

struct LineFilter {
    double strength = 0.0;  // -emboss when set, else -sharpness
    int background = 0;     // -1 for emboss, else -filterbg
    int direction = 0;      // -filterdir 0..4
};

// Filters cur[0..n) in place. `up` holds the previous row's unfiltered values
// and receives this row's unfiltered values.
void filterLine(const LineFilter &f, uint8_t *cur, uint8_t *up, int n);

}  // namespace krel
