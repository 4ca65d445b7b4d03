#include "display/gimg_table.h"

namespace krel {

// No gimg image type is part of this build yet: the table is empty.
void appendGimgNames(Tcl_Interp *) {}

}  // namespace krel
