// Training statistics: the accumulation kernel of `gstat` and the handling of
// its stat file. The module reads the image and the mask row by row and feeds
// the rows to a StatAccumulator; at the end the new samples are pooled into
// one stat item of a STATFTUR feature block, which is written back whole.
//
//   FeaturePtr fb = openStatTarget(out, stat, bands, n, inFile, &index);
//   // bands now come from the block: getFeatureParam(fb.get(), b)
//   StatAccumulator acc;  acc.init(n, region.samples);
//   for (r = region.sr; r < region.sr + region.rows; r += region.dy) {
//       if (mask && !acc.rowSelected(maskRow + sc, region.dx, maskId)) continue;
//       acc.addRow(bandRows /* each at column sc */, region.dx, mask ? maskRow + sc : nullptr, maskId);
//   }
//   acc.finish();
//   if (acc.poolInto(statItem(fb.get(), index)) == PoolResult::Pooled) saveFeature(out, fb.get());
#pragma once

#include <cstdint>

#include "analysis/buffer.h"
#include "analysis/feature.h"

namespace krel {

// Samples gathered before a batch is folded into the running values.
constexpr int kStatBatch = 16384;

// The sampled region of a gstat run.
struct StatRegion {
    int sr = 0, sc = 0;      // first row and column
    int rows = 0, cols = 0;  // extent, cut to end inside the image
    int dx = 1, dy = 1;      // steps between sampled columns and rows
    int samples = 0;         // S = ceil(cols / dx) samples per row
};

// Reads -sr -sc -r -c -dx -dy (null when not given) against an image of
// `imageRows` x `imageCols`; false after "start row out of range.\n" or
// "start column out of range.\n". Steps below 1 become 1: a step of 0 would
// never leave the first row.
bool statRegion(int imageRows, int imageCols, const char *sr, const char *sc, const char *r, const char *c,
                const char *dx, const char *dy, StatRegion *region);

// Loads OUT as a stat file and finds (or appends) the item named `stat`; when
// OUT is missing or not a stat file, makes a new block over `bands` (0-based,
// n of them) whose private part names `source`. The item gets its ID, name
// and note. Null on allocation failure. The band list to read is then the
// block's parameter words, which for an existing file replace `bands`.
FeaturePtr openStatTarget(const char *out, const char *stat, const int32_t *bands, int n, const char *source,
                          int *index);

enum class PoolResult { Pooled, Empty, Failed };

class StatAccumulator {
public:
    // n bands, `samples` samples per row; false after "Error in gmemAlloc.\n".
    bool init(int nBands, int samples);

    // Whether any of the row's sampled mask values (mask[0], mask[dx], ...)
    // equals maskId; a row that selects nothing need not be read at all.
    bool rowSelected(const uint8_t *mask, int dx, int maskId) const;

    // Adds one row: band b's samples are bands[b][0], bands[b][dx], ...; with
    // a mask only the samples whose mask value equals maskId count.
    void addRow(const uint8_t *const *bands, int dx, const uint8_t *mask, int maskId);
    void addRow(const float *const *bands, int dx, const uint8_t *mask, int maskId);

    void finish();  // folds the last, partial batch

    int64_t count() const { return count_; }
    const double *mean() const { return mean_.get(); }        // n running means
    const double *product() const { return product_.get(); }  // running mean products (triangle)

    // Pools the samples into the item: Empty when there were none (the item is
    // untouched), Failed when the pooled pixel count would not fit the item.
    PoolResult poolInto(const StatItem &item) const;

private:
    int selectRow(const uint8_t *mask, int dx, int maskId);
    void fold();

    int n_ = 0, samples_ = 0, pairs_ = 0;
    int64_t count_ = 0;  // N: samples folded into the running values
    int64_t batch_ = 0;  // k: samples in the batch
    GmemArray<double> mean_, product_, sum_, batchProduct_;
    GmemArray<int32_t> positions_;  // offsets of the row's selected samples (S + 1)
    GmemArray<int16_t> wide_;       // n planes of S: the kept byte samples, packed
    GmemArray<float> real_;         // n planes of S: the kept real samples, packed
};

}  // namespace krel
