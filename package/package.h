// The package entry: the entry points, the registration order of the
// subsystems, the application start-up, the exit handler and the panic
// procedure. This is the one place that sees every layer of the package.
#pragma once

#include <tcl.h>

#include "core/export.h"

KREL_API int Krel_Init(Tcl_Interp *interp);
KREL_API int Console_Init(Tcl_Interp *interp);

namespace krel {

int initPackageCore(Tcl_Interp *interp);
int registerSubsystems(Tcl_Interp *interp);
int initApplication(Tcl_Interp *interp);
int reclassTkChild(Tcl_Interp *interp);
int patchConsole(Tcl_Interp *interp);
void packageExitHandler(ClientData);
[[noreturn]] void consolePanic(const char *format, ...);

}  // namespace krel
