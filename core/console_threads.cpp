// Console threads: `krel thread` starts a thread that creates an
// application and its console and serves their windows until they go.
#include "core/console_manager.h"

#include <system_error>
#include <thread>
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

}  // namespace console
}  // namespace krel
