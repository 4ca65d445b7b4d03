// Views of another gimg image (copy: a magnifier centred on a point; crop:
// the part from a corner) and the overlay drawn by `graph`.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "display/gimg_ops.h"
#include "display/gimg_table.h"
#include "image/registry.h"

namespace krel {

namespace {

// The source of a view: an existing gimg image with an image of its own.
GimgMaster *viewSourceOf(GimgMaster *m, Tcl_Interp *interp, const char *name)
{
    GimgMaster *src = findGimg(interp, name);
    if (!src) {
        Tcl_AppendResult(interp, "gimg ", name, " not found", nullptr);
        return nullptr;
    }
    // A view of itself or of another view would follow a loop or nothing.
    if (src == m || !src->viewSource.empty() || !src->image) {
        Tcl_AppendResult(interp, "gimg ", name, " has no image of its own to view", nullptr);
        return nullptr;
    }
    return src;
}

// Makes `m` a view of `src` with the given magnifications and start, then
// redraws (at once when `draw`).
void becomeView(GimgMaster *m, GimgMaster *src, double magX, double magY, double startCol, double startRow, bool draw)
{
    if (m->image) releaseImage(m->image, &m->client);
    m->image = nullptr;
    m->attachedName.clear();
    setOptionString(&m->o.file, "");
    m->paletteInUse = false;
    GimgOptions &o = m->o;
    const ImageDef &d = src->image->def;
    o.xflip = src->o.xflip;
    o.yflip = src->o.yflip;
    o.rotate = src->o.rotate;
    copyGeometry(o, d);
    m->viewSource = src->name;
    m->viewMagX = magX;
    m->viewMagY = magY;
    m->viewStartCol = static_cast<int>(std::clamp(startCol, -1e9, 1e9));
    m->viewStartRow = static_cast<int>(std::clamp(startRow, -1e9, 1e9));
    o.sc = m->viewStartCol;
    o.sr = m->viewStartRow;
    applyGeometry(m);
    invalidatePixmap(m);
    gimgChanged(m);
    (void)draw;  // Tk draws the changed area when idle; a script asks `update idletasks` for it now
}

bool positive(const char *w, double *v) { return Tcl_GetDouble(nullptr, w, v) == TCL_OK && *v > 0 && std::isfinite(*v); }

// The source column and row under a display point of the source, clamped into its maps.
void sourcePoint(GimgMaster *src, double u, double v, double *c, double *r)
{
    double x, y;
    displayToRender(src, u, v, &x, &y);
    x = std::clamp(std::isfinite(x) ? x : 0.0, 0.0, std::max(0.0, src->colMap.length - 1.0));
    y = std::clamp(std::isfinite(y) ? y : 0.0, 0.0, std::max(0.0, src->rowMap.length - 1.0));
    *c = renderToImage(src->colMap, std::floor(x));
    *r = renderToImage(src->rowMap, std::floor(y));
}

}  // namespace

int gimgCopy(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 5 || argc > 10) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " copy sourceImage xc yc ?mx? ?my? ?flag? ?x0? ?y0?", nullptr);
        return TCL_ERROR;
    }
    GimgMaster *src = viewSourceOf(m, interp, argv[2]);
    if (!src) return TCL_ERROR;
    double xc, yc, mx = m->o.mx, my = m->o.my, x0 = 0, y0 = 0;
    int flag = 1;
    if (Tcl_GetDouble(interp, argv[3], &xc) != TCL_OK || Tcl_GetDouble(interp, argv[4], &yc) != TCL_OK) return TCL_ERROR;
    if ((argc > 5 && !positive(argv[5], &mx)) || (argc > 6 && !positive(argv[6], &my)))
        return opError(interp, "Invalid magnification value!\n");
    if (argc > 7 && Tcl_GetInt(interp, argv[7], &flag) != TCL_OK) return TCL_ERROR;
    if ((argc > 8 && Tcl_GetDouble(interp, argv[8], &x0) != TCL_OK) ||
        (argc > 9 && Tcl_GetDouble(interp, argv[9], &y0) != TCL_OK))
        return TCL_ERROR;
    // The factors given stay the view's -mx and -my; the maps magnify by
    // them times the source's magnification.
    m->o.mx = mx;
    m->o.my = my;
    double c, r;
    sourcePoint(src, xc, yc, &c, &r);
    const double magX = mx * src->colMap.mag, magY = my * src->rowMap.mag;
    const bool rotated = src->o.rotate != 0;
    const int renderW = rotated ? m->o.height : m->o.width, renderH = rotated ? m->o.width : m->o.height;
    const double startCol = std::trunc(c - renderW / magX * 0.5 + x0 / magX);
    const double startRow = std::trunc(r - renderH / magY * 0.5 + y0 / magY);
    becomeView(m, src, magX, magY, startCol, startRow, flag != 0);
    return TCL_OK;
}

int gimgCrop(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 5 || argc > 6) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " copysub sourceImage x0 y0 ?flag?", nullptr);
        return TCL_ERROR;
    }
    GimgMaster *src = viewSourceOf(m, interp, argv[2]);
    if (!src) return TCL_ERROR;
    double x0, y0;
    int flag = 1;
    if (Tcl_GetDouble(interp, argv[3], &x0) != TCL_OK || Tcl_GetDouble(interp, argv[4], &y0) != TCL_OK) return TCL_ERROR;
    if (argc > 5 && Tcl_GetInt(interp, argv[5], &flag) != TCL_OK) return TCL_ERROR;
    double c, r;
    sourcePoint(src, x0, y0, &c, &r);
    const double magX = src->colMap.mag > 0 ? src->colMap.mag : 1.0, magY = src->rowMap.mag > 0 ? src->rowMap.mag : 1.0;
    m->o.mx = 1.0;
    m->o.my = 1.0;
    // The view's upper-left display pixel shows (c, r): the map start that
    // puts that column and row under it, flips and rotation taken along.
    const bool rotated = src->o.rotate != 0;
    const int renderW = rotated ? m->o.height : m->o.width, renderH = rotated ? m->o.width : m->o.height;
    double x = 0, y = 0;
    if (src->o.rotate < 0) y = renderH - 1;
    else if (src->o.rotate > 0) x = renderW - 1;
    const double fx = src->o.xflip ? renderW - 1 - x : x, fy = src->o.yflip ? renderH - 1 - y : y;
    becomeView(m, src, magX, magY, c - std::trunc(fx / magX), r - std::trunc(fy / magY), flag != 0);
    return TCL_OK;
}

int gimgGraph(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        appendResult(interp, "Usage: %s %s id coords\n", argv[0], argv[1]);
        return TCL_ERROR;
    }
    GimgInstance *inst = m->instances;
    if (!inst || !inst->pixmap.pixmap || m->pixW <= 0) return opError(interp, "view port not defined.\n");
    for (; inst; inst = inst->next) {
        if (!inst->pixmap.pixmap) continue;
        if (!inst->drawGC) inst->drawGC = XCreateGC(inst->display, inst->pixmap.pixmap, 0, nullptr);
        if (!inst->drawGC) return opError(interp, "Error in creating drawGC.\n");
        XSetForeground(inst->display, inst->drawGC, inst->fgPixel);
        XDrawRectangle(inst->display, inst->pixmap.pixmap, inst->drawGC, 0, 0, 127, 127);
    }
    // The overlay is on the pixmap as it is: redraw the widgets without remaking it.
    gimgChanged(m);
    return TCL_OK;
}

}  // namespace krel
