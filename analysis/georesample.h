// Resampling through a fitted polynomial: the source position in the input
// of every output pixel, the input window a block of output pixels needs,
// the split of an output region into blocks of bounded windows, and the
// nearest-neighbour and bilinear kernels. Plain C++ over buffers.
//
// Output pixel (column c, row r) is mapped to the point u = au + su c,
// v = av + sv r at which the polynomial is evaluated (the pixel's map
// coordinates or its column and row, less the means of X1 and Y1); the
// polynomial gives the source column x and row y in the input, whose pixel
// centres lie at integers. A source is inside the input when
// -0.5 <= x < columns - 0.5 and -0.5 <= y < rows - 0.5.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/geopoly.h"

namespace krel {

struct GeoSampler {
    GeoPoly poly;
    double au = 0, su = 1, av = 0, sv = 1;
    int inCols = 0, inRows = 0;
};

// The polynomial along one output row, as coefficients of u^0 .. u^degree.
struct RowPoly {
    int degree = 0;
    double x[kMaxGeoOrder + 1];
    double y[kMaxGeoOrder + 1];
};
void rowPoly(const GeoSampler &s, int row, RowPoly *p);

// Input pixels [x0, x0 + cols) x [y0, y0 + rows); empty when cols or rows is 0.
struct SourceWindow {
    int x0 = 0, y0 = 0, cols = 0, rows = 0;
    size_t samples() const { return static_cast<size_t>(cols) * static_cast<size_t>(rows); }
};

// The window of the input that holds every source position of the output
// pixels [r0, r0 + rows) x [c0, c0 + cols) and its bilinear neighbours,
// within the input.
SourceWindow sourceWindow(const GeoSampler &s, int r0, int c0, int rows, int cols);

// Whether the sources of every output pixel (c0 .. c0 + cols, row) lie
// inside the input (so that the pixels' old values are not needed).
bool rowAllInside(const GeoSampler &s, int row, int c0, int cols);

struct OutputBlock {
    int r0, c0, rows, cols;
    SourceWindow window;
};

// Splits an output region into blocks, halving rows (and the columns of
// single rows) until a block's window holds at most maxBytes at sampleSize
// bytes a sample.
std::vector<OutputBlock> planBlocks(const GeoSampler &s, int r0, int c0, int rows, int cols, int sampleSize,
                                    size_t maxBytes);

// Fills out[0 .. n) for the output pixels (c0 .. c0 + n, row): each pixel
// whose source lies inside the input gets the nearest sample or the
// bilinear value (neighbours clamped to the input); the others keep their
// value. `window` holds the samples of `w`, row by row.
void resampleRow(const GeoSampler &s, int row, int c0, int n, const uint8_t *window, const SourceWindow &w,
                 bool bilinear, double *out);
void resampleRow(const GeoSampler &s, int row, int c0, int n, const float *window, const SourceWindow &w,
                 bool bilinear, double *out);
// Byte samples into a byte image: bilinear values rounded half up.
void resampleRow(const GeoSampler &s, int row, int c0, int n, const uint8_t *window, const SourceWindow &w,
                 bool bilinear, uint8_t *out);

}  // namespace krel
