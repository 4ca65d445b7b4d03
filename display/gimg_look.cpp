// Tuning a gimg display: the enhancement function, look-up tables, display
// ranges and the palette's colours.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/runtime.h"
#include "core/tclutil.h"
#include "display/gimg_ops.h"

namespace krel {

namespace {

// Tables follow the new settings; the display follows when asked.
void retune(GimgMaster *m, bool redraw)
{
    buildTables(m, true);
    invalidatePixmap(m);
    if (redraw) gimgChanged(m);
}

// Splits a Tcl list; false (with "Error in Tcl_SplitList.\n") on a bad one.
struct SplitList {
    int count = 0;
    const char **items = nullptr;
    ~SplitList() { Tcl_Free(reinterpret_cast<char *>(items)); }
    bool split(Tcl_Interp *interp, const char *text)
    {
        if (Tcl_SplitList(nullptr, text, &count, &items) == TCL_OK) return true;
        items = nullptr;
        opError(interp, "Error in Tcl_SplitList.\n");
        return false;
    }
};

// "n" or "a-b" inside 0..255.
bool parseIndexItem(const char *text, int *a, int *b)
{
    char tail;
    if (sscanf(text, "%d-%d%c", a, b, &tail) == 2) {
    } else if (sscanf(text, "%d%c", a, &tail) == 1) {
        *b = *a;
    } else {
        return false;
    }
    return *a >= 0 && *b <= 255 && *a <= *b;
}

int paletteEntries(const GimgMaster *m) { return std::clamp(m->paletteCount, 0, 256); }

}  // namespace

int gimgEnhance(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (!m->image) return opError(interp, "Image not configured");
    if (argc != 3 && argc != 4) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " [linear | hists | histeq] [std]", nullptr);
        return TCL_ERROR;
    }
    static const struct {
        const char *name;
        int func;
    } kModes[] = {{"hists", FUNC_HISTS}, {"linear", FUNC_LINEAR}, {"histeq", FUNC_HISTEQ}, {"none", FUNC_NONE}};
    int func = -1;
    for (const auto &mode : kModes)
        if (caseCompare(argv[2], mode.name) == 0) func = mode.func;
    if (func < 0) return opError(interp, "Unknown enhance mode.");
    double k = 2.5;
    if (argc == 4 && Tcl_GetDouble(interp, argv[3], &k) != TCL_OK) return TCL_ERROR;
    m->o.func = func;
    m->o.std = k;
    retune(m, true);
    return TCL_OK;
}

int gimgGetLookup(GimgMaster *m, Tcl_Interp *interp, int argc, const char **)
{
    const bool enhancement = argc > 2;
    const int n = m->paletteInUse ? std::max(paletteEntries(m), 1) : 256;
    std::string out;
    char buf[64];
    for (int i = 0; i < n; ++i) {
        const uint8_t *t[3];
        for (int c = 0; c < 3; ++c) t[c] = enhancement ? m->ch[c].table : m->ch[c].remap;
        snprintf(buf, sizeof buf, "{%d %d %d %d} ", i, t[0][i], t[1][i], t[2][i]);
        out += buf;
    }
    Tcl_AppendResult(interp, out.c_str(), nullptr);
    return TCL_OK;
}

int gimgSetLookup(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        for (auto &ch : m->ch)
            for (int i = 0; i < 256; ++i) ch.remap[i] = static_cast<uint8_t>(i);
        retune(m, m->o.update != 0);
        return TCL_OK;
    }
    SplitList list;
    if (!list.split(interp, argv[2])) return TCL_ERROR;
    // Parsed whole before anything changes.
    uint8_t remap[3][256];
    for (int c = 0; c < 3; ++c) memcpy(remap[c], m->ch[c].remap, 256);
    for (int k = 0; k < list.count; ++k) {
        int index;
        double v[3];
        const int got = sscanf(list.items[k], "%d %lf %lf %lf", &index, &v[0], &v[1], &v[2]);
        if (got < 2 || index < 0 || index > 255) continue;
        // Values beyond a level clamp to it.
        for (int c = 0; c < got - 1; ++c)
            remap[c][index] = static_cast<uint8_t>(std::clamp(roundAway(v[c]), 0.0, 255.0));
    }
    for (int c = 0; c < 3; ++c) memcpy(m->ch[c].remap, remap[c], 256);
    retune(m, m->o.update != 0);
    return TCL_OK;
}

int gimgSetRange(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    double v[6];
    if (argc < 3) {
        for (int c = 0; c < 3; ++c) {
            m->o.low[c] = 0;
            m->o.high[c] = 255;
        }
    } else {
        const int got = argc == 3 ? sscanf(argv[2], "%lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5])
                                  : 0;
        if (got != 2 && got != 4 && got != 6) {
            Tcl_AppendResult(interp, "Usage: ", argv[0], "setRange {low0 hihg0 low1 high1 low2 high2}", nullptr);
            return TCL_ERROR;
        }
        for (int c = 0; c < got / 2; ++c) {
            m->o.low[c] = v[2 * c];
            m->o.high[c] = v[2 * c + 1];
        }
    }
    retune(m, m->o.update != 0);
    return TCL_OK;
}

int gimgGetIndices(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3 || argc > 4) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " getIndice format [indices]", nullptr);
        return TCL_ERROR;
    }
    int format;
    if (strcmp(argv[2], "X") == 0) format = 0;
    else if (strcmp(argv[2], "XRGB") == 0) format = 1;
    else if (strcmp(argv[2], "RGB") == 0) format = 2;
    else return opError(interp, "Undefined color format.  Must be X, XRGB, or RGB.");
    bool wanted[256] = {};
    const int n = paletteEntries(m);
    if (argc == 4) {
        SplitList list;
        if (!list.split(interp, argv[3])) return TCL_ERROR;
        for (int k = 0; k < list.count; ++k) {
            int a, b;
            if (!parseIndexItem(list.items[k], &a, &b)) return opError(interp, "invalid index specification\n");
            for (int i = a; i <= b; ++i) wanted[i] = true;
        }
    } else {
        for (int i = 0; i < n; ++i) wanted[i] = true;
    }
    std::string out;
    char buf[96];
    for (int i = 0; i < 256; ++i) {
        if (!wanted[i]) continue;
        const uint8_t *p = m->palette[i];
        if (format == 0) snprintf(buf, sizeof buf, "{%d #%02x%02x%02x} ", i, p[0], p[1], p[2]);
        else if (format == 1) snprintf(buf, sizeof buf, "{%d %ld %ld %ld} ", i, p[0] * 256L, p[1] * 256L, p[2] * 256L);
        else snprintf(buf, sizeof buf, "{%d %d %d %d} ", i, p[0], p[1], p[2]);
        out += buf;
    }
    Tcl_AppendResult(interp, out.c_str(), nullptr);
    return TCL_OK;
}

namespace {

// The colour of an X, XRGB or RGB palette item; false when it does not parse.
bool parseColour(GimgMaster *m, int format, const char *text, uint8_t rgb[3])
{
    if (format == 0) {
        XColor xc;
        if (!m->tkwin || !XParseColor(Tk_Display(m->tkwin), Tk_Colormap(m->tkwin), text, &xc)) return false;
        rgb[0] = static_cast<uint8_t>(xc.red >> 8);
        rgb[1] = static_cast<uint8_t>(xc.green >> 8);
        rgb[2] = static_cast<uint8_t>(xc.blue >> 8);
        return true;
    }
    double v[3];
    char tail;
    if (sscanf(text, "%lf %lf %lf %c", &v[0], &v[1], &v[2], &tail) != 3) return false;
    for (int c = 0; c < 3; ++c) {
        const double level = format == 1 ? v[c] / 256.0 : v[c];
        rgb[c] = static_cast<uint8_t>(std::clamp(std::trunc(level), 0.0, 255.0));
    }
    return true;
}

void paletteChanged(GimgMaster *m)
{
    m->paletteOwn = true;
    applyDerived(m);
    buildTables(m, true);
    redrawGimg(m);
}

}  // namespace

int gimgSetIndices(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    static const char kUsage[] = " setIndices X|XRGB|RGB|PSEUDO|BW|NONE|RESTORE palList|indiceList";
    if (argc < 3) {
        char buf[64];
        snprintf(buf, sizeof buf, "#%02x%02x%02x #%02x%02x%02x", m->palette[0][0], m->palette[0][1], m->palette[0][2],
                 m->palette[1][0], m->palette[1][1], m->palette[1][2]);
        Tcl_AppendResult(interp, buf, nullptr);
        return TCL_OK;
    }
    const char *format = argv[2];
    static const char *const kColourFormats[] = {"X", "XRGB", "RGB"};
    for (int f = 0; f < 3; ++f) {
        if (strcmp(format, kColourFormats[f]) != 0) continue;
        if (argc != 4) {
            Tcl_AppendResult(interp, "Usage: ", argv[0], " setIndices ", format, " colorIndices", nullptr);
            return TCL_ERROR;
        }
        SplitList list;
        if (!list.split(interp, argv[3])) return TCL_ERROR;
        uint8_t palette[256][3];
        memcpy(palette, m->palette, sizeof palette);
        int top = paletteEntries(m);
        for (int k = 0; k < list.count; ++k) {
            SplitList item;
            if (!item.split(interp, list.items[k])) return TCL_ERROR;
            int a, b;
            if (item.count < 2 || !parseIndexItem(item.items[0], &a, &b))
                return opError(interp, "Invalid color indices.\n");
            std::string colour;
            for (int j = 1; j < item.count; ++j) colour += std::string(j > 1 ? " " : "") + item.items[j];
            uint8_t rgb[3];
            if (!parseColour(m, f, colour.c_str(), rgb))
                return opError(interp, std::string(kColourFormats[f]) + " Color parse error: " + list.items[k]);
            for (int i = a; i <= b; ++i) memcpy(palette[i], rgb, 3);
            top = std::max(top, b + 1);
        }
        memcpy(m->palette, palette, sizeof palette);
        m->paletteCount = top;
        paletteChanged(m);
        return TCL_OK;
    }
    if (strcmp(format, "PSEUDO") == 0 || strcmp(format, "BW") == 0) {
        if (argc > 5) {
            Tcl_AppendResult(interp, "Usage: ", argv[0], " setIndices ", format, " colorIndices", nullptr);
            return TCL_ERROR;
        }
        int lo = 0, hi = 255;
        if (argc > 3 && Tcl_GetInt(interp, argv[3], &lo) != TCL_OK) return TCL_ERROR;
        if (argc > 4 && Tcl_GetInt(interp, argv[4], &hi) != TCL_OK) return TCL_ERROR;
        lo = std::clamp(lo, 0, 254);
        hi = std::max(std::min(hi, 255), lo + 1);
        const bool cube = format[0] == 'P';
        auto colour = [&](int k, uint8_t rgb[3]) {
            if (!cube) {
                rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(k);
                return;
            }
            // 8 red x 8 green x 4 blue levels.
            rgb[0] = static_cast<uint8_t>(((k >> 5) & 7) * 255 / 7);
            rgb[1] = static_cast<uint8_t>(((k >> 2) & 7) * 255 / 7);
            rgb[2] = static_cast<uint8_t>((k & 3) * 255 / 3);
        };
        for (int i = 0; i < 256; ++i) {
            const int k = i < lo ? 0 : i > hi ? 255
                                              : static_cast<int>(std::trunc((i - lo) * 255.0 / (hi - lo) + 0.5));
            colour(k, m->palette[i]);
        }
        m->paletteCount = 256;
        paletteChanged(m);
        return TCL_OK;
    }
    if (strcmp(format, "NONE") == 0) {
        const char *args[] = {"-layer", "0"};
        m->paletteOwn = false;
        return configureGimg(m, 2, args, TK_CONFIG_ARGV_ONLY);
    }
    if (strcmp(format, "RESTORE") == 0) {
        if (argc != 4) {
            Tcl_AppendResult(interp, "Usage: ", argv[0], " setIndices ", format, " colorIndices", nullptr);
            return TCL_ERROR;
        }
        SplitList list;
        if (!list.split(interp, argv[3])) return TCL_ERROR;
        bool wanted[256] = {};
        int top = paletteEntries(m);
        for (int k = 0; k < list.count; ++k) {
            int a, b;
            if (!parseIndexItem(list.items[k], &a, &b)) return opError(interp, "index out of range.\n");
            for (int i = a; i <= b; ++i) wanted[i] = true;
            top = std::max(top, b + 1);
        }
        const int own = m->image ? std::clamp(m->image->def.nindices, 0, 256) : 0;
        for (int i = 0; i < own; ++i)
            if (wanted[i]) memcpy(m->palette[i], m->image->def.palette[i], 3);
        m->paletteCount = top;
        paletteChanged(m);
        return TCL_OK;
    }
    Tcl_AppendResult(interp, "Usage: ", argv[0], kUsage, nullptr);
    return TCL_OK;
}

}  // namespace krel
