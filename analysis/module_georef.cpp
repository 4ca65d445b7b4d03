// georef: resamples an input image into the grid of an existing output
// image through a polynomial read from a georectification parameter file or
// through a rotation, scale and shift given as "@angle,scale,dx,dy", by
// nearest neighbour or bilinear interpolation.
//
// The output region is split into blocks whose input window (every source
// position of the block and its bilinear neighbours) stays under 4 MiB; each
// block reads its window once per band pair and fills its rows.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>
#include <vector>

#include "analysis/georesample.h"
#include "analysis/modules.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/goerechd.h"
#include "image/modargs.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"

namespace krel {

namespace {

constexpr size_t kWindowBytes = 4194304;

void georefUsage(const char *prog)
{
    static const char *const lines[] = {
        "where IN    input image\n",
        "      OUT   output image\n",
        "      PAR   geo-reference parameter file\n",
        "      SC    start column of the output\n",
        "      SR    start row of the output\n",
        "      R     rows to copy\n",
        "      C     columns to copy\n",
        "      B     band selection: i1[[:o1];i2[:o2];...]\n",
        "      OV    flag of overlay: Y or N\n",
        "      O     flag of overwritten with zero: Y or N\n",
        "      RSP   resampling method: NN (Nearest NB); BI (Bilinear).\n",
    };
    printModuleUsage(prog, "Usage: %s -in IN -out OUT -p PAR -sc SC -sr SR -r R -c C -b B -ov OV -o O -rs RSP\n",
                     lines);
}

// A rotation by `angle` degrees (counter-clockwise as the image is seen),
// an enlargement `scale` and a shift of the input centre.
struct Rotation {
    double angle = 0, scale = 1, dx = 0, dy = 0;
};

bool parseRotation(const char *text, Rotation *rot)
{
    float a = 0, s = 1, dx = 0, dy = 0;
    sscanf(text, "%f,%f,%f,%f", &a, &s, &dx, &dy);
    if (s == 0 || !std::isfinite(a) || !std::isfinite(s) || !std::isfinite(dx) || !std::isfinite(dy)) return false;
    *rot = {a, s, dx, dy};
    return true;
}

bool hasMapGrid(const ImageDef &d)
{
    return std::isfinite(d.x0) && std::isfinite(d.y0) && std::isfinite(d.dx) && std::isfinite(d.dy) && d.dx > 0 &&
           d.dy > 0;
}

// The centre of an image's pixel grid, and of its map extent.
double centreColumn(const ImageDef &d) { return (d.columns - 1) / 2.0; }
double centreRow(const ImageDef &d) { return (d.rows - 1) / 2.0; }
double centreX(const ImageDef &d) { return d.x0 + centreColumn(d) * d.dx; }
double centreY(const ImageDef &d) { return d.y0 - centreRow(d) * d.dy; }

// Output pixel (c, r) to the point the polynomial is taken at: its column and
// row (overlay) or its map coordinates, less the means of X1 and Y1.
void placeOutput(GeoSampler *s, const ImageDef &out, bool overlay)
{
    if (overlay) {
        s->au = -s->poly.meanX1;
        s->su = 1;
        s->av = -s->poly.meanY1;
        s->sv = 1;
    } else {
        s->au = out.x0 - s->poly.meanX1;
        s->su = out.dx;
        s->av = out.y0 - s->poly.meanY1;
        s->sv = -out.dy;
    }
}

// The order-1 polynomial of a rotation about the centres of the output and
// the input: in pixels (overlay, rows down) or in map units (y up).
GeoPoly rotationPoly(const Rotation &rot, const ImageDef &in, const ImageDef &out, bool overlay)
{
    const double a = rot.angle * M_PI / 180.0, c = std::cos(a) / rot.scale, s = std::sin(a) / rot.scale;
    GeoPoly p;
    p.order = 1;
    if (overlay) {
        p.meanX1 = centreColumn(out);
        p.meanY1 = centreRow(out);
        p.J = {centreColumn(in) + rot.dx, c, -s};
        p.I = {centreRow(in) + rot.dy, s, c};
    } else {
        p.meanX1 = centreX(out);
        p.meanY1 = centreY(out);
        p.J = {(centreX(in) + rot.dx - in.x0) / in.dx, c / in.dx, s / in.dx};
        p.I = {(in.y0 - centreY(in) - rot.dy) / in.dy, s / in.dy, -c / in.dy};
    }
    p.meanX2 = p.J[0];
    p.meanY2 = p.I[0];
    return p;
}

struct Region {
    int r0, c0, rows, cols;
};

// The output window: starts -sr and -sc, counts -r and -c, cut to the output.
Region outputRegion(const ModuleOption *opts, const ImageDef &out)
{
    const ModuleWindow w = windowOptions(opts, {nullptr, nullptr, "-sr", "-sc"});
    long r0 = w.orow, c0 = w.oc;
    long rows = w.hasRows ? w.rows : out.rows - r0, cols = w.hasCols ? w.cols : out.columns - c0;
    if (r0 < 0) rows += r0, r0 = 0;
    if (c0 < 0) cols += c0, c0 = 0;
    rows = std::max(0L, std::min(rows, out.rows - r0));
    cols = std::max(0L, std::min(cols, out.columns - c0));
    return {static_cast<int>(r0), static_cast<int>(c0), static_cast<int>(rows), static_cast<int>(cols)};
}

// Reads the window of one input band, row by row.
void readWindow(RamImage *in, int band, const SourceWindow &w, uint8_t *buffer)
{
    for (int y = 0; y < w.rows; ++y)
        readLineBytes(in, w.y0 + y, band, w.x0, w.cols, 1, buffer + static_cast<size_t>(y) * w.cols);
}

void readWindow(RamImage *in, int band, const SourceWindow &w, float *buffer)
{
    for (int y = 0; y < w.rows; ++y)
        readLineValues(in, w.y0 + y, band, w.x0, w.cols, 1, buffer + static_cast<size_t>(y) * w.cols);
}

int georefRun(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr}, {"-out", nullptr}, {"-sr", nullptr}, {"-sc", nullptr},
                           {"-r", nullptr},  {"-c", nullptr},   {"-b", nullptr},  {"-p", nullptr},
                           {"-o", nullptr},  {"-ov", nullptr},  {"-rs", nullptr}, {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, georefUsage); rc != MODULE_GO) return rc;
    const char *inName = moduleOption(opts, "-in"), *outName = moduleOption(opts, "-out");
    const char *par = moduleOption(opts, "-p");
    if (!inName) {
        conEprintf("input image is missing!\n");
        return MODULE_FAILED;
    }
    if (!outName) {
        conEprintf("Output file is missing!\n");
        return MODULE_FAILED;
    }
    if (!par) {
        conEprintf("rectification parameter missing!\n");
        return MODULE_FAILED;
    }
    const char *o = moduleOption(opts, "-o");
    const bool clear = o && strcmp(o, "Y") == 0;

    const bool rotation = par[0] == '@';
    Rotation rot;
    GeoSampler sampler;
    if (rotation) {
        if (!parseRotation(par + 1, &rot)) {
            conEprintf("Illegal rectification parameter: %s\n", par);
            return MODULE_FAILED;
        }
    } else {
        std::string error = readGeoFile(par, &sampler.poly);
        if (!error.empty()) {
            conEprintf("%s\n", error.c_str());
            return MODULE_FAILED;
        }
    }
    const char *rs = moduleOption(opts, "-rs");
    if (rs && strcasecmp(rs, "NN") != 0 && strcasecmp(rs, "BI") != 0) {
        conEprintf("Illegal parameter for rs.\n");
        return MODULE_FAILED;
    }
    const bool bilinear = rs && strcasecmp(rs, "BI") == 0;

    ModuleImage in(openModuleInput(inName, "Error in open %s.\n"));
    if (!in) return MODULE_FAILED;
    ModuleImage out(openModuleInput(outName, "Error in open %s.\n"));
    if (!out) return MODULE_FAILED;
    if (in.get() == out.get()) {
        conEprintf("Error: the input and the output are the same image.\n");
        return MODULE_FAILED;
    }
    const ImageDef &id = in->def, &od = out->def;

    const char *ov = moduleOption(opts, "-ov");
    bool overlay = rotation;
    if (ov) {
        if (strcasecmp(ov, "Y") != 0 && strcasecmp(ov, "N") != 0) {
            conEprintf("Illegal params for 'ov'.\n");
            return MODULE_FAILED;
        }
        overlay = strcasecmp(ov, "Y") == 0;
    }
    if (!overlay) {
        for (const RamImage *img : {out.get(), rotation ? in.get() : nullptr})
            if (img && !hasMapGrid(img->def)) {
                conEprintf("%s has no map grid (x0, y0, dx, dy).\n", img->def.file);
                return MODULE_FAILED;
            }
    }
    if (od.pixel == PIX_ULONG || od.pixel == PIX_SBYTE || od.pixel == PIX_UNKNOWN) {
        conEprintf("Error: %s pixels cannot be written.\n", pixelTypeName(od.pixel));
        return MODULE_FAILED;
    }
    if (rotation) sampler.poly = rotationPoly(rot, id, od, overlay);
    placeOutput(&sampler, od, overlay);
    sampler.inCols = id.columns;
    sampler.inRows = id.rows;

    const Region region = outputRegion(opts, od);
    std::vector<BandPair> pairs;
    if (!moduleBandPairs(moduleOption(opts, "-b"), id.nbands, od.nbands, &pairs)) return MODULE_FAILED;

    // Inputs of more than 8 bits (and signed bytes) are resampled as floats.
    const bool floats = id.bits > 8 || id.pixel == PIX_SBYTE;
    const int sampleSize = floats ? 4 : 1;
    std::vector<OutputBlock> blocks;
    std::vector<uint8_t> bytes;
    std::vector<float> floatValues;
    std::vector<double> row;
    // Bytes into a byte image go as they are, without a detour through doubles.
    const bool byteRows = !floats && od.pixel == PIX_BYTE;
    std::vector<uint8_t> byteRow;
    try {
        blocks = planBlocks(sampler, region.r0, region.c0, region.rows, region.cols, sampleSize, kWindowBytes);
        size_t most = 0;
        for (const OutputBlock &b : blocks) most = std::max(most, b.window.samples());
        if (floats)
            floatValues.resize(most + 1);
        else
            bytes.resize(most + 1);
        if (byteRows)
            byteRow.resize(static_cast<size_t>(region.cols) + 1);
        else
            row.resize(static_cast<size_t>(region.cols) + 1);
    } catch (const std::bad_alloc &) {
        conEprintf("Error in memory allocation.\n");
        return MODULE_FAILED;
    }

    MeterProgress meter{"georef", 0.0f};
    long total = 0, done = 0;
    for (const OutputBlock &b : blocks) total += static_cast<long>(b.rows) * static_cast<long>(pairs.size());
    bool cancelled = false;
    std::vector<int> written;
    for (const BandPair &p : pairs) written.push_back(p.out - 1);
    for (const OutputBlock &b : blocks) {
        for (const BandPair &p : pairs) {
            const int inBand = p.in - 1, outBand = p.out - 1;
            const bool sources = b.window.samples() > 0;
            if (sources && floats)
                readWindow(in.get(), inBand, b.window, floatValues.data());
            else if (sources)
                readWindow(in.get(), inBand, b.window, bytes.data());
            for (int r = b.r0; r < b.r0 + b.rows; ++r) {
                if (checkRimageStatus() == STATUS_ABORT) {
                    conEprintf("rimage georef canceled...\n");
                    cancelled = true;
                    break;
                }
                // Rows whose every pixel gets a source need not be read first.
                const bool keep = !clear && !(sources && rowAllInside(sampler, r, b.c0, b.cols));
                if (byteRows && (sources || clear)) {
                    if (!keep)
                        std::fill(byteRow.begin(), byteRow.begin() + b.cols, 0);
                    else
                        readLineBytes(out.get(), r, outBand, b.c0, b.cols, 1, byteRow.data());
                    resampleRow(sampler, r, b.c0, b.cols, bytes.data(), b.window, bilinear, byteRow.data());
                    putLineStored(out.get(), r, b.c0, b.cols, outBand, 1, byteRow.data());
                } else if (sources || clear) {
                    if (!keep)
                        std::fill(row.begin(), row.begin() + b.cols, 0.0);
                    else
                        readLineDoubles(out.get(), r, outBand, b.c0, b.cols, 1, row.data());
                    if (floats)
                        resampleRow(sampler, r, b.c0, b.cols, floatValues.data(), b.window, bilinear, row.data());
                    else
                        resampleRow(sampler, r, b.c0, b.cols, bytes.data(), b.window, bilinear, row.data());
                    putDoubleLine(out.get(), r, b.c0, b.cols, outBand, row.data());
                }
                meter.step(done++, total);
            }
            if (cancelled) break;
        }
        if (cancelled) break;
    }
    meter.finish();
    meterReset();
    applyUpdateFlag(out.get(), 1, written);
    return MODULE_DONE;
}

}  // namespace

int georefModule(const char *prog, int argc, const char **argv)
{
    // No exception leaves for the Tcl command that runs the module.
    try {
        return georefRun(prog, argc, argv);
    } catch (const std::bad_alloc &) {
        conEprintf("Error in memory allocation.\n");
        return MODULE_FAILED;
    }
}

}  // namespace krel
