// The package's process-wide record, its version, the stubs set-up of an
// interpreter and the script variables every interpreter of the package gets
// (home directory, application and console scripts). The entry points and
// the registration sequence are in package/package.h.
#pragma once

#include <string>
#include <vector>

#include <tcl.h>
#include <tk.h>

#include "core/export.h"
#include "core/version.h"

namespace krel {

struct PackageState {
    int initDone = 0;
    int winmsgRunning = 0;
};
PackageState &packageState();

// Initialises the stubs tables for an entry point. Tk's table is set up when
// the interpreter has Tk; `hasTk` tells whether it did.
int initStubs(Tcl_Interp *interp, bool *hasTk = nullptr);
bool interpHasTk(Tcl_Interp *interp);

// The home directory: $gimgHome, else $env(GHOME), $krelHome, $env(KREL),
// else the working directory; whichever is found is stored in gimgHome.
const char *getHomeDir(Tcl_Interp *interp);

// The script variables of an interpreter: gimgHome, krelAppScripts and
// krelConScripts, with their defaults where a variable is unset.
struct ScriptVars {
    std::string home, apps, cons;
};
ScriptVars readScriptVars(Tcl_Interp *source);
void applyScriptVars(const ScriptVars &vars, Tcl_Interp *target);
// Both at once; the source and the target may be the same interpreter.
void setAppScriptVars(Tcl_Interp *source, Tcl_Interp *target);

}  // namespace krel
