#include "core/tclutil.h"

#include "core/runtime.h"

namespace krel {

static thread_local CurrentInterp *innermostGuard = nullptr;

CurrentInterp::CurrentInterp(Tcl_Interp *interp) : previous_(setCurrentInterp(interp)), outer_(innermostGuard)
{
    innermostGuard = this;
}

CurrentInterp::~CurrentInterp()
{
    innermostGuard = outer_;
    setCurrentInterp(previous_);
}

void CurrentInterp::forget(Tcl_Interp *interp)
{
    if (currentInterp() == interp) setCurrentInterp(nullptr);
    for (CurrentInterp *g = innermostGuard; g; g = g->outer_)
        if (g->previous_ == interp) g->previous_ = nullptr;
}

}  // namespace krel
