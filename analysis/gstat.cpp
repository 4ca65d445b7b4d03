#include "analysis/gstat.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "analysis/simd.h"
#include "core/conio.h"

namespace krel {

namespace {

// Byte samples are summed exactly in integers: a product of two bytes is at
// most 65025, so 32768 of them fit a 32-bit signed sum. The totals are exact
// integers far below 2^53 and so convert to the same doubles that summing
// every product in double would give.
constexpr int kIntChunk = 32768;

KREL_VECTOR_CLONES
int64_t dotBytes(const int16_t *a, const int16_t *b, int n)
{
    int64_t total = 0;
    for (int start = 0; start < n; start += kIntChunk) {
        int end = std::min(n, start + kIntChunk);
        int32_t acc = 0;
        for (int s = start; s < end; ++s) acc += static_cast<int32_t>(a[s]) * b[s];
        total += acc;
    }
    return total;
}

KREL_VECTOR_CLONES
int64_t sumBytes(const int16_t *a, int n)
{
    int64_t total = 0;
    for (int start = 0; start < n; start += kIntChunk) {
        int end = std::min(n, start + kIntChunk);
        int32_t acc = 0;
        for (int s = start; s < end; ++s) acc += a[s];
        total += acc;
    }
    return total;
}

// Real samples are summed in double over eight independent lanes, which the
// compiler can keep in vector registers.
constexpr int kLanes = 8;

KREL_VECTOR_CLONES
double dotReals(const float *a, const float *b, int n)
{
    double lane[kLanes] = {};
    int s = 0;
    for (; s + kLanes <= n; s += kLanes)
        for (int l = 0; l < kLanes; ++l) lane[l] += static_cast<double>(a[s + l]) * b[s + l];
    double total = 0.0;
    for (; s < n; ++s) total += static_cast<double>(a[s]) * b[s];
    for (int l = 0; l < kLanes; ++l) total += lane[l];
    return total;
}

KREL_VECTOR_CLONES
double sumReals(const float *a, int n)
{
    double lane[kLanes] = {};
    int s = 0;
    for (; s + kLanes <= n; s += kLanes)
        for (int l = 0; l < kLanes; ++l) lane[l] += a[s + l];
    double total = 0.0;
    for (; s < n; ++s) total += a[s];
    for (int l = 0; l < kLanes; ++l) total += lane[l];
    return total;
}

KREL_VECTOR_CLONES
void gatherBytes(int16_t *out, const uint8_t *in, int dx, const uint8_t *select, int n)
{
    if (dx == 1) {
        if (select)
            for (int s = 0; s < n; ++s) out[s] = static_cast<int16_t>(in[s] & select[s]);
        else
            for (int s = 0; s < n; ++s) out[s] = in[s];
        return;
    }
    if (select)
        for (int s = 0; s < n; ++s) out[s] = static_cast<int16_t>(in[static_cast<size_t>(s) * dx] & select[s]);
    else
        for (int s = 0; s < n; ++s) out[s] = in[static_cast<size_t>(s) * dx];
}

KREL_VECTOR_CLONES
void gatherReals(float *out, const float *in, int dx, const uint8_t *select, int n)
{
    // Samples outside the mask become +0.0 through their bits, so that a NaN
    // or infinity under the mask cannot reach the sums.
    for (int s = 0; s < n; ++s) {
        float v = in[static_cast<size_t>(s) * dx];
        if (select) {
            uint32_t bits;
            memcpy(&bits, &v, 4);
            bits &= 0u - static_cast<uint32_t>(select[s] & 1);
            memcpy(&v, &bits, 4);
        }
        out[s] = v;
    }
}

int readInt(const char *text, int fallback)
{
    if (text == nullptr) return fallback;
    long v = strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

}  // namespace

bool statRegion(int imageRows, int imageCols, const char *sr, const char *sc, const char *r, const char *c,
                const char *dx, const char *dy, StatRegion *region)
{
    StatRegion g;
    g.sr = readInt(sr, 0);
    g.sc = readInt(sc, 0);
    g.rows = readInt(r, imageRows);
    g.cols = readInt(c, imageCols);
    g.dx = std::max(readInt(dx, 1), 1);
    g.dy = std::max(readInt(dy, 1), 1);
    if (g.sr < 0 || g.sr >= imageRows) {
        conEprintf("start row out of range.\n");
        return false;
    }
    if (g.sc < 0 || g.sc >= imageCols) {
        conEprintf("start column out of range.\n");
        return false;
    }
    g.rows = std::max(0, std::min(g.rows, imageRows - g.sr));
    g.cols = std::max(0, std::min(g.cols, imageCols - g.sc));
    g.samples = g.cols > 0 ? (g.cols - 1) / g.dx + 1 : 0;
    *region = g;
    return true;
}

FeaturePtr openStatTarget(const char *out, const char *stat, const int32_t *bands, int n, const char *source,
                          int *index)
{
    FeaturePtr block(getFeature(out, kStatFeatureId));
    int i = 0;
    if (block) {
        i = findStat(block.get(), stat);
        if (i < 0) {
            if (!addFeature(block, nullptr)) return nullptr;
            i = getFeatureInfo(block.get(), FINFO_COUNT) - 1;
        }
    } else {
        unsigned char priv[kStatPrivateSize] = {};
        if (source) memcpy(priv, source, strnlen(source, 63));
        memcpy(priv + 64, "Created by GSTATS", 17);
        block.reset(newFeature(kStatFeatureId, bands, n, statItemSize(n), 1, priv, kStatPrivateSize));
        if (!block) return nullptr;
    }
    StatItem item = statItem(block.get(), i);
    item.setId(i);
    item.setName(stat);
    item.setNoteNow();
    *index = i;
    return block;
}

bool StatAccumulator::init(int nBands, int samples)
{
    n_ = std::max(nBands, 0);
    samples_ = std::max(samples, 0);
    pairs_ = triSize(n_);
    count_ = batch_ = 0;
    size_t plane = static_cast<size_t>(n_) * samples_;
    bool ok = mean_.allocate(n_ + 1) && product_.allocate(pairs_ + 1) && sum_.allocate(n_ + 1) &&
              batchProduct_.allocate(pairs_ + 1) && select_.allocate(samples_ + 1) && wide_.allocate(plane + 1) &&
              real_.allocate(plane + 1);
    if (!ok) conEprintf("Error in gmemAlloc.\n");
    return ok;
}

bool StatAccumulator::rowSelected(const uint8_t *mask, int dx, int maskId) const
{
    if (maskId < 0 || maskId > 255) return false;
    for (int s = 0; s < samples_; ++s)
        if (mask[static_cast<size_t>(s) * dx] == maskId) return true;
    return false;
}

int StatAccumulator::selectRow(const uint8_t *mask, int dx, int maskId)
{
    uint8_t *sel = select_.get();
    int kept = 0;
    bool valid = maskId >= 0 && maskId <= 255;
    for (int s = 0; s < samples_; ++s) {
        uint8_t hit = valid && mask[static_cast<size_t>(s) * dx] == maskId;
        sel[s] = static_cast<uint8_t>(0u - hit);
        kept += hit;
    }
    return kept;
}

void StatAccumulator::addRow(const uint8_t *const *bands, int dx, const uint8_t *mask, int maskId)
{
    int kept = mask ? selectRow(mask, dx, maskId) : samples_;
    if (kept == 0) return;
    const uint8_t *sel = mask ? select_.get() : nullptr;
    int16_t *wide = wide_.get();
    for (int b = 0; b < n_; ++b) gatherBytes(wide + static_cast<size_t>(b) * samples_, bands[b], dx, sel, samples_);
    for (int j = 0; j < n_; ++j) {
        const int16_t *xj = wide + static_cast<size_t>(j) * samples_;
        sum_[j] += static_cast<double>(sumBytes(xj, samples_));
        for (int i = 0; i <= j; ++i)
            batchProduct_[triIndex(i, j)] +=
                static_cast<double>(dotBytes(wide + static_cast<size_t>(i) * samples_, xj, samples_));
    }
    batch_ += kept;
    if (batch_ > kStatBatch) fold();
}

void StatAccumulator::addRow(const float *const *bands, int dx, const uint8_t *mask, int maskId)
{
    int kept = mask ? selectRow(mask, dx, maskId) : samples_;
    if (kept == 0) return;
    const uint8_t *sel = mask ? select_.get() : nullptr;
    float *real = real_.get();
    for (int b = 0; b < n_; ++b) gatherReals(real + static_cast<size_t>(b) * samples_, bands[b], dx, sel, samples_);
    for (int j = 0; j < n_; ++j) {
        const float *xj = real + static_cast<size_t>(j) * samples_;
        sum_[j] += sumReals(xj, samples_);
        for (int i = 0; i <= j; ++i)
            batchProduct_[triIndex(i, j)] += dotReals(real + static_cast<size_t>(i) * samples_, xj, samples_);
    }
    batch_ += kept;
    if (batch_ > kStatBatch) fold();
}

void StatAccumulator::fold()
{
    if (batch_ == 0) return;
    // Running values are means, so that no sum grows without bound; each
    // batch enters with the weight of its share of the samples.
    double k = static_cast<double>(batch_);
    double w = static_cast<double>(count_) / static_cast<double>(count_ + batch_);
    for (int b = 0; b < n_; ++b) {
        mean_[b] = (1.0 - w) * sum_[b] / k + w * mean_[b];
        sum_[b] = 0.0;
    }
    for (int p = 0; p < pairs_; ++p) {
        product_[p] = (1.0 - w) * batchProduct_[p] / k + w * product_[p];
        batchProduct_[p] = 0.0;
    }
    count_ += batch_;
    batch_ = 0;
}

void StatAccumulator::finish() { fold(); }

PoolResult StatAccumulator::poolInto(const StatItem &item) const
{
    if (count_ == 0) return PoolResult::Empty;
    int64_t old = item.nPixels();
    if (old < 0 || old + count_ > INT32_MAX) {
        conEprintf("Error in gstat: too many pixels for one stat item.\n");
        return PoolResult::Failed;
    }
    int64_t pooled = old + count_;
    double w = static_cast<double>(count_) / static_cast<double>(pooled), u = 1.0 - w;
    float *m = item.mean();
    float *c = item.cov();
    for (int j = 0; j < n_; ++j) {
        for (int i = 0; i <= j; ++i) {
            int t = triIndex(i, j);
            double mi = m[i], mj = m[j], ni = mean_[i], nj = mean_[j];
            double newCov = product_[t] - ni * nj;  // covariance of the new samples
            double v = (mi * mj + c[t]) * u + (ni * nj + newCov) * w - (mi * u + ni * w) * (mj * u + nj * w);
            c[t] = static_cast<float>(v);
        }
    }
    for (int b = 0; b < n_; ++b) m[b] = static_cast<float>(m[b] * u + mean_[b] * w);
    item.setPixels(static_cast<int32_t>(pooled));
    return PoolResult::Pooled;
}

}  // namespace krel
