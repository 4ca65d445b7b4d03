// The `calc` utility command.
#pragma once

#include <cstdint>

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

// Control-point fits and their console program (geocalc_cmd.cpp).
int calcGeocalc(Tcl_Interp *interp, int argc, const char **argv);
// Camera geometry (calc_fplane.cpp).
int calcFplane(Tcl_Interp *interp, int argc, const char **argv);
int calcXyzRotate(Tcl_Interp *interp, int argc, const char **argv);
int calcRefImgCoord(Tcl_Interp *interp, int argc, const char **argv);
// Correlation of number lists (calc_correl.cpp).
int calcCorrel(Tcl_Interp *interp, int argc, const char **argv);
// System probes (calc_system.cpp).
int calcFreeDisk(Tcl_Interp *interp, int argc, const char **argv);
int calcGalloc(Tcl_Interp *interp, int argc, const char **argv);
int calcGfree(Tcl_Interp *interp, int argc, const char **argv);
int calcHandles(Tcl_Interp *interp, int argc, const char **argv);
int calcLoadTime(Tcl_Interp *interp, int argc, const char **argv);
int calcMalloc(Tcl_Interp *interp, int argc, const char **argv);
int calcMemory(Tcl_Interp *interp, int argc, const char **argv);
int calcMemid(Tcl_Interp *interp, int argc, const char **argv);
int calcPanic(Tcl_Interp *interp, int argc, const char **argv);
int calcStime(Tcl_Interp *interp, int argc, const char **argv);
// Console helpers (calc_console.cpp).
int calcClrscr(Tcl_Interp *interp, int argc, const char **argv);
int calcFgets(Tcl_Interp *interp, int argc, const char **argv);
int calcGotoxy(Tcl_Interp *interp, int argc, const char **argv);
int calcTest(Tcl_Interp *interp, int argc, const char **argv);

// The allocation probe: twice, from nothing, a block one step larger than the
// last until `size`; whether the second pass reached it.
bool probeAllocation(uint64_t size, uint64_t step);

// Numeric words are read by their leading number; no number reads as 0.
double leadingDouble(const char *word);
long leadingLong(const char *word);

}  // namespace krel
