#include "core/console_manager.h"

#include <chrono>
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
#include "core/package.h"
#include "core/runtime.h"
#include "core/subcmd.h"
#include "core/tclutil.h"

namespace krel {

ConsoleManager &consoleManager()
{
    // Never destroyed: console threads and exit handlers may still reach it
    // while static objects are torn down.
    static ConsoleManager *manager = new ConsoleManager;
    return *manager;
}

void setConsoleHooks(const ConsoleHooks &hooks) { consoleManager().hooks = hooks; }

namespace {

using Lock = std::unique_lock<std::mutex>;

// The console thread this thread is, if any.
thread_local ConsoleThread *selfThread = nullptr;
// Whether this thread's console channels have been set up.
thread_local bool channelsReady = false;

bool ownedHere(const ConsoleSlot &slot) { return slot.owner == Tcl_GetCurrentThread(); }

Tk_Window mainWindowOf(Tcl_Interp *interp)
{
    if (interp == nullptr || Tcl_InterpDeleted(interp) || !interpHasTk(interp)) return nullptr;
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    Tk_Window main = Tk_MainWindow(interp);
    Tcl_RestoreInterpState(interp, state);
    return main;
}

void destroyMainWindow(Tcl_Interp *interp)
{
    if (Tk_Window main = mainWindowOf(interp)) Tk_DestroyWindow(main);
}

// Deletes an interpreter of this thread: it stops being the current console,
// loses its main window and goes; the memory is freed once no caller holds it.
void deleteInterp(Tcl_Interp *interp)
{
    if (interp == nullptr) return;
    CurrentInterp::forget(interp);
    Tcl_Preserve(interp);
    destroyMainWindow(interp);
    if (!Tcl_InterpDeleted(interp)) Tcl_DeleteInterp(interp);
    Tcl_Release(interp);
}

void deferredDelete(ClientData data)
{
    auto *interp = static_cast<Tcl_Interp *>(data);
    if (!Tcl_InterpDeleted(interp)) deleteInterp(interp);
    Tcl_Release(interp);
}

// Deletes an interpreter of this thread when idle (ms 0) or after ms
// milliseconds; it is kept from being freed meanwhile.
void scheduleDelete(Tcl_Interp *interp, int ms)
{
    if (interp == nullptr) return;
    CurrentInterp::forget(interp);
    Tcl_Preserve(interp);
    if (ms <= 0)
        Tcl_DoWhenIdle(deferredDelete, interp);
    else
        Tcl_CreateTimerHandler(ms, deferredDelete, interp);
}

}  // namespace

// A watched main window of a slot's interpreter. The record belongs to the
// Tk event handler and is freed when the window is destroyed or the watch is
// taken away.
struct SlotWatch {
    int slot;
    bool isCon;
    Tcl_Interp *interp;
    Tk_Window window;
};

namespace {

void watchProc(ClientData data, XEvent *event)
{
    if (event->type != DestroyNotify) return;
    auto *watch = static_cast<SlotWatch *>(data);
    ConsoleManager &m = consoleManager();
    Tcl_Interp *app = nullptr, *con = nullptr;
    {
        Lock lock(m.lock);
        ConsoleSlot &slot = m.slots[watch->slot];
        if (watch->isCon && slot.conWatch == watch) {
            slot.conWatch = nullptr;
            if (slot.con == watch->interp) {
                con = slot.con;
                slot.con = nullptr;
            }
        } else if (!watch->isCon && slot.appWatch == watch) {
            slot.appWatch = nullptr;
            if (slot.app == watch->interp) {
                // A console without its application would serve whatever
                // application takes the slot next: it goes too.
                app = slot.app;
                con = slot.con;
                slot.app = slot.con = nullptr;
                slot.owner = nullptr;
            }
        }
    }
    delete watch;
    if (app) scheduleDelete(app, 0);
    if (con) scheduleDelete(con, 0);
}

void watchWindow(int k, bool isCon, Tcl_Interp *interp)
{
    Tk_Window main = mainWindowOf(interp);
    if (main == nullptr) return;
    auto *watch = new SlotWatch{k, isCon, interp, main};
    Tk_CreateEventHandler(main, StructureNotifyMask, watchProc, watch);
    ConsoleManager &m = consoleManager();
    Lock lock(m.lock);
    (isCon ? m.slots[k].conWatch : m.slots[k].appWatch) = watch;
}

void unwatchWindow(SlotWatch *watch)
{
    if (watch == nullptr) return;
    Tk_DeleteEventHandler(watch->window, StructureNotifyMask, watchProc, watch);
    delete watch;
}

// However an interpreter of the table goes, the table forgets it.
void interpGone(ClientData, Tcl_Interp *interp)
{
    CurrentInterp::forget(interp);
    ConsoleManager &m = consoleManager();
    Lock lock(m.lock);
    for (ConsoleSlot &slot : m.slots) {
        if (slot.con == interp) {
            slot.con = nullptr;
            slot.conWatch = nullptr;  // its handler frees it when the window goes
        }
        if (slot.app == interp) {
            slot.app = nullptr;
            slot.appWatch = nullptr;
            if (slot.con == nullptr) slot.owner = nullptr;
        }
    }
}

void trackInterp(Tcl_Interp *interp) { Tcl_CallWhenDeleted(interp, interpGone, nullptr); }

// Keeps every interpreter of the table that belongs to this thread from being
// freed for the time of a subcommand.
class PreserveSlots {
public:
    PreserveSlots()
    {
        ConsoleManager &m = consoleManager();
        Lock lock(m.lock);
        for (ConsoleSlot &slot : m.slots) {
            if (!ownedHere(slot)) continue;
            if (slot.app) kept_.push_back(slot.app);
            if (slot.con) kept_.push_back(slot.con);
        }
        lock.unlock();
        for (Tcl_Interp *interp : kept_) Tcl_Preserve(interp);
    }
    ~PreserveSlots()
    {
        for (Tcl_Interp *interp : kept_) Tcl_Release(interp);
    }

private:
    std::vector<Tcl_Interp *> kept_;
};

// A new interpreter with Tcl (and Tk) initialised; null with `error` set on
// failure.
Tcl_Interp *newInterp(bool withTk, std::string *error)
{
    Tcl_Interp *interp = Tcl_CreateInterp();
    if (interp == nullptr) {
        *error = "cannot create an interpreter";
        return nullptr;
    }
    int code = Tcl_Init(interp);
    if (code == TCL_OK && withTk) {
        code = Tcl_EvalEx(interp, "package require Tk", -1, TCL_EVAL_GLOBAL);
        if (code == TCL_OK && Tk_InitStubs(interp, "8.6", 0) == nullptr) code = TCL_ERROR;
        if (code == TCL_OK) {
            if (Tk_Window main = Tk_MainWindow(interp)) Tk_MakeWindowExist(main);
        }
    }
    if (code != TCL_OK) {
        *error = Tcl_GetStringResult(interp);
        Tcl_DeleteInterp(interp);
        return nullptr;
    }
    Tcl_ResetResult(interp);
    return interp;
}

// Registration steps that must not change the current console (calc, for
// one, makes the interpreter it is loaded into current when none is).
template <class F>
int keepingCurrent(F &&step)
{
    CurrentInterp keep(currentInterp());
    return step();
}

void setResultf(Tcl_Interp *interp, const char *format, ...) __attribute__((format(printf, 2, 3)));
void setResultf(Tcl_Interp *interp, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s", scratchFormatV(format, ap)));
    va_end(ap);
}

// ---------------------------------------------------------------------------
// Requests to the thread that owns a slot.

enum class RequestKind { Eval, DeleteSlot, Close };

struct Request {
    RequestKind kind = RequestKind::Eval;
    int slot = -1;
    std::string script;
    Tcl_ThreadId origin = nullptr;
    bool wantsReply = false;
    // Guarded by the manager's lock:
    bool done = false;
    bool abandoned = false;
    int code = TCL_ERROR;
    std::string result;
};
using RequestPtr = std::shared_ptr<Request>;

struct RequestEvent {
    Tcl_Event header;
    RequestPtr *request;
};

struct ReplyEvent {
    Tcl_Event header;
};

int replyEventProc(Tcl_Event *, int) { return 1; }  // it only wakes the waiting thread

thread_local bool threadClosing = false;

void deleteSlotHere(int k);
void closeThreadConsoles();

void answer(const RequestPtr &req, int code, const std::string &result)
{
    ConsoleManager &m = consoleManager();
    Lock lock(m.lock);
    req->code = code;
    req->result = result;
    req->done = true;
    if (req->wantsReply && !req->abandoned) {
        auto *ev = static_cast<ReplyEvent *>(static_cast<void *>(ckalloc(sizeof(ReplyEvent))));
        ev->header.proc = replyEventProc;
        ev->header.nextPtr = nullptr;
        Tcl_ThreadQueueEvent(req->origin, &ev->header, TCL_QUEUE_TAIL);
        Tcl_ThreadAlert(req->origin);
    }
}

int requestEventProc(Tcl_Event *event, int)
{
    auto *re = reinterpret_cast<RequestEvent *>(event);
    RequestPtr req = *re->request;
    delete re->request;
    re->request = nullptr;
    if (threadClosing) {
        answer(req, TCL_ERROR, "The console's thread has ended.");
        return 1;
    }
    switch (req->kind) {
    case RequestKind::Eval: {
        ConsoleManager &m = consoleManager();
        Tcl_Interp *app = nullptr;
        {
            Lock lock(m.lock);
            const ConsoleSlot &slot = m.slots[req->slot];
            if (ownedHere(slot)) app = slot.app;
        }
        if (app == nullptr) {
            answer(req, TCL_ERROR, "Invalid interp ID.\n");
            break;
        }
        Tcl_Preserve(app);
        int code = Tcl_EvalEx(app, req->script.c_str(), -1, TCL_EVAL_GLOBAL);
        std::string result = Tcl_GetStringResult(app);
        Tcl_ResetResult(app);
        Tcl_Release(app);
        answer(req, code, result);
        break;
    }
    case RequestKind::DeleteSlot:
        deleteSlotHere(req->slot);
        answer(req, TCL_OK, "");
        break;
    case RequestKind::Close:
        if (selfThread) {
            Lock lock(consoleManager().lock);
            selfThread->stopRequested = true;
        }
        closeThreadConsoles();
        answer(req, TCL_OK, "");
        break;
    }
    return 1;
}

// Queues a request to thread `target`; false when that thread no longer
// serves requests. Called with the manager's lock held.
bool postLocked(ConsoleManager &m, Tcl_ThreadId target, const RequestPtr &req)
{
    bool worker = false, alive = false;
    for (Tcl_ThreadId id : m.workerIds)
        if (id == target) worker = true;
    for (ConsoleThread *t = m.threads; t; t = t->next)
        if (t->id == target) alive = !t->closing;
    // A thread that is no console thread loaded the package and runs as long
    // as the process does.
    if (worker ? !alive : m.shuttingDown) return false;
    auto *ev = static_cast<RequestEvent *>(static_cast<void *>(ckalloc(sizeof(RequestEvent))));
    ev->header.proc = requestEventProc;
    ev->header.nextPtr = nullptr;
    ev->request = new RequestPtr(req);
    Tcl_ThreadQueueEvent(target, &ev->header, TCL_QUEUE_TAIL);
    Tcl_ThreadAlert(target);
    return true;
}

// Evaluates a script in slot k's application interpreter, which belongs to
// another thread, and waits for the result while serving this thread's own
// events (so two threads evaluating in each other cannot deadlock).
int evalInOtherThread(Tcl_Interp *caller, int k, const char *script)
{
    ConsoleManager &m = consoleManager();
    auto req = std::make_shared<Request>();
    req->kind = RequestKind::Eval;
    req->slot = k;
    req->script = script;
    req->origin = Tcl_GetCurrentThread();
    req->wantsReply = true;
    {
        Lock lock(m.lock);
        const ConsoleSlot &slot = m.slots[k];
        if (slot.app == nullptr || slot.owner == nullptr) {
            Tcl_SetResult(caller, const_cast<char *>("Invalid interp ID.\n"), TCL_STATIC);
            return TCL_ERROR;
        }
        if (!postLocked(m, slot.owner, req)) {
            Tcl_SetResult(caller, const_cast<char *>("The console's thread has ended."), TCL_STATIC);
            return TCL_ERROR;
        }
    }
    Preserved keep(caller);
    for (;;) {
        {
            Lock lock(m.lock);
            if (req->done) break;
            if ((selfThread && selfThread->stopRequested) || m.shuttingDown) {
                req->abandoned = true;
                lock.unlock();
                Tcl_SetResult(caller, const_cast<char *>("Evaluation abandoned: the console is closing."),
                              TCL_STATIC);
                return TCL_ERROR;
            }
        }
        Tcl_DoOneEvent(TCL_ALL_EVENTS);
    }
    Tcl_SetObjResult(caller, Tcl_NewStringObj(req->result.data(), static_cast<int>(req->result.size())));
    return req->code;
}

// Evaluates a script in slot k's application: here when it belongs to this
// thread, else through its thread's event queue. Sets *noApp when the slot
// has no application.
int evalInSlotApp(Tcl_Interp *caller, int k, const char *script, bool record, bool *noApp)
{
    ConsoleManager &m = consoleManager();
    Tcl_Interp *app = nullptr;
    bool here = true;
    {
        Lock lock(m.lock);
        const ConsoleSlot &slot = m.slots[k];
        app = slot.app;
        here = ownedHere(slot);
    }
    *noApp = (app == nullptr);
    if (app == nullptr) return TCL_OK;
    if (!here) return evalInOtherThread(caller, k, script);
    Preserved keep(app);
    // Tcl_RecordAndEval evaluates in the current frame unless told
    // otherwise: a line typed while the application waits inside a procedure
    // (a pause, an input) must still reach its global variables.
    int code =
        record ? Tcl_RecordAndEval(app, script, TCL_EVAL_GLOBAL) : Tcl_EvalEx(app, script, -1, TCL_EVAL_GLOBAL);
    if (app != caller) {
        Tcl_SetObjResult(caller, Tcl_GetObjResult(app));
        Tcl_ResetResult(app);
    }
    return code;
}

// ---------------------------------------------------------------------------
// Slots.

// Deletes slot k's interpreters (application first) when they belong to this
// thread; asks the owning thread otherwise.
void deleteSlot(int k)
{
    ConsoleManager &m = consoleManager();
    Tcl_Interp *app = nullptr, *con = nullptr;
    {
        Lock lock(m.lock);
        ConsoleSlot &slot = m.slots[k];
        if (slot.app == nullptr && slot.con == nullptr) return;
        if (!ownedHere(slot)) {
            auto req = std::make_shared<Request>();
            req->kind = RequestKind::DeleteSlot;
            req->slot = k;
            if (slot.owner) postLocked(m, slot.owner, req);
            return;
        }
        app = slot.app;
        con = slot.con;
        slot.app = slot.con = nullptr;
        slot.appWatch = slot.conWatch = nullptr;  // freed by their handlers
        slot.owner = nullptr;
    }
    Preserved keepApp(app), keepCon(con);
    deleteInterp(app);
    deleteInterp(con);
}

void deleteSlotHere(int k)
{
    ConsoleManager &m = consoleManager();
    {
        Lock lock(m.lock);
        if (!ownedHere(m.slots[k])) return;
    }
    deleteSlot(k);
}

// Closes the consoles of this thread (a console thread asked to stop).
void closeThreadConsoles()
{
    for (int k = 0; k < kConsoleSlots; ++k) deleteSlotHere(k);
}

// Finds and reserves the first free slot; -1 when there is none.
int reserveFreeSlot()
{
    ConsoleManager &m = consoleManager();
    Lock lock(m.lock);
    for (int k = 0; k < kConsoleSlots; ++k) {
        ConsoleSlot &slot = m.slots[k];
        if (slot.app == nullptr && slot.con == nullptr && !slot.reserved) {
            slot.reserved = true;
            slot.owner = Tcl_GetCurrentThread();
            return k;
        }
    }
    return -1;
}

void unreserveSlot(int k)
{
    ConsoleManager &m = consoleManager();
    Lock lock(m.lock);
    ConsoleSlot &slot = m.slots[k];
    slot.reserved = false;
    if (slot.app == nullptr && slot.con == nullptr) slot.owner = nullptr;
}

void storeApp(int k, Tcl_Interp *app)
{
    ConsoleManager &m = consoleManager();
    Lock lock(m.lock);
    ConsoleSlot &slot = m.slots[k];
    slot.app = app;
    slot.owner = Tcl_GetCurrentThread();
    slot.reserved = false;
}

int krelCommand(ClientData data, Tcl_Interp *interp, int argc, const char **argv);

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

// ---------------------------------------------------------------------------
// Console threads.

struct ThreadStart {
    ScriptVars vars;
    int slot = -1;
    bool finished = false;  // guarded by the manager's lock
    bool ok = false;
    std::string error;
};

void consoleThreadMain(std::shared_ptr<ThreadStart> start)
{
    ConsoleManager &m = consoleManager();
    ConsoleThread self;
    self.id = Tcl_GetCurrentThread();
    {
        Lock lock(m.lock);
        self.next = m.threads;
        m.threads = &self;
        m.workerIds.push_back(self.id);
        // The slot was reserved by the starting thread for this one.
        m.slots[start->slot].owner = self.id;
    }
    selfThread = &self;
    int code = attachOrCreate(nullptr, start->vars, true, start->slot);
    {
        Lock lock(m.lock);
        start->finished = true;
        start->ok = (code == TCL_OK);
        if (code != TCL_OK) start->error = "Error in conInit";
    }
    m.threadsChanged.notify_all();
    start.reset();

    // Serve this thread's windows for as long as they exist.
    for (;;) {
        {
            Lock lock(m.lock);
            if (self.stopRequested) break;
        }
        if (Tk_GetNumMainWindows() <= 0) break;
        Tcl_DoOneEvent(TCL_ALL_EVENTS);
    }

    closeThreadConsoles();
    threadClosing = true;
    {
        Lock lock(m.lock);
        self.closing = true;
    }
    // Requests queued so far get their answer; pending deletions run.
    while (Tcl_DoOneEvent(TCL_ALL_EVENTS | TCL_DONT_WAIT)) {
    }
    {
        Lock lock(m.lock);
        for (ConsoleThread **p = &m.threads; *p; p = &(*p)->next)
            if (*p == &self) {
                *p = self.next;
                break;
            }
    }
    closeThreadConsoles();
    selfThread = nullptr;
    setCurrentInterp(nullptr);
    Tcl_FinalizeThread();
    {
        Lock lock(m.lock);
        --m.runningThreads;
    }
    m.threadsChanged.notify_all();
}

int threadSubcommand(Tcl_Interp *interp)
{
    ConsoleManager &m = consoleManager();
    if (m.threadHandle.joinable()) {
        m.threadFlag = 0;
        // Closing the handle leaves the thread running; it ends with its
        // windows, and the exit handler waits for it.
        try {
            m.threadHandle.detach();
        } catch (const std::system_error &) {
            Tcl_SetResult(interp, const_cast<char *>("Fail to close the thread.\n"), TCL_STATIC);
            return TCL_ERROR;
        }
        setResultf(interp, "Thread closed with flag: %d.\n", m.threadFlag);
        return TCL_OK;
    }
    int k = reserveFreeSlot();
    if (k < 0) {
        Tcl_SetResult(interp, const_cast<char *>("Thread failed.\nToo many consoles"), TCL_STATIC);
        return TCL_ERROR;
    }
    auto start = std::make_shared<ThreadStart>();
    start->vars = readScriptVars(interp);
    start->slot = k;
    {
        Lock lock(m.lock);
        ++m.runningThreads;
    }
    try {
        m.threadHandle = std::thread(consoleThreadMain, start);
    } catch (const std::system_error &) {
        {
            Lock lock(m.lock);
            --m.runningThreads;
        }
        unreserveSlot(k);
        Tcl_SetResult(interp, const_cast<char *>("Thread failed.\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    m.threadFlag = 1;
    Lock lock(m.lock);
    m.threadsChanged.wait(lock, [&] { return start->finished; });
    if (!start->ok) {
        lock.unlock();
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Thread failed.\n%s", start->error.c_str()));
        return TCL_ERROR;
    }
    lock.unlock();
    setResultf(interp, "Thread start with flag: %d.\n", m.threadFlag);
    return TCL_OK;
}

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

void consoleExitHandler(ClientData)
{
    setCurrentInterp(nullptr);
    restoreStandardChannels();
}

}  // namespace

void createSetConStdIO(Tcl_Interp *interp)
{
    Tcl_CreateCommand(interp, "setConStdIO", setConStdIOCmd, nullptr, nullptr);
}

int registerConsoleManager(Tcl_Interp *interp)
{
    if (Tk_Window main = mainWindowOf(interp)) Tk_MakeWindowExist(main);
    ConsoleManager &m = consoleManager();
    if (!Tcl_CreateCommand(interp, "krel", krelCommand, &m, nullptr)) return TCL_ERROR;
    bool first = false, installHandler = false;
    {
        Lock lock(m.lock);
        if (!m.initialised) {
            first = true;
            for (ConsoleSlot &slot : m.slots)
                if (slot.owner == nullptr && !slot.reserved) slot = ConsoleSlot();
            m.initialised = true;
            m.shuttingDown = false;
            if (!m.exitHandlerInstalled) installHandler = m.exitHandlerInstalled = true;
        }
    }
    if (first || !channelsReady) {
        setUpConsoleChannels(interp);
        channelsReady = true;
        setAppScriptVars(interp, interp);
    }
    registerStandardChannels(interp);
    if (installHandler) Tcl_CreateExitHandler(consoleExitHandler, nullptr);
    return m.hooks.initApplication ? m.hooks.initApplication(interp) : TCL_OK;
}

void closeAllConsoles(bool atExit)
{
    ConsoleManager &m = consoleManager();
    if (m.threadHandle.joinable()) {
        m.threadHandle.detach();
        m.threadFlag = 0;
    }
    if (!atExit) tclUpdate(nullptr, TCL_ALL_EVENTS);
    std::vector<Tcl_Interp *> doomed;
    {
        Lock lock(m.lock);
        if (atExit) m.shuttingDown = true;
        for (ConsoleThread *t = m.threads; t; t = t->next) {
            if (t == selfThread) continue;
            auto req = std::make_shared<Request>();
            req->kind = RequestKind::Close;
            postLocked(m, t->id, req);
        }
        if (m.initialised) {
            for (int k = 0; k < kConsoleSlots; ++k) {
                ConsoleSlot &slot = m.slots[k];
                if (!ownedHere(slot)) {
                    // Console threads close theirs on the request above; the
                    // loading thread is asked to close its slots.
                    if (!atExit && slot.owner && !slot.reserved) {
                        auto req = std::make_shared<Request>();
                        req->kind = RequestKind::DeleteSlot;
                        req->slot = k;
                        postLocked(m, slot.owner, req);
                    }
                    continue;
                }
                if (!atExit) {
                    if (slot.app) doomed.push_back(slot.app);
                    if (slot.con) doomed.push_back(slot.con);
                }
                slot = ConsoleSlot();
            }
            m.initialised = false;
        }
    }
    if (atExit) {
        setCurrentInterp(nullptr);
    } else {
        for (Tcl_Interp *interp : doomed) {
            if (currentInterp() == interp) setCurrentInterp(nullptr);
            destroyMainWindow(interp);
            scheduleDelete(interp, 0);
        }
    }
    if (atExit) {
        // Console threads end with their windows; the process must not go
        // while they still use Tcl.
        Lock lock(m.lock);
        int self = selfThread ? 1 : 0;
        m.threadsChanged.wait_for(lock, std::chrono::seconds(10), [&] { return m.runningThreads <= self; });
    }
}

void shutdownConsoleManager() { closeAllConsoles(true); }

}  // namespace krel
