// Requests to the thread that owns a slot: evaluations, slot deletions and
// close requests queued as Tcl events, answered through reply events.
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

// ---------------------------------------------------------------------------
// Requests to the thread that owns a slot.


struct RequestEvent {
    Tcl_Event header;
    RequestPtr *request;
};

struct ReplyEvent {
    Tcl_Event header;
};

int replyEventProc(Tcl_Event *, int) { return 1; }  // it only wakes the waiting thread

thread_local bool threadClosing = false;


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

}  // namespace console
}  // namespace krel
