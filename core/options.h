// Option converters for the package's configuration records. Each converter
// parses a value into its record field (leaving the field unchanged and an
// "Invalid value: ..." result on refusal) and prints the field back. The Tk
// custom-option wrappers let Tk configuration tables use them.
#pragma once

#include <cstdint>
#include <string>

#include <tcl.h>
#include <tk.h>

namespace krel {

// Name code options (-pixel, -imgid, -mapid, func, range): the client data of
// the custom option.
struct NameCodeOption {
    const char *optionName;
    int (*toCode)(const char *word);  // -1 when the word is not a name
    const char *(*toName)(int code);
};

// A palette field: "default" is {-1,0,0,0}; n is {n,0,0,0}; a/b/c is {0,a,b,c}.
struct PaletteSpec {
    int32_t v[4];
};

// A band combination: count then up to three values.
struct BandComb {
    int32_t count;
    int32_t band[3];
};

int parseNameCode(Tcl_Interp *interp, const NameCodeOption &opt, const char *value, int32_t *field);
std::string printNameCode(const NameCodeOption &opt, int32_t field);

int parseFileName(Tcl_Interp *interp, const char *optionName, const char *value, char field[256]);

int parsePalette(Tcl_Interp *interp, const char *optionName, const char *value, PaletteSpec *field);
std::string printPalette(const PaletteSpec &field);

int parseBandComb(Tcl_Interp *interp, const char *optionName, const char *value, BandComb *field);
std::string printBandComb(const BandComb &field);

// Tk custom options; the client data is the name-code record, or for the
// band combination the option name as a const char*.
Tk_CustomOption makeNameCodeOption(const NameCodeOption *opt);
Tk_CustomOption makeBandCombOption(const char *optionName);

}  // namespace krel
