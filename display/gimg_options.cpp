// The option table of gimg images: Tk's configuration parser writes the
// option record, custom options read and print projection, format and pixel
// type names, enhancement functions, range modes, colour cell sets and band
// combinations.
#include <cstddef>
#include <cstring>
#include <string>

#include "core/runtime.h"
#include "display/colorcells.h"
#include "display/gimg.h"
#include "image/imagedef.h"

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

}  // namespace

Tk_ConfigSpec *gimgConfigSpecs() { return gSpecs; }

void setOptionString(char **field, const std::string &value)
{
    if (*field) ckfree(*field);
    *field = static_cast<char *>(ckalloc(static_cast<unsigned>(value.size() + 1)));
    memcpy(*field, value.c_str(), value.size() + 1);
}

}  // namespace krel
