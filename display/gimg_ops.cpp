// The gimg image command: one table of its operations, and the coordinate
// and value helpers they share.
#include "display/gimg_ops.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "core/subcmd.h"
#include "display/gimg_table.h"
#include "image/registry.h"

namespace krel {

Tk_ConfigSpec *gimgConfigSpecs();

namespace {

int opCget(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " cget option", nullptr);
        return TCL_ERROR;
    }
    return Tk_ConfigureValue(interp, m->tkwin, gimgConfigSpecs(), reinterpret_cast<char *>(&m->o), argv[2], 0);
}

int opConfigure(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    char *rec = reinterpret_cast<char *>(&m->o);
    if (argc == 2) return Tk_ConfigureInfo(interp, m->tkwin, gimgConfigSpecs(), rec, nullptr, 0);
    if (argc == 3) return Tk_ConfigureInfo(interp, m->tkwin, gimgConfigSpecs(), rec, argv[2], 0);
    return configureGimg(m, argc - 2, argv + 2, TK_CONFIG_ARGV_ONLY);
}

int opUpdate(GimgMaster *m, Tcl_Interp *, int, const char **)
{
    redrawGimg(m);
    return TCL_OK;
}

int opNames(GimgMaster *, Tcl_Interp *interp, int, const char **)
{
    appendGimgNames(interp);
    return TCL_OK;
}

// Operations that come with the masks, views and exports.
int opLater(GimgMaster *, Tcl_Interp *interp, int, const char **argv)
{
    Tcl_AppendResult(interp, argv[0], " ", argv[1], " is not available in this build.", nullptr);
    return TCL_ERROR;
}

// Checked in this order; "mask", "mean", "min" and "max" only in full.
const SubCommand<GimgOp> kOps[] = {
    {"cget", 4, opCget},
    {"configure", 4, opConfigure},
    {"canv2file", 6, gimgCanvToFile},
    {"canv2img", 6, gimgCanvToImg},
    {"canv2map", 4, gimgCanvToMap},
    {"copy", 4, opLater},
    {"crop", 4, opLater},
    {"capture", 4, opLater},
    {"bitmap2map", 7, gimgBitmapToMap},
    {"bitmap2file", 7, gimgBitmapToFile},
    {"dump", 3, opLater},
    {"enhance", 3, gimgEnhance},
    {"filexy", 5, gimgBitmapToFile},
    {"file2canv", 5, gimgFileToCanv},
    {"file2screen", 5, gimgFileToCanv},
    {"getIndices", 4, gimgGetIndices},
    {"getLookup", 4, gimgGetLookup},
    {"graph", 4, opLater},
    {"hist", 4, gimgHist},
    {"imgxy", 4, gimgCanvToImg},
    {"img2canv", 4, gimgImgToCanv},
    {"scrxy", 4, gimgImgToCanv},
    {"lineh", 5, gimgLineH},
    {"linev", 5, gimgLineV},
    {"mapxy", 4, gimgBitmapToMap},
    {"map2canv", 4, gimgMapToCanv},
    {"map2screen", 4, gimgMapToCanv},
    {"mask", 4, opLater},
    {"mean", 4, gimgStats},
    {"min", 3, gimgStats},
    {"max", 3, gimgStats},
    {"stats", 3, gimgStats},
    {"std", 3, gimgStats},
    {"names", 3, opNames},
    {"seek", 3, gimgSeek},
    {"setIndices", 3, gimgSetIndices},
    {"setPixel", 3, gimgSetPixel},
    {"setLookup", 3, gimgSetLookup},
    {"setRange", 3, gimgSetRange},
    {"section", 3, gimgSection},
    {"pixel", 4, gimgPixel},
    {"profile", 4, gimgProfile},
    {"rotate", 2, gimgRotate},
    {"resident", 2, gimgResident},
    {"update", 2, opUpdate},
    {"animate", 2, gimgAnimate},
};

}  // namespace

int runGimgOperation(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (const SubCommand<GimgOp> *op = findSubCommand(kOps, argv[1])) return op->handler(m, interp, argc, argv);
    Tcl_AppendResult(interp, "bad option \"", argv[1],
                     "\": must be animate bitmap2file bitmap2map canv2file canv2img canv2map capture config, "
                     "cget, copy, dump, enhance, filexy, getIndices, getLookup, graph, hist, imgxy, lineh, "
                     "linev, mapxy, mask, names, max, mean, min, pixel, profile, resident, rotate, section, "
                     "scrxy, seek, setIndices, setLookup setPixel, setRange, stats, std, update",
                     nullptr);
    return TCL_ERROR;
}

double roundAway(double v) { return std::round(v); }

void appendResult(Tcl_Interp *interp, const char *format, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    Tcl_AppendResult(interp, buf, nullptr);
}

int opError(Tcl_Interp *interp, const std::string &message)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, message.c_str(), nullptr);
    return TCL_ERROR;
}

void redrawGimg(GimgMaster *m)
{
    invalidatePixmap(m);
    gimgChanged(m);
}

// ---------------------------------------------------------------------------
// Coordinates. The pixmap shows the render rows as columns when rotated:
// negative rotation puts render (x, y) at (H - 1 - y, x), positive at
// (y, W - 1 - x), W x H being the unrotated size.

void displayToRender(const GimgMaster *m, double u, double v, double *x, double *y)
{
    const int W = m->renderW, H = m->renderH;
    if (m->o.rotate < 0) {
        *x = v;
        *y = H - 1 - u;
    } else if (m->o.rotate > 0) {
        *x = W - 1 - v;
        *y = u;
    } else {
        *x = u;
        *y = v;
    }
}

void renderToDisplay(const GimgMaster *m, double x, double y, double *u, double *v)
{
    const int W = m->renderW, H = m->renderH;
    if (m->o.rotate < 0) {
        *u = H - 1 - y;
        *v = x;
    } else if (m->o.rotate > 0) {
        *u = y;
        *v = W - 1 - x;
    } else {
        *u = x;
        *v = y;
    }
}

double renderToImage(const SampleMap &map, double x)
{
    // A position inside the map names the source index drawn there.
    if (std::isfinite(x) && x >= 0 && x < map.length && !map.index.empty())
        return map.index[static_cast<size_t>(x)];
    const double mag = map.mag > 0 ? map.mag : 1.0;
    const double v = map.flip ? map.start - (x - (map.length - 1)) / mag : x / mag + map.start;
    return roundAway(v);
}

double imageToRender(const SampleMap &map, double column)
{
    const double mag = map.mag > 0 ? map.mag : 1.0;
    return map.flip ? (map.start - column) * mag + map.length - 1 : (column - map.start) * mag;
}

void displayToImage(const GimgMaster *m, double u, double v, double *column, double *row)
{
    double x, y;
    displayToRender(m, u, v, &x, &y);
    *column = renderToImage(m->colMap, x);
    *row = renderToImage(m->rowMap, y);
}

void imageToDisplay(const GimgMaster *m, double column, double row, double *u, double *v)
{
    renderToDisplay(m, imageToRender(m->colMap, column), imageToRender(m->rowMap, row), u, v);
}

bool displayPixel(const GimgMaster *m, double u, double v, int *column, int *row)
{
    double x, y;
    displayToRender(m, u, v, &x, &y);
    if (!std::isfinite(x) || !std::isfinite(y)) return false;
    const double rx = std::floor(x), ry = std::floor(y);
    if (rx < 0 || rx >= m->colMap.length || ry < 0 || ry >= m->rowMap.length) return false;
    *column = m->colMap.index[static_cast<size_t>(rx)];
    *row = m->rowMap.index[static_cast<size_t>(ry)];
    return true;
}

// ---------------------------------------------------------------------------
// Channel values.

int channelCount(const GimgMaster *m)
{
    if (m->paletteInUse) return 4;
    return m->image ? std::max(m->image->def.nbands, 1) : 1;
}

int wrapChannel(const GimgMaster *m, int band)
{
    if (m->paletteInUse) return ((band % 4) + 4) % 4;
    const int n = channelCount(m);
    if (band < 1) band = 1;
    return (band - 1) % n + 1;
}

namespace {

double bandValue(RamImage *img, int band, int column, int row)
{
    const ImageDef &d = img->def;
    if (band < 0 || band >= d.nbands || column < 0 || column >= d.columns || row < 0 || row >= d.rows) return 0;
    const uint8_t *line = getLine(img, row, band, 1);
    return line ? lineValue(line, d.pixel, d.msbf, column) : 0;
}

}  // namespace

double channelValue(GimgMaster *m, int channel, int column, int row)
{
    RamImage *img = m->image;
    if (!img) return 0;
    if (!m->paletteInUse) return bandValue(img, channel - 1, column, row);
    const int indexBand = std::max(m->o.layer, 1) - 1;
    const double index = bandValue(img, indexBand, column, row);
    if (channel == 0) return index;
    const int i = std::clamp(static_cast<int>(index), 0, 255);
    return m->palette[i][std::clamp(channel, 1, 3) - 1];
}

ChannelSummary channelSummary(GimgMaster *m, int channel)
{
    ChannelSummary s;
    RamImage *img = m->image;
    if (!img) return s;
    // Computing polls the run status, which services events: one of them
    // may have deleted the display (the master itself is preserved).
    retainImage(img);
    ImageHold keep(img);
    if (computeBandStats(img, STATS_REUSE, 1, 1) != 0 || m->deleted || !img->bandStats) return s;
    const int band = m->paletteInUse ? std::max(m->o.layer, 1) - 1 : channel - 1;
    if (band < 0 || band >= img->def.nbands) return s;
    const BandStats &bs = img->bandStats[band];
    s.ok = true;
    if (!m->paletteInUse || channel == 0) {
        s.count = bs.count;
        s.mean = bs.mean;
        s.stdDev = bs.stdDev;
        s.min = bs.count > 0 ? bs.min : 0;
        s.max = bs.count > 0 ? bs.max : 0;
        if (bs.bins)
            for (int i = 0; i < bs.nbins; ++i) s.bins.emplace_back(i, bs.bins[i]);
        return s;
    }
    // A palette component: the index counts weight its values.
    double counts[256] = {};
    double sum = 0, sq = 0;
    s.min = 255;
    s.max = 0;
    for (int i = 0; i < bs.nbins && i < 256 && bs.bins; ++i) {
        const double n = bs.bins[i];
        if (n <= 0) continue;
        const int v = m->palette[i][channel - 1];
        counts[v] += n;
        s.count += n;
        sum += n * v;
        sq += n * v * v;
        s.min = std::min<double>(s.min, v);
        s.max = std::max<double>(s.max, v);
    }
    if (s.count > 0) {
        s.mean = sum / s.count;
        s.stdDev = std::sqrt(std::max(0.0, sq / s.count - s.mean * s.mean));
    } else {
        s.min = s.max = 0;
    }
    for (int v = 0; v < 256; ++v) s.bins.emplace_back(v, counts[v]);
    return s;
}

}  // namespace krel
