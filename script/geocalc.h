// calc geocalc: least-squares polynomial fits of ground control points, as
// a Tcl command over a list of records and as a console program over the
// process-wide GCP store.
#pragma once

#include <string>
#include <vector>

#include <tcl.h>

#include "image/geopoly.h"

namespace krel {

// The GCP store of the process: the console program edits it, and the last
// `calc geocalc -data` leaves its records and residuals in it.
struct GeocalcState {
    std::vector<Gcp> gcps;
    bool fitted = false;  // `last` holds the console's latest fit
    GeoPoly last;
};
GeocalcState &geocalcState();

// The console program; returns when it is told to quit or its input ends.
void runGeocalcConsole(Tcl_Interp *interp);

// The console's report of a failed fit ("Not enough GCPs !" and kin).
const char *fitFailureText(FitStatus status);

}  // namespace krel
