// `dump`: the display written out as an image file (DIB, XBMP, TIFF, JPEG)
// or a Tk photo. Rows go from the enhancement tables straight into the
// output's lines; palette outputs take per channel the nearest level of
// their own cells. A file is written beside the target and renamed over it
// once complete.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "display/gimg_ops.h"
#include "image/defoptions.h"
#include "image/module_util.h"
#include "image/registry.h"

namespace krel {

namespace {

enum OutKind { OUT_DIB, OUT_XBMP, OUT_TIFF, OUT_JPEG, OUT_PHOTO };

struct DumpTarget {
    int bits = 24;
    bool grey = true;          // palette outputs: grey levels or a colour cube
    PaletteSpec spec{{0, 0, 0, 0}};
    ColorCells cells;          // levels of the output's cells
    uint8_t palette[256][3] = {};
    int entries = 0;
    bool xbm = false;          // set bits where the output is dark
    bool blueFirst = false;    // DIB: band 1 blue
    int W = 0, H = 0;          // output (display) size
    int renderW = 0, renderH = 0;
    int rotate = 0;
    std::vector<uint8_t> pixels;  // rotated displays: the whole output, band-interleaved
    int bands = 1;
    RamImage *out = nullptr;      // file outputs: rows written straight in
};

// The value of level i of a dimension with n levels.
int levelValue(int n, int i)
{
    if (n >= 256) return i;
    if (n <= 1) return 0;
    const double step = 256.0 / (n - 1);
    return std::min(255, static_cast<int>(std::round(i * step)));
}

void setupCells(DumpTarget &t, bool composite, bool jpeg)
{
    if (t.bits == 1) t.spec = PaletteSpec{{2, 0, 0, 0}};
    else if (t.bits == 4) t.spec = composite ? PaletteSpec{{0, 4, 2, 2}} : PaletteSpec{{16, 0, 0, 0}};
    else t.spec = composite && !jpeg ? PaletteSpec{{0, 8, 8, 4}} : PaletteSpec{{256, 0, 0, 0}};
    t.grey = t.spec.v[0] > 0;
    computeCellLevels(t.cells, t.spec);
    if (t.grey) {
        t.entries = t.spec.v[0];
        for (int i = 0; i < t.entries; ++i)
            t.palette[i][0] = t.palette[i][1] = t.palette[i][2] = static_cast<uint8_t>(levelValue(t.entries, i));
    } else {
        const int r = t.spec.v[1], g = t.spec.v[2], b = t.spec.v[3];
        t.entries = r * g * b;
        for (int i = 0; i < r; ++i)
            for (int j = 0; j < g; ++j)
                for (int k = 0; k < b; ++k) {
                    uint8_t *e = t.palette[(i * g + j) * b + k];
                    e[0] = static_cast<uint8_t>(levelValue(r, i));
                    e[1] = static_cast<uint8_t>(levelValue(g, j));
                    e[2] = static_cast<uint8_t>(levelValue(b, k));
                }
    }
    if (t.xbm) {
        // X bitmaps show a set bit black: index 1 is black.
        t.entries = 2;
        memset(t.palette[0], 255, 3);
        memset(t.palette[1], 0, 3);
    }
}

int cellIndex(const DumpTarget &t, int c1, int c2, int c3)
{
    if (t.xbm) return c1 < 128 ? 1 : 0;
    if (t.grey) return t.cells.contrib[0][c1];
    return std::min(255, t.cells.contrib[0][c1] + t.cells.contrib[1][c2] + t.cells.contrib[2][c3]);
}

void putIndex(uint8_t *line, int pixel, int msbf, int c, int v)
{
    if (pixel == PIX_1BIT) {
        const uint8_t bit = msbf ? static_cast<uint8_t>(0x80 >> (c & 7)) : static_cast<uint8_t>(1 << (c & 7));
        if (v) line[c >> 3] |= bit;
        else line[c >> 3] &= static_cast<uint8_t>(~bit);
    } else if (pixel == PIX_4BITS) {
        const bool high = msbf ? (c & 1) == 0 : (c & 1) == 1;
        uint8_t &b = line[c >> 1];
        b = high ? static_cast<uint8_t>((b & 0x0F) | (v << 4)) : static_cast<uint8_t>((b & 0xF0) | (v & 0x0F));
    } else {
        line[c] = static_cast<uint8_t>(v);
    }
}

// One render row of levels into the output.
bool sinkRow(void *cd, int y, const uint8_t *c1, const uint8_t *c2, const uint8_t *c3)
{
    auto &t = *static_cast<DumpTarget *>(cd);
    const int W = t.renderW;
    if (t.rotate == 0 && t.out) {
        RamImage *img = t.out;
        if (t.bits == 24) {
            const uint8_t *src[3] = {c1, c2, c3};
            for (int b = 0; b < 3; ++b) {
                uint8_t *line = img->getLine(img, y, b, 0);
                if (!line) return false;
                memcpy(line, src[t.blueFirst ? 2 - b : b], static_cast<size_t>(W));
                markLineDirty(img, y, b);
            }
        } else {
            uint8_t *line = img->getLine(img, y, 0, 0);
            if (!line) return false;
            for (int x = 0; x < W; ++x) putIndex(line, img->def.pixel, img->def.msbf, x, cellIndex(t, c1[x], c2[x], c3[x]));
            markLineDirty(img, y, 0);
        }
        return true;
    }
    // Rotated displays (and photos): the pixel drawn at each display position.
    for (int x = 0; x < W; ++x) {
        int u = x, v = y;
        if (t.rotate < 0) {
            u = t.renderH - 1 - y;
            v = x;
        } else if (t.rotate > 0) {
            u = y;
            v = t.renderW - 1 - x;
        }
        uint8_t *p = &t.pixels[(static_cast<size_t>(v) * t.W + u) * t.bands];
        if (t.bands == 3) {
            p[0] = c1[x];
            p[1] = c2[x];
            p[2] = c3[x];
        } else {
            p[0] = static_cast<uint8_t>(cellIndex(t, c1[x], c2[x], c3[x]));
        }
    }
    return true;
}

// The buffered output rows into the file image.
bool writeBuffered(DumpTarget &t)
{
    RamImage *img = t.out;
    for (int v = 0; v < t.H; ++v) {
        const uint8_t *row = &t.pixels[static_cast<size_t>(v) * t.W * t.bands];
        for (int b = 0; b < (t.bits == 24 ? 3 : 1); ++b) {
            uint8_t *line = img->getLine(img, v, b, 0);
            if (!line) return false;
            if (t.bits == 24) {
                const int from = t.blueFirst ? 2 - b : b;
                for (int u = 0; u < t.W; ++u) line[u] = row[3 * u + from];
            } else {
                for (int u = 0; u < t.W; ++u) putIndex(line, img->def.pixel, img->def.msbf, u, row[u]);
            }
            markLineDirty(img, v, b);
        }
    }
    return true;
}

// A Tcl command made of words (each one word whatever it holds).
int evalWords(Tcl_Interp *interp, std::initializer_list<const char *> words, const char *extraList = nullptr)
{
    Tcl_Obj *cmd = Tcl_NewListObj(0, nullptr);
    Tcl_IncrRefCount(cmd);
    for (const char *w : words) Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj(w, -1));
    int code = TCL_OK;
    if (extraList) {
        Tcl_Obj *extra = Tcl_NewStringObj(extraList, -1);
        Tcl_IncrRefCount(extra);
        code = Tcl_ListObjAppendList(interp, cmd, extra);
        Tcl_DecrRefCount(extra);
    }
    if (code == TCL_OK) code = Tcl_EvalObjEx(interp, cmd, TCL_EVAL_GLOBAL);
    Tcl_DecrRefCount(cmd);
    return code;
}

bool fileExists(const char *name) { return access(name, F_OK) == 0; }

// A name beside the target that no file has.
std::string besideName(const std::string &target)
{
    std::string pattern = target + ".partXXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const int fd = mkstemp(buf.data());
    if (fd < 0) return target + ".part";
    // The output gets the permissions of any new file, not mkstemp's 0600.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    return std::string(buf.data());
}

int dumpPhoto(GimgMaster *m, Tcl_Interp *interp, DumpTarget &t, const char *name, bool overwrite, const char *option,
              bool greyMean)
{
    if (!overwrite && (option ? fileExists(name) : Tk_FindPhoto(interp, name) != nullptr))
        return opError(interp, "The file already exists.\n");
    t.bands = 3;
    t.pixels.assign(static_cast<size_t>(t.W) * t.H * 3, 0);
    if (!renderLevels(m, greyMean, sinkRow, &t) || m->deleted) return opError(interp, "Error in rimg creation.\n");
    if (t.bits == 8) {
        // Cell colours in place of the levels.
        for (size_t i = 0; i < t.pixels.size(); i += 3) {
            const int k = cellIndex(t, t.pixels[i], t.pixels[i + 1], t.pixels[i + 2]);
            memcpy(&t.pixels[i], t.palette[k], 3);
        }
    }
    const std::string photo = name;
    if (!Tk_FindPhoto(interp, name) && evalWords(interp, {"image", "create", "photo", name}) != TCL_OK)
        return opError(interp, "Error in rimg creation.\n");
    Tk_PhotoHandle handle = Tk_FindPhoto(interp, name);
    if (!handle) return opError(interp, "Error in rimg creation.\n");
    Tk_PhotoImageBlock block;
    block.pixelPtr = t.pixels.data();
    block.width = t.W;
    block.height = t.H;
    block.pitch = t.W * 3;
    block.pixelSize = 3;
    block.offset[0] = 0;
    block.offset[1] = 1;
    block.offset[2] = 2;
    block.offset[3] = 0;
    if (Tk_PhotoSetSize(interp, handle, t.W, t.H) != TCL_OK ||
        Tk_PhotoPutBlock(interp, handle, &block, 0, 0, t.W, t.H, TK_PHOTO_COMPOSITE_SET) != TCL_OK)
        return opError(interp, "Error in rimg creation.\n");
    Tcl_ResetResult(interp);
    if (!option) return TCL_OK;
    // Written beside the file and renamed over it; the photo goes after.
    const std::string part = besideName(photo);
    int code = evalWords(interp, {photo.c_str(), "write", part.c_str()}, option);
    evalWords(interp, {"image", "delete", photo.c_str()});
    if (code != TCL_OK || rename(part.c_str(), photo.c_str()) != 0) {
        unlink(part.c_str());
        return opError(interp, "Error in writing TKPHOTO.\n");
    }
    Tcl_ResetResult(interp);
    return TCL_OK;
}

}  // namespace

int gimgDump(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 6 || argc > 7) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " dump fileName imgID bits owFlag ?option?", nullptr);
        return TCL_ERROR;
    }
    GimgMaster *src = drawnSource(m);
    if (!src || !src->image) return opError(interp, "No image is defined.\n");
    DumpTarget t;
    if (Tcl_GetInt(nullptr, argv[4], &t.bits) != TCL_OK ||
        (t.bits != 1 && t.bits != 4 && t.bits != 8 && t.bits != 24))
        return opError(interp, "Illegal bits.\n");
    const char *id = argv[3];
    OutKind kind;
    if (strcmp(id, "DIB") == 0) kind = OUT_DIB;
    else if (strcmp(id, "XBMP") == 0) kind = OUT_XBMP;
    else if (strcmp(id, "TIFF") == 0) kind = OUT_TIFF;
    else if (strcmp(id, "JPEG") == 0) kind = OUT_JPEG;
    else if (strcmp(id, "TKPHOTO") == 0) kind = OUT_PHOTO;
    else return opError(interp, "The image ID is not supported.\n");
    const bool byteOrRgb = t.bits == 8 || t.bits == 24;
    if (kind == OUT_XBMP && t.bits != 1) return opError(interp, "Illegal bits for XBMP file.\n");
    if (kind == OUT_TIFF && !byteOrRgb) return opError(interp, "Illegal bits for TIFF file.\n");
    if (kind == OUT_JPEG && !byteOrRgb) return opError(interp, "Illegal bits for JPEG file.\n");
    if (kind == OUT_PHOTO && !byteOrRgb) return opError(interp, "Illegal bits for TKPHOTO.\n");
    int overwrite = 0;
    if (Tcl_GetInt(interp, argv[5], &overwrite) != TCL_OK) return TCL_ERROR;
    const char *option = argc == 7 ? argv[6] : nullptr;
    const char *file = argv[2];

    t.xbm = kind == OUT_XBMP;
    t.blueFirst = kind == OUT_DIB;
    const bool composite = std::clamp(src->o.comb.count, 1, 3) > 1 || src->paletteInUse;
    if (t.bits != 24) setupCells(t, composite, kind == OUT_JPEG);
    t.W = m->pixW;
    t.H = m->pixH;
    t.renderW = m->renderW;
    t.renderH = m->renderH;
    t.rotate = m->o.rotate;
    if (t.W <= 0 || t.H <= 0) return opError(interp, "No image is defined.\n");
    const bool greyMean = t.bits != 24 && t.grey && composite;
    if (kind == OUT_PHOTO) return dumpPhoto(m, interp, t, file, overwrite != 0, option, greyMean);

    if (!overwrite && fileExists(file)) return opError(interp, "The file already exists.\n");
    ImageDef def = src->image->def;
    const std::string part = besideName(file);
    snprintf(def.file, sizeof def.file, "%s", part.c_str());
    def.imgid = kind == OUT_DIB ? IMG_DIB : kind == OUT_XBMP ? IMG_XBMP : kind == OUT_TIFF ? IMG_TIFF : IMG_JPEG;
    def.pixel = t.bits == 1 ? PIX_1BIT : t.bits == 4 ? PIX_4BITS : PIX_BYTE;
    def.bits = pixelBits(def.pixel);
    def.nbands = t.bits == 24 ? 3 : 1;
    def.rows = t.H;
    def.columns = t.W;
    def.top = def.left = 0;
    def.x0 = def.y0 = 0;
    def.dx = def.dy = 1.0;
    def.mapid = MAP_GRID;
    def.msbf = m->o.msbf == -1 ? src->image->def.msbf : (m->o.msbf != 0);
    def.transparent = -1;
    def.volumes = 1;
    def.dataFd = -1;
    def.block = kind == OUT_JPEG ? 90 : 0;
    def.offset = kind == OUT_XBMP || kind == OUT_JPEG ? 0 : 1;
    memset(def.palette, 0, sizeof def.palette);
    def.nindices = t.bits == 24 ? 0 : t.entries;
    if (t.bits != 24) memcpy(def.palette, t.palette, sizeof t.palette);
    struct PartFile {
        std::string name;
        bool keep = false;
        ~PartFile()
        {
            if (!keep) unlink(name.c_str());
        }
    } partFile{part};
    if (validateImageDef(nullptr, &def) != TCL_OK) return opError(interp, "Error in image creation.\n");
    if (kind == OUT_JPEG && option) {
        int q;
        if (Tcl_GetInt(nullptr, option, &q) == TCL_OK && q >= 0 && q <= 100) def.block = q;
    }
    int error = IMGERR_OK;
    ImageHold out(openWithDef(&def, nullptr, 1, &error));
    if (!out) return opError(interp, error == IMGERR_CREATE ? "Error in image creation.\n" : "Error in image open.\n");
    if (kind == OUT_JPEG) out->def.block = def.block;
    if (t.bits != 24) {
        // The output's own cells, whatever colours the writer started from.
        out->def.nindices = t.entries;
        memcpy(out->def.palette, t.palette, sizeof t.palette);
        if (writeFilePalette(out.get()) < 0) return opError(interp, "Error in image open.\n");
    }
    t.out = out.get();
    t.bands = t.bits == 24 ? 3 : 1;
    if (t.rotate != 0) t.pixels.assign(static_cast<size_t>(t.W) * t.H * t.bands, 0);
    bool ok = renderLevels(m, greyMean, sinkRow, &t) && !m->deleted;
    if (ok && t.rotate != 0) ok = writeBuffered(t);
    if (ok) ok = flushImage(out.get()) == 0;
    out.release();  // the last holder: the file is closed
    if (!ok) return opError(interp, "Error in image open.\n");
    if (rename(part.c_str(), file) != 0) return opError(interp, std::string("Error in image creation.\n"));
    partFile.keep = true;
    Tcl_ResetResult(interp);
    return TCL_OK;
}

}  // namespace krel
