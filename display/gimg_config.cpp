// The configuration sequence of gimg images: the option strings, then the
// named steps below in order, each seeing what the ones before it set.
// Steps that run scripts (photo readers, the TRANSPARENT_GIF_COLOR variable
// and its traces) may see the image deleted under them; the sequence stops
// there.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>

#include "display/gimg.h"

namespace krel {

namespace {

const char *str(const char *s) { return s ? s : ""; }

// A changed foreground or background is allocated again, a changed stipple
// loaded; on failure the old one stays.
int applyColours(GimgMaster *m)
{
    Tcl_Interp *interp = m->interp;
    struct Colour {
        char **option;
        XColor **colour;
        std::string *name;
        const char *failure;
    } colours[2] = {{&m->o.foreground, &m->fg, &m->fgName, "\nFail to get fg color."},
                    {&m->o.background, &m->bg, &m->bgName, "\nFail to get bg color."}};
    for (Colour &c : colours) {
        if (*c.name == str(*c.option)) continue;
        XColor *got = Tk_GetColor(interp, m->tkwin, Tk_GetUid(str(*c.option)));
        if (!got) {
            Tcl_ResetResult(interp);
            Tcl_AddErrorInfo(interp, c.failure);
            Tcl_AppendResult(interp, c.failure + 1, nullptr);
            setOptionString(c.option, *c.name);
            return TCL_ERROR;
        }
        if (*c.colour) Tk_FreeColor(*c.colour);
        *c.colour = got;
        *c.name = str(*c.option);
        ++m->coloursSerial;
        invalidatePixmap(m);
    }
    const std::string stipple = str(m->o.stipple);
    if (stipple != m->stippleName) {
        Pixmap bm = None;
        if (!stipple.empty() && stipple != "None") {
            bm = Tk_GetBitmap(interp, m->tkwin, stipple.c_str());
            if (bm == None) {
                Tcl_ResetResult(interp);
                Tcl_AddErrorInfo(interp, "\nFail to get stipple pixmap.");
                Tcl_AppendResult(interp, "Fail to get stipple pixmap.", nullptr);
                setOptionString(&m->o.stipple, m->stippleName);
                return TCL_ERROR;
            }
        }
        if (m->stipple != None) Tk_FreeBitmap(m->display, m->stipple);
        m->stipple = bm;
        m->stippleName = stipple;
        ++m->coloursSerial;
        invalidatePixmap(m);
    }
    return TCL_OK;
}

// The colour cell set of 8-bit displays: "-palette Default" keeps the set
// that attaching chose. The cells themselves belong to each instance.
int applyCellSpec(GimgMaster *m)
{
    if (m->o.palette.v[0] != -1) m->cellSpec = m->o.palette;
    return TCL_OK;
}

// A GIF image's transparent index shows TRANSPARENT_GIF_COLOR when that is
// a valid colour, else the background.
int applyGifTransparency(GimgMaster *m)
{
    RamImage *img = m->image;
    if (!img || !m->paletteInUse) return TCL_OK;
    if (img->def.imgid != IMG_GIF87A && img->def.imgid != IMG_GIF89A) return TCL_OK;
    const int t = img->def.transparent;
    if (t < 0 || t > 255) return TCL_OK;
    XColor *c = nullptr;
    // Reading the variable runs its traces, which may do anything.
    const char *name = Tcl_GetVar(m->interp, "TRANSPARENT_GIF_COLOR", TCL_GLOBAL_ONLY);
    if (m->deleted) return TCL_OK;
    if (name) {
        // An invalid colour name only means the background is used.
        Tcl_Obj *saved = Tcl_GetObjResult(m->interp);
        Tcl_IncrRefCount(saved);
        c = Tk_GetColor(m->interp, m->tkwin, Tk_GetUid(name));
        Tcl_SetObjResult(m->interp, saved);
        Tcl_DecrRefCount(saved);
    }
    const XColor *use = c ? c : m->bg;
    if (use) {
        m->palette[t][0] = static_cast<uint8_t>(use->red >> 8);
        m->palette[t][1] = static_cast<uint8_t>(use->green >> 8);
        m->palette[t][2] = static_cast<uint8_t>(use->blue >> 8);
    }
    if (c) Tk_FreeColor(c);
    return TCL_OK;
}

// Each band number is reduced into the bands of the image (into 1..3 when
// a palette is in use).
int applyComb(GimgMaster *m)
{
    BandComb &cb = m->o.comb;
    cb.count = std::clamp(cb.count, 1, 3);
    // Without an image the numbers are kept as given: they are reduced
    // against the bands of the image they will show.
    if (m->image) {
        const int count = m->paletteInUse ? 3 : std::max(1, m->image->def.nbands);
        for (int i = 0; i < cb.count; ++i) cb.band[i] = ((std::max(cb.band[i], 1) - 1) % count) + 1;
    }
    for (int c = 0; c < 3; ++c) {
        if (c >= cb.count)
            m->ch[c].band = -1;
        else
            m->ch[c].band = m->paletteInUse ? std::max(m->o.layer, 1) - 1 : cb.band[c] - 1;
    }
    return TCL_OK;
}

int applyFilters(GimgMaster *m)
{
    m->o.filterdir = std::clamp(m->o.filterdir, 0, 4);
    m->o.filterbg = std::clamp(m->o.filterbg, 0, 255);
    if (m->o.emboss != 0) m->o.filterbg = -1;
    return TCL_OK;
}

int applyTables(GimgMaster *m)
{
    buildTables(m, false);
    return TCL_OK;
}

struct Step {
    const char *name;  // what the step does, for the reader and the debugger
    int (*run)(GimgMaster *);
};

// Runs the steps in order; stops at the first failure, and after a step
// whose scripts deleted the image (the caller sees `deleted`).
int runSteps(GimgMaster *m, const Step *steps, size_t count)
{
    for (size_t i = 0; i < count && !m->deleted; ++i)
        if (steps[i].run(m) != TCL_OK) return TCL_ERROR;
    return TCL_OK;
}

const Step kDerivedSteps[] = {
    {"geometry", applyGeometry},
    {"GIF transparency", applyGifTransparency},
    {"band combination", applyComb},
    {"filters", applyFilters},
    {"enhancement tables", applyTables},
};

const Step kConfigureSteps[] = {
    {"colours", applyColours},
    {"string data", attachStringData},
    {"attaching", attachFile},
    {"byte order", applyByteOrder},
    {"colour cells", applyCellSpec},
    {"derived settings", applyDerived},
    {"masks", applyMaskOptions},
};

}  // namespace

int applyGeometry(GimgMaster *m)
{
    GimgOptions &o = m->o;
    m->pendingNotify &= ~NOTIFY_CONFIG;
    if (m->image) adoptDefinition(m, false);
    if (o.nbands < 0) o.nbands = 1;
    o.layer = std::clamp(o.layer, 0, std::max(o.nbands, 0));
    m->paletteInUse = m->image && o.layer >= 1;
    // Colours set through setIndices stay until an image is attached anew.
    if (m->paletteInUse && !m->paletteOwn) {
        const ImageDef &d = m->image->def;
        if (d.nindices > 0) {
            m->paletteCount = std::min(d.nindices, 256);
            memcpy(m->palette, d.palette, sizeof m->palette);
        } else {
            m->paletteCount = 256;
            for (int i = 0; i < 256; ++i) m->palette[i][0] = m->palette[i][1] = m->palette[i][2] = static_cast<uint8_t>(i);
        }
    }
    if (!(o.mx > 0)) o.mx = 1.0;
    if (!(o.my > 0)) o.my = 1.0;
    if (!(o.dx > 0)) o.dx = 1.0;
    if (!(o.dy > 0)) o.dy = 1.0;
    const bool rotated = o.rotate != 0;
    if (m->image) {
        const int rows = m->image->def.rows, cols = m->image->def.columns;
        o.sr = std::clamp(o.sr, 0, std::max(rows - 1, 0));
        o.sc = std::clamp(o.sc, 0, std::max(cols - 1, 0));
        const double w = std::round((cols - o.sc) * o.mx);  // halves away from zero
        const double h = std::round((rows - o.sr) * o.my);
        const double big = 1e9;
        o.width = static_cast<int>(std::min(rotated ? h : w, big));
        o.height = static_cast<int>(std::min(rotated ? w : h, big));
    }
    if (o.width < 0) o.width = 512;
    if (o.height < 0) o.height = 512;
    o.width = std::min(o.width, std::max(o.maxw, 0));
    o.height = std::min(o.height, std::max(o.maxh, 0));
    // The instances' pixmaps follow the display size when next made.
    if (m->pixW != o.width || m->pixH != o.height) invalidatePixmap(m);
    m->pixW = o.width;
    m->pixH = o.height;
    m->renderW = rotated ? o.height : o.width;
    m->renderH = rotated ? o.width : o.height;
    if (m->colMap.update(m->renderW, o.sc, o.xflip, o.mx)) invalidatePixmap(m);
    if (m->rowMap.update(m->renderH, o.sr, o.yflip, o.my)) invalidatePixmap(m);
    return TCL_OK;
}

int applyDerived(GimgMaster *m) { return runSteps(m, kDerivedSteps, std::size(kDerivedSteps)); }

int configureGimg(GimgMaster *m, int argc, const char **argv, int flags)
{
    if (Tk_ConfigureWidget(m->interp, m->tkwin, gimgConfigSpecs(), argc, argv, reinterpret_cast<char *>(&m->o),
                           flags) != TCL_OK)
        return TCL_ERROR;
    if (runSteps(m, kConfigureSteps, std::size(kConfigureSteps)) != TCL_OK) return TCL_ERROR;
    if (m->deleted) {
        Tcl_ResetResult(m->interp);
        Tcl_AppendResult(m->interp, "gimg image \"", m->name.c_str(), "\" was deleted while it was configured",
                         nullptr);
        return TCL_ERROR;
    }
    invalidatePixmap(m);
    gimgChanged(m);
    return TCL_OK;
}

}  // namespace krel
