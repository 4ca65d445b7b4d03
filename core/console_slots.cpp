// The slot table: interpreters of the table, their watched main windows,
// and reserving, filling and emptying slots.
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

ConsoleManager &consoleManager()
{
    // Never destroyed: console threads and exit handlers may still reach it
    // while static objects are torn down.
    static ConsoleManager *manager = new ConsoleManager;
    return *manager;
}

void setConsoleHooks(const ConsoleHooks &hooks) { consoleManager().hooks = hooks; }

namespace console {



thread_local ConsoleThread *selfThread = nullptr;
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


void setResultf(Tcl_Interp *interp, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s", scratchFormatV(format, ap)));
    va_end(ap);
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

}  // namespace console
}  // namespace krel
