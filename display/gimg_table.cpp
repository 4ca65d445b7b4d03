#include "display/gimg_table.h"

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
}  // namespace

void initGimgTable()
{
    if (slots().empty()) slots().assign(kGimgSlots, nullptr);
}

int addGimg(GimgMaster *m)
{
    initGimgTable();
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
    auto &t = slots();
    if (m->slot >= 0 && m->slot < static_cast<int>(t.size()) && t[static_cast<size_t>(m->slot)] == m)
        t[static_cast<size_t>(m->slot)] = nullptr;
    m->slot = -1;
}

GimgMaster *findGimg(Tcl_Interp *interp, const char *name)
{
    if (!name) return nullptr;
    for (GimgMaster *m : slots())
        if (m && m->interp == interp && m->name == name) return m;
    return nullptr;
}

void appendGimgNames(Tcl_Interp *interp)
{
    Tcl_Obj *result = Tcl_GetObjResult(interp);
    if (Tcl_IsShared(result)) {
        result = Tcl_DuplicateObj(result);
        Tcl_SetObjResult(interp, result);
    }
    for (GimgMaster *m : slots())
        if (m) Tcl_AppendStringsToObj(result, m->name.c_str(), " ", nullptr);
}

void deleteAllGimg()
{
    auto &t = slots();
    for (size_t i = 0; i < t.size(); ++i) {
        GimgMaster *m = t[i];
        if (!m) continue;
        // Tk holds the master: deleting through Tk calls our delete procedure,
        // which clears the slot.
        if (m->tkMaster && !Tcl_InterpDeleted(m->interp))
            Tk_DeleteImage(m->interp, Tk_NameOfImage(m->tkMaster));
        t[i] = nullptr;
    }
    std::vector<GimgMaster *>().swap(t);
}

}  // namespace krel
