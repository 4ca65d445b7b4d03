// Masks: the class plane of a mask source image (its classes shown through
// the class-visibility table), kept as a one-bit RAM image beside the
// display, and the one-bit bitmap of the pixmap that clips drawing.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/stat.h>

#include "core/conio.h"
#include "display/gimg.h"
#include "image/registry.h"

namespace krel {

namespace {

bool fileExists(const std::string &name)
{
    struct stat st;
    return stat(name.c_str(), &st) == 0;
}

// Reads class numbers "n" and ranges "a-b" (blank or comma separated) into
// the table; false on a malformed item.
bool parseClassList(const char *text, uint8_t visible[256])
{
    memset(visible, 0, 256);
    std::string s(text);
    for (char &c : s)
        if (c == ',' || c == '\t' || c == '\n' || c == '{' || c == '}') c = ' ';
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
        if (i >= s.size()) break;
        size_t j = s.find(' ', i);
        if (j == std::string::npos) j = s.size();
        std::string item = s.substr(i, j - i);
        i = j;
        int a, b;
        char tail;
        if (sscanf(item.c_str(), "%d-%d%c", &a, &b, &tail) == 2) {
        } else if (sscanf(item.c_str(), "%d%c", &a, &tail) == 1) {
            b = a;
        } else {
            return false;
        }
        if (a > b) std::swap(a, b);
        if (b < 0 || a > 255) continue;  // classes outside 0..255 never occur
        for (int v = std::max(a, 0); v <= std::min(b, 255); ++v) visible[v] = 1;
    }
    return true;
}

// The class value at a column of a line as a table index (0 outside 0..255).
int classAt(const RamImage *img, const uint8_t *line, int c)
{
    // Byte-sized columns (SBYTE too) are their own index.
    const int pixel = img->def.pixel;
    if (pixel == PIX_BYTE || pixel == PIX_SBYTE || pixel == PIX_ULONG) return line[c];
    const double v = lineValue(line, pixel, img->def.msbf, c);
    if (!(v >= 0 && v <= 255)) return 0;
    return static_cast<int>(v);
}

void releaseMaskImage(GimgMaster *m)
{
    if (m->maskImage) releaseImage(m->maskImage, &m->maskClient);
    m->maskImage = nullptr;
}

// The one-bit image of the mask, named after the display.
bool makeMaskImage(GimgMaster *m)
{
    const RamImage *shape = m->image ? m->image : m->maskSource;
    if (!shape) return false;
    std::string tag = m->name + ".mask";
    for (int n = 0;; ++n) {
        RamImage *found = findByTag(tag.c_str());
        if (found == m->maskImage && found) break;
        if (!found && !findByFile(tag.c_str()) && !fileExists(tag)) break;
        char buf[300];
        snprintf(buf, sizeof buf, "%s.mask.%d", m->name.c_str(), n);
        tag = buf;
        if (n > 100000) return false;
    }
    ImageDef def = shape->def;
    snprintf(def.file, sizeof def.file, "%s", tag.c_str());
    def.pixel = PIX_1BIT;
    def.bits = 1;
    def.imgid = IMG_MBSQ;
    def.nbands = 1;
    def.offset = 0;
    def.msbf = 0;
    def.nindices = 2;
    def.transparent = -1;
    def.volumes = 1;
    def.dataFd = -1;
    memset(def.palette, 0, sizeof def.palette);
    def.palette[1][0] = def.palette[1][1] = def.palette[1][2] = 255;
    def.block = ((def.columns + 15) / 16) * 2;
    int error = IMGERR_OK;
    RamImage *img = getImage(tag.c_str(), nullptr, &def, nullptr, &error);
    if (!img) {
        conEprintf("Error in exporting mask file.\n");
        releaseMaskImage(m);
        return false;
    }
    if (img == m->maskImage) {
        releaseImage(img, nullptr);  // already bound through the client
    } else {
        releaseMaskImage(m);
        bindClient(img, &m->maskClient);
        m->maskImage = img;
    }
    return true;
}

// Draws the class plane into the mask image: 1 where the class is shown.
void drawClassPlane(GimgMaster *m)
{
    RamImage *mi = m->maskImage;
    RamImage *src = m->maskSource;
    const int rows = mi->def.rows, cols = mi->def.columns;
    const int band = std::clamp(m->o.maskimgband, 1, std::max(1, src->def.nbands)) - 1;
    for (int r = 0; r < rows; ++r) {
        uint8_t *out = mi->getLine(mi, r, 0, 0);
        if (!out) continue;
        memset(out, 0, static_cast<size_t>(mi->lineBytes));
        const uint8_t *line = r < src->def.rows ? src->getLine(src, r, band, 1) : nullptr;
        if (line) {
            const int n = std::min(cols, src->def.columns);
            for (int c = 0; c < n; ++c)
                if (m->classVisible[classAt(src, line, c)]) out[c >> 3] |= static_cast<uint8_t>(1 << (c & 7));
        }
        markLineDirty(mi, r, 0);
    }
}

}  // namespace

void freeMask(GimgInstance *inst)
{
    if (inst->maskBitmap) Tk_FreePixmap(inst->display, inst->maskBitmap);
    inst->maskBitmap = 0;
    inst->maskActive = false;
}

void releaseMaskImages(GimgMaster *m)
{
    releaseMaskImage(m);
    if (m->maskSource) releaseImage(m->maskSource, &m->maskSourceClient);
    m->maskSource = nullptr;
}

int applyMaskOptions(GimgMaster *m)
{
    Tcl_Interp *interp = m->interp;
    const char *cls = m->o.maskclass ? m->o.maskclass : "";
    if (m->maskClassText != cls || !m->maskClassParsed) {
        uint8_t table[256];
        if (*cls) {
            if (!parseClassList(cls, table)) {
                Tcl_AppendResult(interp, "Error in parsing mask class.", nullptr);
                return TCL_ERROR;
            }
        } else {
            memset(table, 1, sizeof table);
            table[0] = 0;
        }
        memcpy(m->classVisible, table, sizeof table);
        m->maskClassText = cls;
        m->maskClassParsed = true;
        invalidatePixmap(m);
    }
    const char *mf = m->o.maskfile ? m->o.maskfile : "";
    if (m->maskSourceName != mf) {
        RamImage *src = nullptr;
        if (*mf) {
            int error = IMGERR_OK;
            if (strcmp(mf, "Default") == 0) {
                if (m->image) {
                    retainImage(m->image);
                    src = m->image;
                }
            } else {
                src = getImage(mf, mf, nullptr, nullptr, &error);
            }
            if (!src) {
                Tcl_AppendResult(interp, "Fail to open mask image file", nullptr);
                return TCL_ERROR;
            }
        }
        if (m->maskSource) releaseImage(m->maskSource, &m->maskSourceClient);
        m->maskSource = nullptr;
        if (src) {
            if (src == m->image) {
                // The displayed image is already bound; the mask holds it by count.
                m->maskSource = src;
            } else {
                bindClient(src, &m->maskSourceClient);
                m->maskSource = src;
            }
        }
        m->maskSourceName = mf;
        invalidatePixmap(m);
    }
    m->o.maskon = std::clamp(m->o.maskon, 0, 4);
    if (m->maskSource)
        m->o.maskimgband = std::clamp(m->o.maskimgband, 1, std::max(1, m->maskSource->def.nbands));
    return TCL_OK;
}

bool buildMaskBitmap(GimgInstance *inst, Drawable drawable)
{
    GimgMaster *m = inst->master;
    Display *display = inst->display;
    freeMask(inst);
    if (!m->maskSource || m->o.maskon == 0) {
        if (!m->maskSource) releaseMaskImage(m);
        return false;
    }
    if (!makeMaskImage(m)) return false;
    drawClassPlane(m);
    RamImage *mi = m->maskImage;
    const int W = m->renderW, H = m->renderH;
    const int PW = m->pixW, PH = m->pixH;
    if (PW <= 0 || PH <= 0) return false;
    inst->maskBitmap = Tk_GetPixmap(display, drawable, PW, PH, 1);
    if (!inst->maskBitmap) return false;
    if (!inst->maskGC) {
        inst->maskGC = XCreateGC(display, inst->maskBitmap, 0, nullptr);
        if (!inst->maskGC) {
            freeMask(inst);
            return false;
        }
    }
    XImage *xi = XCreateImage(display, inst->visual, 1, XYBitmap, 0, nullptr, static_cast<unsigned>(PW),
                              static_cast<unsigned>(PH), 8, 0);
    if (!xi) {
        freeMask(inst);
        return false;
    }
    xi->data = static_cast<char *>(calloc(static_cast<size_t>(xi->bytes_per_line), static_cast<size_t>(PH)));
    if (!xi->data) {
        XDestroyImage(xi);
        freeMask(inst);
        return false;
    }
    const int rows = mi->def.rows, cols = mi->def.columns;
    for (int y = 0; y < H; ++y) {
        const int r = m->rowMap.index[static_cast<size_t>(y)];
        const uint8_t *line = (r >= 0 && r < rows) ? mi->getLine(mi, r, 0, 1) : nullptr;
        for (int x = 0; x < W; ++x) {
            const int c = m->colMap.index[static_cast<size_t>(x)];
            const bool on = line && c >= 0 && c < cols && (line[c >> 3] >> (c & 7)) & 1;
            if (!on) continue;
            int u = x, v = y;
            if (m->o.rotate < 0) {
                u = H - 1 - y;
                v = x;
            } else if (m->o.rotate > 0) {
                u = y;
                v = W - 1 - x;
            }
            XPutPixel(xi, u, v, 1);
        }
    }
    XSetForeground(display, inst->maskGC, 1);
    XSetBackground(display, inst->maskGC, 0);
    XPutImage(display, inst->maskBitmap, inst->maskGC, xi, 0, 0, 0, 0, static_cast<unsigned>(PW),
              static_cast<unsigned>(PH));
    XDestroyImage(xi);
    inst->maskActive = true;

    // A stipple pattern paints the masked area of the pixmap in the mask colour.
    if (inst->stipple != None && inst->pixmap.pixmap) {
        Pixmap inverse = Tk_GetPixmap(display, drawable, PW, PH, 1);
        if (!inverse) {
            conEprintf("Error in patternMaskPixmap: None pixmap...\n");
        } else {
            XSetFunction(display, inst->maskGC, GXcopyInverted);
            XCopyArea(display, inst->maskBitmap, inverse, inst->maskGC, 0, 0, static_cast<unsigned>(PW),
                      static_cast<unsigned>(PH), 0, 0);
            XSetFunction(display, inst->maskGC, GXcopy);
            XGCValues gv;
            gv.fill_style = FillStippled;
            gv.stipple = inst->stipple;
            gv.foreground = inst->fgPixel;
            gv.clip_mask = inverse;
            gv.clip_x_origin = 0;
            gv.clip_y_origin = 0;
            XChangeGC(display, inst->gc, GCFillStyle | GCStipple | GCForeground | GCClipMask | GCClipXOrigin | GCClipYOrigin,
                      &gv);
            XFillRectangle(display, inst->pixmap.pixmap, inst->gc, 0, 0, static_cast<unsigned>(PW),
                           static_cast<unsigned>(PH));
            gv.fill_style = FillSolid;
            XChangeGC(display, inst->gc, GCFillStyle, &gv);
            XSetClipMask(display, inst->gc, None);
            Tk_FreePixmap(display, inverse);
            // Drawing is clipped by the mask bitmap: the set bits of the
            // pattern must pass it, or the painted pattern never shows.
            XGCValues mv;
            mv.fill_style = FillStippled;
            mv.stipple = inst->stipple;
            mv.foreground = 1;
            XChangeGC(display, inst->maskGC, GCFillStyle | GCStipple | GCForeground, &mv);
            XFillRectangle(display, inst->maskBitmap, inst->maskGC, 0, 0, static_cast<unsigned>(PW),
                           static_cast<unsigned>(PH));
            mv.fill_style = FillSolid;
            XChangeGC(display, inst->maskGC, GCFillStyle, &mv);
        }
    }
    return true;
}

}  // namespace krel
