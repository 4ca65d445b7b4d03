// Option parsing of the processing modules: option tables, the pair parser
// and the band-list parser.
#pragma once

#include <vector>

#include "image/imagedef.h"

namespace krel {

// One entry of a module's option table; the table ends with a null name.
struct ModuleOption {
    const char *name;
    const char *value;  // null when the option was not given
};

// Clears the values, then stores (name, value) pairs into the first unset
// entry of that exact name. Returns the number of unknown pairs: names that
// match no unset entry and a final name without value.
int parseModuleArgs(ModuleOption *table, int argc, const char *const *argv);

// The value of a named option, or null.
const char *moduleOption(const ModuleOption *table, const char *name);

// Numbers as modules read them: the C library's conversions, 0 for text.
int optionInt(const char *value, int fallback);
double optionDouble(const char *value, double fallback);

struct BandPair {
    int in;   // input band, counted from 1
    int out;  // output band, counted from 1 (the input band when not given)
};

constexpr int kMaxBandItems = 8192;

// Parses "i1[:o1];i2[:o2];..." (items separated by ";", "," or blanks).
// Returns false on a malformed item or too many items. Bands count from 1;
// with `allowIndex` a band may also be 0, naming the colour index of a
// palette image.
bool parseBandList(const char *text, std::vector<BandPair> *out, bool allowIndex = false);

// The window of the copying modules (copy, trans) from the texts of -ic, -ir,
// -oc, -or, -r and -c (null when absent). A negative start on one side moves
// the other side's start instead; rows and columns count output pixels and
// default to the output's end; the input extent (ri rows, ci columns, taken
// every dy-th row and dx-th column) is cut to both images.
struct ModuleWindow {
    long ic, ir, oc, orow;  // starts
    long rows, cols;        // output rows and columns to write
    long ri, ci;            // input rows and columns read
    int dx, dy;
};
ModuleWindow moduleWindow(const ModuleOption *table, const ImageDef &in, const ImageDef &out, int dx, int dy);

}  // namespace krel
