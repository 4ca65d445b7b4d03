#include "core/tclutil.h"

#include "core/runtime.h"

namespace krel {

CurrentInterp::CurrentInterp(Tcl_Interp *interp) : previous_(setCurrentInterp(interp)) {}
CurrentInterp::~CurrentInterp() { setCurrentInterp(previous_); }

}  // namespace krel
