// Mask planes of a gimg display: objects given in display coordinates and
// kept in image coordinates (so they stay on the ground under pan, zoom and
// rotation), filled by the X server into one-bit pixmaps and combined there;
// frame objects drawn as outlines; the `mask` operation.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "display/gimg_ops.h"

namespace krel {

namespace {

// Edge positions: display pixel u covers [u, u + 1). A rotation or a flip
// maps edges onto edges, so a shape covers the same pixels both ways.
double renderEdgeToImage(const SampleMap &map, double x)
{
    const double mag = map.mag > 0 ? map.mag : 1.0;
    if (map.flip) x = map.length - x;
    return x / mag + map.start;
}

double imageEdgeToRender(const SampleMap &map, double c)
{
    const double mag = map.mag > 0 ? map.mag : 1.0;
    const double x = (c - map.start) * mag;
    return map.flip ? map.length - x : x;
}

void displayEdgeToImage(const GimgMaster *m, double u, double v, double *c, double *r)
{
    const int W = m->renderW, H = m->renderH;
    double x = u, y = v;
    if (m->o.rotate < 0) {
        x = v;
        y = H - u;
    } else if (m->o.rotate > 0) {
        x = W - v;
        y = u;
    }
    *c = renderEdgeToImage(m->colMap, x);
    *r = renderEdgeToImage(m->rowMap, y);
}

void imageEdgeToDisplay(const GimgMaster *m, double c, double r, double *u, double *v)
{
    const int W = m->renderW, H = m->renderH;
    const double x = imageEdgeToRender(m->colMap, c), y = imageEdgeToRender(m->rowMap, r);
    *u = x;
    *v = y;
    if (m->o.rotate < 0) {
        *u = H - y;
        *v = x;
    } else if (m->o.rotate > 0) {
        *u = y;
        *v = W - x;
    }
}

// First pixel whose centre lies at or beyond an edge.
int pixelFrom(double edge) { return static_cast<int>(std::ceil(std::clamp(edge, -1e8, 1e8) - 0.5)); }

const char *kCombineWords[] = {"set", "or", "and", "xor"};

int combineCode(const char *w)
{
    for (int i = 0; i < 4; ++i)
        if (strcmp(w, kCombineWords[i]) == 0) return i;
    return -1;
}

// Parses "?set|or|and|xor? rc|pl|ov {coords} ..." (display coordinates)
// into objects in image coordinates; false with the message in the result.
bool parseObjects(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv, std::vector<MaskObject> *out)
{
    for (int i = 0; i < argc;) {
        MaskObject obj;
        int op = combineCode(argv[i]);
        if (op >= 0) {
            obj.combine = op;
            if (++i >= argc) {
                opError(interp, "Syntax error.\n");
                return false;
            }
        }
        const char *type = argv[i];
        if (strcmp(type, "rc") == 0) obj.shape = SHAPE_RECT;
        else if (strcmp(type, "pl") == 0) obj.shape = SHAPE_POLYGON;
        else if (strcmp(type, "ov") == 0) obj.shape = SHAPE_OVAL;
        else {
            opError(interp, std::string("Unknown obj type: ") + type);
            return false;
        }
        if (++i >= argc) {
            opError(interp, "Syntax error.\n");
            return false;
        }
        const char *coords = argv[i++];
        const char *what = obj.shape == SHAPE_RECT   ? "Error in parsing rectangle.\n"
                           : obj.shape == SHAPE_OVAL ? "Error in parsing oval.\n"
                                                     : "Error in parsing polygon.\n";
        int n = 0;
        const char **items = nullptr;
        if (Tcl_SplitList(nullptr, coords, &n, &items) != TCL_OK) {
            opError(interp, what);
            return false;
        }
        std::vector<double> v;
        bool ok = true;
        for (int k = 0; k < n && ok; ++k) {
            double d;
            ok = Tcl_GetDouble(nullptr, items[k], &d) == TCL_OK && std::isfinite(d);
            v.push_back(d);
        }
        Tcl_Free(reinterpret_cast<char *>(items));
        if (!ok || (obj.shape != SHAPE_POLYGON && n != 4) || (obj.shape == SHAPE_POLYGON && (n < 6 || n % 2))) {
            opError(interp, what);
            return false;
        }
        for (size_t k = 0; k + 1 < v.size(); k += 2) {
            double c, r;
            displayEdgeToImage(m, v[k], v[k + 1], &c, &r);
            obj.points.push_back(c);
            obj.points.push_back(r);
        }
        out->push_back(std::move(obj));
    }
    return true;
}

// The box {c0 r0 c1 r1} of a rectangle or oval as pixels [x, x + w).
void boxPixels(const MaskObject &o, int *x, int *y, int *w, int *h)
{
    const double c0 = std::min(o.points[0], o.points[2]), c1 = std::max(o.points[0], o.points[2]);
    const double r0 = std::min(o.points[1], o.points[3]), r1 = std::max(o.points[1], o.points[3]);
    *x = pixelFrom(c0);
    *y = pixelFrom(r0);
    *w = std::max(0, pixelFrom(c1) - *x);
    *h = std::max(0, pixelFrom(r1) - *y);
}

void fillObject(Display *d, Drawable p, GC gc, const MaskObject &o)
{
    int x, y, w, h;
    switch (o.shape) {
    case SHAPE_RECT:
        boxPixels(o, &x, &y, &w, &h);
        if (w > 0 && h > 0) XFillRectangle(d, p, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
        break;
    case SHAPE_OVAL:
        boxPixels(o, &x, &y, &w, &h);
        if (w > 0 && h > 0) XFillArc(d, p, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h), 0, 360 * 64);
        break;
    default: {
        // X fills pixel (x, y) when the point (x, y) lies inside, as its
        // rectangles do: the shape covers what Xlib fills.
        std::vector<XPoint> pts;
        for (size_t k = 0; k + 1 < o.points.size(); k += 2) {
            XPoint pt;
            pt.x = static_cast<short>(std::clamp(std::lround(o.points[k]), -32000L, 32000L));
            pt.y = static_cast<short>(std::clamp(std::lround(o.points[k + 1]), -32000L, 32000L));
            pts.push_back(pt);
        }
        XFillPolygon(d, p, gc, pts.data(), static_cast<int>(pts.size()), Complex, CoordModeOrigin);
        break;
    }
    }
}

// A one-bit pixmap with its GC, freed on every path out.
struct Bitplane {
    Display *display;
    Pixmap pixmap = None;
    GC gc = nullptr;
    Bitplane(Display *d, Drawable on, int w, int h) : display(d)
    {
        pixmap = XCreatePixmap(d, on, static_cast<unsigned>(w), static_cast<unsigned>(h), 1);
        if (pixmap) gc = XCreateGC(d, pixmap, 0, nullptr);
    }
    ~Bitplane()
    {
        if (gc) XFreeGC(display, gc);
        if (pixmap) XFreePixmap(display, pixmap);
    }
    Bitplane(const Bitplane &) = delete;
    Bitplane &operator=(const Bitplane &) = delete;
    void clear(int w, int h)
    {
        XSetFunction(display, gc, GXcopy);
        XSetForeground(display, gc, 0);
        XFillRectangle(display, pixmap, gc, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
    }
};

const char *shapeWord(int shape) { return shape == SHAPE_RECT ? "rc" : shape == SHAPE_OVAL ? "ov" : "pl"; }

// The objects of planes in display coordinates, as the mask operation takes them.
void listObjects(GimgMaster *m, Tcl_Interp *interp, const MaskPlane &plane)
{
    for (const MaskObject &o : plane.objects) {
        Tcl_Obj *coords = Tcl_NewListObj(0, nullptr);
        for (size_t k = 0; k + 1 < o.points.size(); k += 2) {
            double u, v;
            imageEdgeToDisplay(m, o.points[k], o.points[k + 1], &u, &v);
            Tcl_ListObjAppendElement(nullptr, coords, Tcl_NewDoubleObj(std::round(u * 1000) / 1000));
            Tcl_ListObjAppendElement(nullptr, coords, Tcl_NewDoubleObj(std::round(v * 1000) / 1000));
        }
        Tcl_AppendElement(interp, kCombineWords[o.combine]);
        Tcl_AppendElement(interp, shapeWord(o.shape));
        Tcl_AppendElement(interp, Tcl_GetString(coords));
        Tcl_DecrRefCount(coords);
    }
}

void appendClassRanges(GimgMaster *m, Tcl_Interp *interp)
{
    for (int v = 0; v < 256;) {
        if (!m->classVisible[v]) {
            ++v;
            continue;
        }
        int e = v;
        while (e + 1 < 256 && m->classVisible[e + 1]) ++e;
        appendResult(interp, "%d-%d ", v, e);
        v = e + 1;
    }
}

void masksChanged(GimgMaster *m)
{
    ++m->maskSerial;
    redrawGimg(m);
}

// Kinds: 1 frame, 2 clip, 3 data, 4 all.
int maskKind(const char *w, bool withClass)
{
    if (strcmp(w, "frame") == 0) return 1;
    if (strcmp(w, "clip") == 0) return 2;
    if (strcmp(w, "data") == 0) return 3;
    if (strcmp(w, "all") == 0) return 4;
    if (withClass && strcmp(w, "class") == 0) return 5;
    return 0;
}

// mask data|clip|frame ?dynamic|static|current? OBJECT ...
int planeObjects(GimgMaster *m, Tcl_Interp *interp, int kind, int argc, const char **argv)
{
    int i = 3;
    bool dynamic = false;
    const char *refusal = kind == 1 ? "Unknown frame option.\n" : kind == 2 ? "Unknown clip option.\n"
                                                                          : "invalid mask directive.\n";
    if (i < argc && kind == 1 && combineCode(argv[i]) < 0 && strcmp(argv[i], "rc") && strcmp(argv[i], "pl") &&
        strcmp(argv[i], "ov") && strcmp(argv[i], "dynamic") && strcmp(argv[i], "static") && strcmp(argv[i], "current"))
        return opError(interp, refusal);
    if (i < argc && (strcmp(argv[i], "dynamic") == 0 || strcmp(argv[i], "static") == 0)) {
        dynamic = argv[i][0] == 'd';
        ++i;
    } else if (i < argc && strcmp(argv[i], "current") == 0) {
        if (argc != 4) return opError(interp, refusal);
        if (kind == 1) {
            listObjects(m, interp, m->frameStatic);
            listObjects(m, interp, m->frameDynamic);
        } else {
            listObjects(m, interp, kind == 2 ? m->clipPlane : m->dataPlane);
        }
        return TCL_OK;
    } else if (kind == 3 && i < argc && strcmp(argv[i], "values") == 0) {
        if (argc != 4) return opError(interp, refusal);
        appendClassRanges(m, interp);
        return TCL_OK;
    }
    if (i >= argc) return opError(interp, refusal);
    if (!m->image) return opError(interp, "Image not configured");
    std::vector<MaskObject> objects;
    if (!parseObjects(m, interp, argc - i, argv + i, &objects)) return TCL_ERROR;
    MaskPlane &plane = kind == 1 ? (dynamic ? m->frameDynamic : m->frameStatic) : kind == 2 ? m->clipPlane : m->dataPlane;
    // A dynamic plane is replaced by the new objects; a static one keeps its own.
    if (dynamic) plane.objects.clear();
    for (MaskObject &o : objects) {
        if (o.combine == COMBINE_SET) plane.objects.clear();
        plane.objects.push_back(std::move(o));
    }
    plane.present = true;
    masksChanged(m);
    return TCL_OK;
}

int maskClass(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 4 || argc > 5) {
        Tcl_AppendResult(interp, argv[0], " ", argv[1], " ", argv[2], " classDef|? [xor|or|set]", nullptr);
        return TCL_ERROR;
    }
    if (strcmp(argv[3], "?") == 0) {
        appendClassRanges(m, interp);
        return TCL_OK;
    }
    const char *how = argc == 5 ? argv[4] : "set";
    const int op = combineCode(how);
    if (op != COMBINE_SET && op != COMBINE_OR && op != COMBINE_XOR)
        return opError(interp, "Invalid mask class specification.\n");
    uint8_t table[256];
    if (!parseMaskClasses(argv[3], table)) return opError(interp, "Error in parsing mask class.");
    for (int v = 0; v < 256; ++v) {
        if (op == COMBINE_SET) m->classVisible[v] = table[v];
        else if (op == COMBINE_OR) m->classVisible[v] |= table[v];
        else m->classVisible[v] ^= table[v];
    }
    masksChanged(m);
    return TCL_OK;
}

}  // namespace

bool parseMaskObjects(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv, MaskPlane *plane)
{
    std::vector<MaskObject> objects;
    if (!parseObjects(m, interp, argc, argv, &objects)) return false;
    for (MaskObject &o : objects) {
        if (o.combine == COMBINE_SET) plane->objects.clear();
        plane->objects.push_back(std::move(o));
    }
    plane->present = true;
    return true;
}

bool rasterPlane(GimgMaster *m, const MaskPlane &plane, std::vector<uint8_t> *bits)
{
    const RamImage *shape = m->image ? m->image : m->maskSource;
    if (!shape || !m->display) return false;
    // X pixmaps hold at most 32767 pixels a side: beyond that a plane covers nothing.
    const int cols = shape->def.columns, rows = shape->def.rows;
    const int w = std::clamp(cols, 1, 32767), h = std::clamp(rows, 1, 32767);
    const size_t stride = static_cast<size_t>((cols + 7) / 8);
    bits->assign(stride * static_cast<size_t>(std::max(rows, 1)), 0);
    if (plane.objects.empty()) return true;
    Display *d = m->display;
    Drawable root = RootWindow(d, Tk_ScreenNumber(m->tkwin));
    Bitplane p(d, root, w, h), t(d, root, w, h);
    if (!p.gc || !t.gc) return false;
    p.clear(w, h);
    for (const MaskObject &o : plane.objects) {
        switch (o.combine) {
        case COMBINE_SET:
            p.clear(w, h);
            XSetFunction(d, p.gc, GXcopy);
            break;
        case COMBINE_OR: XSetFunction(d, p.gc, GXor); break;
        case COMBINE_XOR: XSetFunction(d, p.gc, GXxor); break;
        case COMBINE_AND:
            // Inside both: the shape alone, then ANDed onto the plane.
            t.clear(w, h);
            XSetForeground(d, t.gc, 1);
            fillObject(d, t.pixmap, t.gc, o);
            XSetFunction(d, p.gc, GXand);
            XCopyArea(d, t.pixmap, p.pixmap, p.gc, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), 0, 0);
            continue;
        }
        XSetForeground(d, p.gc, 1);
        fillObject(d, p.pixmap, p.gc, o);
    }
    XImage *xi = XGetImage(d, p.pixmap, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), 1, XYPixmap);
    if (!xi) return false;
    const bool lsb = xi->bitmap_bit_order == LSBFirst;
    const bool plainBytes = xi->bitmap_unit == 8 || xi->byte_order == xi->bitmap_bit_order;
    const size_t have = static_cast<size_t>((w + 7) / 8);
    for (int r = 0; r < h; ++r) {
        uint8_t *out = bits->data() + static_cast<size_t>(r) * stride;
        const uint8_t *in = reinterpret_cast<const uint8_t *>(xi->data) + static_cast<size_t>(r) * xi->bytes_per_line;
        if (plainBytes) {
            for (size_t i = 0; i < have && i < stride; ++i) {
                uint8_t b = in[i];
                if (!lsb) {
                    b = static_cast<uint8_t>(((b * 0x0802LU & 0x22110LU) | (b * 0x8020LU & 0x88440LU)) * 0x10101LU >> 16);
                }
                out[i] = b;
            }
            if (w % 8) out[have - 1] &= static_cast<uint8_t>((1u << (w % 8)) - 1);
        } else {
            for (int c = 0; c < w; ++c)
                if (XGetPixel(xi, c, r)) out[c >> 3] |= static_cast<uint8_t>(1u << (c & 7));
        }
    }
    XDestroyImage(xi);
    return true;
}

void drawFrames(GimgInstance *inst)
{
    GimgMaster *m = inst->master;
    if (m->frameStatic.objects.empty() && m->frameDynamic.objects.empty()) return;
    Display *d = inst->display;
    Pixmap pm = inst->pixmap.pixmap;
    if (!pm || !inst->gc) return;
    XSetForeground(d, inst->gc, inst->fgPixel);
    XSetFunction(d, inst->gc, GXcopy);
    if (inst->maskBitmap && inst->maskGC) {
        XSetForeground(d, inst->maskGC, 1);
        XSetFunction(d, inst->maskGC, GXcopy);
    }
    for (const MaskPlane *plane : {&m->frameStatic, &m->frameDynamic})
        for (const MaskObject &o : plane->objects) {
            std::vector<XPoint> pts;
            for (size_t k = 0; k + 1 < o.points.size(); k += 2) {
                double u, v;
                imageEdgeToDisplay(m, o.points[k], o.points[k + 1], &u, &v);
                XPoint p;
                p.x = static_cast<short>(std::clamp(std::lround(u), -32000L, 32000L));
                p.y = static_cast<short>(std::clamp(std::lround(v), -32000L, 32000L));
                pts.push_back(p);
            }
            // The outline runs along the first and last pixels the shape covers.
            auto draw = [&](Drawable dr, GC gc) {
                if (o.shape == SHAPE_POLYGON) {
                    pts.push_back(pts.front());
                    XDrawLines(d, dr, gc, pts.data(), static_cast<int>(pts.size()), CoordModeOrigin);
                    pts.pop_back();
                    return;
                }
                const int x0 = std::min(pts[0].x, pts[1].x), x1 = std::max(pts[0].x, pts[1].x);
                const int y0 = std::min(pts[0].y, pts[1].y), y1 = std::max(pts[0].y, pts[1].y);
                if (x1 - x0 < 1 || y1 - y0 < 1) return;
                const unsigned w = static_cast<unsigned>(x1 - x0 - 1), h = static_cast<unsigned>(y1 - y0 - 1);
                if (o.shape == SHAPE_RECT) XDrawRectangle(d, dr, gc, x0, y0, w, h);
                else XDrawArc(d, dr, gc, x0, y0, w, h, 0, 360 * 64);
            };
            draw(pm, inst->gc);
            if (inst->maskBitmap && inst->maskGC) draw(inst->maskBitmap, inst->maskGC);
        }
}

int gimgMask(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " mask ?options?", nullptr);
        return TCL_ERROR;
    }
    const char *what = argv[2];
    if (strcmp(what, "clear") == 0 || strcmp(what, "delete") == 0) {
        const bool clear = what[0] == 'c';
        if (argc > 4) {
            Tcl_AppendResult(interp, "Usage: ", argv[0], " mask ", what,
                             clear ? " [frame|class|clip|data|all]" : " [frame|clip|data|all]", nullptr);
            return TCL_ERROR;
        }
        const int kind = argc == 4 ? maskKind(argv[3], clear) : 4;
        if (kind == 0) return opError(interp, "unknown mask\n");
        if (kind == 1 || kind == 4) {
            m->frameStatic = MaskPlane{};
            m->frameDynamic = MaskPlane{};
        }
        // A cleared plane is kept and covers nothing; a deleted one is gone.
        for (MaskPlane *p : {kind == 2 || kind == 4 ? &m->clipPlane : nullptr,
                             kind == 3 || kind == 4 ? &m->dataPlane : nullptr}) {
            if (!p) continue;
            p->objects.clear();
            p->present = clear;
        }
        if (clear && (kind == 5 || kind == 4)) memset(m->classVisible, 0, sizeof m->classVisible);
        masksChanged(m);
        return TCL_OK;
    }
    if (strcmp(what, "class") == 0) return maskClass(m, interp, argc, argv);
    const int kind = maskKind(what, false);
    if (kind >= 1 && kind <= 3) return planeObjects(m, interp, kind, argc, argv);
    return opError(interp, "Unknown mask option.\n");
}

}  // namespace krel
