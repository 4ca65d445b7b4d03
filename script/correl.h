// Best lagged correlation of a short series against a longer one.
#pragma once

#include <cstddef>

namespace krel {

struct LagCorrelation {
    bool found = false;  // some lag had a correlation
    double r2 = 0;       // the largest squared correlation
    size_t lag = 0;      // the first lag that reached it
};

// Correlates shortSeries[0..n-1] with longSeries[k..k+n-1] for every lag
// k = 0 .. longCount - shortCount (shortCount <= longCount, n <= shortCount).
// Lags whose windows have no variance are skipped.
LagCorrelation bestLagCorrelation(const double *shortSeries, size_t shortCount, const double *longSeries,
                                  size_t longCount, size_t n);

}  // namespace krel
