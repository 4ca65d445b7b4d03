#include "script/correl.h"

#include <cmath>
#include <vector>

#include "core/simd.h"

namespace krel {

namespace {

constexpr size_t kLagBlock = 32;

// dots[j] = sum over i < n of x[i] * y[i + j], for kLagBlock consecutive
// lags at once: each x[i] meets a contiguous run of y, so the lags fill the
// vector lanes and every lag still sums in the order of i.
KREL_VECTOR_CLONES
void dotBlock(const double *x, const double *y, size_t n, double *dots)
{
    double acc[kLagBlock] = {};
    for (size_t i = 0; i < n; ++i) {
        double xi = x[i];
        const double *yi = y + i;
        for (size_t j = 0; j < kLagBlock; ++j) acc[j] += xi * yi[j];
    }
    for (size_t j = 0; j < kLagBlock; ++j) dots[j] = acc[j];
}

}  // namespace

LagCorrelation bestLagCorrelation(const double *shortSeries, size_t shortCount, const double *longSeries,
                                  size_t longCount, size_t n)
{
    LagCorrelation best;
    if (n == 0 || n > shortCount || shortCount > longCount) return best;
    const size_t lags = longCount - shortCount + 1;
    // The correlation does not change with an offset of either series:
    // centring both keeps the sums small, so series on a large offset
    // (elevations, time stamps) lose nothing to cancellation.
    double meanX = 0, meanY = 0;
    for (size_t i = 0; i < n; ++i) meanX += shortSeries[i];
    meanX /= static_cast<double>(n);
    for (size_t i = 0; i < longCount; ++i) meanY += longSeries[i];
    meanY /= static_cast<double>(longCount);

    std::vector<double> x(n);
    double sx = 0, sxx = 0;
    for (size_t i = 0; i < n; ++i) {
        x[i] = shortSeries[i] - meanX;
        sx += x[i];
        sxx += x[i] * x[i];
    }
    const double dn = static_cast<double>(n);
    const double mx = sx / dn;
    const double vx = sxx - dn * mx * mx;
    if (!(vx > 1e-12 * sxx) || !(vx > 0)) return best;

    // The long series padded for the last block, with running sums of its
    // values and squares for the window sums of every lag.
    const size_t used = lags - 1 + n;
    std::vector<double> y(used + kLagBlock, 0.0), cum(used + 1, 0.0), cumSq(used + 1, 0.0);
    for (size_t i = 0; i < used; ++i) {
        y[i] = longSeries[i] - meanY;
        cum[i + 1] = cum[i] + y[i];
        cumSq[i + 1] = cumSq[i] + y[i] * y[i];
    }

    double bestR2 = -1;
    double dots[kLagBlock];
    for (size_t k0 = 0; k0 < lags; k0 += kLagBlock) {
        dotBlock(x.data(), y.data() + k0, n, dots);
        size_t end = k0 + kLagBlock < lags ? k0 + kLagBlock : lags;
        for (size_t k = k0; k < end; ++k) {
            double sy = cum[k + n] - cum[k];
            double syy = cumSq[k + n] - cumSq[k];
            double my = sy / dn;
            double vy = syy - dn * my * my;
            // A flat window has no correlation; what the running sums leave
            // of its variance is rounding, bounded by their size so far.
            if (!(vy > 1e-10 * cumSq[k + n]) || !(vx * vy > 0)) continue;
            double r = (dots[k - k0] - dn * mx * my) / std::sqrt(vx) / std::sqrt(vy);
            double r2 = r * r;
            if (r2 > bestR2) {
                bestR2 = r2;
                best.lag = k;
            }
        }
    }
    if (bestR2 > 0) {
        best.found = true;
        best.r2 = bestR2;
    }
    return best;
}

}  // namespace krel
