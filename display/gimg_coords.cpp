// Coordinate conversions of the gimg command: display points to image,
// file and map positions and back.
#include <cmath>
#include <cstdio>

#include "display/gimg_ops.h"

namespace krel {

namespace {

enum class Space { Image, File, Map };

bool readPoint(Tcl_Interp *interp, const char *xs, const char *ys, double *x, double *y)
{
    return Tcl_GetDouble(interp, xs, x) == TCL_OK && Tcl_GetDouble(interp, ys, y) == TCL_OK;
}

int pointsUsage(Tcl_Interp *interp, const char **argv)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " x y ...", nullptr);
    return TCL_ERROR;
}

// Display points to image, file or map positions, "%-.3f %-.3f " each.
int fromDisplay(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv, Space to)
{
    if (argc < 4 || (argc - 2) % 2 != 0) return pointsUsage(interp, argv);
    std::string out;
    for (int i = 2; i + 1 < argc; i += 2) {
        double u, v, c, r;
        if (!readPoint(interp, argv[i], argv[i + 1], &u, &v)) return TCL_ERROR;
        displayToImage(m, u, v, &c, &r);
        double a = c, b = r;
        if (to == Space::File) {
            a = c + m->o.left;
            b = r + m->o.top;
        } else if (to == Space::Map) {
            a = m->o.x0 + c * m->o.dx;
            b = m->o.y0 - r * m->o.dy;
        }
        char buf[96];
        snprintf(buf, sizeof buf, "%-.3f %-.3f ", a, b);
        out += buf;
    }
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, out.c_str(), nullptr);
    return TCL_OK;
}

int toDisplay(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv, Space from)
{
    if (argc < 4 || (argc - 2) % 2 != 0) return pointsUsage(interp, argv);
    std::string out;
    for (int i = 2; i + 1 < argc; i += 2) {
        double a, b;
        if (!readPoint(interp, argv[i], argv[i + 1], &a, &b)) return TCL_ERROR;
        double c = a, r = b;
        if (from == Space::File) {
            c = a - m->o.left;
            r = b - m->o.top;
        } else if (from == Space::Map) {
            c = (a - m->o.x0) / m->o.dx;
            r = (m->o.y0 - b) / m->o.dy;
        }
        double u, v;
        imageToDisplay(m, c, r, &u, &v);
        char buf[96];
        snprintf(buf, sizeof buf, "%-.3f %-.3f ", u, v);
        out += buf;
    }
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, out.c_str(), nullptr);
    return TCL_OK;
}

// One display pixel, rounded, through the maps.
bool onePixel(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv, double *c, double *r)
{
    if (argc != 4) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " column row", nullptr);
        return false;
    }
    double u, v;
    if (!readPoint(interp, argv[2], argv[3], &u, &v)) return false;
    displayToImage(m, roundAway(u), roundAway(v), c, r);
    return true;
}

}  // namespace

int gimgCanvToImg(GimgMaster *m, Tcl_Interp *i, int argc, const char **argv)
{
    return fromDisplay(m, i, argc, argv, Space::Image);
}
int gimgCanvToFile(GimgMaster *m, Tcl_Interp *i, int argc, const char **argv)
{
    return fromDisplay(m, i, argc, argv, Space::File);
}
int gimgCanvToMap(GimgMaster *m, Tcl_Interp *i, int argc, const char **argv)
{
    return fromDisplay(m, i, argc, argv, Space::Map);
}
int gimgImgToCanv(GimgMaster *m, Tcl_Interp *i, int argc, const char **argv)
{
    return toDisplay(m, i, argc, argv, Space::Image);
}
int gimgFileToCanv(GimgMaster *m, Tcl_Interp *i, int argc, const char **argv)
{
    return toDisplay(m, i, argc, argv, Space::File);
}
int gimgMapToCanv(GimgMaster *m, Tcl_Interp *i, int argc, const char **argv)
{
    return toDisplay(m, i, argc, argv, Space::Map);
}

int gimgBitmapToFile(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    double c, r;
    if (!onePixel(m, interp, argc, argv, &c, &r)) return TCL_ERROR;
    appendResult(interp, "%d %d", static_cast<int>(c) + m->o.left, static_cast<int>(r) + m->o.top);
    return TCL_OK;
}

int gimgBitmapToMap(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    double c, r;
    if (!onePixel(m, interp, argc, argv, &c, &r)) return TCL_ERROR;
    appendResult(interp, "%13.3f %13.3f", m->o.x0 + c * m->o.dx, m->o.y0 - r * m->o.dy);
    return TCL_OK;
}

}  // namespace krel
