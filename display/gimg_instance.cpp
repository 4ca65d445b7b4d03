// What a gimg image holds on one display and colormap: its colours and
// stipple there, the colour cells of 8-bit visuals, and the release of all
// of it with the pixmap, the XImage and the graphics contexts.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/conio.h"
#include "display/gimg.h"

namespace krel {

namespace {

void releaseColours(GimgInstance *inst)
{
    if (inst->ownColours) {
        unsigned long pixels[2] = {inst->fgPixel, inst->bgPixel};
        XFreeColors(inst->display, inst->colormap, pixels, 2, 0);
    }
    inst->ownColours = false;
    if (inst->ownStipple && inst->stipple != None) XFreePixmap(inst->display, inst->stipple);
    inst->ownStipple = false;
    inst->stipple = None;
    inst->coloursSerial = 0;
}

// The pixel of a colour of the master in this colormap (allocated, so the
// caller frees it).
unsigned long allocateLike(GimgInstance *inst, const XColor *like, bool white)
{
    XColor c{};
    if (like) {
        c.red = like->red;
        c.green = like->green;
        c.blue = like->blue;
    } else {
        c.red = c.green = c.blue = white ? 0xFFFF : 0;
    }
    c.flags = DoRed | DoGreen | DoBlue;
    if (XAllocColor(inst->display, inst->colormap, &c)) return c.pixel;
    // A full colormap: black and white of the screen are always there.
    const bool light = static_cast<long>(c.red) + c.green + c.blue > 3L * 0x7FFF;
    XColor bw{};
    bw.red = bw.green = bw.blue = light ? 0xFFFF : 0;
    bw.flags = DoRed | DoGreen | DoBlue;
    if (XAllocColor(inst->display, inst->colormap, &bw)) return bw.pixel;
    return light ? WhitePixel(inst->display, inst->screen) : BlackPixel(inst->display, inst->screen);
}

// The master's stipple bitmap copied to another screen or display.
Pixmap copyStipple(GimgInstance *inst, Display *from, Pixmap bitmap, Drawable drawable)
{
    int w = 0, h = 0;
    Window root;
    int x, y;
    unsigned int uw, uh, border, depth;
    if (!XGetGeometry(from, bitmap, &root, &x, &y, &uw, &uh, &border, &depth)) return None;
    w = static_cast<int>(uw);
    h = static_cast<int>(uh);
    XImage *xi = XGetImage(from, bitmap, 0, 0, uw, uh, 1, XYPixmap);
    if (!xi) return None;
    Pixmap copy = XCreatePixmap(inst->display, drawable, uw, uh, 1);
    GC gc = copy ? XCreateGC(inst->display, copy, 0, nullptr) : nullptr;
    if (gc) {
        XPutImage(inst->display, copy, gc, xi, 0, 0, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
        XFreeGC(inst->display, gc);
    } else if (copy) {
        XFreePixmap(inst->display, copy);
        copy = None;
    }
    XDestroyImage(xi);
    return copy;
}

}  // namespace

void invalidatePixmap(GimgMaster *m) { ++m->pictureSerial; }

bool pixmapCurrent(const GimgInstance *inst)
{
    return inst->pixmap.pixmap && inst->madeSerial == inst->master->pictureSerial;
}

void ensureInstanceColours(GimgInstance *inst, Drawable drawable)
{
    GimgMaster *m = inst->master;
    if (inst->coloursSerial == m->coloursSerial) return;
    releaseColours(inst);
    const bool sameColormap = inst->display == m->display && inst->colormap == Tk_Colormap(m->tkwin);
    if (sameColormap && m->fg && m->bg) {
        inst->fgPixel = m->fg->pixel;
        inst->bgPixel = m->bg->pixel;
    } else {
        inst->fgPixel = allocateLike(inst, m->fg, true);
        inst->bgPixel = allocateLike(inst, m->bg, false);
        inst->ownColours = true;
    }
    if (m->stipple != None) {
        const bool sameScreen = inst->display == m->display && inst->screen == Tk_ScreenNumber(m->tkwin);
        if (sameScreen) {
            inst->stipple = m->stipple;
        } else {
            inst->stipple = copyStipple(inst, m->display, m->stipple, drawable);
            inst->ownStipple = inst->stipple != None;
        }
    }
    inst->coloursSerial = m->coloursSerial;
}

void ensureInstanceCells(GimgInstance *inst)
{
    GimgMaster *m = inst->master;
    ColorCells &cells = inst->cells;
    const bool wantTrue = m->paletteInUse && m->image && m->image->def.nindices > 0;
    const PaletteSpec &spec = m->cellSpec;
    bool changed = !cells.valid || memcmp(&cells.madeFrom, &spec, sizeof spec) != 0 ||
                   cells.madeDither != m->o.dither || wantTrue != cells.truePalette;
    std::vector<uint8_t> ownColours;
    if (wantTrue) {
        const int n = std::clamp(m->paletteCount, 1, 256);
        ownColours.assign(&m->palette[0][0], &m->palette[0][0] + 3 * n);
    }
    if (ownColours != cells.madePalette) changed = true;
    if (changed) {
        freeCells(cells);
        const int entries = inst->visual ? inst->visual->map_entries : 256;
        // The image's own colours replace the cells; the cells are the
        // fallback when the colormap cannot give them.
        computeCellLevels(cells, spec);
        bool own = false;
        if (wantTrue) {
            own = allocateTruePalette(cells, inst->display, inst->colormap, entries, m->palette,
                                      std::clamp(m->paletteCount, 1, 256));
            if (!own) conEprintf("Error in truePalette alloc.\n");
        }
        if (!own) allocateCells(cells, inst->display, inst->colormap, entries, spec);
        cells.madeFrom = spec;
        cells.madeDither = m->o.dither;
        cells.madePalette = ownColours;
        cells.valid = true;
    }
    applyDitherGain(cells, m->o.dg);
}

void freeInstanceResources(GimgInstance *inst)
{
    if (!inst->display) return;
    freeMask(inst);
    freeCells(inst->cells);
    releaseColours(inst);
    inst->pixmap.release();
    if (inst->ximage) XDestroyImage(inst->ximage);  // frees the data too
    inst->ximage = nullptr;
    inst->ximageW = inst->ximageH = 0;
    if (inst->gc) XFreeGC(inst->display, inst->gc);
    inst->gc = nullptr;
    if (inst->maskGC) XFreeGC(inst->display, inst->maskGC);
    inst->maskGC = nullptr;
}

}  // namespace krel
