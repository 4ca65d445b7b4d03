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
#include "core/console_internal.h"
#include "core/package.h"
#include "core/runtime.h"
#include "core/tclutil.h"

namespace krel {

using namespace console;

static void consoleExitHandler(ClientData)
{
    setCurrentInterp(nullptr);
    restoreStandardChannels();
}


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
