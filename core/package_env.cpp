#include "core/package.h"

#include "core/tclutil.h"

namespace krel {

PackageState &packageState()
{
    static PackageState state;
    return state;
}

bool interpHasTk(Tcl_Interp *interp)
{
    // Asked of an interpreter without Tk, Tcl_PkgPresent leaves "package Tk
    // is not present" as the result: the caller's result is kept instead.
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    bool present = Tcl_PkgPresent(interp, "Tk", nullptr, 0) != nullptr;
    Tcl_RestoreInterpState(interp, state);
    return present;
}

int initStubs(Tcl_Interp *interp, bool *hasTk)
{
    if (Tcl_InitStubs(interp, "8.6", 0) == nullptr) return TCL_ERROR;
    bool tk = false;
    if (interpHasTk(interp)) {
        if (Tk_InitStubs(interp, "8.6", 0) == nullptr) return TCL_ERROR;
        tk = Tk_MainWindow(interp) != nullptr;
        Tcl_ResetResult(interp);
    }
    if (hasTk) *hasTk = tk;
    return TCL_OK;
}

const char *getHomeDir(Tcl_Interp *interp)
{
    if (const char *home = Tcl_GetVar(interp, "gimgHome", TCL_GLOBAL_ONLY)) return home;
    const char *found = Tcl_GetVar2(interp, "env", "GHOME", TCL_GLOBAL_ONLY);
    if (!found) found = Tcl_GetVar(interp, "krelHome", TCL_GLOBAL_ONLY);
    if (!found) found = Tcl_GetVar2(interp, "env", "KREL", TCL_GLOBAL_ONLY);
    if (found) return Tcl_SetVar(interp, "gimgHome", found, TCL_GLOBAL_ONLY);
    ObjRef saved(Tcl_GetObjResult(interp));
    Tcl_EvalEx(interp, "set gimgHome [pwd]", -1, TCL_EVAL_GLOBAL);
    Tcl_SetObjResult(interp, saved);
    return Tcl_GetVar(interp, "gimgHome", TCL_GLOBAL_ONLY);
}

ScriptVars readScriptVars(Tcl_Interp *source)
{
    ScriptVars v;
    const char *home = getHomeDir(source);
    v.home = home ? home : "";
    const char *apps = Tcl_GetVar(source, "krelAppScripts", TCL_GLOBAL_ONLY);
    v.apps = apps ? apps : "program.lib";
    const char *cons = Tcl_GetVar(source, "krelConScripts", TCL_GLOBAL_ONLY);
    v.cons = cons ? cons : "program.lib contk.lib";
    return v;
}

void applyScriptVars(const ScriptVars &v, Tcl_Interp *target)
{
    Tcl_SetVar(target, "gimgHome", v.home.c_str(), TCL_GLOBAL_ONLY);
    Tcl_SetVar(target, "krelAppScripts", v.apps.c_str(), TCL_GLOBAL_ONLY);
    Tcl_SetVar(target, "krelConScripts", v.cons.c_str(), TCL_GLOBAL_ONLY);
}

// The values are copied out before any is written: the source and the
// target may be the same interpreter.
void setAppScriptVars(Tcl_Interp *source, Tcl_Interp *target) { applyScriptVars(readScriptVars(source), target); }

}  // namespace krel
