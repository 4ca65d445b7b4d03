// The rimage command's entry point and helpers shared with other commands.
#pragma once

#include <tcl.h>

#include "core/export.h"

KREL_API int Rimg_Init(Tcl_Interp *interp);

namespace krel {

// Creates the `rimage` command. The exported Rimg_Init, which belongs to the
// package's entry points, also fills the module table first.
int registerRimageCommand(Tcl_Interp *interp);

// Reads a data range "@cols,rows,bands" over an image of the given size into
// range[6] (first and last column, row, band, counted from 0; a pair may be
// reversed). False when a part is malformed or out of range.
bool parseDataRange(const char *text, int columns, int rows, int bands, int range[6]);

}  // namespace krel
