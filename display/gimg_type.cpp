// The Tk image type "gimg": creation, instances, drawing, deletion, the
// image command and the notifications of bound RAM images.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "core/conio.h"
#include "core/subcmd.h"
#include "core/tclutil.h"
#include "display/gimg.h"
#include "display/gimg_ops.h"
#include "display/gimg_table.h"
#include "image/registry.h"

namespace krel {

namespace {

std::atomic<int> gNextClientId{0x47494D00};  // distinct from the ids other clients use

void freeMaster(GimgMaster *m);

// Keeps a master's record while a command or an event handler works on it:
// a script it runs may delete the image, which then releases everything but
// the record itself (freed when the last holder lets go).
class KeepMaster {
public:
    explicit KeepMaster(GimgMaster *m) : m_(m) { Tcl_Preserve(m_); }
    ~KeepMaster() { Tcl_Release(m_); }
    KeepMaster(const KeepMaster &) = delete;
    KeepMaster &operator=(const KeepMaster &) = delete;

private:
    GimgMaster *m_;
};

// ---------------------------------------------------------------------------
// Notifications from the bound RAM images: recorded now, applied when idle
// (an image may change in the middle of a module's run).

void idleRefresh(ClientData cd)
{
    auto *m = static_cast<GimgMaster *>(cd);
    m->idleScheduled = false;
    if (m->deleted) return;
    KeepMaster keep(m);
    const int what = m->pendingNotify;
    if (what & NOTIFY_CONFIG) {
        if (m->image) discardBandStats(m->image);
    }
    // Rebuilding the tables and maps allocates; an idle callback has no
    // caller to hand an exception to, so a failure is reported and the old
    // pixmap is simply dropped below.
    try {
        applyDerived(m);
    } catch (...) {
        conEprintf("Error in malloc.\n");
    }
    if (m->deleted) return;
    m->pendingNotify = 0;
    invalidatePixmap(m);
    gimgChanged(m);
}

void schedule(GimgMaster *m, int what)
{
    m->pendingNotify |= what;
    ++m->dataSerial;
    invalidatePixmap(m);
    if (!m->idleScheduled && !m->deleted) {
        Tcl_DoWhenIdle(idleRefresh, m);
        m->idleScheduled = true;
    }
}

void imageConfigChanged(void *cd) { schedule(static_cast<GimgMaster *>(cd), NOTIFY_CONFIG); }
void imageDataChanged(void *cd) { schedule(static_cast<GimgMaster *>(cd), NOTIFY_DATA); }
void maskSourceChanged(void *cd)
{
    auto *m = static_cast<GimgMaster *>(cd);
    invalidatePixmap(m);
    if (!m->deleted && m->tkMaster) gimgChanged(m);
}

// ---------------------------------------------------------------------------
// The image command: its operations are in one table (gimg_ops.cpp).

int imageCommand(ClientData cd, Tcl_Interp *interp, int argc, const char **argv)
{
    auto *m = static_cast<GimgMaster *>(cd);
    if (argc < 2) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " option ?arg arg ...?", nullptr);
        return TCL_ERROR;
    }
    Preserved keep(interp);
    KeepMaster keepMaster(m);
    return guarded(interp, [&]() -> int {
        return runGimgOperation(m, interp, argc, argv);
    });
}

void imageCommandDeleted(ClientData cd)
{
    auto *m = static_cast<GimgMaster *>(cd);
    m->command = nullptr;
    if (m->tkMaster && !m->deleted) Tk_DeleteImage(m->interp, Tk_NameOfImage(m->tkMaster));
}

// ---------------------------------------------------------------------------
// Tk image type procedures.

int gimgCreate(Tcl_Interp *interp, const char *name, int objc, Tcl_Obj *const objv[], const Tk_ImageType *,
               Tk_ImageMaster tkMaster, ClientData *clientDataPtr)
{
    Tk_Window main = Tk_MainWindow(interp);
    if (!main) return TCL_ERROR;
    GimgMaster *m = new (std::nothrow) GimgMaster;
    if (!m) {
        Tcl_SetResult(interp, const_cast<char *>("Error in malloc.\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    m->interp = interp;
    m->owner = Tcl_GetCurrentThread();
    m->tkMaster = tkMaster;
    m->name = name;
    m->tkwin = main;
    m->display = Tk_Display(main);
    m->clientId = ++gNextClientId;
    m->client = RimageClient{imageConfigChanged, imageDataChanged, m->clientId, m, nullptr};
    m->maskClient = RimageClient{nullptr, nullptr, m->clientId, m, nullptr};
    m->maskSourceClient = RimageClient{maskSourceChanged, maskSourceChanged, m->clientId, m, nullptr};
    for (auto &ch : m->ch) {
        for (int i = 0; i < 256; ++i) ch.remap[i] = ch.lookup[i] = ch.table[i] = static_cast<uint8_t>(i);
        ch.low = 0;
        ch.high = 255;
    }
    memset(m->classVisible, 1, sizeof m->classVisible);
    m->classVisible[0] = 0;
    // Visuals, colormaps, graphics contexts, XImages and colour cells belong
    // to the instances: they are made for the display and colormap of the
    // widgets that show the image.
    m->fg = Tk_GetColor(interp, main, Tk_GetUid("#ffffff"));
    m->bg = Tk_GetColor(interp, main, Tk_GetUid("#000000"));
    if (!m->fg || !m->bg) {
        Tcl_AddErrorInfo(interp, "\nFail to allocate fg/bg color.");
        freeMaster(m);
        return TCL_ERROR;
    }
    m->fgName = "#ffffff";
    m->bgName = "#000000";
    m->stippleName = "None";
    if (addGimg(m) < 0) {
        Tcl_SetResult(interp, const_cast<char *>("Fail to add the gimg.\n"), TCL_STATIC);
        freeMaster(m);
        return TCL_ERROR;
    }
    m->command = Tcl_CreateCommand(interp, name, imageCommand, m, imageCommandDeleted);

    KeepMaster keep(m);
    std::vector<const char *> argv(static_cast<size_t>(objc) + 1, nullptr);
    for (int i = 0; i < objc; ++i) argv[static_cast<size_t>(i)] = Tcl_GetString(objv[i]);
    int code = guarded(interp, [&] { return configureGimg(m, objc, argv.data(), 0); });
    if (code != TCL_OK) {
        // Tk forgets a master whose creation failed without calling our
        // delete procedure.
        m->tkMaster = nullptr;
        freeMaster(m);
        return TCL_ERROR;
    }
    Tcl_SetObjResult(interp, Tcl_NewStringObj(name, -1));
    *clientDataPtr = m;
    return TCL_OK;
}

// Widgets on the same display and colormap share one instance.
ClientData gimgGet(Tk_Window tkwin, ClientData masterData)
{
    auto *m = static_cast<GimgMaster *>(masterData);
    Display *display = Tk_Display(tkwin);
    const Colormap colormap = Tk_Colormap(tkwin);
    GimgInstance *inst = m->instances;
    while (inst && !(inst->display == display && inst->colormap == colormap)) inst = inst->next;
    if (!inst) {
        inst = new (std::nothrow) GimgInstance;
        if (!inst) return nullptr;
        inst->master = m;
        inst->display = display;
        inst->colormap = colormap;
        inst->visual = Tk_Visual(tkwin);
        inst->depth = Tk_Depth(tkwin);
        inst->screen = Tk_ScreenNumber(tkwin);
        computeCellLevels(inst->cells, m->cellSpec);
        inst->next = m->instances;
        m->instances = inst;
    }
    ++inst->users;
    ++m->instanceCount;
    return inst;
}

void drawArea(GimgInstance *inst, Drawable drawable, int sx, int sy, int w, int h, int dx, int dy)
{
    if (w <= 0 || h <= 0) return;
    Display *display = inst->display;
    GC gc = inst->gc;
    const bool clip = inst->maskActive && inst->maskBitmap;
    if (clip && inst->master->o.maskopaque) {
        XSetForeground(display, gc, inst->bgPixel);
        XFillRectangle(display, drawable, gc, dx, dy, static_cast<unsigned>(w), static_cast<unsigned>(h));
    }
    if (clip) {
        XSetClipMask(display, gc, inst->maskBitmap);
        XSetClipOrigin(display, gc, dx - sx, dy - sy);
    }
    XCopyArea(display, inst->pixmap.pixmap, drawable, gc, sx, sy, static_cast<unsigned>(w), static_cast<unsigned>(h),
              dx, dy);
    if (clip) {
        XSetClipMask(display, gc, None);
        XSetClipOrigin(display, gc, 0, 0);
    }
}

void gimgDisplay(ClientData instanceData, Display *, Drawable drawable, int imageX, int imageY, int width,
                 int height, int drawableX, int drawableY)
{
    auto *inst = static_cast<GimgInstance *>(instanceData);
    if (!inst) return;
    GimgMaster *m = inst->master;
    try {
        if (!pixmapCurrent(inst) && !makePixmap(inst, drawable)) {
            conEprintf("Error in makePixmap...\n");
            return;
        }
    } catch (...) {
        conEprintf("Error in makePixmap...\n");
        return;
    }
    if (!inst->pixmap.pixmap) return;
    const int PW = m->pixW, PH = m->pixH;
    if (!m->o.tile) {
        const int w = std::min(width, PW - imageX), h = std::min(height, PH - imageY);
        drawArea(inst, drawable, imageX, imageY, w, h, drawableX, drawableY);
        return;
    }
    // Tiled: copies of the pixmap at multiples of its size, each clipped to the area.
    if (PW <= 0 || PH <= 0) return;
    for (int ty = (imageY / PH) * PH; ty < imageY + height; ty += PH)
        for (int tx = (imageX / PW) * PW; tx < imageX + width; tx += PW) {
            const int x0 = std::max(tx, imageX), y0 = std::max(ty, imageY);
            const int x1 = std::min(tx + PW, imageX + width), y1 = std::min(ty + PH, imageY + height);
            drawArea(inst, drawable, x0 - tx, y0 - ty, x1 - x0, y1 - y0, drawableX + x0 - imageX,
                     drawableY + y0 - imageY);
        }
}

void destroyInstance(GimgInstance *inst)
{
    freeInstanceResources(inst);
    delete inst;
}

void gimgFree(ClientData instanceData, Display *)
{
    auto *inst = static_cast<GimgInstance *>(instanceData);
    if (!inst) return;
    GimgMaster *m = inst->master;
    --m->instanceCount;
    if (--inst->users > 0) return;
    for (GimgInstance **link = &m->instances; *link; link = &(*link)->next)
        if (*link == inst) {
            *link = inst->next;
            break;
        }
    destroyInstance(inst);
}

void gimgDelete(ClientData masterData)
{
    auto *m = static_cast<GimgMaster *>(masterData);
    if (m->instances) conEprintf("tried to delete gimg image when clients still exist");
    m->tkMaster = nullptr;
    freeMaster(m);
}

void destroyMaster(char *record) { delete reinterpret_cast<GimgMaster *>(record); }

// Releases everything the master holds; the record itself goes when no
// command or handler keeps it any longer.
void freeMaster(GimgMaster *m)
{
    if (m->deleted) return;
    m->deleted = true;
    stopAnimation(m);
    if (m->idleScheduled) Tcl_CancelIdleCall(idleRefresh, m);
    m->idleScheduled = false;
    removeGimg(m);
    if (m->command) {
        Tcl_Command cmd = m->command;
        m->command = nullptr;
        Tcl_DeleteCommandFromToken(m->interp, cmd);
    }
    while (m->instances) {
        GimgInstance *next = m->instances->next;
        destroyInstance(m->instances);
        m->instances = next;
    }
    m->instanceCount = 0;
    if (m->image) releaseImage(m->image, &m->client);
    m->image = nullptr;
    releaseMaskImages(m);
    if (m->maskRegion) XDestroyRegion(m->maskRegion);
    m->maskRegion = nullptr;
    if (m->display) {
        if (m->fg) Tk_FreeColor(m->fg);
        if (m->bg) Tk_FreeColor(m->bg);
        if (m->stipple != None) Tk_FreeBitmap(m->display, m->stipple);
        Tk_FreeOptions(gimgConfigSpecs(), reinterpret_cast<char *>(&m->o), m->display, 0);
    }
    m->fg = m->bg = nullptr;
    m->stipple = None;
    Tcl_EventuallyFree(m, destroyMaster);
}

Tk_ImageType gGimgType = {
    "gimg", gimgCreate, gimgGet, gimgDisplay, gimgFree, gimgDelete, nullptr, nullptr, nullptr,
};

// Tk keeps its image types per thread: a console thread registers the type
// with its own Tk.
thread_local bool gRegistered = false;

}  // namespace

void gimgChanged(GimgMaster *m)
{
    if (!m->tkMaster) return;
    int w = m->pixW, h = m->pixH;
    if (m->o.tile) {
        w = m->o.rotate ? m->o.th : m->o.tw;
        h = m->o.rotate ? m->o.tw : m->o.th;
    }
    Tk_ImageChanged(m->tkMaster, 0, 0, std::max(w, 0), std::max(h, 0), std::max(w, 0), std::max(h, 0));
}

int registerGimgType(Tcl_Interp *interp)
{
    if (gRegistered) return TCL_OK;
    if (Tcl_PkgPresent(interp, "Tk", nullptr, 0) == nullptr) return TCL_OK;  // registered with the thread's first interpreter that has Tk
    initGimgTable();
    Tk_CreateImageType(&gGimgType);
    gRegistered = true;
    return TCL_OK;
}

}  // namespace krel
