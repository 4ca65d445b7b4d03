#include "display/gimg_table.h"

#include <mutex>
#include <vector>

#include <tk.h>

#include "core/conio.h"
#include "display/gimg.h"

namespace krel {

namespace {
std::vector<GimgMaster *> &slots()
{
    static std::vector<GimgMaster *> table;
    return table;
}

// Console threads have Tk interpreters and gimg images of their own, so the
// one table of the process is reached from several threads.
std::mutex &tableLock()
{
    static std::mutex lock;
    return lock;
}

void initLocked()
{
    if (slots().empty()) slots().assign(kGimgSlots, nullptr);
}
}  // namespace

void initGimgTable()
{
    std::lock_guard<std::mutex> lock(tableLock());
    initLocked();
}

int addGimg(GimgMaster *m)
{
    std::lock_guard<std::mutex> lock(tableLock());
    initLocked();
    auto &t = slots();
    for (int i = 0; i < kGimgSlots; ++i)
        if (!t[static_cast<size_t>(i)]) {
            t[static_cast<size_t>(i)] = m;
            m->slot = i;
            return i;
        }
    conEprintf("Fail to add the gimg.\n");
    return -1;
}

void removeGimg(GimgMaster *m)
{
    std::lock_guard<std::mutex> lock(tableLock());
    auto &t = slots();
    if (m->slot >= 0 && m->slot < static_cast<int>(t.size()) && t[static_cast<size_t>(m->slot)] == m)
        t[static_cast<size_t>(m->slot)] = nullptr;
    m->slot = -1;
}

void appendGimgNames(Tcl_Interp *interp)
{
    Tcl_Obj *result = Tcl_GetObjResult(interp);
    if (Tcl_IsShared(result)) {
        result = Tcl_DuplicateObj(result);
        Tcl_SetObjResult(interp, result);
    }
    std::lock_guard<std::mutex> lock(tableLock());
    for (GimgMaster *m : slots())
        if (m) Tcl_AppendStringsToObj(result, m->name.c_str(), " ", nullptr);
}

void deleteAllGimg()
{
    // Only this thread's images: those of a console thread belong to its
    // interpreters, which that thread deletes itself.
    const Tcl_ThreadId self = Tcl_GetCurrentThread();
    for (;;) {
        GimgMaster *m = nullptr;
        {
            std::lock_guard<std::mutex> lock(tableLock());
            for (GimgMaster *&entry : slots())
                if (entry && entry->owner == self) {
                    m = entry;
                    entry = nullptr;
                    m->slot = -1;
                    break;
                }
        }
        if (!m) break;
        // Tk holds the master: deleting through Tk calls our delete procedure.
        if (m->tkMaster && !Tcl_InterpDeleted(m->interp)) Tk_DeleteImage(m->interp, Tk_NameOfImage(m->tkMaster));
    }
    std::lock_guard<std::mutex> lock(tableLock());
    auto &t = slots();
    for (GimgMaster *m : t)
        if (m) return;
    std::vector<GimgMaster *>().swap(t);
}

}  // namespace krel
