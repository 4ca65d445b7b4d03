#include "core/options.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/runtime.h"

namespace krel {

static int refuse(Tcl_Interp *interp, const char *value, const char *optionName)
{
    if (interp) Tcl_AppendResult(interp, "Invalid value: ", value, " for ", optionName, nullptr);
    return TCL_ERROR;
}

int parseNameCode(Tcl_Interp *interp, const NameCodeOption &opt, const char *value, int32_t *field)
{
    int code = opt.toCode(value);
    if (code < 0) return refuse(interp, value, opt.optionName);
    *field = code;
    return TCL_OK;
}

std::string printNameCode(const NameCodeOption &opt, int32_t field)
{
    const char *name = opt.toName(field);
    return name ? name : "";
}

int parseFileName(Tcl_Interp *interp, const char *optionName, const char *value, char field[256])
{
    char buffer[256];
    if (translateFileName(interp, buffer, sizeof buffer, value) == nullptr) {
        if (interp) {
            Tcl_ResetResult(interp);
            Tcl_AppendResult(interp, "Error in file name translation: ", value, " for ", optionName, nullptr);
        }
        return TCL_ERROR;
    }
    memcpy(field, buffer, strlen(buffer) + 1);
    return TCL_OK;
}

// Reads "a" or "a/b/c" of decimal integers; returns the count read or -1.
static int readSlashInts(const char *value, int32_t *out, int most)
{
    int n = 0;
    const char *p = value;
    while (true) {
        char *end;
        errno = 0;
        long v = strtol(p, &end, 10);
        if (end == p || errno || v < INT32_MIN || v > INT32_MAX || n == most) return -1;
        out[n++] = static_cast<int32_t>(v);
        if (*end == '\0') return n;
        if (*end != '/') return -1;
        p = end + 1;
    }
}

int parsePalette(Tcl_Interp *interp, const char *optionName, const char *value, PaletteSpec *field)
{
    if (caseCompare(value, "default") == 0) {
        *field = PaletteSpec{{-1, 0, 0, 0}};
        return TCL_OK;
    }
    int32_t v[3];
    int n = readSlashInts(value, v, 3);
    if (n != 1 && n != 3) return refuse(interp, value, optionName);
    for (int i = 0; i < n; ++i)
        if (v[i] < 1 || v[i] > 256) return refuse(interp, value, optionName);
    *field = (n == 1) ? PaletteSpec{{v[0], 0, 0, 0}} : PaletteSpec{{0, v[0], v[1], v[2]}};
    return TCL_OK;
}

std::string printPalette(const PaletteSpec &field)
{
    char text[64];
    if (field.v[0] == -1)
        return "Default";
    if (field.v[0] == 0)
        snprintf(text, sizeof text, "%d/%d/%d", field.v[1], field.v[2], field.v[3]);
    else
        snprintf(text, sizeof text, "%d", field.v[0]);
    return text;
}

int parseBandComb(Tcl_Interp *interp, const char *optionName, const char *value, BandComb *field)
{
    char cut[256];
    snprintf(cut, sizeof cut, "%s", value);
    int32_t v[3];
    int n = readSlashInts(cut, v, 3);
    if (n < 1) return refuse(interp, value, optionName);
    bool anyNonZero = false;
    for (int i = 0; i < n; ++i) {
        if (v[i] < 0) return refuse(interp, value, optionName);
        anyNonZero |= v[i] != 0;
    }
    if (!anyNonZero) return refuse(interp, value, optionName);
    BandComb comb{n, {0, 0, 0}};
    for (int i = 0; i < n; ++i) comb.band[i] = v[i];
    *field = comb;
    return TCL_OK;
}

std::string printBandComb(const BandComb &field)
{
    std::string text;
    char piece[24];
    for (int i = 0; i < field.count && i < 3; ++i) {
        snprintf(piece, sizeof piece, i ? "/%d" : "%d", field.band[i]);
        text += piece;
    }
    return text;
}

// Tk glue: printed values are handed to Tk as Tcl-heap strings it frees.
static const char *handOver(const std::string &text, Tcl_FreeProc **freeProc)
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

static int nameCodeParse(ClientData cd, Tcl_Interp *interp, Tk_Window, const char *value, char *rec, int offset)
{
    return parseNameCode(interp, *static_cast<const NameCodeOption *>(cd), value,
                         reinterpret_cast<int32_t *>(rec + offset));
}
static const char *nameCodePrint(ClientData cd, Tk_Window, char *rec, int offset, Tcl_FreeProc **fp)
{
    return handOver(printNameCode(*static_cast<const NameCodeOption *>(cd),
                                  *reinterpret_cast<int32_t *>(rec + offset)), fp);
}
static int combParse(ClientData cd, Tcl_Interp *interp, Tk_Window, const char *value, char *rec, int offset)
{
    return parseBandComb(interp, static_cast<const char *>(cd), value, reinterpret_cast<BandComb *>(rec + offset));
}
static const char *combPrint(ClientData, Tk_Window, char *rec, int offset, Tcl_FreeProc **fp)
{
    return handOver(printBandComb(*reinterpret_cast<BandComb *>(rec + offset)), fp);
}

Tk_CustomOption makeNameCodeOption(const NameCodeOption *opt)
{
    return {nameCodeParse, nameCodePrint, const_cast<NameCodeOption *>(opt)};
}
Tk_CustomOption makeBandCombOption(const char *optionName)
{
    return {combParse, combPrint, const_cast<char *>(optionName)};
}

}  // namespace krel
