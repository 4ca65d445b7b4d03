// The option table of image definitions, shared by `rimage configure`,
// `cget`, `create` and `open ... options`. It works with or without Tk.
#pragma once

#include <tcl.h>

#include "image/imagedef.h"

namespace krel {

// Applies option/value pairs to `def`. On any refusal the interpreter result
// names the bad value, `def` is left as it was and TCL_ERROR is returned.
int applyDefOptions(Tcl_Interp *interp, ImageDef *def, int argc, const char *const *argv);

// Query forms in the manner of Tk's configure: all options as
// {-name name Name default value} lists, or one option's list.
int describeDefOptions(Tcl_Interp *interp, const ImageDef &def, const char *option);
// The value of one option (cget).
int defOptionValue(Tcl_Interp *interp, const ImageDef &def, const char *option);

// Applies the table's defaults to `def`.
void applyDefOptionDefaults(ImageDef *def);

// Checks and completes a definition after options were applied: colour
// index counts, per-format band/pixel rules, bits, block and the grey ramp.
// Refusals leave `def` unchanged, set the result and return TCL_ERROR.
// `before` (the definition the options were applied to, if any) keeps an
// existing palette when the index count stays the same.
int validateImageDef(Tcl_Interp *interp, ImageDef *def, const ImageDef *before = nullptr);

}  // namespace krel
