#include "package/package.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/conio.h"
#include "core/console_manager.h"
#include "core/package.h"
#include "core/runtime.h"
#include "core/tclutil.h"
#include "analysis/modules.h"
#include "display/display_state.h"
#include "display/gimg.h"
#include "display/gimg_table.h"
#include "image/rimage.h"
#include "platform/fpu.h"
#include "script/calc.h"
#include "script/etran_cmd.h"

namespace krel {

// ---------------------------------------------------------------------------
// Core initialisation.

// The gimg image type and its table exist once per process; a second call
// does nothing.
static int registerImageTypes(Tcl_Interp *interp) { return registerGimgType(interp); }

int initPackageCore(Tcl_Interp *interp)
{
    PackageState &ps = packageState();
    setAppScriptVars(interp, interp);
    if (Tcl_PkgProvide(interp, "Krel", KREL_VERSION) != TCL_OK) return TCL_ERROR;
    if (ps.initDone) return TCL_OK;

    recordDisplayContext(interp);

    CurrentInterp current(interp);
    int code = registerImageTypes(interp);
    if (code == TCL_OK) {
        Tcl_SetPanicProc(consolePanic);
        platform::maskFloatingPointExceptions();
    }
    return code;
}

// ---------------------------------------------------------------------------
// Registration sequence. A subsystem that is not part of this build has no
// line here; the order of the others is fixed.

namespace {
struct Subsystem {
    const char *name;
    int (*init)(Tcl_Interp *);
};

const Subsystem kSubsystems[] = {
    {"rimage", Rimg_Init},  // 1
    {"calc", Calc_Init},    // 2
    // 3 composite widgets, 4 map display driver
    {"etran", registerEtranCommand},  // 5
    // 6 ddw, 7 MPEG-2, 8 TWAIN, 9 GL windows, 10 dicom, 11 tiff
};
}  // namespace

int registerSubsystems(Tcl_Interp *interp)
{
    for (const Subsystem &s : kSubsystems)
        if (s.init(interp) != TCL_OK) return TCL_ERROR;
    return TCL_OK;
}

static int winmsgCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv)
{
    PackageState &ps = packageState();
    if (argc < 2) {
        Tcl_SetObjResult(interp, Tcl_NewIntObj(ps.winmsgRunning));
        return TCL_OK;
    }
    int n = atoi(argv[1]);
    if (n == 0) {
        ps.winmsgRunning = 0;
        return TCL_OK;
    }
    if (ps.winmsgRunning) return TCL_OK;
    ps.winmsgRunning = 1;
    long handled = 0;
    Preserved keep(interp);
    // X events reach Tk through Tcl's notifier, so one blocking event loop
    // serves both; it ends when `winmsg 0` clears the flag or the
    // interpreter goes away.
    while (ps.winmsgRunning && !Tcl_InterpDeleted(interp)) {
        if (Tcl_DoOneEvent(TCL_ALL_EVENTS)) ++handled;
        while (Tcl_DoOneEvent(TCL_ALL_EVENTS | TCL_DONT_WAIT)) ++handled;
    }
    ps.winmsgRunning = 0;
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("Exit Window's message loop: %ld messages recorded...", handled));
    return TCL_OK;
}

static void winmsgDeleted(ClientData) { packageState().winmsgRunning = 0; }

int initApplication(Tcl_Interp *interp)
{
    Preserved keep(interp);
    // The first interpreter of the process may have had no Tk; the image
    // type then comes with the first one that has.
    if (registerImageTypes(interp) != TCL_OK) return TCL_ERROR;
    if (registerSubsystems(interp) != TCL_OK) return TCL_ERROR;
    if (createGimgCommand(interp) != TCL_OK) return TCL_ERROR;
    if (!Tcl_CreateCommand(interp, "winmsg", winmsgCommand, nullptr, winmsgDeleted)) return TCL_ERROR;
    if (interpHasTk(interp)) Tcl_EvalEx(interp, "wm iconify .", -1, TCL_EVAL_GLOBAL);
    Tcl_ResetResult(interp);
    return Tcl_EvalEx(interp, "foreach s $krelAppScripts {calc decompload [file join $gimgHome $s]}", -1,
                      TCL_EVAL_GLOBAL);
}

// On X11 a GL-capable visual is chosen when a GL window is created, so there
// is no window class to prepare.
int reclassTkChild(Tcl_Interp *) { return TCL_OK; }

void consolePanic(const char *format, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    reportPanic(text);
    // Tcl treats its panic procedure as never returning: going on would run
    // into whatever state made it panic.
    abort();
}

// The Tk console, where there is one: its `console` command's record starts
// with the console interpreter. The manager's own `console` command (an
// application's link to its console) is not it.
int patchConsole(Tcl_Interp *interp)
{
    Tcl_CmdInfo info;
    if (!Tcl_GetCommandInfo(interp, "console", &info) || !info.isNativeObjectProc || info.objClientData == nullptr)
        return TCL_OK;
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    bool isProc = Tcl_EvalEx(interp, "info procs ::console", -1, TCL_EVAL_GLOBAL) == TCL_OK &&
                  Tcl_GetCharLength(Tcl_GetObjResult(interp)) > 0;
    Tcl_RestoreInterpState(interp, state);
    if (isProc) return TCL_OK;
    Tcl_Interp *consoleInterp = *static_cast<Tcl_Interp **>(info.objClientData);
    if (consoleInterp == nullptr) return TCL_OK;
    setCurrentInterp(consoleInterp);
    forgetWhenDeleted(consoleInterp);
    createSetConStdIO(consoleInterp);
    consoleState().consoleStdio = 1;
    reinstallConsoleStdio(consoleInterp);
    if (Tcl_EvalEx(interp, "calc decompload [file join $gimgHome conpatch.lib]", -1, TCL_EVAL_GLOBAL) != TCL_OK &&
        Tcl_EvalEx(interp, "source [file join $gimgHome conpatch.tcl]", -1, TCL_EVAL_GLOBAL) != TCL_OK)
        Tcl_AppendResult(interp, "Failed to patch console!", nullptr);
    return TCL_OK;
}

void packageExitHandler(ClientData)
{
    Tcl_SetPanicProc(nullptr);
    setCurrentInterp(nullptr);
    shutdownConsoleManager();
    deleteAllGimg();
    // The X server reclaims the colours of a client that disconnects, and Tk
    // may already have closed the display: only the table is dropped here.
    forgetPalette();
    packageState().initDone = 0;
}

}  // namespace krel

using namespace krel;

// The rimage command with every module of the build in its table; also the
// entry of the store loaded on its own.
int Rimg_Init(Tcl_Interp *interp)
{
    krel::registerAnalysisModules();
    return krel::registerRimageCommand(interp);
}

// calc, whose egv subcommand is the analysis module of that name.
int Calc_Init(Tcl_Interp *interp)
{
    krel::registerAnalysisModules();
    return krel::registerCalcCommand(interp);
}

int Krel_Init(Tcl_Interp *interp)
{
    if (initStubs(interp) != TCL_OK) return TCL_ERROR;
    Tcl_Interp *previous = setCurrentInterp(interp);
    forgetWhenDeleted(interp);
    reclassTkChild(interp);
    if (initPackageCore(interp) != TCL_OK || initApplication(interp) != TCL_OK) {
        setCurrentInterp(previous);
        return TCL_ERROR;
    }
    PackageState &ps = packageState();
    if (!ps.initDone) {
        Tcl_CreateExitHandler(packageExitHandler, nullptr);
        ps.initDone = 1;
    }
    return TCL_OK;
}

int Console_Init(Tcl_Interp *interp)
{
    if (initStubs(interp) != TCL_OK) return TCL_ERROR;
    ConsoleHooks hooks;
    hooks.registerSubsystems = registerSubsystems;
    hooks.initApplication = initApplication;
    hooks.appendImageNames = appendGimgNames;
    setConsoleHooks(hooks);
    Tcl_Interp *previous = setCurrentInterp(interp);
    forgetWhenDeleted(interp);
    reclassTkChild(interp);
    if (initPackageCore(interp) != TCL_OK) {
        setCurrentInterp(previous);
        return TCL_ERROR;
    }
    setCurrentInterp(nullptr);
    if (registerConsoleManager(interp) != TCL_OK) {
        setCurrentInterp(previous);
        return TCL_ERROR;
    }
    consoleState().consoleStdio = 1;
    if (registerEtranCommand(interp) != TCL_OK) {
        setCurrentInterp(previous);
        return TCL_ERROR;
    }
    const char *interactive = Tcl_GetVar(interp, "tcl_interactive", TCL_GLOBAL_ONLY);
    int code;
    if (interactive != nullptr && interactive[0] != '0') {
        code = Tcl_EvalEx(interp, "krel create", -1, TCL_EVAL_GLOBAL);
        if (code == TCL_OK) patchConsole(interp);
    } else {
        code = Tcl_EvalEx(interp, "krel attach", -1, TCL_EVAL_GLOBAL);
        Tcl_SetVar(interp, "tcl_interactive", "1", TCL_GLOBAL_ONLY);
    }
    if (code != TCL_OK) {
        setCurrentInterp(previous);
        return code;
    }
    Tcl_ResetResult(interp);
    PackageState &ps = packageState();
    if (!ps.initDone) {
        Tcl_CreateExitHandler(packageExitHandler, nullptr);
        ps.initDone = 1;
    }
    return TCL_OK;
}
