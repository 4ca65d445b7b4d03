// Supervised classification: the class model built from a STATFTUR file, the
// four decision rules over lines of pixels, the BAYES priors and the class
// palette. The `classify` module opens its images, checks its options with
// the helpers below, then runs
//
//   ClassModel model;
//   if (!model.create(stat, bands.data(), n, rule, tshd)) fail;
//   classPalette(model, inBits, summaries, palette, nindices);   // when nindices > 0
//   if (rule == RULE_BAYES) {                                     // calcPrior
//       for each row: read the n selected bands as singles; model.priorLine(rows, C);
//       model.finishPrior();
//   }
//   for each row i: read rows (band b of the list at rows[b], C singles from IC);
//                   model.classifyLine(rows, C, out); write `out` to band OB at row OR+i from OC
//
// reading and writing through the image store on the Tcl thread, with the
// meter and the status poll between rows.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/buffer.h"
#include "analysis/feature.h"
#include "image/module_prologue.h"

namespace krel {

enum ClassRule { RULE_EUCLIDEAN = 1, RULE_PARALLELPIPE = 2, RULE_MAHALANOBIS = 3, RULE_BAYES = 4 };

// -o: a non-empty upper-case prefix of EUCLIDEAN, PARALLELPIPE, MAHALANOBIS or
// BAYES (tested in that order); absent means EUCLIDEAN. False after
// "Unknown option: %s\n".
bool classifyRule(const char *op, int *rule);

// The input band list (0-based image bands) from -ib, or from the stat file's
// band list when -ib is absent or does not start with a digit. False after
// "Illegal band number.\n", "Duplicated input band.\n" or
// "Input band %d is not found in features.\n".
bool classifyBands(const char *ib, int imageBands, const FeatureBlock *stat, std::vector<int> *bands);

// The processed window, from -ir -ic -or -oc -r -c (windowOptions; null
// texts when absent): the starts checked in order, the counts (default: the
// input's rows and columns) cut to both images.
using ClassWindow = ModuleWindow;
bool classifyWindow(int inRows, int inCols, int outRows, int outCols, ClassWindow *window);
bool classifyWindow(int inRows, int inCols, int outRows, int outCols, const char *ir, const char *ic, const char *orow,
                    const char *oc, const char *r, const char *c, ClassWindow *window);

// Row buffers of a classification pass: one line of singles per band and one
// output line. False after "Error in gmemAlloc: WHO\n".
struct ClassLines {
    GmemArray<float> data;
    GmemArray<float *> rows;
    GmemArray<int32_t> out;
    bool allocate(int bands, int columns, const char *who);
};

class ClassModel {
public:
    // createClusters: copies the class means of the selected bands (0-based
    // image bands, each looked up in the stat file's band list) and, for
    // MAHALANOBIS and BAYES, inverts every class covariance. `tshd` is the
    // threshold for unknowns; the rules compare against its square.
    bool create(const FeatureBlock *stat, const int *bands, int n, int rule, double tshd);

    int classes() const { return k_; }
    int bands() const { return n_; }
    int rule() const { return rule_; }
    float threshold() const { return threshold_; }  // TSHD squared
    const float *mean(int k) const { return means_.get() + static_cast<size_t>(k) * n_; }
    const float *inverse(int k) const { return inverses_.get() + static_cast<size_t>(k) * n_ * n_; }
    float logDet(int k) const { return logDet_[k]; }
    float prior(int k) const { return priors_[k]; }
    const int64_t *hits() const { return hits_.get(); }  // per class, K values

    // Decides `columns` pixels: band b of the list supplies rows[b][0..columns-1].
    // Writes 0..K-1 for a classified pixel and K for an unknown one, and counts
    // the classified pixels in hits(). The 8-bit form saturates at 255.
    void classifyLine(const float *const *rows, int columns, int32_t *out);
    void classifyLine(const float *const *rows, int columns, uint8_t *out);

    // calcPrior: the PARALLELPIPE pass over every pixel counts hits; then
    // finishPrior turns them into 2 ln(hits_k / total) (0 for a class without
    // hits) and clears the hits.
    void priorLine(const float *const *rows, int columns);
    void finishPrior();

    // Pixels shared out among models of the same file and rule (one per
    // thread): moves another model's hits into this one, and copies the
    // finished priors of another model.
    void takeHits(ClassModel &other);
    void copyPriors(const ClassModel &other);

private:
    void decide(int rule, const float *const *rows, int columns, int32_t *out, uint8_t *narrow);

    int rule_ = RULE_EUCLIDEAN, k_ = 0, n_ = 0;
    float threshold_ = 100.0f;
    GmemArray<float> means_, variances_, inverses_, logDet_, priors_;
    GmemArray<int64_t> hits_;
    GmemArray<float> scratch_;  // per chunk: x - m for every band, and one row of partial sums
};

// One colour of a palette.
struct PaletteColour {
    uint8_t red = 0, green = 0, blue = 0;
};
// Mean, standard deviation, minimum and maximum of one band over the image.
struct BandSummary {
    double mean = 0.0, sd = 0.0, min = 0.0, max = 0.0;
};

// The class palette: entries 0..K-1 show each class in the colour of its
// mean over the first min(n, 3) selected bands (stretched through
// `summaries` of those bands when the input has more than 8 bits), entries
// K..nindices-1 are black. With two bands the blue of the class entries is
// left as it was.
void classPalette(const ClassModel &model, int bits, const BandSummary *summaries, PaletteColour *palette,
                  int nindices);
// The same rule over `classes` means of `n` values each (row-major): the
// colours of cluster maps.
void classPalette(const float *means, int classes, int n, int bits, const BandSummary *summaries,
                  PaletteColour *palette, int nindices);

void classifyUsage(const char *program);

}  // namespace krel
