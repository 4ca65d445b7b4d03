// `calc makefft in=IN out=OUT b=BAND op=OPT`: the Fourier transform of one
// image band into a new FFT file. What the module prints is its answer; the
// command always succeeds with an empty result.
#include "script/calc.h"

#include "image/modules.h"

namespace krel {

int calcMakefft(Tcl_Interp *interp, int argc, const char **argv)
{
    findModule("makefft")("calc makefft", argc - 2, argv + 2);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

}  // namespace krel
