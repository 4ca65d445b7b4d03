// The option table of gimg images and the configuration sequence: colours,
// string data, attaching the RAM image (tag, file, Tk photo, raw geometry),
// geometry and sampling maps, viewport, output range, GIF transparency,
// band combination, filters, colour cells, enhancement tables and masks.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/stat.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "display/enhance.h"
#include "display/gimg.h"
#include "image/photo.h"
#include "image/registry.h"

namespace krel {

namespace {

// ---------------------------------------------------------------------------
// Custom options.

const char *const kFuncNames[] = {"UNKNOWN", "NONE", "LINEAR", "HISTS", "HISTEQ"};
const char *const kRangeNames[] = {"UNKNOWN", "MEAN", "DETAIL"};

template <size_t N>
int codeOf(const char *const (&names)[N], const char *word)
{
    for (size_t i = 0; i < N; ++i)
        if (caseCompare(names[i], word) == 0) return static_cast<int>(i);
    return -1;
}
int funcCode(const char *w) { return codeOf(kFuncNames, w); }
const char *funcName(int c) { return c >= 0 && c < 5 ? kFuncNames[c] : ""; }
int rangeCode(const char *w) { return codeOf(kRangeNames, w); }
const char *rangeName(int c) { return c >= 0 && c < 3 ? kRangeNames[c] : ""; }

const NameCodeOption kMapOpt{"-mapid", mapProjectionCode, mapProjectionName};
const NameCodeOption kImgOpt{"-imgid", imageFormatCode, imageFormatName};
const NameCodeOption kPixelOpt{"-pixel", pixelTypeCode, pixelTypeName};
const NameCodeOption kFuncOpt{"-func", funcCode, funcName};
const NameCodeOption kRangeOpt{"-range", rangeCode, rangeName};

const char *handOver(const std::string &text, Tcl_FreeProc **freeProc)
{
    char *copy = static_cast<char *>(tclAlloc(text.size() + 1));
    if (!copy) {
        *freeProc = nullptr;
        return "";
    }
    memcpy(copy, text.c_str(), text.size() + 1);
    *freeProc = TCL_DYNAMIC;
    return copy;
}

// -palette: "Default", N, or r/g/b; a set of more than 256 cells is refused.
int paletteParse(ClientData, Tcl_Interp *interp, Tk_Window, const char *value, char *rec, int offset)
{
    PaletteSpec spec{};
    if (parsePalette(interp, "-palette", value, &spec) != TCL_OK) return TCL_ERROR;
    if (!cellSpecValid(spec)) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Invalid value: ", value, " for -palette (more than 256 colour cells)", nullptr);
        return TCL_ERROR;
    }
    *reinterpret_cast<PaletteSpec *>(rec + offset) = spec;
    return TCL_OK;
}
const char *palettePrint(ClientData, Tk_Window, char *rec, int offset, Tcl_FreeProc **fp)
{
    return handOver(printPalette(*reinterpret_cast<PaletteSpec *>(rec + offset)), fp);
}

// -comb: a list of 1 to 3 positive band numbers (blanks, commas or slashes).
int combParse(ClientData, Tcl_Interp *interp, Tk_Window, const char *value, char *rec, int offset)
{
    std::string s(value);
    for (char &c : s)
        if (c == ',' || c == '/' || c == '{' || c == '}' || c == '\t') c = ' ';
    BandComb comb{0, {0, 0, 0}};
    const char *p = s.c_str();
    while (true) {
        while (*p == ' ') ++p;
        if (!*p) break;
        char *end;
        long v = strtol(p, &end, 10);
        if (end == p || (*end && *end != ' ') || v < 1 || v > 1000000 || comb.count == 3) {
            Tcl_ResetResult(interp);
            Tcl_AppendResult(interp, "Invalid value: ", value, " for -comb", nullptr);
            return TCL_ERROR;
        }
        comb.band[comb.count++] = static_cast<int32_t>(v);
        p = end;
    }
    if (comb.count == 0) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Invalid value: ", value, " for -comb", nullptr);
        return TCL_ERROR;
    }
    *reinterpret_cast<BandComb *>(rec + offset) = comb;
    return TCL_OK;
}
const char *combPrint(ClientData, Tk_Window, char *rec, int offset, Tcl_FreeProc **fp)
{
    const BandComb &c = *reinterpret_cast<BandComb *>(rec + offset);
    std::string text;
    for (int i = 0; i < c.count && i < 3; ++i) {
        if (i) text += ' ';
        text += std::to_string(c.band[i]);
    }
    return handOver(text, fp);
}

Tk_CustomOption gMapOption = makeNameCodeOption(&kMapOpt);
Tk_CustomOption gImgOption = makeNameCodeOption(&kImgOpt);
Tk_CustomOption gPixelOption = makeNameCodeOption(&kPixelOpt);
Tk_CustomOption gFuncOption = makeNameCodeOption(&kFuncOpt);
Tk_CustomOption gRangeOption = makeNameCodeOption(&kRangeOpt);
Tk_CustomOption gPaletteOption{paletteParse, palettePrint, nullptr};
Tk_CustomOption gCombOption{combParse, combPrint, nullptr};

#define OFF(field) static_cast<int>(offsetof(GimgOptions, field))
#define STR(name, db, cls, def, field) {TK_CONFIG_STRING, name, db, cls, def, OFF(field), 0, nullptr}
#define INT(name, db, cls, def, field) {TK_CONFIG_INT, name, db, cls, def, OFF(field), 0, nullptr}
#define DBL(name, db, cls, def, field) {TK_CONFIG_DOUBLE, name, db, cls, def, OFF(field), 0, nullptr}
#define BOOL(name, db, cls, def, field) {TK_CONFIG_BOOLEAN, name, db, cls, def, OFF(field), 0, nullptr}
#define CUST(name, db, cls, def, field, opt) {TK_CONFIG_CUSTOM, name, db, cls, def, OFF(field), 0, &opt}

Tk_ConfigSpec gSpecs[] = {
    STR("-background", "background", "Background", "#000000", background),
    STR("-foreground", "foreground", "Foreground", "#ffffff", foreground),
    STR("-file", "file", "File", "", file),
    STR("-maskfile", "maskfile", "Maskfile", "", maskfile),
    STR("-maskclass", "maskclass", "Maskclass", "", maskclass),
    STR("-data", "data", "Data", "", data),
    CUST("-mapid", "mapid", "Mapid", "GRID", mapid, gMapOption),
    CUST("-imgid", "imgid", "Imgid", "BSQ", imgid, gImgOption),
    INT("-offset", "offset", "Offset", "0", offset),
    CUST("-pixel", "pixel", "Pixel", "BYTE", pixel, gPixelOption),
    INT("-nbands", "nbands", "Nbands", "1", nbands),
    INT("-msbf", "msbf", "Msbf", "-1", msbf),
    INT("-rows", "rows", "Rows", "512", rows),
    INT("-columns", "columns", "Columns", "512", columns),
    INT("-left", "left", "Left", "0", left),
    INT("-top", "top", "Top", "0", top),
    DBL("-x0", "x0", "X0", "0.0", x0),
    DBL("-y0", "y0", "Y0", "0.0", y0),
    DBL("-dx", "dx", "Dx", "1.0", dx),
    DBL("-dy", "dy", "Dy", "1.0", dy),
    CUST("-func", "func", "Func", "NONE", func, gFuncOption),
    CUST("-range", "range", "Range", "DETAIL", range, gRangeOption),
    DBL("-std", "std", "Std", "2.5", std),
    BOOL("-test", "test", "Test", "0", test),
    BOOL("-autod", "autod", "Autod", "1", autod),
    BOOL("-update", "update", "Update", "0", update),
    INT("-width", "width", "Width", "128", width),
    INT("-height", "height", "Height", "128", height),
    DBL("-mx", "mx", "Mx", "1.0", mx),
    DBL("-my", "my", "My", "1.0", my),
    INT("-sr", "sr", "Sr", "0", sr),
    INT("-sc", "sc", "Sc", "0", sc),
    DBL("-low0", "low0", "Low0", "0", low[0]),
    DBL("-low1", "low1", "Low1", "0", low[1]),
    DBL("-low2", "low2", "Low2", "0", low[2]),
    DBL("-high0", "high0", "High0", "255", high[0]),
    DBL("-high1", "high1", "High1", "255", high[1]),
    DBL("-high2", "high2", "High2", "255", high[2]),
    CUST("-palette", "palette", "Palette", "Default", palette, gPaletteOption),
    INT("-layer", "layer", "Layer", "0", layer),
    CUST("-comb", "comb", "Comb", "1", comb, gCombOption),
    INT("-maxw", "maxw", "Maxw", "4096", maxw),
    INT("-maxh", "maxh", "Maxh", "4096", maxh),
    INT("-dither", "dither", "Dither", "0", dither),
    DBL("-dg", "dg", "Dg", "0.9", dg),
    INT("-gmid", "gmid", "Gmid", "0", gmid),
    DBL("-gamma", "gamma", "Gamma", "1.0", gamma),
    DBL("-contrast", "contrast", "Contrast", "1.0", contrast),
    DBL("-bright", "bright", "Bright", "0.5", bright),
    DBL("-sharpness", "sharpness", "Sharpness", "0.0", sharpness),
    DBL("-emboss", "emboss", "Emboss", "0.0", emboss),
    INT("-filterdir", "filterdir", "Filterdir", "0", filterdir),
    INT("-filterbg", "filterbg", "Filterbg", "0", filterbg),
    INT("-yflip", "yflip", "Yflip", "0", yflip),
    INT("-xflip", "xflip", "Xflip", "0", xflip),
    INT("-rotate", "rotate", "Rotate", "0", rotate),
    INT("-tile", "tile", "Tile", "0", tile),
    INT("-tw", "tw", "Tw", "2048", tw),
    INT("-th", "th", "Th", "2048", th),
    INT("-turbo", "turbo", "Turbo", "0", turbo),
    INT("-maskon", "maskon", "Maskon", "1", maskon),
    INT("-maskopaque", "maskopaque", "Maskopaque", "0", maskopaque),
    INT("-maskimgband", "maskimgband", "Maskimgband", "1", maskimgband),
    STR("-stipple", "stipple", "Stipple", "None", stipple),
    {TK_CONFIG_END, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr},
};

#undef OFF
#undef STR
#undef INT
#undef DBL
#undef BOOL
#undef CUST

// Replaces a Tk-owned option string.
void setOptionString(char **field, const std::string &value)
{
    if (*field) ckfree(*field);
    *field = static_cast<char *>(ckalloc(static_cast<unsigned>(value.size() + 1)));
    memcpy(*field, value.c_str(), value.size() + 1);
}

const char *str(const char *s) { return s ? s : ""; }

bool fileExists(const char *name)
{
    struct stat st;
    return stat(name, &st) == 0;
}

// ---------------------------------------------------------------------------
// Step 2: colours and stipple.

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
        invalidatePixmap(m);
    }
    return TCL_OK;
}

// ---------------------------------------------------------------------------
// Steps 3 and 4: string data and the attached image.

// Loads a photo from a file or from string data into a temporary Tk photo
// and copies it into a RAM image.
RamImage *importThroughPhoto(Tcl_Interp *interp, const char *option, const char *value, const std::string &tag)
{
    static int serial = 0;
    const std::string photoName = "::krel::gimgPhoto" + std::to_string(++serial);
    Tcl_Obj *cmd = Tcl_NewListObj(0, nullptr);
    Tcl_IncrRefCount(cmd);
    for (const char *w : {"image", "create", "photo"}) Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj(w, -1));
    Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj(photoName.c_str(), -1));
    Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj(option, -1));
    Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj(value, -1));
    Tcl_Obj *saved = Tcl_GetObjResult(interp);
    Tcl_IncrRefCount(saved);
    int code = Tcl_EvalObjEx(interp, cmd, TCL_EVAL_GLOBAL);
    Tcl_DecrRefCount(cmd);
    RamImage *img = nullptr;
    if (code == TCL_OK) {
        if (Tk_PhotoHandle photo = Tk_FindPhoto(interp, photoName.c_str())) img = importPhoto(photo, tag.c_str(), nullptr);
        Tcl_Obj *del = Tcl_ObjPrintf("image delete %s", photoName.c_str());
        Tcl_IncrRefCount(del);
        Tcl_EvalObjEx(interp, del, TCL_EVAL_GLOBAL);
        Tcl_DecrRefCount(del);
    }
    Tcl_SetObjResult(interp, saved);
    Tcl_DecrRefCount(saved);
    return img;
}

void releaseAttached(GimgMaster *m)
{
    if (m->image) releaseImage(m->image, &m->client);
    m->image = nullptr;
    m->attachedName.clear();
    m->paletteInUse = false;
}

// Copies the definition of a newly attached image into the raw-geometry
// options and applies the palette rules of "-palette Default".
void adoptDefinition(GimgMaster *m, bool newlyAttached)
{
    const ImageDef &d = m->image->def;
    m->o.pixel = d.pixel;
    m->o.imgid = d.imgid;
    m->o.mapid = d.mapid;
    m->o.offset = d.offset;
    m->o.top = d.top;
    m->o.left = d.left;
    m->o.rows = d.rows;
    m->o.columns = d.columns;
    m->o.nbands = d.nbands;
    m->o.x0 = d.x0;
    m->o.y0 = d.y0;
    m->o.dx = d.dx;
    m->o.dy = d.dy;
    if (!newlyAttached) return;
    m->paletteOwn = false;
    const int n = std::clamp(d.nindices, 0, 256);
    if (n > 0) m->o.layer = 1;
    if (m->o.palette.v[0] == -1) {
        bool coloured = false;
        for (int i = 0; i < n; ++i)
            if (d.palette[i][0] != d.palette[i][1] || d.palette[i][1] != d.palette[i][2]) coloured = true;
        if (d.nbands == 1 && n == 0) {
            m->o.comb = BandComb{1, {1, 0, 0}};
            m->cellSpec = PaletteSpec{{28, 0, 0, 0}};
        } else if (coloured) {
            m->o.comb = BandComb{3, {1, 2, 3}};
            m->cellSpec = PaletteSpec{{0, 8, 8, 4}};
        }
    }
}

int attachFile(GimgMaster *m)
{
    Tcl_Interp *interp = m->interp;
    const std::string name = str(m->o.file);
    if (name.empty()) {
        if (m->image) {
            releaseAttached(m);
            ++m->dataSerial;
            invalidatePixmap(m);
        }
        return TCL_OK;
    }
    if (m->image && name == m->attachedName && !m->o.update) return TCL_OK;

    RamImage *img = nullptr;
    int error = IMGERR_OK;
    if (m->o.autod) {
        img = findByTag(name.c_str());
        if (img) {
            retainImage(img);
        } else {
            img = getImage(nullptr, name.c_str(), nullptr, nullptr, &error);
            if (!img && error == IMGERR_UNHANDLED) {
                setOptionString(&m->o.file, m->attachedName);
                Tcl_ResetResult(interp);
                Tcl_AppendResult(interp, "Unable to hanlde the image.", nullptr);
                return TCL_ERROR;
            }
        }
        if (!img && Tcl_PkgPresent(interp, "Tk", nullptr, 0) != nullptr) {
            if (Tk_PhotoHandle photo = Tk_FindPhoto(interp, name.c_str())) {
                img = importPhoto(photo, (name + ".photo").c_str(), nullptr);
            }
            conEprintf(img ? "opened tkPhoto object...\n" : "failed to open tkphoto object ...\n");
            if (!img && fileExists(name.c_str())) {
                img = importThroughPhoto(interp, "-file", name.c_str(), name);
                conEprintf(img ? "opened tkPhoto image...\n" : "failed to open photo image ...\n");
            }
        }
    }
    if (!img) {
        ImageDef def = defaultImageDef();
        snprintf(def.file, sizeof def.file, "%s", name.c_str());
        def.imgid = m->o.imgid;
        def.pixel = m->o.pixel;
        def.bits = pixelBits(def.pixel);
        def.nbands = std::max(1, m->o.nbands);
        def.rows = m->o.rows;
        def.columns = m->o.columns;
        def.offset = m->o.offset;
        def.block = 0;  // the store derives the record size
        def.msbf = m->o.msbf < 0 ? 0 : m->o.msbf;
        def.left = m->o.left;
        def.top = m->o.top;
        def.mapid = m->o.mapid;
        def.x0 = m->o.x0;
        def.y0 = m->o.y0;
        def.dx = m->o.dx > 0 ? m->o.dx : 1.0;
        def.dy = m->o.dy > 0 ? m->o.dy : 1.0;
        def.nindices = 0;
        def.transparent = -1;
        def.dataFd = -1;
        def.volumes = 1;
        if (def.rows > 0 && def.columns > 0 && def.bits > 0 && isFileFormat(def.imgid))
            img = getImage(nullptr, name.c_str(), &def, nullptr, &error);
        if (!img) {
            setOptionString(&m->o.file, m->attachedName);
            Tcl_ResetResult(interp);
            Tcl_AppendResult(interp, "Fail to open ram image.", nullptr);
            return TCL_ERROR;
        }
    }
    bool newly = img != m->image;
    if (!newly) {
        releaseImage(img, nullptr);  // bound already: drop the lookup's count
    } else {
        releaseAttached(m);
        bindClient(img, &m->client);
        m->image = img;
    }
    m->attachedName = name;
    ++m->dataSerial;
    m->pendingNotify = 0;
    // A mask source of "Default" follows the displayed image.
    if (std::string(str(m->o.maskfile)) == "Default") m->maskSourceName = "\x01";
    adoptDefinition(m, newly || m->o.update);
    invalidatePixmap(m);
    return TCL_OK;
}

int applyStringData(GimgMaster *m)
{
    const char *data = str(m->o.data);
    if (!*data) return TCL_OK;
    const std::string tag = m->name + ".data";
    RamImage *img = importThroughPhoto(m->interp, "-data", data, tag);
    if (!img) {
        Tcl_AddErrorInfo(m->interp, "\nFail to open ramimg from string data.");
        Tcl_AppendResult(m->interp, "Fail to open ramimg from string data.", nullptr);
        return TCL_ERROR;
    }
    setOptionString(&m->o.file, img->tag);
    setOptionString(&m->o.data, "");
    // The display is to be the image's only holder: attach (binding the
    // client), then drop the creation's count.
    const int savedUpdate = m->o.update;
    m->o.update = 1;
    int code = attachFile(m);
    m->o.update = savedUpdate;
    releaseImage(img, nullptr);
    return code;
}

// ---------------------------------------------------------------------------
// Steps 9 to 12.

void applyGifTransparency(GimgMaster *m)
{
    RamImage *img = m->image;
    if (!img || !m->paletteInUse) return;
    if (img->def.imgid != IMG_GIF87A && img->def.imgid != IMG_GIF89A) return;
    const int t = img->def.transparent;
    if (t < 0 || t > 255) return;
    XColor *c = nullptr;
    if (const char *name = Tcl_GetVar(m->interp, "TRANSPARENT_GIF_COLOR", TCL_GLOBAL_ONLY)) {
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
}

void applyComb(GimgMaster *m)
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
}

void applyFilters(GimgMaster *m)
{
    m->o.filterdir = std::clamp(m->o.filterdir, 0, 4);
    m->o.filterbg = std::clamp(m->o.filterbg, 0, 255);
    if (m->o.emboss != 0) m->o.filterbg = -1;
}

void applyCells(GimgMaster *m)
{
    if (m->depth >= 9) return;
    if (m->o.palette.v[0] != -1) m->cellSpec = m->o.palette;
    const bool wantTrue = m->paletteInUse && m->image && m->image->def.nindices > 0;
    const PaletteSpec &spec = m->cellSpec;
    bool changed = !m->cells.valid || memcmp(&m->cells.madeFrom, &spec, sizeof spec) != 0 ||
                         m->cells.madeDither != m->o.dither || wantTrue != m->cells.truePalette;
    std::vector<uint8_t> ownColours;
    if (wantTrue) {
        const int n = std::clamp(m->paletteCount, 1, 256);
        ownColours.assign(&m->palette[0][0], &m->palette[0][0] + 3 * n);
    }
    if (ownColours != m->cells.madePalette) changed = true;
    if (changed) {
        freeCells(m->cells);
        const int entries = m->visual ? m->visual->map_entries : 256;
        // The image's own colours replace the cells; the cells are the
        // fallback when the colormap cannot give them.
        computeCellLevels(m->cells, spec);
        bool own = false;
        if (wantTrue) {
            own = allocateTruePalette(m->cells, m->display, m->colormap, entries, m->palette,
                                      std::clamp(m->paletteCount, 1, 256));
            if (!own) conEprintf("Error in truePalette alloc.\n");
        }
        if (!own) allocateCells(m->cells, m->display, m->colormap, entries, spec);
        m->cells.madeFrom = spec;
        m->cells.madeDither = m->o.dither;
        m->cells.madePalette = ownColours;
        m->cells.valid = true;
        invalidatePixmap(m);
    }
    applyDitherGain(m->cells, m->o.dg);
}

}  // namespace

Tk_ConfigSpec *gimgConfigSpecs() { return gSpecs; }

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
    m->pixW = o.width;
    m->pixH = o.height;
    m->renderW = rotated ? o.height : o.width;
    m->renderH = rotated ? o.width : o.height;
    if (m->colMap.update(m->renderW, o.sc, o.xflip, o.mx)) invalidatePixmap(m);
    if (m->rowMap.update(m->renderH, o.sr, o.yflip, o.my)) invalidatePixmap(m);
    return openViewport(m);
}

int openViewport(GimgMaster *m)
{
    // The pixmap follows the display size; it is made when first drawn.
    if (m->pixmap.width != m->pixW || m->pixmap.height != m->pixH) {
        m->pixmap.release();
        m->pixmap.width = m->pixW;
        m->pixmap.height = m->pixH;
        invalidatePixmap(m);
    }
    return TCL_OK;
}

void freeViewport(GimgMaster *m)
{
    m->pixmap.release();
    if (m->ximage) XDestroyImage(m->ximage);
    m->ximage = nullptr;
    m->ximageW = m->ximageH = 0;
}

void buildTables(GimgMaster *m, bool force)
{
    outputRange(m->o.contrast, m->o.bright, &m->outLo, &m->outHi);
    RamImage *img = m->image;
    bool statsTried = false, statsOk = false;
    for (int c = 0; c < 3; ++c) {
        GimgChannel &ch = m->ch[c];
        TableKey key;
        key.valid = 1;
        key.func = m->o.func;
        key.range = m->o.range;
        key.gmid = m->o.gmid;
        key.lo = m->outLo;
        key.hi = m->outHi;
        key.band = img ? ch.band : -1;
        key.component = m->paletteInUse ? std::clamp(m->o.comb.band[c] - 1, 0, 2) : -1;
        key.std = m->o.std;
        key.gamma = m->o.gamma;
        key.low = m->o.low[c];
        key.high = m->o.high[c];
        key.dataSerial = m->dataSerial;
        if (!force && key == ch.key) continue;
        ch.key = key;
        ChannelStats stats;
        if (img && m->o.func != FUNC_NONE && ch.band >= 0 && ch.band < img->def.nbands) {
            if (!statsTried) {
                statsOk = computeBandStats(img, STATS_REUSE, 1, 1) == 0 && img->bandStats;
                statsTried = true;
            }
            if (statsOk) {
                const BandStats &bs = img->bandStats[ch.band];
                if (m->paletteInUse && bs.nbins > 0) {
                    // Palette images: the histogram of the channel's colour component.
                    stats.bins.assign(256, 0.0);
                    double n = 0, sum = 0, sq = 0, mn = 255, mx = 0;
                    for (int i = 0; i < bs.nbins; ++i) {
                        const double cnt = bs.bins[i];
                        if (cnt <= 0) continue;
                        const int v = m->palette[i][key.component];
                        stats.bins[static_cast<size_t>(v)] += cnt;
                        n += cnt;
                        sum += cnt * v;
                        sq += cnt * v * v;
                        mn = std::min<double>(mn, v);
                        mx = std::max<double>(mx, v);
                    }
                    if (n > 0) {
                        stats.present = true;
                        stats.mean = sum / n;
                        stats.stdDev = std::sqrt(std::max(0.0, sq / n - stats.mean * stats.mean));
                        stats.min = mn;
                        stats.max = mx;
                    }
                } else if (bs.count > 0) {
                    stats.present = true;
                    stats.mean = bs.mean;
                    stats.stdDev = bs.stdDev;
                    stats.min = bs.min;
                    stats.max = bs.max;
                    if (bs.nbins > 0 && bs.bins) stats.bins.assign(bs.bins, bs.bins + bs.nbins);
                }
            }
        }
        EnhanceParams p;
        p.func = m->o.func;
        p.range = m->o.range;
        p.k = m->o.std;
        p.gamma = m->o.gamma;
        p.gmid = m->o.gmid;
        p.lo = m->outLo;
        p.hi = m->outHi;
        p.low = m->o.low[c];
        p.high = m->o.high[c];
        p.remap = ch.remap;
        buildEnhanceTable(p, stats.present ? &stats : nullptr, ch.table);
        ch.low = p.low;
        ch.high = p.high;
        invalidatePixmap(m);
    }
}

// Steps 5 to 13, shared by configuration and by change notifications.
int applyDerived(GimgMaster *m)
{
    if (applyGeometry(m) != TCL_OK) return TCL_ERROR;
    applyGifTransparency(m);
    applyComb(m);
    applyFilters(m);
    applyCells(m);
    buildTables(m, false);
    return TCL_OK;
}

int configureGimg(GimgMaster *m, int argc, const char **argv, int flags)
{
    Tcl_Interp *interp = m->interp;
    if (Tk_ConfigureWidget(interp, m->tkwin, gSpecs, argc, argv, reinterpret_cast<char *>(&m->o), flags) != TCL_OK)
        return TCL_ERROR;
    if (applyColours(m) != TCL_OK) return TCL_ERROR;
    if (applyStringData(m) != TCL_OK) return TCL_ERROR;
    if (attachFile(m) != TCL_OK) return TCL_ERROR;
    if (m->image && m->o.msbf >= 0 && m->image->def.msbf != m->o.msbf) {
        RamImage *img = m->image;
        img->def.msbf = m->o.msbf;
        if (img->fileHandle >= 0) {
            // Values read from the file are swapped on loading: read them again.
            flushImage(img);
            invalidateCache(img);
        }
        discardBandStats(img);
        ++m->dataSerial;
        notifyClients(img, m->clientId, NOTIFY_DATA);
        invalidatePixmap(m);
    }
    if (m->o.palette.v[0] != -1) m->cellSpec = m->o.palette;
    if (applyDerived(m) != TCL_OK) return TCL_ERROR;
    if (applyMaskOptions(m) != TCL_OK) return TCL_ERROR;
    invalidatePixmap(m);
    gimgChanged(m);
    return TCL_OK;
}

}  // namespace krel
