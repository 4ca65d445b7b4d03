#include "image/defoptions.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/options.h"
#include "image/formats/formats.h"

namespace krel {

namespace {

enum class Kind { File, Code, Int, Double };

struct DefOption {
    const char *name;  // with the leading "-"
    const char *dbName;
    const char *dbClass;
    Kind kind;
    size_t offset;
    const char *defaultValue;
    const NameCodeOption *codes;
};

const NameCodeOption kMapCodes{"-mapid", mapProjectionCode, mapProjectionName};
const NameCodeOption kFormatCodes{"-imgid", imageFormatCode, imageFormatName};
const NameCodeOption kPixelCodes{"-pixel", pixelTypeCode, pixelTypeName};

#define DEF_FIELD(f) offsetof(ImageDef, f)
const DefOption kDefOptions[] = {
    {"-file", "file", "File", Kind::File, DEF_FIELD(file), "rimage.lan", nullptr},
    {"-mapid", "mapid", "Mapid", Kind::Code, DEF_FIELD(mapid), "GRID", &kMapCodes},
    {"-imgid", "imgid", "Imgid", Kind::Code, DEF_FIELD(imgid), "E74", &kFormatCodes},
    {"-pixel", "pixel", "Pixel", Kind::Code, DEF_FIELD(pixel), "BYTE", &kPixelCodes},
    {"-nbands", "nbands", "Nbands", Kind::Int, DEF_FIELD(nbands), "1", nullptr},
    {"-msbf", "msbf", "Msbf", Kind::Int, DEF_FIELD(msbf), "0", nullptr},
    {"-rows", "rows", "Rows", Kind::Int, DEF_FIELD(rows), "512", nullptr},
    {"-columns", "columns", "Columns", Kind::Int, DEF_FIELD(columns), "512", nullptr},
    {"-top", "top", "Top", Kind::Int, DEF_FIELD(top), "0", nullptr},
    {"-left", "left", "Left", Kind::Int, DEF_FIELD(left), "0", nullptr},
    {"-x0", "x0", "X0", Kind::Double, DEF_FIELD(x0), "0.0", nullptr},
    {"-y0", "y0", "Y0", Kind::Double, DEF_FIELD(y0), "0.0", nullptr},
    {"-dx", "dx", "Dx", Kind::Double, DEF_FIELD(dx), "1.0", nullptr},
    {"-dy", "dy", "Dy", Kind::Double, DEF_FIELD(dy), "1.0", nullptr},
    {"-offset", "offset", "Offset", Kind::Int, DEF_FIELD(offset), "128", nullptr},
    {"-block", "block", "Block", Kind::Int, DEF_FIELD(block), "512", nullptr},
    {"-nindices", "nindices", "Nindices", Kind::Int, DEF_FIELD(nindices), "0", nullptr},
};
#undef DEF_FIELD

// Exact name first, then a unique prefix, as Tk matches options.
const DefOption *findOption(Tcl_Interp *interp, const char *word)
{
    size_t len = strlen(word);
    const DefOption *found = nullptr;
    for (const DefOption &o : kDefOptions) {
        if (strcmp(o.name, word) == 0) return &o;
        if (len > 1 && strncmp(o.name, word, len) == 0) {
            if (found) {
                if (interp) Tcl_AppendResult(interp, "ambiguous option \"", word, "\"", nullptr);
                return nullptr;
            }
            found = &o;
        }
    }
    if (!found && interp) Tcl_AppendResult(interp, "unknown option \"", word, "\"", nullptr);
    return found;
}

int parseValue(Tcl_Interp *interp, const DefOption &o, const char *value, ImageDef *def)
{
    char *field = reinterpret_cast<char *>(def) + o.offset;
    switch (o.kind) {
    case Kind::File: return parseFileName(interp, o.name, value, field);
    case Kind::Code: return parseNameCode(interp, *o.codes, value, reinterpret_cast<int32_t *>(field));
    case Kind::Int: {
        int v;
        if (Tcl_GetInt(interp, value, &v) != TCL_OK) return TCL_ERROR;
        *reinterpret_cast<int32_t *>(field) = v;
        return TCL_OK;
    }
    case Kind::Double: {
        double v;
        if (Tcl_GetDouble(interp, value, &v) != TCL_OK) return TCL_ERROR;
        *reinterpret_cast<double *>(field) = v;
        return TCL_OK;
    }
    }
    return TCL_ERROR;
}

std::string printValue(const DefOption &o, const ImageDef &def)
{
    const char *field = reinterpret_cast<const char *>(&def) + o.offset;
    switch (o.kind) {
    case Kind::File: return std::string(field, strnlen(field, sizeof def.file));
    case Kind::Code: return printNameCode(*o.codes, *reinterpret_cast<const int32_t *>(field));
    case Kind::Int: return std::to_string(*reinterpret_cast<const int32_t *>(field));
    case Kind::Double: {
        char text[TCL_DOUBLE_SPACE];
        Tcl_PrintDouble(nullptr, *reinterpret_cast<const double *>(field), text);
        return text;
    }
    }
    return "";
}

Tcl_Obj *describe(const DefOption &o, const ImageDef &def)
{
    Tcl_Obj *items[5] = {Tcl_NewStringObj(o.name, -1), Tcl_NewStringObj(o.dbName, -1),
                         Tcl_NewStringObj(o.dbClass, -1), Tcl_NewStringObj(o.defaultValue, -1),
                         Tcl_NewStringObj(printValue(o, def).c_str(), -1)};
    return Tcl_NewListObj(5, items);
}

}  // namespace

int applyDefOptions(Tcl_Interp *interp, ImageDef *def, int argc, const char *const *argv)
{
    ImageDef work = *def;
    for (int i = 0; i < argc; i += 2) {
        const DefOption *o = findOption(interp, argv[i]);
        if (!o) return TCL_ERROR;
        if (i + 1 >= argc) {
            Tcl_AppendResult(interp, "value for \"", argv[i], "\" missing", nullptr);
            return TCL_ERROR;
        }
        if (parseValue(interp, *o, argv[i + 1], &work) != TCL_OK) return TCL_ERROR;
    }
    *def = work;
    return TCL_OK;
}

int describeDefOptions(Tcl_Interp *interp, const ImageDef &def, const char *option)
{
    if (option) {
        const DefOption *o = findOption(interp, option);
        if (!o) return TCL_ERROR;
        Tcl_SetObjResult(interp, describe(*o, def));
        return TCL_OK;
    }
    Tcl_Obj *all = Tcl_NewListObj(0, nullptr);
    for (const DefOption &o : kDefOptions) Tcl_ListObjAppendElement(nullptr, all, describe(o, def));
    Tcl_SetObjResult(interp, all);
    return TCL_OK;
}

int defOptionValue(Tcl_Interp *interp, const ImageDef &def, const char *option)
{
    const DefOption *o = findOption(interp, option);
    if (!o) return TCL_ERROR;
    Tcl_SetObjResult(interp, Tcl_NewStringObj(printValue(*o, def).c_str(), -1));
    return TCL_OK;
}

void applyDefOptionDefaults(ImageDef *def)
{
    for (const DefOption &o : kDefOptions) parseValue(nullptr, o, o.defaultValue, def);
}

namespace {

int refuse(Tcl_Interp *interp, const char *message)
{
    if (interp) Tcl_SetObjResult(interp, Tcl_NewStringObj(message, -1));
    return TCL_ERROR;
}

int64_t ceilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

}  // namespace

int validateImageDef(Tcl_Interp *interp, ImageDef *target, const ImageDef *before)
{
    ImageDef d = *target;
    if (d.nbands == 1) {
        int most = d.pixel == PIX_1BIT ? 2 : d.pixel == PIX_4BITS ? 16 : d.pixel == PIX_BYTE ? 256 : 0;
        if (most && (d.nindices < 0 || d.nindices > most)) return refuse(interp, "Invalid index number.");
        if (!most) d.nindices = 0;
    } else {
        d.nindices = 0;
    }
    const FormatRecord &f = formatRecord(d.imgid);
    if (f.fixedBands) d.nbands = f.fixedBands;
    if (f.fixedPixel != PIX_UNKNOWN) d.pixel = f.fixedPixel;
    if (f.fixedIndices >= 0) d.nindices = f.fixedIndices;
    if (f.settle)
        if (const char *refusal = f.settle(&d)) return refuse(interp, refusal);
    d.bits = pixelBits(d.pixel);
    const int64_t columns = d.columns > 0 ? d.columns : 0, bands = d.nbands > 0 ? d.nbands : 0;
    int64_t least = 0;
    switch (f.block) {
    case BlockRule::WordRow: least = 4 * ceilDiv(columns * d.bits * bands, 32); break;
    case BlockRule::PixelRow: least = ceilDiv(columns * d.bits * bands, 8); break;
    case BlockRule::BandLine: least = ceilDiv(columns * d.bits, 8); break;
    }
    if (least > INT32_MAX) return refuse(interp, "Unable to handle the image");
    if (d.block < least) d.block = static_cast<int32_t>(least);
    // A palette the image already has (read from its file, set by a script)
    // survives a change of other options; only new index counts get greys.
    const bool keepPalette = before && before->nindices == d.nindices && before->pixel == d.pixel;
    for (int i = 0; !keepPalette && i < d.nindices && i < 256; ++i) {
        auto v = static_cast<uint8_t>(d.nindices > 1 ? std::lround(i * 255.0 / (d.nindices - 1)) : 0);
        d.palette[i][0] = d.palette[i][1] = d.palette[i][2] = v;
    }
    *target = d;
    return TCL_OK;
}

}  // namespace krel
