// The `etran` command over the expression engine (script/etran.h).
#pragma once

#include <tcl.h>

namespace krel {

int registerEtranCommand(Tcl_Interp *interp);

}  // namespace krel
