// `capture`: the pixmap of a gimg display (or a part of it), as the X server
// holds it, copied into a memory resident RAM image.
#include <algorithm>
#include <cstring>
#include <string>

#include "display/gimg_ops.h"
#include "image/registry.h"
#include "image/xcapture.h"

namespace krel {

namespace {

void noteChange(ClientData, int, int, int, int, int, int) {}

// An instance of the image on the main window while the capture needs one.
class MainInstance {
public:
    MainInstance(Tcl_Interp *interp, GimgMaster *m) : interp_(interp)
    {
        Tk_MakeWindowExist(m->tkwin);
        image_ = Tk_GetImage(interp, m->tkwin, m->name.c_str(), noteChange, nullptr);
    }
    ~MainInstance()
    {
        if (image_) Tk_FreeImage(image_);
    }
    MainInstance(const MainInstance &) = delete;
    MainInstance &operator=(const MainInstance &) = delete;
    bool ok() const { return image_ != nullptr; }

private:
    Tcl_Interp *interp_;
    Tk_Image image_ = nullptr;
};

}  // namespace

int gimgCapture(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3 && argc != 7) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " capture rimgTag [x0 y0 width height]", nullptr);
        return TCL_ERROR;
    }
    const char *tag = argv[2];
    if (strcmp(tag, "clipboard") == 0) {
        Tcl_AppendResult(interp, argv[0], " capture clipboard is not available in this build.", nullptr);
        return TCL_ERROR;
    }
    int x0 = 0, y0 = 0, w = m->pixW, h = m->pixH;
    if (argc == 7) {
        double v[4];
        for (int i = 0; i < 4; ++i)
            if (Tcl_GetDouble(interp, argv[3 + i], &v[i]) != TCL_OK) return TCL_ERROR;
        for (double &d : v) d = std::clamp(d, -1e9, 1e9);
        x0 = static_cast<int>(v[0]);
        y0 = static_cast<int>(v[1]);
        w = static_cast<int>(v[2]);
        h = static_cast<int>(v[3]);
    }
    // A region beyond the pixmap is clipped to it.
    const int x1 = std::min(x0 + std::max(w, 0), m->pixW), y1 = std::min(y0 + std::max(h, 0), m->pixH);
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    if (m->pixW <= 0 || m->pixH <= 0 || x1 <= x0 || y1 <= y0) return opError(interp, "Error in rimgWindow...\n");
    if (RamImage *existing = findByTag(tag)) {
        if (existing->imageFlags & 1) return opError(interp, "can't update a system rimage");
        if (!isMemoryFormat(existing->def.imgid) || existing->fileHandle >= 0)
            return opError(interp, "rimage must be memory resident");
        if (existing->useCount > 0) return opError(interp, "Can't config a RAMIMG in use.\n");
    }
    // The pixmap, made when no widget has drawn it yet.
    MainInstance keep(interp, m);
    if (m->deleted) return opError(interp, "No pixmap.\n");
    GimgInstance *inst = m->instances;
    for (GimgInstance *i = inst; i; i = i->next)
        if (i->display == m->display && i->colormap == Tk_Colormap(m->tkwin)) inst = i;
    if (!inst) return opError(interp, "No pixmap.\n");
    if (!pixmapCurrent(inst)) {
        Drawable on = Tk_WindowId(m->tkwin) ? Tk_WindowId(m->tkwin) : RootWindow(inst->display, inst->screen);
        if (!makePixmap(inst, on)) return opError(interp, "No pixmap.\n");
    }
    if (!inst->pixmap.pixmap) return opError(interp, "No pixmap.\n");
    const unsigned cw = static_cast<unsigned>(x1 - x0), ch = static_cast<unsigned>(y1 - y0);
    XImage *xi = XGetImage(inst->display, inst->pixmap.pixmap, x0, y0, cw, ch, AllPlanes, ZPixmap);
    if (!xi) return opError(interp, "Error in rimgWindow...\n");
    // Masked pixels show the background, as on the screen with masking on.
    if (inst->maskActive && inst->maskBitmap) {
        if (XImage *mk = XGetImage(inst->display, inst->maskBitmap, x0, y0, cw, ch, 1, XYPixmap)) {
            for (unsigned y = 0; y < ch; ++y)
                for (unsigned x = 0; x < cw; ++x)
                    if (!XGetPixel(mk, static_cast<int>(x), static_cast<int>(y)))
                        XPutPixel(xi, static_cast<int>(x), static_cast<int>(y), inst->bgPixel);
            XDestroyImage(mk);
        }
    }
    const bool isNew = findByTag(tag) == nullptr;
    int error = IMGERR_OK;
    RamImage *img = ximageToImage(inst->display, inst->colormap, inst->visual, xi, tag, &error);
    XDestroyImage(xi);
    if (!img) return opError(interp, "Error in rimgWindow...\n");
    if (isNew) {
        holdToScriptOpen(img);
    } else {
        notifyClients(img, -1, NOTIFY_CONFIG);
        releaseImage(img, nullptr);
    }
    Tcl_SetObjResult(interp, Tcl_NewStringObj(img->tag, -1));
    return TCL_OK;
}

}  // namespace krel
