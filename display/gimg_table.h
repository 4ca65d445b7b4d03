// The table of gimg images of the process, listed by `gimg names`.
#pragma once

#include <tcl.h>

namespace krel {

// Appends the name of every existing gimg image, each followed by a blank.
void appendGimgNames(Tcl_Interp *interp);

}  // namespace krel
