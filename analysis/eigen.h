// Principal components of one stat item: power iteration with deflation
// (`calcEV`) and the body of the `egv` module, which writes an EIGENID
// feature file. Nothing here needs an image, so the module wrapper only parses
// its options and prints the usage.
#pragma once

#include "analysis/feature.h"

namespace krel {

// Finds the dominant eigenvalue of the packed symmetric matrix `tri` (n x n)
// by power iteration from (1, 0, ..., 0), stores its unit eigenvector in `x`
// (n values) and removes it from `tri` (A -= lambda x x^T). Stops when both
// the vector change and the eigenvalue change are at most `eps`, or after
// `maxIter` iterations. Returns 1 with the eigenvalue in `*lambda`, 0 after
// "Error of malloc in calcEV.\n".
int calcEV(double *tri, double *x, int n, double eps, int maxIter, double *lambda);

// Option values of `egv` as given (null when absent).
struct EgvOptions {
    const char *in = nullptr, *out = nullptr, *stat = nullptr, *id = nullptr;
    const char *negvs = nullptr, *o = nullptr, *iter = nullptr, *err = nullptr;
};

void egvUsage(const char *program);
// Runs `egv` once the options are parsed: 1 done, 0 failed (message printed).
int egvRun(const EgvOptions &options);

}  // namespace krel
