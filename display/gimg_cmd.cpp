// The `gimg` command: names of gimg images, the rgb24 flag, the version and
// colour allocation on colormapped displays of at most 8 bits.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <X11/Xlib.h>

#include "core/conio.h"
#include "display/display_state.h"
#include "core/subcmd.h"
#include "core/version.h"
#include "display/gimg_table.h"

namespace krel {

int paletteLevel(int j, int k)
{
    if (k <= 1) return 0;
    double v = std::round(j * (256.0 / (k - 1)));  // halves away from zero
    return v > 255 ? 255 : static_cast<int>(v);
}

bool buildPaletteTable(const char *kind, int n, std::vector<PaletteColor> *out)
{
    out->clear();
    auto cube = [&](int kr, int kg, int kb) {
        if (kr * kg * kb > 256) return false;
        for (int r = 0; r < kr; ++r)
            for (int g = 0; g < kg; ++g)
                for (int b = 0; b < kb; ++b)
                    out->push_back({static_cast<unsigned char>(paletteLevel(r, kr)),
                                    static_cast<unsigned char>(paletteLevel(g, kg)),
                                    static_cast<unsigned char>(paletteLevel(b, kb))});
        return true;
    };
    if (strcmp(kind, "default") == 0) {
        cube(6, 6, 6);
        for (int i = 216; i < 256; ++i) {
            auto v = static_cast<unsigned char>((i - 216) / (255.0001 - 216) * 255 + 0.5);
            out->push_back({v, v, v});
        }
        return true;
    }
    if (strcmp(kind, "PSEUDO") == 0) return cube(8, 8, 4);
    if (strcmp(kind, "BW") == 0) {
        if (n < 1 || n > 256) return false;
        for (int j = 0; j < n; ++j) {
            auto v = static_cast<unsigned char>(paletteLevel(j, n));
            out->push_back({v, v, v});
        }
        return true;
    }
    return false;
}

static bool colormapped(const DisplayState &dc)
{
    return dc.display != nullptr && dc.depth <= 8 && dc.colormap != 0;
}

static int logicalPaletteSize(const DisplayState &dc)
{
    int entries = dc.visual ? dc.visual->map_entries : 256;
    return entries < 256 ? entries : 256;
}

// Reads the first cells of the colormap: the "logical palette".
static std::vector<XColor> readLogicalPalette(const DisplayState &dc)
{
    std::vector<XColor> cells(logicalPaletteSize(dc));
    for (size_t i = 0; i < cells.size(); ++i) {
        cells[i].pixel = i;
        cells[i].flags = DoRed | DoGreen | DoBlue;
    }
    if (!cells.empty()) XQueryColors(dc.display, dc.colormap, cells.data(), static_cast<int>(cells.size()));
    return cells;
}

void releasePalette(bool report)
{
    DisplayState &ps = displayState();
    if (ps.paletteTable.empty()) return;
    if (ps.display)
        XFreeColors(ps.display, ps.colormap, ps.paletteTable.data(),
                    static_cast<int>(ps.paletteTable.size()), 0);
    if (report) conPrintf("%d palettes freed.\n", static_cast<int>(ps.paletteTable.size()));
    ps.paletteTable.clear();
}

static void allocatePalette(const std::vector<PaletteColor> &table)
{
    DisplayState &ps = displayState();
    const DisplayState &dc = ps;
    std::vector<XColor> logical;
    size_t before = ps.paletteTable.size();
    for (const PaletteColor &c : table) {
        XColor want{};
        want.red = static_cast<unsigned short>(c.r * 256);
        want.green = static_cast<unsigned short>(c.g * 256);
        want.blue = static_cast<unsigned short>(c.b * 256);
        want.flags = DoRed | DoGreen | DoBlue;
        if (!XAllocColor(dc.display, dc.colormap, &want)) {
            // The colormap is full: ask for the nearest colour it holds.
            if (logical.empty()) logical = readLogicalPalette(dc);
            long best = -1;
            const XColor *nearest = nullptr;
            for (const XColor &cell : logical) {
                long dr = (cell.red >> 8) - c.r, dg = (cell.green >> 8) - c.g, db = (cell.blue >> 8) - c.b;
                long d = dr * dr + dg * dg + db * db;
                if (best < 0 || d < best) {
                    best = d;
                    nearest = &cell;
                }
            }
            if (!nearest) continue;
            want = *nearest;
            want.flags = DoRed | DoGreen | DoBlue;
            if (!XAllocColor(dc.display, dc.colormap, &want)) continue;
        }
        ps.paletteTable.push_back(want.pixel);
    }
    if (ps.paletteTable.size() == before)
        conPrintf("Fail to allocate palette.\n");
    else
        conPrintf("%d palettes allocated.\n", static_cast<int>(ps.paletteTable.size()));
}

static int paletteCommand(Tcl_Interp *interp, int argc, const char **argv)
{
    DisplayState &ps = displayState();
    if (!colormapped(ps)) return TCL_OK;
    if (argc < 3) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " list|free|query|PSEUDO|BW|default", nullptr);
        return TCL_OK;
    }
    const char *option = argv[2];
    char piece[96];
    if (strcmp(option, "free") == 0) {
        releasePalette(true);
    } else if (strcmp(option, "list") == 0) {
        std::vector<XColor> logical = readLogicalPalette(ps);
        for (unsigned long pixel : ps.paletteTable) {
            if (pixel >= logical.size()) {
                conEprintf("Undefined color index: %d\n", static_cast<int>(pixel));
                continue;
            }
            const XColor &c = logical[pixel];
            snprintf(piece, sizeof piece, "{%d %d %d %d} ", static_cast<int>(pixel), (c.red >> 8) << 8,
                     (c.green >> 8) << 8, (c.blue >> 8) << 8);
            Tcl_AppendResult(interp, piece, nullptr);
        }
    } else if (strcmp(option, "query") == 0) {
        int n = argc > 3 ? atoi(argv[3]) : 256;
        if (n < 0) n = 256;
        std::vector<XColor> logical = readLogicalPalette(ps);
        for (int i = 0; i < n && i < static_cast<int>(logical.size()); ++i) {
            int r = logical[i].red >> 8, g = logical[i].green >> 8, b = logical[i].blue >> 8;
            snprintf(piece, sizeof piece, "{%d %d %d %d} ", 0x02000000 + r + g * 256 + b * 65536, r * 256, g * 256,
                     b * 256);
            Tcl_AppendResult(interp, piece, nullptr);
        }
    } else if (strcmp(option, "default") == 0 || strcmp(option, "PSEUDO") == 0 || strcmp(option, "BW") == 0) {
        int n = argc > 3 ? atoi(argv[3]) : 256;
        std::vector<PaletteColor> table;
        if (!buildPaletteTable(option, n, &table))
            conPrintf("Fail to allocate palette.\n");
        else
            allocatePalette(table);
    } else {
        Tcl_SetResult(interp, const_cast<char *>("Unknown palette option.\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    return TCL_OK;
}

namespace {
using GimgHandler = int (*)(Tcl_Interp *, int, const char **);

int gimgNames(Tcl_Interp *interp, int, const char **)
{
    appendGimgNames(interp);
    return TCL_OK;
}
int gimgRgb24(Tcl_Interp *interp, int argc, const char **argv)
{
    DisplayState &dc = displayState();
    if (argc > 2)
        dc.rgb24 = atoi(argv[2]);
    else
        Tcl_SetObjResult(interp, Tcl_NewIntObj(dc.rgb24));
    return TCL_OK;
}
int gimgVersion(Tcl_Interp *interp, int, const char **)
{
    Tcl_SetResult(interp, const_cast<char *>(KREL_VERSION), TCL_STATIC);
    return TCL_OK;
}

const SubCommand<GimgHandler> kGimgCommands[] = {
    {"names", 3, gimgNames},
    {"palette", 3, paletteCommand},
    {"rgb24", 3, gimgRgb24},
    {"version", 3, gimgVersion},
};
}  // namespace

static int gimgCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 2) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " names palette rgb24\n", nullptr);
        return TCL_OK;
    }
    const auto *entry = findSubCommand(kGimgCommands, argv[1]);
    if (!entry) {
        Tcl_SetResult(interp, const_cast<char *>("unknown gimg command\n"), TCL_STATIC);
        return TCL_OK;
    }
    return entry->handler(interp, argc, argv);
}

static void gimgCommandDeleted(ClientData) { releasePalette(false); }

DisplayState &displayState()
{
    static DisplayState state;
    return state;
}

void recordDisplayContext(Tcl_Interp *interp)
{
    DisplayState &ds = displayState();
    if (ds.display != nullptr || Tcl_PkgPresent(interp, "Tk", nullptr, 0) == nullptr) return;
    Tk_Window main = Tk_MainWindow(interp);
    Tcl_ResetResult(interp);
    if (!main) return;
    Tk_MakeWindowExist(main);
    ds.screenNumber = Tk_ScreenNumber(main);
    ds.display = Tk_Display(main);
    ds.screen = Tk_Screen(main);
    ds.colormap = Tk_Colormap(main);
    ds.visual = Tk_Visual(main);
    ds.depth = Tk_Depth(main);
    if (ds.depth > 24) ds.rgb24 = 1;
}

int createGimgCommand(Tcl_Interp *interp)
{
    return Tcl_CreateCommand(interp, "gimg", gimgCommand, nullptr, gimgCommandDeleted) ? TCL_OK : TCL_ERROR;
}

void forgetPalette() { displayState().paletteTable.clear(); }

}  // namespace krel
