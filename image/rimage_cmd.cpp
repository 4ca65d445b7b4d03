// The `rimage` command: the Tcl face of the image store.
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

#include "core/conio.h"
#include "core/package.h"
#include "core/runtime.h"
#include "core/subcmd.h"
#include "core/tclutil.h"
#include "image/defoptions.h"
#include "image/formats/formats.h"
#include "image/module_util.h"
#include "image/modules.h"
#include "image/photo.h"
#include "image/ramimage.h"
#include "image/registry.h"
#include "image/rimage.h"

namespace krel {

namespace {

// The command's client data: the defaults record, template of new images.
struct RimageCommand {
    ImageDef defaults;
};

using Handler = int (*)(RimageCommand *cmd, Tcl_Interp *interp, int argc, const char **argv);

int usage(Tcl_Interp *interp, const char **argv, const char *synopsis, int code)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], synopsis, nullptr);
    return code;
}

int fail(Tcl_Interp *interp, const std::string &message)
{
    setResult(interp, message);
    return TCL_ERROR;
}

// Failure after an image could not be opened: the code's text goes to the
// error information, the message to the result.
int failOpen(Tcl_Interp *interp, int code, const std::string &message)
{
    Tcl_ResetResult(interp);
    Tcl_AddErrorInfo(interp, errorText(code));
    return fail(interp, message);
}

RamImage *lookupTagThenFile(const char *name)
{
    RamImage *img = findByTag(name);
    return img ? img : findByFile(name);
}

// Opens a name as tag and file for the duration of a subcommand.
class HeldImage {
public:
    HeldImage(const char *name, int *error) : img_(getImage(name, name, nullptr, nullptr, error)) {}
    HeldImage(const HeldImage &) = delete;
    HeldImage &operator=(const HeldImage &) = delete;
    ~HeldImage()
    {
        if (img_) releaseImage(img_, nullptr);
    }
    RamImage *get() const { return img_; }
    explicit operator bool() const { return img_ != nullptr; }

private:
    RamImage *img_;
};

void greyRamp(ImageDef *def, bool truncate)
{
    int n = std::min(def->nindices, 256);
    for (int i = 0; i < n; ++i) {
        double v = n > 1 ? i * 255.0 / (n - 1) : 0.0;
        auto g = static_cast<uint8_t>(truncate ? v : std::lround(v));
        def->palette[i][0] = def->palette[i][1] = def->palette[i][2] = g;
    }
}

// Packed-bitmap formats fix bands, pixel type and record size.
void fixPackedFormat(ImageDef *d)
{
    const int64_t c = std::max(d->columns, 0);
    auto words = [](int64_t bits) { return static_cast<int32_t>(4 * ((bits + 31) / 32)); };
    switch (d->imgid) {
    case IMG_MRGB32: d->nbands = 4; d->pixel = PIX_BYTE; d->block = static_cast<int32_t>(4 * c); break;
    case IMG_MRGB24: d->nbands = 3; d->pixel = PIX_BYTE; d->block = words(24 * c); break;
    case IMG_MRGB565:
    case IMG_MRGB555: d->nbands = 3; d->pixel = PIX_BYTE; d->block = words(16 * c); break;
    case IMG_MRGB8: d->nbands = 1; d->nindices = 256; d->pixel = PIX_BYTE; d->block = words(8 * c); break;
    case IMG_MRGB4: d->nbands = 1; d->nindices = 4; d->pixel = PIX_4BITS; d->block = words(4 * c); break;
    case IMG_MRGB1: d->nbands = 1; d->nindices = 2; d->pixel = PIX_1BIT; d->block = words(c); break;
    default: return;
    }
    d->bits = pixelBits(d->pixel);
}

bool residentFormat(int code)
{
    return code == IMG_MBIL || code == IMG_MBSQ || code == IMG_MBIP || isPackedBitmap(code);
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

namespace {

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
                return failOpen(interp, error, message);
            }
            // The reference taken by the lookup becomes an open.
            if (img->refCount > 0) img->refCount--;
        }
        img->openCount++;
        setResult(interp, img->tag);
        return TCL_OK;
    }

    // A memory resident image.
    int code = imageFormatCode(argv[3]);
    if (!residentFormat(code)) return fail(interp, "Invalid image ID for a memory resident rimage.\n");
    RamImage *existing = findByTag(name);
    if (existing && existing->def.imgid != code) return fail(interp, "Incompatible rimage ID.\n");
    if (existing && argc == 4) {
        existing->openCount++;
        setResult(interp, existing->tag);
        return TCL_OK;
    }
    bool templateIndices = false;
    if (argc > 4 && argv[4][0] != '-') {
        int terr = IMGERR_OK;
        RamImage *tmpl = getImage(argv[4], argv[4], nullptr, nullptr, &terr);
        if (!tmpl) return failOpen(interp, terr, std::string("Fail to open the template: ") + argv[4]);
        work = tmpl->def;
        work.imgid = code;
        templateIndices = work.nindices > 0;
        int range[6];
        bool rangeOk = argc <= 5 || parseDataRange(argv[5], tmpl->def.columns, tmpl->def.rows, tmpl->def.nbands, range);
        releaseImage(tmpl, nullptr);
        if (!rangeOk) return fail(interp, "Invalid data range");
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
            if (work.imgid != code) return fail(interp, "conflicting -imgid option");
            if (validateImageDef(interp, &work, &before) != TCL_OK) return TCL_ERROR;
        }
    }
    work.offset = 0;
    fixPackedFormat(&work);
    if (!isPackedBitmap(code)) {
        work.bits = pixelBits(work.pixel);
        if (work.nbands != 1 || work.pixel > PIX_BYTE) work.nindices = 0;
    }
    if (!templateIndices) greyRamp(&work, true);
    snprintf(work.file, sizeof work.file, "%s", name);
    img = getImage(name, nullptr, &work, nullptr, &error);
    if (!img) return failOpen(interp, error, "Error in creating a new memory resident rimage.\n");
    snprintf(img->def.file, sizeof img->def.file, "%s", img->tag);
    notifyClients(img, -1, NOTIFY_CONFIG);
    if (img->refCount > 0) img->refCount--;
    img->openCount++;
    setResult(interp, img->tag);
    return TCL_OK;
}

int rimageClose(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return usage(interp, argv, " TAG | FILE", TCL_ERROR);
    RamImage *img = lookupTagThenFile(argv[2]);
    if (!img) return fail(interp, std::string("Not found RAMIMG:") + argv[2]);
    if (img->openCount < 1) return fail(interp, "Unmatched close.\n");
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img->openCount - 1));
    closeImage(img);
    return TCL_OK;
}

int rimageList(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 3) return usage(interp, argv, " ?options?", TCL_ERROR);
    const char *option = argc == 3 ? argv[2] : "pair";
    enum { PAIR, NAME, TAG, ALL } mode;
    if (strcmp(option, "pair") == 0) mode = PAIR;
    else if (strcmp(option, "name") == 0) mode = NAME;
    else if (strcmp(option, "tag") == 0) mode = TAG;
    else if (strcmp(option, "all") == 0) mode = ALL;
    else return fail(interp, "Invalid option.\n");
    Tcl_Obj *result = Tcl_NewObj();
    for (RamImage *img = imageStore().head; img; img = img->next) {
        switch (mode) {
        case PAIR: Tcl_AppendPrintfToObj(result, "{%s %s} ", img->tag, img->def.file); break;
        case NAME: Tcl_AppendPrintfToObj(result, "%s ", img->def.file); break;
        case TAG: Tcl_AppendPrintfToObj(result, "%s ", img->tag); break;
        case ALL: {
            int clients = 0;
            for (RimageClient *c = img->clients; c; c = c->next) ++clients;
            Tcl_AppendPrintfToObj(result, "{%s %s %d %d %d} ", img->tag, img->def.file, img->openCount,
                                  img->refCount, clients);
            break;
        }
        }
    }
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

int lockOrUnlock(Tcl_Interp *interp, int argc, const char **argv, int flag)
{
    if (argc != 3) return usage(interp, argv, " imgID", TCL_OK);
    RamImage *img = lookupTagThenFile(argv[2]);
    if (!img) return fail(interp, std::string("Can't found RAMIMG: ") + argv[2]);
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
    if (argc < 3 || argc > 4) return usage(interp, argv, " imgID", TCL_OK);
    RamImage *img = lookupTagThenFile(argv[2]);
    if (!img) return fail(interp, std::string("Can't found RAMIMG: ") + argv[2]);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img->fileHandle < 0 ? 1 : 0));
    return TCL_OK;
}

int rimageIsValid(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return usage(interp, argv, " imgid", TCL_ERROR);
    if (lookupTagThenFile(argv[2])) {
        Tcl_SetObjResult(interp, Tcl_NewIntObj(1));
        return TCL_OK;
    }
    int error = IMGERR_OK;
    HeldImage img(argv[2], &error);
    Tcl_ResetResult(interp);
    if (!img) Tcl_AddErrorInfo(interp, errorText(error));
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img ? 1 : 0));
    return TCL_OK;
}

// ---------------------------------------------------------------------------
// configure / cget / create

int reconfigureImage(Tcl_Interp *interp, RamImage *img, const ImageDef &def)
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
        } else if (residentFormat(def.imgid)) {
            ImageDef resident = def;
            snprintf(resident.file, sizeof resident.file, "%s", img->tag);
            // createImage closes the file only once the memory image exists: a
            // refused definition leaves the image on its file.
            if (!createImage(&resident, img, &error)) error = error ? error : IMGERR_MEMORY;
        } else if (!openImageFile(def.file, nullptr, img, &error)) {
            error = error ? error : IMGERR_OPEN;
        }
    }
    if (error) return failOpen(interp, error, std::string("Update ramimg error in open file: ") + def.file);
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
        cmd->defaults = work;
        return TCL_OK;
    }
    RamImage *img = findByTag(argv[2]);
    if (!img) return fail(interp, std::string("Not found the ramimg tagged by: ") + argv[2]);
    int n = argc - 3;
    if (n < 2) return describeDefOptions(interp, img->def, n == 1 ? argv[3] : nullptr);
    if (img->imageFlags & 1) return fail(interp, "Can't config a locked RAMIMG.\n");
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
        HeldImage img(argv[2], &error);
        if (!img) return failOpen(interp, error, std::string("Error in open ") + argv[2]);
        return defOptionValue(interp, img.get()->def, argv[3]);
    }
    return usage(interp, argv, " [TAG] option", TCL_ERROR);
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
        cmd->defaults = work;
    }
    const ImageDef &d = cmd->defaults;
    if (d.imgid == IMG_MBSQ || d.imgid == IMG_MBIL || d.imgid == IMG_MBIP)
        return fail(interp, "Can't create a memory resident image on disk.\n");
    if (!overwrite && access(d.file, F_OK) == 0) return fail(interp, "Image file already exists");
    ImageDef work = d;
    int offset = createImageFile(&work);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(offset >= 0 ? 1 : 0));
    return TCL_OK;
}

// ---------------------------------------------------------------------------
// cache / getIndices / setIndices / update / volume / hist / draw / version

int rimageCache(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    const char *ids = nullptr, *pct = nullptr;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) return usage(interp, argv, " [-imgid idList] [-pct PCT]", TCL_ERROR);
        if (strcmp(argv[i], "-imgid") == 0) ids = argv[i + 1];
        else if (strcmp(argv[i], "-pct") == 0) pct = argv[i + 1];
        else return usage(interp, argv, " [-imgid idList] [-pct PCT]", TCL_ERROR);
    }
    if (pct && !ids) return fail(interp, "image id missing!");
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
                return fail(interp, message);
            }
            images.push_back(img);
        }
        Tcl_Free(reinterpret_cast<char *>(names));
    } else {
        for (RamImage *img = imageStore().head; img; img = img->next) images.push_back(img);
    }
    if (pct) {
        double p = std::clamp(atof(pct), 0.0, 100.0);
        for (RamImage *img : images) {
            int lines = std::max(1, static_cast<int>(img->def.rows * p * 0.01));
            if (setRAMImageBuf(img, lines) == 0) return fail(interp, std::string("Fail to set ramimg buffer: ") + img->tag);
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

int rimageGetIndices(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Usage: ", argv[0], " getIndices imgid [index]", nullptr);
        return TCL_ERROR;
    }
    int error = IMGERR_OK;
    HeldImage held(argv[2], &error);
    if (!held) return failOpen(interp, error, std::string("Error in open ") + argv[2]);
    const ImageDef &d = held.get()->def;
    ObjRef result(Tcl_NewListObj(0, nullptr));
    auto add = [&](int i) {
        Tcl_ListObjAppendElement(nullptr, result, Tcl_ObjPrintf("%d %d %d %d", i, d.palette[i][0], d.palette[i][1],
                                                                d.palette[i][2]));
    };
    if (d.nindices > 0) {
        if (argc == 3) {
            for (int i = 0; i < std::min(d.nindices, 256); ++i) add(i);
        } else {
            for (int k = 3; k < argc; ++k) {
                int a, b;
                int n = sscanf(argv[k], "%d-%d", &a, &b);
                if (n < 1) return fail(interp, "Invalid index.");
                if (n == 1) b = a;
                if (a > b) std::swap(a, b);
                if (a < 0 || b > 255) return fail(interp, "Invalid index.");
                for (int i = a; i <= b; ++i) add(i);
            }
        }
    }
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

int rimageSetIndices(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Usage: ", argv[0], " setIndices imgid {index r g b} ...", nullptr);
        return TCL_ERROR;
    }
    int error = IMGERR_OK;
    HeldImage held(argv[2], &error);
    if (!held) return failOpen(interp, error, std::string("Error in open ") + argv[2]);
    RamImage *img = held.get();
    ImageDef &d = img->def;
    if (d.nindices == 0) return fail(interp, "Not a color index image.");
    for (int k = 3; k < argc; ++k) {
        int a, b, r, g, bl;
        if (sscanf(argv[k], "%d-%d %d %d %d", &a, &b, &r, &g, &bl) != 5) {
            if (sscanf(argv[k], "%d %d %d %d", &a, &r, &g, &bl) != 4) return fail(interp, "Invalid color index specification.");
            b = a;
        }
        if (a > b) std::swap(a, b);
        if (a < 0 || b >= d.nindices || b > 255 || r < 0 || r > 255 || g < 0 || g > 255 || bl < 0 || bl > 255)
            return fail(interp, "Invalid color index specification.");
        for (int i = a; i <= b; ++i) {
            d.palette[i][0] = static_cast<uint8_t>(r);
            d.palette[i][1] = static_cast<uint8_t>(g);
            d.palette[i][2] = static_cast<uint8_t>(bl);
        }
    }
    int status = 0;
    if (img->fileHandle >= 0 && (d.imgid == IMG_DIB || d.imgid == IMG_TIFF)) status = writeFilePalette(img);
    notifyClients(img, -1, NOTIFY_CONFIG);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(status));
    return TCL_OK;
}

int rimageUpdate(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3 || argc > 4) return usage(interp, argv, " imgID ?DISPLAY|CONFIG|ALL|DATA?", TCL_ERROR);
    RamImage *img = lookupTagThenFile(argv[2]);
    if (!img) return fail(interp, std::string("Can't found RAMIMG: ") + argv[2]);
    const char *what = argc == 4 ? argv[3] : "DISPLAY";
    int mask;
    if (strcmp(what, "DISPLAY") == 0) mask = NOTIFY_DATA;
    else if (strcmp(what, "CONFIG") == 0) mask = NOTIFY_CONFIG;
    else if (strcmp(what, "ALL") == 0) mask = NOTIFY_CONFIG | NOTIFY_DATA;
    else if (strcmp(what, "DATA") == 0) {
        // Lines changed in the file by someone else: read them again, after
        // writing back what this process changed.
        if (img->fileHandle >= 0) flushImage(img);
        invalidateCache(img);
        discardBandStats(img);
        mask = NOTIFY_DATA;
    } else {
        return fail(interp, std::string("Invalid option: ") + what);
    }
    notifyClients(img, -1, mask);
    return TCL_OK;
}

int rimageVolume(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3 || argc > 4) return usage(interp, argv, " imgID ?vID?", TCL_ERROR);
    int error = IMGERR_OK;
    HeldImage held(argv[2], &error);
    if (!held) return failOpen(interp, error, std::string("Error in open ") + argv[2]);
    RamImage *img = held.get();
    if (argc == 4) {
        int v = atoi(argv[3]);
        int got = selectVolume(img, v);
        if (got == -2 && v == 0) got = selectVolume(img, 1);
        if (got == -1) return fail(interp, "Error in seek");
        notifyClients(img, -1, NOTIFY_CONFIG);
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(img->curVolume));
    return TCL_OK;
}

int rimageHist(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    const char *id = nullptr, *list = nullptr;
    int dx = 1, dy = 1, update = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "-imgid") == 0) id = argv[i + 1];
        else if (strcmp(argv[i], "-dx") == 0) dx = std::max(1, atoi(argv[i + 1]));
        else if (strcmp(argv[i], "-dy") == 0) dy = std::max(1, atoi(argv[i + 1]));
        else if (strcmp(argv[i], "-u") == 0) update = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "-list") == 0) list = argv[i + 1];
        else return fail(interp, "syntax error");
    }
    if (!id || (argc % 2) != 0)
        return usage(interp, argv, " -imgid imgid ?-dx DX? ?-dy DY? ?-u UPDATE? ?-list stats|hist?", TCL_ERROR);
    bool stats = false, hist = false;
    if (list) {
        stats = caseCompare(list, "stats") == 0;
        hist = caseCompare(list, "hist") == 0;
        if (!stats && !hist) return fail(interp, "syntax error");
    }
    int error = IMGERR_OK;
    HeldImage held(id, &error);
    if (!held) return failOpen(interp, error, std::string("Fail to find RAMIMG: ") + id);
    RamImage *img = held.get();
    if (computeBandStats(img, STATS_RECOMPUTE, dx, dy) != 0) return fail(interp, "Error in computing statistics.");
    Tcl_Obj *result = Tcl_NewObj();
    const ImageDef &d = img->def;
    for (int b = 0; b < d.nbands; ++b) {
        const BandStats &s = img->bandStats[b];
        if (stats) {
            double mean = s.mean, sd = s.stdDev, lo = s.min, hi = s.max;
            if (d.nindices > 0 && s.bins) {
                // Colour index images: statistics of the palette component.
                int comp = b % 3;
                double n = 0, sum = 0, sq = 0;
                lo = 1e300;
                hi = -1e300;
                for (int i = 0; i < s.nbins && i < 256; ++i) {
                    if (!s.bins[i]) continue;
                    double v = d.palette[i][comp];
                    n += s.bins[i];
                    sum += v * s.bins[i];
                    sq += v * v * s.bins[i];
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
                mean = n > 0 ? sum / n : 0;
                sd = n > 0 ? std::sqrt(std::max(0.0, sq / n - mean * mean)) : 0;
                if (n == 0) lo = hi = 0;
            }
            Tcl_ListObjAppendElement(nullptr, result, Tcl_ObjPrintf("%.4f %.4f %.4f %.4f", sd, mean, lo, hi));
        } else if (hist && d.bits <= 8 && s.bins) {
            Tcl_AppendToObj(result, "{", 1);
            for (int i = 0; i < s.nbins; ++i) Tcl_AppendPrintfToObj(result, i ? " %u" : "%u", s.bins[i]);
            Tcl_AppendToObj(result, "} ", 2);
        }
    }
    if (update) notifyClients(img, -1, NOTIFY_CONFIG);
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

void drawPoint(RamImage *img, int band, int x, int y, float value)
{
    if (x < 0 || y < 0 || x >= img->def.columns || y >= img->def.rows) return;
    putFloatLine(img, y, x, 1, band, &value);
}

int rimageDraw(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 5 || argc > 7) {
        Tcl_ResetResult(interp);
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Usage: %s %s imgID graphID coordList ?value? ?band?\n", argv[0], argv[1]));
        return TCL_OK;
    }
    int error = IMGERR_OK;
    HeldImage held(argv[2], &error);
    if (!held) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Error in open: %s\n", argv[2]));
        return TCL_ERROR;
    }
    RamImage *img = held.get();
    bool polygon;
    if (strcmp(argv[3], "line") == 0) polygon = false;
    else if (strcmp(argv[3], "polygon") == 0) polygon = true;
    else return fail(interp, "Unknown graphic id\n");
    int value = 0, band = 1;
    if (argc > 5 && (Tcl_GetInt(nullptr, argv[5], &value) != TCL_OK || value < 0 || value > 255)) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Invalid color value: %s\n", argv[5]));
        return TCL_ERROR;
    }
    // Bands count from 1: band 0 names no band and is refused like any other.
    if (argc > 6 && (Tcl_GetInt(nullptr, argv[6], &band) != TCL_OK || band < 1 || band > img->def.nbands))
        return fail(interp, "Invalid band number.\n");
    int count;
    const char **words;
    if (Tcl_SplitList(interp, argv[4], &count, &words) != TCL_OK) return TCL_ERROR;
    std::vector<double> xy;
    for (int i = 0; i < count; ++i) xy.push_back(atof(words[i]));
    Tcl_Free(reinterpret_cast<char *>(words));
    for (double c : xy)
        if (!std::isfinite(c)) return fail(interp, "Invalid coordinate list.\n");
    int npts = static_cast<int>(xy.size() / 2);
    const float v = static_cast<float>(value);
    const int b = band - 1;
    if (!polygon || npts < 3) {
        for (int k = 0; k + 1 < npts || (k == 0 && npts == 1); ++k) {
            double x0 = xy[2 * k], y0 = xy[2 * k + 1];
            double x1 = npts > 1 ? xy[2 * k + 2] : x0, y1 = npts > 1 ? xy[2 * k + 3] : y0;
            double dx = x1 - x0, dy = y1 - y0;
            // Steps of one pixel along the longer axis: a fractional length
            // ends short of the last point rather than stretching the steps.
            const double length = std::max(std::fabs(dx), std::fabs(dy));
            const double steps = std::floor(length);
            // Only the steps whose points can fall inside the image are
            // walked (a step or two of slack each way), so a segment reaching
            // far outside costs what its visible part costs and its visible
            // points are the ones the whole walk would draw.
            double first = 0.0, last = steps;
            auto keepInside = [&](double p0, double d, double size) {
                if (d == 0.0 || steps == 0.0) {
                    if (p0 < -1.0 || p0 > size + 1.0) last = -1.0;
                    return;
                }
                double a = (-1.0 - p0) * length / d, z = (size + 1.0 - p0) * length / d;
                if (a > z) std::swap(a, z);
                first = std::max(first, std::floor(a) - 1.0);
                last = std::min(last, std::ceil(z) + 1.0);
            };
            keepInside(x0, dx, img->def.columns);
            keepInside(y0, dy, img->def.rows);
            for (double s = first; s <= last; s += 1.0) {
                double t = length != 0.0 ? s / length : 0.0;
                double px = std::floor(x0 + dx * t + 0.5), py = std::floor(y0 + dy * t + 0.5);
                if (px < 0 || py < 0 || px >= img->def.columns || py >= img->def.rows) continue;
                drawPoint(img, b, static_cast<int>(px), static_cast<int>(py), v);
            }
            if (npts == 1) break;
        }
    } else {
        // Even-odd scanline fill through pixel centres.
        double ymin = xy[1], ymax = xy[1];
        for (int k = 0; k < npts; ++k) ymin = std::min(ymin, xy[2 * k + 1]), ymax = std::max(ymax, xy[2 * k + 1]);
        // Bounds are clamped as doubles: a far-away vertex must not overflow
        // the conversion to int.
        int r0 = static_cast<int>(std::clamp(std::ceil(ymin - 0.5), 0.0, static_cast<double>(img->def.rows)));
        int r1 = static_cast<int>(std::clamp(std::floor(ymax - 0.5), -1.0, img->def.rows - 1.0));
        std::vector<double> xs;
        for (int r = r0; r <= r1; ++r) {
            double yc = r + 0.5;
            xs.clear();
            for (int k = 0; k < npts; ++k) {
                double ax = xy[2 * k], ay = xy[2 * k + 1];
                double bx = xy[(2 * k + 2) % (2 * npts)], by = xy[(2 * k + 3) % (2 * npts)];
                if ((ay <= yc && by > yc) || (by <= yc && ay > yc)) {
                    // Vertices near the double range can make inf - inf.
                    double x = ax + (yc - ay) * (bx - ax) / (by - ay);
                    if (!std::isnan(x)) xs.push_back(x);
                }
            }
            std::sort(xs.begin(), xs.end());
            for (size_t k = 0; k + 1 < xs.size(); k += 2) {
                int c0 =
                    static_cast<int>(std::clamp(std::ceil(xs[k] - 0.5), 0.0, static_cast<double>(img->def.columns)));
                int c1 = static_cast<int>(std::clamp(std::floor(xs[k + 1] - 0.5), -1.0, img->def.columns - 1.0));
                for (int c = c0; c <= c1; ++c) drawPoint(img, b, c, r, v);
            }
        }
    }
    notifyClients(img, -1, NOTIFY_DATA);
    return TCL_OK;
}

int rimageVersion(RimageCommand *, Tcl_Interp *interp, int, const char **)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(KREL_VERSION, -1));
    return TCL_OK;
}

// Module subcommands: the module prints its own messages; a failure becomes
// "Exec error from rimage SUBCOMMAND".
int runModule(Tcl_Interp *interp, int argc, const char **argv, const ModuleSlot &module)
{
    std::string prog = std::string("rimage ") + module.name;
    Tcl_ResetResult(interp);
    int rc = moduleEntry(module)(prog.c_str(), argc - 2, argv + 2);
    if (rc == MODULE_FAILED) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Exec error from ", argv[0], " ", argv[1], nullptr);
        return TCL_ERROR;
    }
    return TCL_OK;
}

// Image objects and display capture are not part of this build yet.
int notInBuild(RimageCommand *, Tcl_Interp *interp, int, const char **argv)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, argv[0], " ", argv[1], " is not available in this build.", nullptr);
    return TCL_ERROR;
}

// The command's own subcommands; the modules come from the module table.
// Group letter, minimum length and order within the group decide.
const SubCommand<Handler> kRimageCommands[] = {
    {"cache", 4, rimageCache},       {"cget", 4, rimageCget},
    {"clipboard", 4, notInBuild},    {"create", 4, rimageCreate},
    {"configure", 4, rimageConfigure}, {"close", 4, rimageClose},
    {"canvas", 4, notInBuild},       {"draw", 3, rimageDraw},
    {"getIndices", 3, rimageGetIndices}, {"hist", 2, rimageHist},
    {"isvalid", 2, rimageIsValid},   {"list", 2, rimageList},
    {"lock", 2, rimageLock},         {"open", 3, rimageOpen},
    {"bind", 2, notInBuild},         {"resident", 2, rimageResident},
    {"setIndices", 1, rimageSetIndices}, {"unlock", 2, rimageUnlock},
    {"update", 2, rimageUpdate},     {"version", 1, rimageVersion},
    {"volume", 1, rimageVolume},     {"window", 1, notInBuild},
};

int rimageCommand(ClientData cd, Tcl_Interp *interp, int argc, const char **argv)
{
    auto *cmd = static_cast<RimageCommand *>(cd);
    if (argc < 2) {
        Tcl_SetResult(interp,
                      const_cast<char *>("Commands: cache calc canvas cget classify clipboard close configure copy "
                                         "create crop data dist draw egv gconv gdem georef getIndices gisoc "
                                         "gfftrans gstat gtop hist isvalid list lock open pcalc ptable resident "
                                         "rform rotate section setIndices smetric statinfo trans tiff unlock update "
                                         "version volume window"),
                      TCL_STATIC);
        return TCL_OK;
    }
    const auto *entry = findSubCommand(kRimageCommands, argv[1]);
    // A word that abbreviates both a module and one of the command's own
    // subcommands means the one that needs the longer abbreviation, the
    // command's own on equal lengths: "s" is setIndices, "se" section.
    const ModuleSlot *module = matchModule(argv[1]);
    if (module && (!entry || module->minLength > entry->minLength))
        return guarded(interp, [&] { return runModule(interp, argc, argv, *module); });
    if (!entry) {
        Tcl_SetResult(interp, const_cast<char *>("Unknown command"), TCL_STATIC);
        return TCL_ERROR;
    }
    return guarded(interp, [&] { return entry->handler(cmd, interp, argc, argv); });
}

void rimageDeleted(ClientData cd) { delete static_cast<RimageCommand *>(cd); }

}  // namespace

int registerRimageCommand(Tcl_Interp *interp)
{
    if (krel::initStubs(interp) != TCL_OK) return TCL_ERROR;
    // Loaded on its own, the store prints to the interpreter that loaded it.
    if (krel::currentInterp() == nullptr) {
        krel::setCurrentInterp(interp);
        krel::forgetWhenDeleted(interp);
    }
    auto *cmd = new (std::nothrow) krel::RimageCommand;
    if (!cmd) return TCL_ERROR;
    cmd->defaults = krel::defaultImageDef();
    krel::applyDefOptionDefaults(&cmd->defaults);
    if (!Tcl_CreateCommand(interp, "rimage", krel::rimageCommand, cmd, krel::rimageDeleted)) {
        delete cmd;
        return TCL_ERROR;
    }
    return TCL_OK;
}

}  // namespace krel
