// Whole band lines between the line cache and the work rows of the transform
// modules. BYTE and FLOAT lines (the common cases) go straight through the
// cached line; other pixel types use the converting readers and writers of
// the image store.
#pragma once

#include "image/ramimage.h"

namespace krel {

// Reads `count` values of a band line from column `first` into `out`. False
// when the line cannot be had, with `out` zero-filled.
bool readRowSingles(RamImage *img, int row, int band, int first, int count, float *out);
bool readRowDoubles(RamImage *img, int row, int band, int first, int count, double *out);

// Writes `count` values into a band line from column `first`, converted to
// the image's pixel type (integers rounded and clamped by the store's writer).
void writeRowSingles(RamImage *img, int row, int band, int first, int count, const float *values);
void writeRowDoubles(RamImage *img, int row, int band, int first, int count, const double *values);

}  // namespace krel
