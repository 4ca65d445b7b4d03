// The one-dimensional Fourier transform of the frequency-domain modules: a
// radix-2 complex transform of N = 2^k single-precision values, applied to a
// batch of sequences at once.
//
// Conventions of the FFT files: the forward transform is unscaled with
// e^{+2 pi i ux/N}; the inverse uses e^{-2 pi i ux/N} and divides by N. A
// forward result is stored shifted by half the length (element j holds bin
// (j + N/2) mod N, so element N/2 is the zero frequency); the inverse takes
// its input in that order.
//
// Batch layout: `lanes` sequences side by side, element k of lane b at
// re[k * lanes + b] (im likewise), so the arithmetic runs over contiguous
// lanes and vectorises. Callers transpose rows into this layout; columns of a
// row-major block are in it already.
#pragma once

#include <cstddef>

#include "analysis/buffer.h"

namespace krel {

class FFTPlan {
public:
    // False for a length that is not a power of two (1 .. 2^30) or when the
    // tables cannot be allocated.
    bool init(int n);
    int size() const { return n_; }

    // Transforms in place, natural order in and out: sign +1 forward
    // (unscaled), -1 backward (unscaled).
    void transform(float *re, float *im, int lanes, int sign) const;

    // The file conventions: forward = shifted output of the +1 transform;
    // inverse = the -1 transform of shifted input, divided by N.
    void forwardShifted(float *re, float *im, int lanes) const;
    void inverseShifted(float *re, float *im, int lanes) const;

    // The pieces, for callers that fold the reordering into their loads:
    // element k belongs at position bitReversal()[k]; butterflies() then
    // completes the transform of such reordered input.
    const int *bitReversal() const { return rev_.get(); }
    void butterflies(float *re, float *im, int lanes, int sign) const;
    // Multiplies element x by (-1)^x * scale (the half-length shift seen
    // from the other domain).
    void alternate(float *re, float *im, int lanes, float scale) const;

private:
    int n_ = 0;
    int log2n_ = 0;
    GmemArray<float> cos_, sin_;  // e^{2 pi i k / N}, k < N/2, from double cos and sin
    GmemArray<int> rev_;          // bit reversal of k
};

// Lanes the modules transform together: 16 lanes of 4096 complex values are
// 512 KiB, which stays in the second-level cache.
constexpr int kFFTLanes = 16;

}  // namespace krel
