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

// A row's samples bands[b][0], [dx], [2dx], ... are copied into planes of
// `stride` values. With a mask only the selected samples are copied, packed to
// the front through the list of their positions, so that the sums run over
// the kept samples alone.
KREL_VECTOR_CLONES
void widenBytes(int16_t *out, const uint8_t *in, int dx, int samples)
{
    if (dx == 1)
        for (int s = 0; s < samples; ++s) out[s] = in[s];
    else
        for (int s = 0; s < samples; ++s) out[s] = in[static_cast<size_t>(s) * dx];
}

KREL_VECTOR_CLONES
void copyReals(float *out, const float *in, int dx, int samples)
{
    if (dx == 1)
        for (int s = 0; s < samples; ++s) out[s] = in[s];
    else
        for (int s = 0; s < samples; ++s) out[s] = in[static_cast<size_t>(s) * dx];
}

int countEqual(const uint8_t *mask, int m, uint8_t id)
{
    int hits = 0;
    for (int i = 0; i < m; ++i) hits += mask[i] == id;
    return hits;
}

template <class In, class Out>
void gatherKept(Out *planes, size_t stride, const In *const *bands, int n, const int32_t *positions, int kept)
{
    for (int b = 0; b < n; ++b) {
        const In *in = bands[b];
        Out *out = planes + b * stride;
        for (int i = 0; i < kept; ++i) out[i] = static_cast<Out>(in[positions[i]]);
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
              batchProduct_.allocate(pairs_ + 1) && positions_.allocate(samples_ + 1) && wide_.allocate(plane + 1) &&
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
    if (maskId < 0 || maskId > 255) return 0;
    const int samples = samples_;
    const uint8_t id = static_cast<uint8_t>(maskId);
    int32_t *positions = positions_.get();
    int kept = 0;
    // Masks come in runs: a block of 32 samples is counted first, and one
    // entirely outside or entirely inside the mask costs no per-sample work.
    constexpr int kBlock = 32;
    for (int s0 = 0; s0 < samples; s0 += kBlock) {
        int m = std::min(kBlock, samples - s0);
        int hits = 0;
        if (dx == 1)
            hits = countEqual(mask + s0, m, id);
        else
            for (int i = 0; i < m; ++i) hits += mask[static_cast<size_t>(s0 + i) * dx] == id;
        if (hits == 0) continue;
        if (hits == m) {
            for (int i = 0; i < m; ++i) positions[kept + i] = (s0 + i) * dx;
        } else {
            // Every position is written and the count advances only past
            // selected ones: no branch on the mask.
            for (int i = 0; i < m; ++i) {
                size_t at = static_cast<size_t>(s0 + i) * dx;
                positions[kept] = static_cast<int32_t>(at);
                kept += mask[at] == id;
            }
            continue;
        }
        kept += m;
    }
    return kept;
}

void StatAccumulator::addRow(const uint8_t *const *bands, int dx, const uint8_t *mask, int maskId)
{
    int kept = mask ? selectRow(mask, dx, maskId) : samples_;
    if (kept == 0) return;
    const size_t stride = static_cast<size_t>(samples_);
    int16_t *wide = wide_.get();
    if (mask)
        gatherKept(wide, stride, bands, n_, positions_.get(), kept);
    else
        for (int b = 0; b < n_; ++b) widenBytes(wide + b * stride, bands[b], dx, samples_);
    for (int j = 0; j < n_; ++j) {
        const int16_t *xj = wide + j * stride;
        sum_[j] += static_cast<double>(sumBytes(xj, kept));
        for (int i = 0; i <= j; ++i)
            batchProduct_[triIndex(i, j)] += static_cast<double>(dotBytes(wide + i * stride, xj, kept));
    }
    batch_ += kept;
    if (batch_ > kStatBatch) fold();
}

void StatAccumulator::addRow(const float *const *bands, int dx, const uint8_t *mask, int maskId)
{
    // Samples outside the mask are never summed, whatever they hold (NaN too).
    int kept = mask ? selectRow(mask, dx, maskId) : samples_;
    if (kept == 0) return;
    const size_t stride = static_cast<size_t>(samples_);
    float *real = real_.get();
    if (mask)
        gatherKept(real, stride, bands, n_, positions_.get(), kept);
    else
        for (int b = 0; b < n_; ++b) copyReals(real + b * stride, bands[b], dx, samples_);
    for (int j = 0; j < n_; ++j) {
        const float *xj = real + j * stride;
        sum_[j] += sumReals(xj, kept);
        for (int i = 0; i <= j; ++i) batchProduct_[triIndex(i, j)] += dotReals(real + i * stride, xj, kept);
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

void StatAccumulator::finish()
{
    fold();
}

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
