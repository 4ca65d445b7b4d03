// Attaching the displayed RAM image: string data opened through a Tk photo,
// and the -file value found as a RAM image tag, opened as a file, taken from
// a Tk photo object or photo file, or opened raw with the geometry options.
// The attached image's definition is copied into the raw-geometry options.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/stat.h>

#include "core/conio.h"
#include "display/gimg.h"
#include "image/photo.h"
#include "image/registry.h"
#include "platform/files.h"

namespace krel {

namespace {

const char *str(const char *s) { return s ? s : ""; }

bool fileExists(const char *name)
{
    struct stat st;
    return stat(name, &st) == 0;
}

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

}  // namespace

void copyGeometry(GimgOptions &o, const ImageDef &d)
{
    o.pixel = d.pixel;
    o.mapid = d.mapid;
    o.top = d.top;
    o.left = d.left;
    o.rows = d.rows;
    o.columns = d.columns;
    o.x0 = d.x0;
    o.y0 = d.y0;
    o.dx = d.dx;
    o.dy = d.dy;
}

void adoptDefinition(GimgMaster *m, bool newlyAttached)
{
    if (newlyAttached) m->viewSource.clear();  // an image of its own ends a view
    const ImageDef &d = m->image->def;
    copyGeometry(m->o, d);
    m->o.imgid = d.imgid;
    m->o.offset = d.offset;
    m->o.nbands = d.nbands;
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

    RamImage *img = m->o.autod ? findByTag(name.c_str()) : nullptr;
    // A device or a FIFO never ends (or blocks when opened): it is refused
    // before anything opens or reads it, the photo readers included.
    if (!img && platform::isSpecialFile(name.c_str())) {
        setOptionString(&m->o.file, m->attachedName);
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Not a regular file.", nullptr);
        return TCL_ERROR;
    }
    int error = IMGERR_OK;
    if (m->o.autod) {
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
                // The photo reader runs scripts: they may have deleted the image.
                if (m->deleted) {
                    if (img) releaseImage(img, nullptr);
                    return TCL_OK;
                }
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

int attachStringData(GimgMaster *m)
{
    const char *data = str(m->o.data);
    if (!*data) return TCL_OK;
    const std::string tag = m->name + ".data";
    RamImage *img = importThroughPhoto(m->interp, "-data", data, tag);
    if (m->deleted) {  // by a script the photo reader ran
        if (img) releaseImage(img, nullptr);
        return TCL_OK;
    }
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

// A -msbf other than -1 is written into the attached image: values read
// from its file are swapped on loading, so they are read again.
int applyByteOrder(GimgMaster *m)
{
    RamImage *img = m->image;
    if (!img || m->o.msbf < 0 || img->def.msbf == m->o.msbf) return TCL_OK;
    img->def.msbf = m->o.msbf;
    if (img->fileHandle >= 0) {
        flushImage(img);
        invalidateCache(img);
    }
    discardBandStats(img);
    ++m->dataSerial;
    notifyClients(img, m->clientId, NOTIFY_DATA);
    invalidatePixmap(m);
    return TCL_OK;
}

}  // namespace krel
