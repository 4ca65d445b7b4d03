// Shared pieces of the processing modules: holding images for one run,
// opening inputs and creating outputs, reading band lines as numbers,
// progress and the update flag.
#pragma once

#include <cstdint>
#include <functional>
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

// Changes a copy of the input's definition into the definition of a new
// output; false refuses the creation.
using OutputDefChange = std::function<bool(ImageDef &def)>;

// Which palette a new output keeps when its definition is completed: the
// input's (when the index count and pixel type stay those of the input), the
// one the change set (when the change keeps its own index count), or none (a
// grey ramp for colour index images).
enum class OutputPalette { Input, Changed, Ramp };

// Creates a new output named `outName` from a copy of `inDef`: the file name
// is set and the record size recomputed (block 0), then `change` applies the module's own changes, and the definition is
// completed (keeping the palette `keep` names) and created. Null on failure:
// *error holds the creation's error, and is left as it was when the change or
// the completion refused the definition.
RamImage *createOutputFrom(const ImageDef &inDef, const char *outName, const OutputDefChange &change,
                           OutputPalette keep, int *error);

// The change of a one-band BYTE DIB class image (256 colour indices), with
// `palette` (256 RGB triples) or the grey ramp when null.
OutputDefChange classOutputDef(const uint8_t (*palette)[3]);

// A new one-band BYTE DIB class output from a copy of the input's definition
// (the output classify, dist and gisoc create), with `palette` or the grey ramp.
RamImage *createClassOutput(const ImageDef &inDef, const char *outName, const uint8_t (*palette)[3], int *error);

// The parts of a new output's definition that make it a file of its own: no
// descriptor of the input's, a header, and a file format (a memory format
// becomes BSQ).
void fileOutputDef(ImageDef &def);
// The same for an output of computed values: never a colour index image,
// nor a transparent value.
void valueOutputDef(ImageDef &def);

// The output type options -imgid, -pixel and -nbands of a module's table
// applied to a new output's definition; false when one names no known
// format or pixel type, or no positive band count.
bool outputTypeOptions(ImageDef &def, const ModuleOption *table);

// Which step of openOrCreateOutput failed: opening the existing image or
// creating a new one.
enum class OutputStep { Open, Create };

// Opens `name` as an existing image (tag and file name); when there is none
// and no file of that name, creates it with createOutputFrom. A file that
// exists but cannot be opened is not overwritten: its open error is the one
// reported in *error. On failure *step, when given, says which step failed.
RamImage *openOrCreateOutput(const char *name, const ImageDef &inDef, const OutputDefChange &change,
                             OutputPalette keep, int *error, OutputStep *step = nullptr);

// openOrCreateOutput reporting its failure as reportOpenError does: with
// `createFormat` when creating the output failed (`openFormat` when null),
// with `openFormat` when opening it did.
RamImage *openModuleOutput(const char *name, const ImageDef &inDef, const OutputDefChange &change, OutputPalette keep,
                           const char *openFormat, const char *createFormat = nullptr);
// The same for a class output (createClassOutput).
RamImage *openClassOutput(const char *name, const ImageDef &inDef, const uint8_t (*palette)[3], const char *openFormat);

// Prints `format` with the name, then the image error text on its own line
// when there is one (standard error).
void reportOpenError(const char *format, const char *name, int error);

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
