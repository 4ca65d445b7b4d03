// The `calc` utility command.
#pragma once

#include <tcl.h>

#include "core/export.h"

// Registers `calc` (the package entry calls it; `load ... Calc` too).
KREL_API int Calc_Init(Tcl_Interp *interp);

namespace krel {

// Creates the `calc` command. The exported Calc_Init, one of the package's
// entry points, also fills the module table that `calc egv` runs from.
int registerCalcCommand(Tcl_Interp *interp);

using CalcHandler = int (*)(Tcl_Interp *interp, int argc, const char **argv);

// Script archive subcommands; each receives the whole argument vector.
int calcCompSave(Tcl_Interp *interp, int argc, const char **argv);
int calcDecompLoad(Tcl_Interp *interp, int argc, const char **argv);
int calcCompTest(Tcl_Interp *interp, int argc, const char **argv);
int calcScramble(Tcl_Interp *interp, int argc, const char **argv);
// The Fourier transform module into a new FFT file (`calc makefft`).
int calcMakefft(Tcl_Interp *interp, int argc, const char **argv);

// Numeric words are read by their leading number; no number reads as 0.
double leadingDouble(const char *word);
long leadingLong(const char *word);

}  // namespace krel
