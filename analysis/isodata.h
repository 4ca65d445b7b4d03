// ISODATA clusters: the leader step, the update of the means and the
// acceleration of the clustering module, over class means kept in memory and
// written to ISOFEATU feature blocks.
//
// Distances are measured in units of each band's standard deviation:
// d_k = sum_b ((x_b - mean_kb) / sigma_b)^2, compared with the excluding
// distance D and the instant-acceptance distance 0.2 D as they are. A pixel
// joins the first class below 0.2 D, else the first class of smallest d; with
// creation on, a best d above D founds a new class (up to the maximum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/feature.h"

namespace krel {

class IsoClusters {
public:
    // n bands, at most maxClasses (1..256) classes; sigma per band (zero
    // becomes 3.4028235e38); excluding distance D.
    void init(int n, int maxClasses, const double *sigma, double dis);

    int bands() const { return n_; }
    int classes() const { return nc_; }
    int maxClasses() const { return ncMax_; }
    double dis() const { return dis_; }
    const float *mean(int k) const { return mean_.data() + static_cast<size_t>(k) * n_; }
    const float *means() const { return mean_.data(); }
    int64_t samples(int k) const { return samples_[k]; }
    double count(int k) const { return count_[k]; }

    // Appends a class with mean x and the given samples; its index, or -1 when full.
    int addClass(const float *x, int64_t samples);
    void clear();

    // The class the leader step picks among classes from..nc-1 for a pixel
    // whose scaled values (x / sigma) are y, starting from the best so far
    // (*best, *k; *instant tells the search is over).
    void search(const float *y, int from, float *best, int *k, bool *instant) const;

    // Bulk search over classes 0..K-1 for m pixels given band-major scaled
    // rows y[b * stride + j]: best distance, class and instant flag per pixel.
    void searchMany(const float *y, size_t stride, int m, int K, float *best, int *k, uint8_t *instant) const;

    // The leader step for one pixel of raw values x (weight w): the search
    // (continuing from a bulk result when given), the new class when allowed,
    // then x joins the chosen class. Returns the class.
    int leader(const float *x, double w, bool create, float best = 3.4028235e38f, int k = -1, bool instant = false,
               int from = 0);

    // Scales raw values: y_b = x_b / sigma_b.
    void scale(const float *x, float *y) const;
    void scaleRow(int band, const float *x, float *y, int m) const;

    struct UpdateResult {
        double rms = 0, cvRms = 0, wcv = 0, total = 0;
    };
    // The update after a pass: new means, their shifts, RMS, cvRMS, wcv;
    // classes without pixels are removed unless `keepEmpty`; samples take
    // the counts, counts and sums are cleared.
    UpdateResult update(bool keepEmpty);
    // isoSpeed: with wcv above 0.5 every mean moves a further half of its shift.
    void speed(double wcv);

    // The ISOFEATU block of the classes (bands, RMS, DIS, total, source text).
    FeatureBlock *toBlock(const int32_t *bands, double rms, double total, const char *source) const;
    // Seeds the classes from an ISOFEATU block; false when it holds no class,
    // more than the maximum, or means that are not finite.
    bool fromBlock(const FeatureBlock *block);

    // The raw squared distance between a class mean and raw values.
    double rawDistance(int k, const float *x) const;

private:
    int n_ = 0, ncMax_ = 1, nc_ = 0;
    double dis_ = 1, inst_ = 0.2;
    std::vector<float> invSigma_, mean_, scaled_, dmean_, srmd2_;
    std::vector<double> sum_, count_;
    std::vector<int64_t> samples_;
};

}  // namespace krel
