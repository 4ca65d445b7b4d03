#include "analysis/fft.h"

#include <cmath>
#include <utility>

#include "analysis/simd.h"

namespace krel {

namespace {

// One butterfly stage of half-span m over the lanes (a fixed count, or with
// Fixed 0 the count given). The twiddles of the stage are every (N / 2m)-th
// entry of the table.
template <int Fixed>
__attribute__((always_inline)) inline void stage(float *__restrict re, float *__restrict im, int n, int m,
                                                 int lanesGiven, const float *cosT, const float *sinT, float sign)
{
    const int lanes = Fixed > 0 ? Fixed : lanesGiven;
    const int step = n / (2 * m);
    for (int g = 0; g < n; g += 2 * m) {
        for (int s = 0; s < m; ++s) {
            const float wr = cosT[s * step], wi = sign * sinT[s * step];
            float *__restrict ar = re + static_cast<size_t>(g + s) * lanes;
            float *__restrict ai = im + static_cast<size_t>(g + s) * lanes;
            float *__restrict br = ar + static_cast<size_t>(m) * lanes;
            float *__restrict bi = ai + static_cast<size_t>(m) * lanes;
            for (int b = 0; b < lanes; ++b) {
                const float tr = br[b] * wr - bi[b] * wi;
                const float ti = br[b] * wi + bi[b] * wr;
                br[b] = ar[b] - tr;
                bi[b] = ai[b] - ti;
                ar[b] += tr;
                ai[b] += ti;
            }
        }
    }
}

// The first stage of a fixed lane count has the twiddle 1 only.
template <int Lanes>
__attribute__((always_inline)) inline void firstStageFixed(float *__restrict re, float *__restrict im, int n)
{
    for (int g = 0; g < n; g += 2) {
        float *__restrict ar = re + static_cast<size_t>(g) * Lanes;
        float *__restrict ai = im + static_cast<size_t>(g) * Lanes;
        float *__restrict br = ar + Lanes;
        float *__restrict bi = ai + Lanes;
        for (int b = 0; b < Lanes; ++b) {
            const float tr = br[b], ti = bi[b];
            br[b] = ar[b] - tr;
            bi[b] = ai[b] - ti;
            ar[b] += tr;
            ai[b] += ti;
        }
    }
}

KREL_VECTOR_CLONES
void butterflies16(float *re, float *im, int n, int log2n, const float *cosT, const float *sinT, float sign)
{
    if (log2n == 0) return;
    firstStageFixed<kFFTLanes>(re, im, n);
    for (int m = 2; m < n; m <<= 1) stage<kFFTLanes>(re, im, n, m, kFFTLanes, cosT, sinT, sign);
}

KREL_VECTOR_CLONES
void butterfliesAny(float *re, float *im, int lanes, int n, const float *cosT, const float *sinT, float sign)
{
    for (int m = 1; m < n; m <<= 1) stage<0>(re, im, n, m, lanes, cosT, sinT, sign);
}

void swapLanes(float *a, float *b, int lanes)
{
    for (int k = 0; k < lanes; ++k) std::swap(a[k], b[k]);
}

// Multiplies element x by (-1)^x * scale: the half-length shift of a
// spectrum, seen from the other domain.
KREL_VECTOR_CLONES
void alternateLanes(float *__restrict re, float *__restrict im, int n, int lanes, float scale)
{
    for (int x = 0; x < n; ++x) {
        const float f = (x & 1) ? -scale : scale;
        float *__restrict r = re + static_cast<size_t>(x) * lanes;
        float *__restrict i = im + static_cast<size_t>(x) * lanes;
        for (int b = 0; b < lanes; ++b) {
            r[b] *= f;
            i[b] *= f;
        }
    }
}

}  // namespace

bool FFTPlan::init(int n)
{
    n_ = 0;
    if (n < 1 || n > (1 << 30) || (n & (n - 1)) != 0) return false;
    int log2n = 0;
    while ((1 << log2n) < n) ++log2n;
    const size_t half = static_cast<size_t>(n / 2) + 1;
    if (!cos_.allocate(half) || !sin_.allocate(half) || !rev_.allocate(static_cast<size_t>(n))) return false;
    // Each twiddle straight from cos and sin in double: a recurrence in
    // single precision loses two digits by 4096 points.
    const double step = 2.0 * M_PI / n;
    for (int k = 0; k < n / 2; ++k) {
        cos_[k] = static_cast<float>(std::cos(step * k));
        sin_[k] = static_cast<float>(std::sin(step * k));
    }
    for (int k = 0; k < n; ++k) {
        int r = 0;
        for (int b = 0; b < log2n; ++b) r |= ((k >> b) & 1) << (log2n - 1 - b);
        rev_[k] = r;
    }
    n_ = n;
    log2n_ = log2n;
    return true;
}

void FFTPlan::transform(float *re, float *im, int lanes, int sign) const
{
    if (n_ <= 1 || lanes <= 0) return;
    for (int k = 0; k < n_; ++k) {
        const int r = rev_[k];
        if (r > k) {
            swapLanes(re + static_cast<size_t>(k) * lanes, re + static_cast<size_t>(r) * lanes, lanes);
            swapLanes(im + static_cast<size_t>(k) * lanes, im + static_cast<size_t>(r) * lanes, lanes);
        }
    }
    butterflies(re, im, lanes, sign);
}

void FFTPlan::butterflies(float *re, float *im, int lanes, int sign) const
{
    if (n_ <= 1 || lanes <= 0) return;
    const float s = sign >= 0 ? 1.0f : -1.0f;
    if (lanes == kFFTLanes)
        butterflies16(re, im, n_, log2n_, cos_.get(), sin_.get(), s);
    else
        butterfliesAny(re, im, lanes, n_, cos_.get(), sin_.get(), s);
}

void FFTPlan::alternate(float *re, float *im, int lanes, float scale) const
{
    alternateLanes(re, im, n_, lanes, scale);
}

void FFTPlan::forwardShifted(float *re, float *im, int lanes) const
{
    if (n_ <= 0) return;
    alternateLanes(re, im, n_, lanes, 1.0f);
    transform(re, im, lanes, +1);
}

void FFTPlan::inverseShifted(float *re, float *im, int lanes) const
{
    if (n_ <= 0) return;
    transform(re, im, lanes, -1);
    alternateLanes(re, im, n_, lanes, 1.0f / static_cast<float>(n_));
}

}  // namespace krel
