// Internals shared by the parts of the console manager: the slot table
// (console_slots.cpp), cross-thread requests (console_requests.cpp), session
// creation (console_session.cpp), console threads (console_threads.cpp) and
// the `krel` command (krel_command.cpp). Not for use outside them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <tcl.h>
#include <tk.h>

#include "core/console_manager.h"
#include "core/package.h"
#include "core/runtime.h"
#include "core/tclutil.h"

namespace krel {

// A watched main window of a slot's interpreter. The record belongs to the
// Tk event handler and is freed when the window is destroyed or the watch is
// taken away.
struct SlotWatch {
    int slot;
    bool isCon;
    Tcl_Interp *interp;
    Tk_Window window;
};

namespace console {

using Lock = std::unique_lock<std::mutex>;

// The console thread this thread is, if any.
extern thread_local ConsoleThread *selfThread;
// Whether this thread's console channels have been set up.
extern thread_local bool channelsReady;
// Set once a console thread stops answering requests.
extern thread_local bool threadClosing;

// Slot table and interpreters of the table (console_slots.cpp).
bool ownedHere(const ConsoleSlot &slot);
Tk_Window mainWindowOf(Tcl_Interp *interp);
void destroyMainWindow(Tcl_Interp *interp);
void deleteInterp(Tcl_Interp *interp);
void scheduleDelete(Tcl_Interp *interp, int ms);
void watchWindow(int k, bool isCon, Tcl_Interp *interp);
void unwatchWindow(SlotWatch *watch);
void trackInterp(Tcl_Interp *interp);
Tcl_Interp *newInterp(bool withTk, std::string *error);
void setResultf(Tcl_Interp *interp, const char *format, ...) __attribute__((format(printf, 2, 3)));
void deleteSlot(int k);
void deleteSlotHere(int k);
void closeThreadConsoles();
int reserveFreeSlot();
void unreserveSlot(int k);
void storeApp(int k, Tcl_Interp *app);

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

// Registration steps that must not change the current console (calc, for
// one, makes the interpreter it is loaded into current when none is).
template <class F>
int keepingCurrent(F &&step)
{
    CurrentInterp keep(currentInterp());
    return step();
}

// Requests to the thread that owns a slot (console_requests.cpp).
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

bool postLocked(ConsoleManager &m, Tcl_ThreadId target, const RequestPtr &req);
int evalInSlotApp(Tcl_Interp *caller, int k, const char *script, bool record, bool *noApp);

// Sessions (console_session.cpp).
int setConStdIOCmd(ClientData, Tcl_Interp *interp, int, const char **);
std::string joinWords(int argc, const char **argv, int first);
int attachOrCreate(Tcl_Interp *caller, const ScriptVars &vars, bool create, int reservedSlot);

// Console threads (console_threads.cpp).
int threadSubcommand(Tcl_Interp *interp);

// The `krel` command (krel_command.cpp).
int krelCommand(ClientData data, Tcl_Interp *interp, int argc, const char **argv);

}  // namespace console
}  // namespace krel
