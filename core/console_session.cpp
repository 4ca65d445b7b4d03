// Session creation: a console interpreter for an application, the commands
// that link the two, and `krel attach` / `krel create`.
#include "core/console_manager.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <tk.h>

#include "core/conio.h"
#include "core/console_internal.h"
#include "core/package.h"
#include "core/runtime.h"
#include "core/tclutil.h"

namespace krel {
namespace console {

int setConStdIOCmd(ClientData, Tcl_Interp *interp, int, const char **)
{
    setCurrentInterp(interp);
    return TCL_OK;
}

std::string joinWords(int argc, const char **argv, int first)
{
    std::string text;
    for (int i = first; i < argc; ++i) {
        if (i > first) text += ' ';
        text += argv[i];
    }
    return text;
}

int conAppCommon(ClientData data, Tcl_Interp *interp, int argc, const char **argv, bool record)
{
    return guarded(interp, [&] {
        if (argc < 2) {
            Tcl_AppendResult(interp, "wrong # args: should be \"", argv[0], " arg ?arg ...?\"", nullptr);
            return TCL_ERROR;
        }
        int k = static_cast<int>(reinterpret_cast<intptr_t>(data));
        std::string script = (record && argc == 2) ? std::string(argv[1]) : joinWords(argc, argv, 1);
        Preserved keep(interp);
        // The calling console is the current console while the application
        // works, so that what it prints shows here.
        CurrentInterp current(interp);
        bool noApp = false;
        Tcl_ResetResult(interp);
        int code = evalInSlotApp(interp, k, script.c_str(), record, &noApp);
        if (noApp) Tcl_ResetResult(interp);
        return code;
    });
}

int conAppCmd(ClientData data, Tcl_Interp *interp, int argc, const char **argv)
{
    return conAppCommon(data, interp, argc, argv, false);
}

int conAppRecCmd(ClientData data, Tcl_Interp *interp, int argc, const char **argv)
{
    return conAppCommon(data, interp, argc, argv, true);
}

// `console` and `conTk` of an application: the words, as a list, evaluated
// in the slot's console.
int consoleCmd(ClientData data, Tcl_Interp *interp, int argc, const char **argv)
{
    return guarded(interp, [&] {
        int k = static_cast<int>(reinterpret_cast<intptr_t>(data));
        ConsoleManager &m = consoleManager();
        Tcl_Interp *con = nullptr;
        {
            Lock lock(m.lock);
            const ConsoleSlot &slot = m.slots[k];
            if (ownedHere(slot)) con = slot.con;
        }
        Tcl_ResetResult(interp);
        if (con == nullptr) return TCL_OK;
        char *merged = Tcl_Merge(argc - 1, argv + 1);
        Preserved keepCon(con), keep(interp);
        int code;
        {
            CurrentInterp current(con);
            code = Tcl_EvalEx(con, merged, -1, TCL_EVAL_GLOBAL);
        }
        Tcl_Free(merged);
        if (con != interp) {
            Tcl_SetObjResult(interp, Tcl_GetObjResult(con));
            Tcl_ResetResult(con);
        }
        return code;
    });
}

// The console interpreter of slot k, made on behalf of `vars`' owner.
Tcl_Interp *createConsoleInterp(int k, const ScriptVars &vars, std::string *error)
{
    Tcl_Interp *con = newInterp(true, error);
    if (con == nullptr) return nullptr;
    trackInterp(con);
    ClientData cd = reinterpret_cast<ClientData>(static_cast<intptr_t>(k));
    int (*registerSubsystems)(Tcl_Interp *) = consoleManager().hooks.registerSubsystems;
    int code = registerSubsystems ? keepingCurrent([&] { return registerSubsystems(con); }) : TCL_OK;
    if (code == TCL_OK) {
        applyScriptVars(vars, con);
        if (!Tcl_CreateCommand(con, "krel", krelCommand, &consoleManager(), nullptr) ||
            !Tcl_CreateCommand(con, "setConStdIO", setConStdIOCmd, nullptr, nullptr) ||
            !Tcl_CreateCommand(con, "conApp", conAppCmd, cd, nullptr) ||
            !Tcl_CreateCommand(con, "conAppRec", conAppRecCmd, cd, nullptr))
            code = TCL_ERROR;
    }
    if (code == TCL_OK) {
        {
            ConsoleManager &m = consoleManager();
            Lock lock(m.lock);
            m.slots[k].con = con;
        }
        watchWindow(k, true, con);
        const char *tkVersion = Tcl_GetVar(con, "tk_version", TCL_GLOBAL_ONLY);
        std::string title = tkVersion ? scratchFormat("wm title . {Tk%s KRel Console # %i}", tkVersion, k)
                                      : scratchFormat("wm title . {Tk KRel Console # %i}", k);
        Tcl_EvalEx(con, title.c_str(), -1, TCL_EVAL_GLOBAL);
        Tcl_EvalEx(con,
                   "proc hide {} {wm withdraw .}\n"
                   "proc show {} {wm deiconify .}\n"
                   "proc title {titleName} {wm title . $titleName}\n",
                   -1, TCL_EVAL_GLOBAL);
        if (selfThread)
            // An exit typed in a console thread's window closes that console;
            // ending the process is the loading thread's business.
            Tcl_EvalEx(con, "proc exit {{code 0}} {krel delete .}", -1, TCL_EVAL_GLOBAL);
        Tcl_ResetResult(con);
        code = Tcl_EvalEx(con, "foreach s $krelConScripts {calc decompload [file join $gimgHome $s]}", -1,
                          TCL_EVAL_GLOBAL);
    }
    if (code != TCL_OK) {
        *error = Tcl_GetStringResult(con);
        {
            ConsoleManager &m = consoleManager();
            Lock lock(m.lock);
            if (m.slots[k].con == con) m.slots[k].con = nullptr;
        }
        deleteInterp(con);
        return nullptr;
    }
    Tcl_ResetResult(con);
    return con;
}

void createConsoleCommands(Tcl_Interp *app, int k)
{
    ClientData cd = reinterpret_cast<ClientData>(static_cast<intptr_t>(k));
    Tcl_CreateCommand(app, "console", consoleCmd, cd, nullptr);
    Tcl_CreateCommand(app, "conTk", consoleCmd, cd, nullptr);
}

// Gives `target` (attach) or a new application interpreter (create) a
// console. `caller` may be null (a console thread creating its application).
int attachOrCreate(Tcl_Interp *caller, const ScriptVars &vars, bool create, int reservedSlot)
{
    ConsoleManager &m = consoleManager();
    int k = reservedSlot;
    bool ownSlot = false;
    if (k < 0 && create) {
        k = reserveFreeSlot();
        if (k < 0) {
            if (caller) Tcl_SetResult(caller, const_cast<char *>("Too many consoles"), TCL_STATIC);
            return TCL_ERROR;
        }
    } else if (k < 0) {
        {
            Lock lock(m.lock);
            for (int i = 0; i < kConsoleSlots && k < 0; ++i)
                if (m.slots[i].app == caller && ownedHere(m.slots[i])) k = i, ownSlot = true;
        }
        if (k < 0) {
            // Taking an occupied slot would leave its interpreters without a
            // slot: an attach without a slot of its own takes the first free
            // one (slot 0 in a fresh process).
            k = reserveFreeSlot();
            if (k < 0) {
                Tcl_SetResult(caller, const_cast<char *>("Too many consoles"), TCL_STATIC);
                return TCL_ERROR;
            }
        }
    }

    Tcl_Interp *app = nullptr;
    if (create) {
        std::string error;
        app = newInterp(true, &error);
        int code = TCL_ERROR;
        if (app) {
            trackInterp(app);
            applyScriptVars(vars, app);
            storeApp(k, app);
            code = keepingCurrent([&] { return registerConsoleManager(app); });
            if (code != TCL_OK) error = Tcl_GetStringResult(app);
        }
        if (code != TCL_OK) {
            if (app) deleteSlot(k);
            unreserveSlot(k);
            if (caller) Tcl_SetObjResult(caller, Tcl_NewStringObj(error.c_str(), -1));
            return TCL_ERROR;
        }
        createConsoleCommands(app, k);
        watchWindow(k, false, app);
        Tcl_SetVar(app, "tcl_interactive", "1", TCL_GLOBAL_ONLY);
        if (selfThread) Tcl_EvalEx(app, "proc exit {{code 0}} {krel delete .}", -1, TCL_EVAL_GLOBAL);
    } else if (!ownSlot) {
        app = caller;
        createConsoleCommands(app, k);
        trackInterp(app);
        storeApp(k, app);
        watchWindow(k, false, app);
    } else {
        app = caller;
        Tcl_Interp *old = nullptr;
        SlotWatch *oldWatch = nullptr;
        {
            Lock lock(m.lock);
            old = m.slots[k].con;
            oldWatch = m.slots[k].conWatch;
            m.slots[k].con = nullptr;
            m.slots[k].conWatch = nullptr;
        }
        if (old) {
            unwatchWindow(oldWatch);
            destroyMainWindow(old);
            tclUpdate(nullptr, TCL_WINDOW_EVENTS | TCL_IDLE_EVENTS);
            scheduleDelete(old, 128);
        }
    }

    Preserved keepApp(app);
    Tcl_EvalEx(app, scratchFormat("wm title . {Tk Main # %i}", k), -1, TCL_EVAL_GLOBAL);
    Tcl_ResetResult(app);
    std::string error;
    Tcl_Interp *con = createConsoleInterp(k, vars, &error);
    if (con == nullptr) {
        if (caller) {
            Tcl_SetResult(caller, const_cast<char *>("Error in conInit"), TCL_STATIC);
            Tcl_AddErrorInfo(caller, ("\n    (console: " + error + ")").c_str());
        }
        return TCL_ERROR;
    }
    if (caller) Tcl_SetObjResult(caller, Tcl_NewIntObj(k));
    return TCL_OK;
}

}  // namespace console
}  // namespace krel
