// Package entry: the process-wide record of the extension core, the entry
// points and the registration sequence.
#pragma once

#include <tcl.h>
#include <tk.h>

#include "core/export.h"
#include "core/version.h"

KREL_API int Krel_Init(Tcl_Interp *interp);
KREL_API int Console_Init(Tcl_Interp *interp);
KREL_API int Calc_Init(Tcl_Interp *interp);

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

const char *getHomeDir(Tcl_Interp *interp);
void setAppScriptVars(Tcl_Interp *source, Tcl_Interp *target);
int initPackageCore(Tcl_Interp *interp);
int registerSubsystems(Tcl_Interp *interp);
int initApplication(Tcl_Interp *interp);
int reclassTkChild(Tcl_Interp *interp);
int patchConsole(Tcl_Interp *interp);
void packageExitHandler(ClientData);
void consolePanic(const char *format, ...);

}  // namespace krel
