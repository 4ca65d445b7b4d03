// The `krel` command that drives the console manager.
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
#include "core/subcmd.h"

namespace krel {
namespace console {

// ---------------------------------------------------------------------------
// The `krel` command.

using Handler = int (*)(Tcl_Interp *, int, const char **);

int attachSub(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 2) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " attach", nullptr);
        return TCL_OK;
    }
    return attachOrCreate(interp, readScriptVars(interp), false, -1);
}

int createSub(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc == 2) return attachOrCreate(interp, readScriptVars(interp), true, -1);
    const char *type = argc == 3 ? argv[2] : "";
    bool tclsh = !strcmp(type, "tclsh"), wish = !strcmp(type, "wish"), krelsh = !strcmp(type, "krelsh");
    if (argc > 3 || !(tclsh || wish || krelsh)) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " create [tclsh|wish|krelsh]", nullptr);
        return TCL_OK;
    }
    int k = reserveFreeSlot();
    if (k < 0) {
        Tcl_SetResult(interp, const_cast<char *>("No free slots"), TCL_STATIC);
        return TCL_ERROR;
    }
    std::string error;
    Tcl_Interp *app = newInterp(!tclsh, &error);
    if (app == nullptr) {
        unreserveSlot(k);
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s interp %d\n%s", type, k, error.c_str()));
        return TCL_ERROR;
    }
    trackInterp(app);
    storeApp(k, app);
    int code = TCL_OK;
    if (krelsh) {
        setAppScriptVars(interp, app);
        code = keepingCurrent([&] { return registerConsoleManager(app); });
    }
    if (!tclsh) watchWindow(k, false, app);
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s interp %d\n%s", type, k, Tcl_GetStringResult(app)));
    return code;
}

void closeAllTimer(ClientData) { closeAllConsoles(false); }

int deleteSub(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " id0 id1 ...", nullptr);
        return TCL_OK;
    }
    ConsoleManager &m = consoleManager();
    for (int i = 2; i < argc; ++i) {
        if (caseCompare(argv[i], "all") == 0) {
            Tcl_CreateTimerHandler(512, closeAllTimer, nullptr);
            break;
        }
        int k = -1;
        if (!strcmp(argv[i], ".")) {
            Lock lock(m.lock);
            for (int j = 0; j < kConsoleSlots; ++j)
                if (ownedHere(m.slots[j]) && (m.slots[j].app == interp || m.slots[j].con == interp)) k = j;
        } else {
            char *end = nullptr;
            long n = strtol(argv[i], &end, 10);
            if (end != argv[i] && *end == '\0' && n >= 0 && n < kConsoleSlots) k = static_cast<int>(n);
        }
        if (k >= 0) deleteSlot(k);
    }
    Tcl_ResetResult(interp);
    return TCL_OK;
}

int evalSub(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 4) {
        setResultf(interp, "Usage: %s eval id scripts", argv[0]);
        return TCL_OK;
    }
    char *end = nullptr;
    long k = strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || k < 0 || k >= kConsoleSlots) {
        Tcl_SetResult(interp, const_cast<char *>("Invalid interp ID.\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    bool noApp = false;
    int code = evalInSlotApp(interp, static_cast<int>(k), argv[3], false, &noApp);
    if (noApp) {
        Tcl_SetResult(interp, const_cast<char *>("Invalid interp ID.\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    return code;
}

int gimgSub(Tcl_Interp *interp, int, const char **)
{
    Tcl_ResetResult(interp);
    if (void (*names)(Tcl_Interp *) = consoleManager().hooks.appendImageNames) names(interp);
    return TCL_OK;
}

int listSub(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 2) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], nullptr);
        return TCL_OK;
    }
    ConsoleManager &m = consoleManager();
    ConsoleSlot copy[kConsoleSlots];
    {
        Lock lock(m.lock);
        for (int k = 0; k < kConsoleSlots; ++k) copy[k] = m.slots[k];
    }
    for (int k = 0; k < kConsoleSlots; ++k)
        conPrintf("id: %2d app: %8lld con: %8lld\n", k,
                  static_cast<long long>(reinterpret_cast<intptr_t>(copy[k].app)),
                  static_cast<long long>(reinterpret_cast<intptr_t>(copy[k].con)));
    Tcl_ResetResult(interp);
    return TCL_OK;
}

int meterSub(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 2) {
        double step = 0;
        if (Tcl_GetDouble(interp, argv[2], &step) != TCL_OK) return TCL_ERROR;
        setMeterStep(step);
    }
    setResultf(interp, "%f", static_cast<double>(runtime().meterStep));
    return TCL_OK;
}

int statusSub(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 2) {
        int code = 0;
        if (Tcl_GetInt(interp, argv[2], &code) != TCL_OK) return TCL_ERROR;
        setRunStatus(code);
    }
    setResultf(interp, "%d", runtime().rimageStatus.load());
    return TCL_OK;
}

int stdioSub(Tcl_Interp *interp, int, const char **)
{
    reinstallConsoleStdio(interp);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

int tflagSub(Tcl_Interp *interp, int, const char **)
{
    setResultf(interp, "ThreadFlag: %d\n", consoleManager().threadFlag);
    return TCL_OK;
}

int threadSub(Tcl_Interp *interp, int, const char **) { return threadSubcommand(interp); }

int unblockSub(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 2) {
        int flag = 0;
        if (Tcl_GetInt(interp, argv[2], &flag) != TCL_OK) return TCL_ERROR;
        consoleState().unblock = flag;
    }
    setResultf(interp, "%d", consoleState().unblock);
    return TCL_OK;
}

int versionSub(Tcl_Interp *interp, int, const char **)
{
    Tcl_SetResult(interp, const_cast<char *>(KREL_VERSION), TCL_STATIC);
    return TCL_OK;
}

const SubCommand<Handler> kKrelSubcommands[] = {
    {"attach", 3, attachSub}, {"create", 3, createSub}, {"delete", 3, deleteSub},
    {"eval", 3, evalSub},     {"gimg", 3, gimgSub},     {"list", 3, listSub},
    {"meter", 3, meterSub},   {"status", 3, statusSub}, {"stdio", 3, stdioSub},
    {"tflag", 3, tflagSub},   {"thread", 3, threadSub}, {"unblock", 4, unblockSub},
    {"version", 3, versionSub},
};

int krelCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv)
{
    return guarded(interp, [&] {
        if (argc < 2) {
            Tcl_SetResult(interp,
                          const_cast<char *>("Commands: attach create delete eval gimg list meter status unblock version"),
                          TCL_STATIC);
            return TCL_OK;
        }
        const auto *entry = findSubCommand(kKrelSubcommands, argv[1]);
        if (entry == nullptr) {
            // Not a subcommand: the words are a script of the caller.
            std::string script = joinWords(argc, argv, 1);
            return Tcl_EvalEx(interp, script.c_str(), -1, 0);
        }
        PreserveSlots keep;
        Preserved keepCaller(interp);
        return entry->handler(interp, argc, argv);
    });
}


}  // namespace console
}  // namespace krel
