// Copy transforms of `rimage trans`: subsampling, block sums and means, and
// principal components (forward and back) with the vectors of an EIGENID
// file, in double precision.
#pragma once

#include <vector>

#include "analysis/feature.h"

namespace krel {

// The vectors of an EIGENID file ready for projecting: the file's bands
// (0-based image bands), the means, and per component the weights applied
// to the bands (divided by the standard deviation when the file is
// normalised) and the stored vector as used to rebuild the bands (times the
// standard deviation).
struct EigenBasis {
    std::vector<int> bands;
    std::vector<double> mean;
    std::vector<std::vector<double>> weights, rebuild;
};

// Checks an EIGENID block (it is untrusted: bands the image lacks, no
// vector, values that are not finite, a variance of zero or less in a
// normalised file) and fills `basis`; false when it cannot be used.
bool eigenBasis(const FeatureBlock *block, int imageBands, EigenBasis *basis);

// Parses the -pc list (items "k" or "k1-k2", 1-based, k1 <= k2 <= count,
// separated by commas, semicolons or blanks) into 0-based components.
bool parseComponents(const char *text, int count, std::vector<int> *components);

// out[j] = offset + sum_b w[b] * x[b][j] over `bands` rows of `n` values.
void projectRow(const double *const *x, const double *w, int bands, double offset, int n, double *out);

// Sums of `dx` columns at a time of `n` values into ceil(n / dx) sums,
// added to `sums`.
void addColumnGroups(const double *row, int n, int dx, double *sums);

}  // namespace krel
