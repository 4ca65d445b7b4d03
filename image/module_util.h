// Shared pieces of the processing modules: holding images for one run,
// reading band lines as numbers, progress and the update flag.
#pragma once

#include <cstdint>
#include <vector>

#include "image/modargs.h"
#include "image/ramimage.h"
#include "image/registry.h"

namespace krel {

// Modules hold their inputs and outputs like every other C-level holder.
using ModuleImage = ImageHold;

// Opens an input by tag and file name, printing "<what> <name>.\n" and the
// error text on failure.
RamImage *openModuleInput(const char *name, const char *errorFormat);

// Reads `count` values of a band line from `first`, every `step`-th, as
// floats or bytes (bytes clamp to 0..255). False when the line is missing, with
// `out` zero-filled.
bool readLineValues(RamImage *img, int row, int band, int first, int count, int step, float *out);
bool readLineBytes(RamImage *img, int row, int band, int first, int count, int step, uint8_t *out);
bool readLineDoubles(RamImage *img, int row, int band, int first, int count, int step, double *out);

// Copies `count` stored values of a band line from `first`, every `step`-th,
// into `out` as they are (`size` bytes each: images of more than 8 bits a
// pixel). False when the line is missing, with `out` zero-filled.
bool readLineStored(RamImage *img, int row, int band, int first, int count, int step, int size, uint8_t *out);

// Writes `count` stored values into a band line from `first`; the number written.
int putLineStored(RamImage *img, int row, int first, int count, int band, int size, const uint8_t *values);

// The meter protocol of long loops: call step(i, n) after unit i of n.
struct MeterProgress {
    const char *name;
    float threshold;
    void step(long i, long n);
    void finish();
};

// Rewrites the palette stored in an image's file (DIB, TIFF): the format's
// writer status, 0 for formats that keep no palette in the file.
int writeFilePalette(RamImage *img);

// Applies the update flag to an output written by a module.
void applyUpdateFlag(RamImage *out, int flag, const std::vector<int> &bandsWritten);

// The band pairs of a module's -b option, checked against the bands of both
// images; without the option (null) band i goes to band i as far as both
// have it. A bad list prints "Invalid band specification.\n" or "Error in
// band params.\n" and gives false.
bool moduleBandPairs(const char *spec, int inBands, int outBands, std::vector<BandPair> *pairs);

}  // namespace krel
