// The `rimage` subcommands that open, describe, redefine, create and close
// images, and size their caches.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include <tcl.h>
#include <tk.h>

#include "core/package.h"
#include "core/tclutil.h"
#include "core/texts.h"
#include "image/defoptions.h"
#include "image/formats/formats.h"
#include "image/photo.h"
#include "image/ramimage.h"
#include "image/registry.h"
#include "image/rimage.h"
#include "image/rimage_cmd.h"

namespace krel {

namespace {

void greyRamp(ImageDef *def, bool truncate)
{
    int n = std::min(def->nindices, 256);
    for (int i = 0; i < n; ++i) {
        double v = n > 1 ? i * 255.0 / (n - 1) : 0.0;
        auto g = static_cast<uint8_t>(truncate ? v : std::lround(v));
        def->palette[i][0] = def->palette[i][1] = def->palette[i][2] = g;
    }
}


// ---------------------------------------------------------------------------
// open / close / list / lock / unlock / resident / isvalid

RamImage *importNamedPhoto(Tcl_Interp *interp, const char *name, int *error)
{
    if (!interpHasTk(interp)) return nullptr;
    Tk_PhotoHandle photo = Tk_FindPhoto(interp, name);
    if (!photo) return nullptr;
    return importPhoto(photo, (std::string(name) + ".photo").c_str(), error);
}

// "@x0:x1,y0:y1,b0:b1": each item empty, "*" or ":" (all), an index, or a range.
bool parseRangeItem(const std::string &item, int n, int *first, int *last)
{
    if (item.empty() || item == "*" || item == ":") {
        *first = 0;
        *last = n - 1;
        return n > 0;
    }
    int a, b;
    char tail;
    if (sscanf(item.c_str(), "%d:%d%c", &a, &b, &tail) == 2) {
    } else if (sscanf(item.c_str(), "%d%c", &a, &tail) == 1) {
        b = a;
    } else {
        return false;
    }
    if (a < 0 || a >= n || b < 0 || b >= n) return false;
    *first = a;
    *last = b;
    return true;
}


}  // namespace

bool parseDataRange(const char *text, int columns, int rows, int bands, int range[6])
{
    if (!text || text[0] != '@') return false;
    std::string s(text + 1);
    std::vector<std::string> items;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i)
        if (i == s.size() || s[i] == ',') {
            items.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    if (items.size() != 3) return false;
    const int sizes[3] = {columns, rows, bands};
    for (int k = 0; k < 3; ++k)
        if (!parseRangeItem(items[k], sizes[k], &range[2 * k], &range[2 * k + 1])) return false;
    return true;
}

int rimageOpen(RimageCommand *cmd, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1],
                         " FILE|TAG [imgID [[template [dataRange]] | options]]", nullptr);
        return TCL_ERROR;
    }
    const char *name = argv[2];
    ImageDef work = cmd->defaults;
    RamImage *img = findByFile(name);
    if (!img) img = findByTag(name);
    int error = IMGERR_OK;

    if (argc == 3) {
        if (!img) {
            if (name[0] == '@') {
                // A raw file described by the defaults record, no header detection.
                img = getImage(name, cmd->defaults.file, &work, nullptr, &error);
            } else {
                img = getImage(nullptr, name, nullptr, nullptr, &error);
                if (!img) {
                    int photoError = IMGERR_OK;
                    img = importNamedPhoto(interp, name, &photoError);
                    if (photoError) error = photoError;
                }
            }
            if (!img) {
                std::string message = std::string("Error in open ") + name;
                if (name[0] == '@') message += std::string(" with file: ") + cmd->defaults.file;
                message += std::string(" of ") + imageFormatName(cmd->defaults.imgid);
                return rimageFailOpen(interp, error, message);
            }
            // The reference taken by the lookup becomes an open.
            holdToScriptOpen(img);
        } else {
            scriptOpen(img);
        }
        setResult(interp, img->tag);
        return TCL_OK;
    }

    // A memory resident image.
    int code = imageFormatCode(argv[3]);
    if (!isMemoryFormat(code)) return rimageFail(interp, "Invalid image ID for a memory resident rimage.\n");
    RamImage *existing = findByTag(name);
    if (existing && existing->def.imgid != code) return rimageFail(interp, "Incompatible rimage ID.\n");
    if (existing && existing->useCount > 0 && argc > 4) return rimageFail(interp, "Can't config a RAMIMG in use.\n");
    if (existing && argc == 4) {
        scriptOpen(existing);
        setResult(interp, existing->tag);
        return TCL_OK;
    }
    bool templateIndices = false;
    if (argc > 4 && argv[4][0] != '-') {
        int terr = IMGERR_OK;
        RamImage *tmpl = getImage(argv[4], argv[4], nullptr, nullptr, &terr);
        if (!tmpl) return rimageFailOpen(interp, terr, std::string("Fail to open the template: ") + argv[4]);
        work = tmpl->def;
        work.imgid = code;
        templateIndices = work.nindices > 0;
        int range[6];
        bool rangeOk = argc <= 5 || parseDataRange(argv[5], tmpl->def.columns, tmpl->def.rows, tmpl->def.nbands, range);
        releaseImage(tmpl, nullptr);
        if (!rangeOk) return rimageFail(interp, "Invalid data range");
        if (argc > 5) {
            work.columns = std::abs(range[1] - range[0]) + 1;
            work.rows = std::abs(range[3] - range[2]) + 1;
            work.nbands = std::abs(range[5] - range[4]) + 1;
        }
        if (!(work.nbands == 1 && work.pixel <= PIX_BYTE)) templateIndices = false, work.nindices = 0;
    } else {
        if (existing) work = existing->def;
        work.imgid = code;
        if (argc > 4) {
            ImageDef before = work;
            Tcl_ResetResult(interp);
            if (applyDefOptions(interp, &work, argc - 4, argv + 4) != TCL_OK) return TCL_ERROR;
            if (work.imgid != code) return rimageFail(interp, "conflicting -imgid option");
            if (validateImageDef(interp, &work, &before) != TCL_OK) return TCL_ERROR;
        }
    }
    work.offset = 0;
    settleResidentBitmap(&work);
    if (!isPackedBitmap(code)) {
        work.bits = pixelBits(work.pixel);
        if (work.nbands != 1 || work.pixel > PIX_BYTE) work.nindices = 0;
    }
    if (!templateIndices) greyRamp(&work, true);
    snprintf(work.file, sizeof work.file, "%s", name);
    img = getImage(name, nullptr, &work, nullptr, &error);
    if (!img) return rimageFailOpen(interp, error, "Error in creating a new memory resident rimage.\n");
    snprintf(img->def.file, sizeof img->def.file, "%s", img->tag);
    notifyClients(img, -1, NOTIFY_CONFIG);
    holdToScriptOpen(img);
    setResult(interp, img->tag);
    return TCL_OK;
}

int rimageClose(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return rimageUsage(interp, argv, " TAG | FILE", TCL_ERROR);
    RamImage *img = lookupTagThenFile(argv[2]);
    if (!img) return rimageFail(interp, std::string("Not found RAMIMG:") + argv[2]);
    if (img->openCount < 1) return rimageFail(interp, "Unmatched close.\n");
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img->openCount - 1));
    closeImage(img);
    return TCL_OK;
}

int rimageList(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 3) return rimageUsage(interp, argv, " ?options?", TCL_ERROR);
    const char *option = argc == 3 ? argv[2] : "pair";
    enum { PAIR, NAME, TAG, ALL } mode;
    if (strcmp(option, "pair") == 0) mode = PAIR;
    else if (strcmp(option, "name") == 0) mode = NAME;
    else if (strcmp(option, "tag") == 0) mode = TAG;
    else if (strcmp(option, "all") == 0) mode = ALL;
    else return rimageFail(interp, "Invalid option.\n");
    // Each entry is a proper list element followed by a blank, so that names
    // with blanks, quotes or braces still make a list.
    std::string result;
    auto element = [&](const std::string &text) {
        int flags = 0;
        std::string quoted(static_cast<size_t>(Tcl_ScanElement(text.c_str(), &flags)), '\0');
        quoted.resize(static_cast<size_t>(Tcl_ConvertElement(text.c_str(), &quoted[0], flags)));
        result += quoted;
        result += ' ';
    };
    auto merged = [](std::initializer_list<std::string> words) {
        ObjRef list(Tcl_NewListObj(0, nullptr));
        for (const std::string &w : words)
            Tcl_ListObjAppendElement(nullptr, list, Tcl_NewStringObj(w.data(), static_cast<int>(w.size())));
        return std::string(Tcl_GetString(list));
    };
    for (RamImage *img = imageStore().head; img; img = img->next) {
        switch (mode) {
        case PAIR: element(merged({img->tag, img->def.file})); break;
        case NAME: element(img->def.file); break;
        case TAG: element(img->tag); break;
        case ALL: {
            int clients = 0;
            for (RimageClient *c = img->clients; c; c = c->next) ++clients;
            element(merged({img->tag, img->def.file, std::to_string(img->openCount), std::to_string(img->refCount),
                            std::to_string(clients)}));
            break;
        }
        }
    }
    setResult(interp, result);
    return TCL_OK;
}

static int lockOrUnlock(Tcl_Interp *interp, int argc, const char **argv, int flag)
{
    if (argc != 3) return rimageUsage(interp, argv, " imgID", TCL_OK);
    RamImage *img = lookupTagThenFile(argv[2]);
    if (!img) return rimageFail(interp, std::string(texts::kCantFoundRamimg) + argv[2]);
    setImageFlags(img, flag);
    return TCL_OK;
}

int rimageLock(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    return lockOrUnlock(interp, argc, argv, 1);
}

int rimageUnlock(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    return lockOrUnlock(interp, argc, argv, 0);
}

int rimageResident(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3 || argc > 4) return rimageUsage(interp, argv, " imgID", TCL_OK);
    RamImage *img = lookupTagThenFile(argv[2]);
    if (!img) return rimageFail(interp, std::string(texts::kCantFoundRamimg) + argv[2]);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img->fileHandle < 0 ? 1 : 0));
    return TCL_OK;
}

int rimageIsValid(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return rimageUsage(interp, argv, " imgid", TCL_ERROR);
    if (lookupTagThenFile(argv[2])) {
        Tcl_SetObjResult(interp, Tcl_NewIntObj(1));
        return TCL_OK;
    }
    int error = IMGERR_OK;
    ImageHold img(argv[2], &error);
    Tcl_ResetResult(interp);
    if (!img) Tcl_AddErrorInfo(interp, errorText(error));
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img ? 1 : 0));
    return TCL_OK;
}

// ---------------------------------------------------------------------------
// configure / cget / create

// The defaults are the template of new images: sizes no image can have are
// refused there as they are on an image's own definition.
static int checkDefaultSizes(Tcl_Interp *interp, const ImageDef &d)
{
    if (d.rows >= 1 && d.columns >= 1 && d.nbands >= 1) return TCL_OK;
    return rimageFailOpen(interp, IMGERR_UNHANDLED,
                          "Invalid image size: " + std::to_string(d.rows) + " rows, " + std::to_string(d.columns) +
                              " columns, " + std::to_string(d.nbands) + " bands.\n");
}

static int reconfigureImage(Tcl_Interp *interp, RamImage *img, const ImageDef &def)
{
    discardBandStats(img);
    const bool sameFile = img->fileHandle >= 0 && strncmp(img->def.file, def.file, sizeof def.file) == 0;
    int error = IMGERR_OK;
    if (sameFile) {
        if (memcmp(&img->def, &def, sizeof def) == 0) return TCL_OK;
        // The header is not rewritten; the new description applies to the
        // same bytes, so the cache is rebuilt for it. Sizes the cache cannot
        // address (keys or line lengths beyond 32 bits) are refused first, and
        // a cache that cannot be had leaves the old description in place: the
        // old cache block would not fit the new one.
        if ((error = checkDefinition(def, -1)) == IMGERR_OK) {
            flushImage(img);
            const ImageDef oldDef = img->def;
            const int32_t oldLineBytes = img->lineBytes;
            const int64_t oldDataOffset = img->dataOffset;
            img->def = def;
            img->lineBytes = static_cast<int32_t>(lineBytesFor(def.pixel, def.columns));
            img->dataOffset = def.offset;
            chooseLineOps(img);
            if (setRAMImageBuf(img, img->cachedLines > 0 ? img->cachedLines : 4) == 0) {
                img->def = oldDef;
                img->lineBytes = oldLineBytes;
                img->dataOffset = oldDataOffset;
                chooseLineOps(img);
                error = IMGERR_MEMORY;
            }
        }
    } else {
        flushImage(img);
        if (img->fileHandle < 0) {
            if (!createImage(&def, img, &error)) error = error ? error : IMGERR_MEMORY;
        } else if (isMemoryFormat(def.imgid)) {
            ImageDef resident = def;
            snprintf(resident.file, sizeof resident.file, "%s", img->tag);
            // createImage closes the file only once the memory image exists: a
            // refused definition leaves the image on its file.
            if (!createImage(&resident, img, &error)) error = error ? error : IMGERR_MEMORY;
        } else if (!openImageFile(def.file, nullptr, img, &error)) {
            error = error ? error : IMGERR_OPEN;
        }
    }
    if (error) return rimageFailOpen(interp, error, std::string("Update ramimg error in open file: ") + def.file);
    if (img->fileHandle < 0) setRAMImageBuf(img, img->def.rows);
    notifyClients(img, -1, NOTIFY_CONFIG);
    return TCL_OK;
}

int rimageConfigure(RimageCommand *cmd, Tcl_Interp *interp, int argc, const char **argv)
{
    Tcl_ResetResult(interp);
    if (argc == 2 || argv[2][0] == '-') {
        int n = argc - 2;
        if (n == 0) return describeDefOptions(interp, cmd->defaults, nullptr);
        if (n == 1) return describeDefOptions(interp, cmd->defaults, argv[2]);
        ImageDef work = cmd->defaults;
        if (applyDefOptions(interp, &work, n, argv + 2) != TCL_OK) return TCL_ERROR;
        if (validateImageDef(interp, &work, &cmd->defaults) != TCL_OK) return TCL_ERROR;
        if (checkDefaultSizes(interp, work) != TCL_OK) return TCL_ERROR;
        cmd->defaults = work;
        return TCL_OK;
    }
    RamImage *img = findByTag(argv[2]);
    if (!img) return rimageFail(interp, std::string("Not found the ramimg tagged by: ") + argv[2]);
    int n = argc - 3;
    if (n < 2) return describeDefOptions(interp, img->def, n == 1 ? argv[3] : nullptr);
    if (img->imageFlags & 1) return rimageFail(interp, texts::kCantConfigLocked);
    if (img->useCount > 0) return rimageFail(interp, "Can't config a RAMIMG in use.\n");
    ImageDef work = img->def;
    if (applyDefOptions(interp, &work, n, argv + 3) != TCL_OK) return TCL_ERROR;
    if (validateImageDef(interp, &work, &img->def) != TCL_OK) return TCL_ERROR;
    return reconfigureImage(interp, img, work);
}

int rimageCget(RimageCommand *cmd, Tcl_Interp *interp, int argc, const char **argv)
{
    Tcl_ResetResult(interp);
    if (argc == 3 && argv[2][0] == '-') return defOptionValue(interp, cmd->defaults, argv[2]);
    if (argc == 4 && argv[3][0] == '-') {
        int error = IMGERR_OK;
        ImageHold img(argv[2], &error);
        if (!img) return rimageFailOpen(interp, error, std::string("Error in open ") + argv[2]);
        return defOptionValue(interp, img.get()->def, argv[3]);
    }
    return rimageUsage(interp, argv, " [TAG] option", TCL_ERROR);
}

int rimageCreate(RimageCommand *cmd, Tcl_Interp *interp, int argc, const char **argv)
{
    int first = 2;
    bool overwrite = argc > 2 && strcmp(argv[2], "overwrite") == 0;
    if (overwrite) ++first;
    Tcl_ResetResult(interp);
    if (argc > first) {
        ImageDef work = cmd->defaults;
        if (applyDefOptions(interp, &work, argc - first, argv + first) != TCL_OK) return TCL_ERROR;
        if (validateImageDef(interp, &work, &cmd->defaults) != TCL_OK) return TCL_ERROR;
        if (checkDefaultSizes(interp, work) != TCL_OK) return TCL_ERROR;
        cmd->defaults = work;
    }
    const ImageDef &d = cmd->defaults;
    if (d.imgid == IMG_MBSQ || d.imgid == IMG_MBIL || d.imgid == IMG_MBIP)
        return rimageFail(interp, "Can't create a memory resident image on disk.\n");
    if (!overwrite && access(d.file, F_OK) == 0) return rimageFail(interp, "Image file already exists");
    ImageDef work = d;
    int offset = createImageFile(&work);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(offset >= 0 ? 1 : 0));
    return TCL_OK;
}


int rimageCache(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    const char *ids = nullptr, *pct = nullptr;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) return rimageUsage(interp, argv, " [-imgid idList] [-pct PCT]", TCL_ERROR);
        if (strcmp(argv[i], "-imgid") == 0) ids = argv[i + 1];
        else if (strcmp(argv[i], "-pct") == 0) pct = argv[i + 1];
        else return rimageUsage(interp, argv, " [-imgid idList] [-pct PCT]", TCL_ERROR);
    }
    if (pct && !ids) return rimageFail(interp, "image id missing!");
    std::vector<RamImage *> images;
    if (ids) {
        int count;
        const char **names;
        if (Tcl_SplitList(interp, ids, &count, &names) != TCL_OK) return TCL_ERROR;
        for (int i = 0; i < count; ++i) {
            RamImage *img = lookupTagThenFile(names[i]);
            if (!img) {
                std::string message = std::string("Fail to find rimage: ") + names[i];
                Tcl_Free(reinterpret_cast<char *>(names));
                return rimageFail(interp, message);
            }
            images.push_back(img);
        }
        Tcl_Free(reinterpret_cast<char *>(names));
    } else {
        for (RamImage *img = imageStore().head; img; img = img->next) images.push_back(img);
    }
    if (pct) {
        double p = std::clamp(atof(pct), 0.0, 100.0);
        for (RamImage *img : images)
            if (img->useCount > 0) return rimageFail(interp, std::string("Can't resize the buffer of a RAMIMG in use: ") + img->tag);
        for (RamImage *img : images) {
            int lines = std::max(1, static_cast<int>(img->def.rows * p * 0.01));
            if (setRAMImageBuf(img, lines) == 0) return rimageFail(interp, std::string("Fail to set ramimg buffer: ") + img->tag);
        }
        return TCL_OK;
    }
    Tcl_Obj *result = Tcl_NewObj();
    for (RamImage *img : images)
        Tcl_AppendPrintfToObj(result, "{%s %.2f} ", img->tag,
                              img->def.rows > 0 ? img->cachedLines * 100.0 / img->def.rows : 0.0);
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

int rimageVolume(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3 || argc > 4) return rimageUsage(interp, argv, " imgID ?vID?", TCL_ERROR);
    int error = IMGERR_OK;
    ImageHold held(argv[2], &error);
    if (!held) return rimageFailOpen(interp, error, std::string("Error in open ") + argv[2]);
    RamImage *img = held.get();
    if (argc == 4) {
        int v = atoi(argv[3]);
        int got = selectVolume(img, v);
        if (got == -2 && v == 0) got = selectVolume(img, 1);
        if (got == -1) return rimageFail(interp, "Error in seek");
        notifyClients(img, -1, NOTIFY_CONFIG);
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img->curVolume));
    return TCL_OK;
}


}  // namespace krel
