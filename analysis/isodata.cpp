#include "analysis/isodata.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/simd.h"

namespace krel {

namespace {

constexpr float kFar = 3.4028235e38f;

void putInt(unsigned char *p, int32_t v) { memcpy(p, &v, 4); }
void putFloat(unsigned char *p, float v) { memcpy(p, &v, 4); }
void putDouble(unsigned char *p, double v) { memcpy(p, &v, 8); }

}  // namespace

void IsoClusters::init(int n, int maxClasses, const double *sigma, double dis)
{
    n_ = n;
    ncMax_ = std::clamp(maxClasses, 1, 256);
    dis_ = dis;
    inst_ = 0.2 * dis;
    invSigma_.assign(static_cast<size_t>(n), 0.0f);
    for (int b = 0; b < n; ++b)
        // A band without spread adds nothing to a distance (its sigma counts
        // as 3.4028235e38).
        invSigma_[b] = sigma[b] > 0 && sigma[b] < 3.4e38 ? static_cast<float>(1.0 / sigma[b]) : 0.0f;
    const size_t cap = static_cast<size_t>(ncMax_);
    mean_.assign(cap * n, 0.0f);
    scaled_.assign(cap * n, 0.0f);
    dmean_.assign(cap * n, 0.0f);
    srmd2_.assign(cap, 0.0f);
    sum_.assign(cap * n, 0.0);
    count_.assign(cap, 0.0);
    samples_.assign(cap, 0);
    nc_ = 0;
}

void IsoClusters::clear()
{
    nc_ = 0;
    std::fill(sum_.begin(), sum_.end(), 0.0);
    std::fill(count_.begin(), count_.end(), 0.0);
}

int IsoClusters::addClass(const float *x, int64_t samples)
{
    if (nc_ >= ncMax_) return -1;
    const int k = nc_++;
    for (int b = 0; b < n_; ++b) {
        mean_[static_cast<size_t>(k) * n_ + b] = x[b];
        scaled_[static_cast<size_t>(k) * n_ + b] = x[b] * invSigma_[b];
        dmean_[static_cast<size_t>(k) * n_ + b] = 0.0f;
        sum_[static_cast<size_t>(k) * n_ + b] = 0.0;
    }
    srmd2_[k] = 0.0f;
    count_[k] = 0.0;
    samples_[k] = samples;
    return k;
}

void IsoClusters::scale(const float *x, float *y) const
{
    for (int b = 0; b < n_; ++b) y[b] = x[b] * invSigma_[b];
}

KREL_VECTOR_CLONES
void IsoClusters::scaleRow(int band, const float *x, float *y, int m) const
{
    const float s = invSigma_[band];
    for (int j = 0; j < m; ++j) y[j] = x[j] * s;
}

void IsoClusters::search(const float *y, int from, float *best, int *k, bool *instant) const
{
    if (*instant) return;
    const float inst = static_cast<float>(inst_);
    for (int c = from; c < nc_; ++c) {
        const float *m = scaled_.data() + static_cast<size_t>(c) * n_;
        float d = 0;
        int b = 0;
        // Early abandon: a class is dropped once its partial sum passes the best.
        for (; b < n_ && d <= *best; ++b) {
            const float e = y[b] - m[b];
            d += e * e;
        }
        if (b == n_ && d < *best) {
            *best = d;
            *k = c;
            if (d < inst) {
                *instant = true;
                return;
            }
        }
    }
}

KREL_VECTOR_CLONES
void IsoClusters::searchMany(const float *y, size_t stride, int m, int K, float *best, int *k, uint8_t *instant) const
{
    const float inst = static_cast<float>(inst_);
    std::vector<float> d(static_cast<size_t>(m));
    for (int j = 0; j < m; ++j) best[j] = kFar, k[j] = -1, instant[j] = 0;
    for (int c = 0; c < K; ++c) {
        const float *mc = scaled_.data() + static_cast<size_t>(c) * n_;
        float *dd = d.data();
        {
            const float *row = y;
            const float mb = mc[0];
            for (int j = 0; j < m; ++j) {
                const float e = row[j] - mb;
                dd[j] = e * e;
            }
        }
        for (int b = 1; b < n_; ++b) {
            const float *row = y + b * stride;
            const float mb = mc[b];
            for (int j = 0; j < m; ++j) {
                const float e = row[j] - mb;
                dd[j] += e * e;
            }
        }
        // The first class below the instant distance stays; otherwise a
        // strictly smaller distance wins.
        for (int j = 0; j < m; ++j) {
            const bool take = !instant[j] && dd[j] < best[j];
            best[j] = take ? dd[j] : best[j];
            k[j] = take ? c : k[j];
            instant[j] = static_cast<uint8_t>(instant[j] | (take && dd[j] < inst));
        }
    }
}

int IsoClusters::leader(const float *x, double w, bool create, float best, int k, bool instant, int from)
{
    float y[256 + 8];
    std::vector<float> wide;
    float *yp = y;
    if (n_ > 256) {
        wide.resize(static_cast<size_t>(n_));
        yp = wide.data();
    }
    scale(x, yp);
    search(yp, from, &best, &k, &instant);
    if ((create && best > dis_ && nc_ < ncMax_) || k < 0) {
        const int made = addClass(x, 0);
        if (made >= 0) k = made;
    }
    if (k < 0) return -1;
    double *s = sum_.data() + static_cast<size_t>(k) * n_;
    for (int b = 0; b < n_; ++b) s[b] += w * x[b];
    count_[k] += w;
    return k;
}

IsoClusters::UpdateResult IsoClusters::update(bool keepEmpty)
{
    UpdateResult r;
    for (int k = 0; k < nc_; ++k) r.total += count_[k];
    double rms = 0, cv = 0, wcv = 1e300;
    for (int k = 0; k < nc_; ++k) {
        const double c = count_[k], s = static_cast<double>(samples_[k]);
        double ratio = 0;
        if (c > 0) {
            double sq = 0;
            for (int b = 0; b < n_; ++b) {
                const size_t at = static_cast<size_t>(k) * n_ + b;
                const float nm = static_cast<float>(sum_[at] / c);
                dmean_[at] = nm - mean_[at];
                mean_[at] = nm;
                sq += static_cast<double>(dmean_[at]) * dmean_[at];
            }
            srmd2_[k] = static_cast<float>(std::sqrt(sq / n_));
        }
        if (c > 0 || s > 0) ratio = std::min(s, c) / std::max(s, c);
        rms += c * srmd2_[k];
        cv += c * ratio;
        wcv = std::min(wcv, ratio);
    }
    r.rms = r.total > 0 ? rms / r.total : 0;
    r.cvRms = r.total > 0 ? cv / r.total : 0;
    r.wcv = nc_ > 0 ? wcv : 0;
    // Survivors keep their order.
    int kept = 0;
    for (int k = 0; k < nc_; ++k) {
        if (count_[k] <= 0 && !keepEmpty) continue;
        if (kept != k) {
            std::copy_n(mean_.data() + static_cast<size_t>(k) * n_, n_, mean_.data() + static_cast<size_t>(kept) * n_);
            std::copy_n(dmean_.data() + static_cast<size_t>(k) * n_, n_, dmean_.data() + static_cast<size_t>(kept) * n_);
            srmd2_[kept] = srmd2_[k];
        }
        samples_[kept] = static_cast<int64_t>(std::llround(count_[k]));
        ++kept;
    }
    nc_ = kept;
    std::fill(sum_.begin(), sum_.end(), 0.0);
    std::fill(count_.begin(), count_.end(), 0.0);
    for (int k = 0; k < nc_; ++k)
        for (int b = 0; b < n_; ++b)
            scaled_[static_cast<size_t>(k) * n_ + b] = mean_[static_cast<size_t>(k) * n_ + b] * invSigma_[b];
    return r;
}

void IsoClusters::speed(double wcv)
{
    if (wcv <= 0.5) return;
    for (int k = 0; k < nc_; ++k)
        for (int b = 0; b < n_; ++b) {
            const size_t at = static_cast<size_t>(k) * n_ + b;
            mean_[at] += 0.5f * dmean_[at];
            scaled_[at] = mean_[at] * invSigma_[b];
        }
}

double IsoClusters::rawDistance(int k, const float *x) const
{
    double d = 0;
    for (int b = 0; b < n_; ++b) {
        const double e = static_cast<double>(x[b]) - mean_[static_cast<size_t>(k) * n_ + b];
        d += e * e;
    }
    return d;
}

FeatureBlock *IsoClusters::toBlock(const int32_t *bands, double rms, double total, const char *source) const
{
    unsigned char priv[kIsoPrivateSize] = {};
    putDouble(priv, rms);
    putDouble(priv + 8, dis_);
    putInt(priv + 16, static_cast<int32_t>(std::min(total, 2147483647.0)));
    putInt(priv + 20, nc_);
    if (source) memcpy(priv + 24, source, strnlen(source, 127));
    const int itemSize = static_cast<int>(isoItemSize(n_));
    FeatureBlock *block = newFeature(kIsoFeatureId, bands, n_, itemSize, nc_, priv, kIsoPrivateSize);
    if (!block) return nullptr;
    for (int k = 0; k < nc_; ++k) {
        auto *item = static_cast<unsigned char *>(getFeatureItem(block, k));
        putInt(item, static_cast<int32_t>(std::min<int64_t>(samples_[k], 2147483647)));
        putInt(item + 4, static_cast<int32_t>(std::min(count_[k], 2147483647.0)));
        putFloat(item + 8, srmd2_[k]);
        for (int b = 0; b < n_; ++b) {
            const size_t at = static_cast<size_t>(k) * n_ + b;
            putFloat(item + 12 + 16 * b, mean_[at]);
            putFloat(item + 16 + 16 * b, dmean_[at]);
            putDouble(item + 20 + 16 * b, sum_[at]);
        }
    }
    return block;
}

bool IsoClusters::fromBlock(const FeatureBlock *block)
{
    const int count = getFeatureInfo(block, FINFO_COUNT);
    if (count < 1 || count > ncMax_ || getFeatureInfo(block, FINFO_PARAMS) != n_ ||
        getFeatureInfo(block, FINFO_ITEM_SIZE) != isoItemSize(n_))
        return false;
    nc_ = 0;
    std::vector<float> x(static_cast<size_t>(n_));
    for (int k = 0; k < count; ++k) {
        const auto *item = static_cast<const unsigned char *>(getFeatureItem(block, k));
        int32_t samples;
        memcpy(&samples, item, 4);
        for (int b = 0; b < n_; ++b) {
            memcpy(&x[b], item + 12 + 16 * b, 4);
            if (!std::isfinite(x[b])) return false;
        }
        addClass(x.data(), std::max(samples, 0));
    }
    return true;
}

}  // namespace krel
