// gdem: shaded relief of a DEM under one of six illumination models, and the
// calibration (de-shading) of another image by that shade. One pass over the
// DEM holding two rows, single precision throughout.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "analysis/band_io.h"
#include "analysis/buffer.h"
#include "analysis/gdem.h"
#include "analysis/modules.h"
#include "analysis/simd.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "image/modargs.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"

namespace krel {

namespace {

constexpr float kDegree = static_cast<float>(M_PI * (1.0 / 180.0));

}  // namespace

bool shadeModel(const char *word, int *model, float *angleDegrees)
{
    static const char *const kWords[] = {"LAMBERT", "SINE", "TANG", "SL", "HL"};
    *angleDegrees = 0;
    for (int i = 0; i < 5; ++i)
        if (strcmp(word, kWords[i]) == 0) {
            *model = i;
            return true;
        }
    if (strncmp(word, "HLE", 3) != 0) return false;
    *model = SHADE_HLE;
    if (sscanf(word, "HLE%f", angleDegrees) != 1) *angleDegrees = 0;
    return true;
}

ShadeKernel::ShadeKernel(const ShadeParams &params) : p(params)
{
    kx = -p.zs / (2.0f * p.dx);
    ky = p.zs / (2.0f * p.dy);
    lx = std::cos(p.va) * std::sin(p.az);
    ly = std::cos(p.va) * std::cos(p.az);
    lz = std::sin(p.va);
    vx = std::cos(p.vva) * std::sin(p.vaz);
    vy = std::cos(p.vva) * std::cos(p.vaz);
    vz = std::sin(p.vva);
    float angle = p.hleAngle;
    if (!(angle > 0.0f && angle <= static_cast<float>(M_PI)))
        angle = std::atan(static_cast<float>(p.columns) * p.dx / (2.0f * p.h));
    cosHle = std::cos(angle);
}

namespace {

// The slope terms of columns 1..n-1 of a row pair.
struct Slopes {
    float gx, gy, nl, n2;
};
inline Slopes slopeAt(const ShadeKernel &k, const float *a, const float *b, int j)
{
    const float z00 = a[j - 1], z01 = a[j], z10 = b[j - 1], z11 = b[j];
    const float gx = (z00 - z01 + z10 - z11) * k.kx, gy = (z00 + z01 - z10 - z11) * k.ky;
    return {gx, gy, gx * k.lx + gy * k.ly - k.lz, gx * gx + gy * gy + 1.0f};
}

KREL_VECTOR_CLONES
void lambertRow(const ShadeKernel &k, const float *a, const float *b, float *shade, int n)
{
    const float s = k.p.scale;
    for (int j = 1; j < n; ++j) {
        const Slopes g = slopeAt(k, a, b, j);
        const float nv = g.gx * k.vx + g.gy * k.vy - k.vz;
        shade[j] = s * nv * g.nl / g.n2;
    }
}

KREL_VECTOR_CLONES
void sineRow(const ShadeKernel &k, const float *a, const float *b, float *shade, int n)
{
    for (int j = 1; j < n; ++j) {
        const Slopes g = slopeAt(k, a, b, j);
        shade[j] = k.p.scale * std::sqrt(1.0f - 1.0f / g.n2);
    }
}

KREL_VECTOR_CLONES
void tangRow(const ShadeKernel &k, const float *a, const float *b, float *shade, int n)
{
    for (int j = 1; j < n; ++j) {
        const Slopes g = slopeAt(k, a, b, j);
        shade[j] = k.p.scale * std::sqrt(g.gx * g.gx + g.gy * g.gy);
    }
}

// The viewer at the focal point: specular (SL), highlight (HL) and the
// highlight cone of HLE.
void focalRow(const ShadeKernel &k, int row, const float *a, const float *b, float *shade, int n)
{
    const ShadeParams &p = k.p;
    const float eta = (p.multiCentral ? p.yc : p.yc - static_cast<float>(row)) * p.dy, h2 = p.h * p.h;
    for (int j = 1; j < n; ++j) {
        const Slopes g = slopeAt(k, a, b, j);
        const float xi = (static_cast<float>(j) - p.xc) * p.dx;
        const float d = std::sqrt(xi * xi + eta * eta + h2);
        const float vx = -xi / d, vy = -eta / d, vz = p.h / d;
        const float nv = g.gx * vx + g.gy * vy - vz;
        const float diffuse = nv * g.nl / g.n2;
        const float lv = k.lx * vx + k.ly * vy + k.lz * vz;
        float base;  // the specular or highlight term, 0 when there is none
        if (p.model == SHADE_SL)
            base = 2.0f * g.nl * nv / g.n2 - lv;
        else if (p.model == SHADE_HL)
            base = lv;
        else
            base = (lv - k.cosHle) / (1.0f - k.cosHle);
        const float term = base > 0.0f ? std::pow(base, p.power) : 0.0f;
        shade[j] = p.scale * (p.gain * term + (1.0f - p.gain) * diffuse) + p.offset;
    }
}

}  // namespace

void ShadeKernel::shadeRow(int row, const float *above, const float *here, float *shade) const
{
    const int n = p.columns;
    switch (p.model) {
    case SHADE_LAMBERT: lambertRow(*this, above, here, shade, n); break;
    case SHADE_SINE: sineRow(*this, above, here, shade, n); break;
    case SHADE_TANG: tangRow(*this, above, here, shade, n); break;
    default: focalRow(*this, row, above, here, shade, n); break;
    }
    if (n > 1) shade[0] = shade[1];
}

KREL_VECTOR_CLONES
void averageShadeRows(const float *r0, const float *r1, int n, float *out)
{
    if (n <= 0) return;
    const int last = n - 1;
    out[0] = (r0[0] + r1[0]) * 0.5f;
    for (int j = 1; j < last; ++j) out[j] = (r0[j] + r1[j] + r0[j + 1] + r1[j + 1]) * 0.25f;
    if (last > 0) out[last] = (r0[last] + r1[last]) * 0.5f;
}

namespace {

void gdemUsage(const char *prog)
{
    static const char *const lines[] = {
        "where DEM    input DEM image\n",
        "      SHADE  output shade image\n",
        "      DX     pixel width\n",
        "      DY     pixel height\n",
        "      ZS     z scale (1.0)\n",
        "      S      output scale (255.0)\n",
        "      U      flag of update (0)\n",
        "      AVG    flag of averaging (1)\n",
        "      OP     flag of operation: LAMBERT, SINE, TANG, SL, HL, HLE (LAMBERT)\n",
        "      AZ     azimuth (135)\n",
        "      VA     vertical angle (45)\n",
        "      VAZ    view azimuth (AZ)\n",
        "      VVA    view vertical angle (90)\n",
        "      H      height of focal point\n",
        "      XC     x of focal point\n",
        "      YC     y of focal point\n",
        "      P      power (1.0)\n",
        "      OFF    offset (0.0)\n",
        "      GAIN   gain (0.5)\n",
        "      IMG    the input image to be calibarated\n",
        "      CALIB  the calibarated image\n",
        "      CB     the band to be calibarated\n",
        "      FB     the feed back factor (-0.5)\n",
        "      M      flag of multi-centeral projection (0)\n",
    };
    printModuleUsage(prog,
                     "Usage: %s -dem DEM -shade SHADE -dx DX -dy DY -zs ZS -u U -s S -avg AVG -op OP -az AZ -va VA "
                     "-vaz VAZ -vva VVA -h H -xc XC -yc YC -p P -off OFF -g GAIN -img IMG -calib CALIB -cb CB -fb FB "
                     "-m M\n",
                     lines);
}

// Opens an output by name, or creates it from a copy of `from` (never a
// colour index image, since shading and calibration write values); a
// failure is reported.
RamImage *openGdemOutput(const char *name, const ImageDef &from)
{
    auto change = [](ImageDef &def) {
        valueOutputDef(def);
        return true;
    };
    return openModuleOutput(name, from, change, OutputPalette::Ramp, "Error in open %s.\n");
}

// The written bands' statistics dropped, the file flushed, displays told
// when asked.
void finishWritten(RamImage *img, const std::vector<int> &bands, bool notify)
{
    bool dropped = false;
    if (img->bandStats)
        for (int b : bands)
            if (b >= 0 && b < img->def.nbands) img->bandStats[b].done = 0, dropped = true;
    flushImage(img);
    if (notify) notifyClients(img, -1, dropped ? NOTIFY_CONFIG : NOTIFY_DATA);
}

}  // namespace

int gdemModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-dx", nullptr},  {"-dy", nullptr},    {"-dem", nullptr}, {"-shade", nullptr},
                           {"-img", nullptr}, {"-op", nullptr},    {"-az", nullptr},  {"-va", nullptr},
                           {"-zs", nullptr},  {"-b", nullptr},     {"-u", nullptr},   {"-s", nullptr},
                           {"-avg", nullptr}, {"-vaz", nullptr},   {"-vva", nullptr}, {"-h", nullptr},
                           {"-xc", nullptr},  {"-yc", nullptr},    {"-p", nullptr},   {"-off", nullptr},
                           {"-g", nullptr},   {"-calib", nullptr}, {"-cb", nullptr},  {"-fb", nullptr},
                           {"-m", nullptr},   {"-in", nullptr},    {"-out", nullptr}, {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, gdemUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const char *demName = opt("-dem") ? opt("-dem") : opt("-in");
    const char *shadeName = opt("-shade") ? opt("-shade") : opt("-out");
    const char *imgName = opt("-img"), *calibName = opt("-calib");

    ModuleImage img, calib, dem, shade;
    if (imgName) {
        img.reset(openModuleInput(imgName, "Error in open %s.\n"));
        if (!img) return MODULE_FAILED;
    }
    int calibBand = -1;  // -1: every band
    if (calibName) {
        // Only an image to calibrate gives a new calibrated image its definition.
        calib.reset(img ? openGdemOutput(calibName, img->def) : openModuleInput(calibName, "Error in open %s.\n"));
        if (!calib) return MODULE_FAILED;
        if (calib->def.nindices > 0) {
            conEprintf("Index image can not be calibarated.\n");
            return MODULE_FAILED;
        }
        if (const char *cb = opt("-cb")) {
            calibBand = optionInt(cb, 0);
            if (calibBand < 1 || calibBand > calib->def.nbands) {
                conEprintf("Invalid band of the image to be calibarated\n");
                return MODULE_FAILED;
            }
            --calibBand;
        }
    }
    if (!demName && !shadeName && !imgName && !calibName) {
        conEprintf("image file(s) missing.\n");
        return MODULE_FAILED;
    }
    if (demName) {
        dem.reset(openModuleInput(demName, "Error in open %s.\n"));
        if (!dem) return MODULE_FAILED;
        if (dem->def.nindices > 0) {
            conEprintf("Index image is not supported.\n");
            return MODULE_FAILED;
        }
    }
    if (!shadeName && !calibName) {
        conEprintf("output image file(s) missing.\n");
        return MODULE_FAILED;
    }
    if (!dem) {
        conEprintf("image file(s) missing.\n");
        return MODULE_FAILED;
    }
    if (shadeName) {
        shade.reset(openGdemOutput(shadeName, dem->def));
        if (!shade) return MODULE_FAILED;
        if (shade->def.nindices > 0) {
            conEprintf("Index image is not supported.\n");
            return MODULE_FAILED;
        }
        if (shade.get() == dem.get()) {
            conEprintf("DEM image should not be the same as the shade image.\n");
            return MODULE_FAILED;
        }
    }
    int demBand = 0, shadeBand = 0;
    if (const char *b = opt("-b")) {
        if (sscanf(b, "%d:%d", &demBand, &shadeBand) != 2) {
            conEprintf("Error in band specification.\n");
            return MODULE_FAILED;
        }
        if (demBand < 1 || demBand > dem->def.nbands) {
            conEprintf("Invalid DEM image band:%d\n", demBand);
            return MODULE_FAILED;
        }
        if (shade && (shadeBand < 1 || shadeBand > shade->def.nbands)) {
            conEprintf("Invalid shade image band:%d\n", shadeBand);
            return MODULE_FAILED;
        }
        --demBand, --shadeBand;
    }
    ShadeParams p;
    float hleDegrees = 0;
    if (const char *op = opt("-op"); op && !shadeModel(op, &p.model, &hleDegrees)) {
        conEprintf("Unknown operation.\n");
        return MODULE_FAILED;
    }
    p.hleAngle = hleDegrees * kDegree;

    const ImageDef &ref = dem->def;
    p.rows = ref.rows;
    p.columns = ref.columns;
    p.dx = opt("-dx") ? static_cast<float>(optionInt(opt("-dx"), 0)) : static_cast<float>(ref.dx);
    p.dy = opt("-dy") ? static_cast<float>(optionInt(opt("-dy"), 0)) : static_cast<float>(ref.dy);
    if (!(p.dx > 0.0f) || !(p.dy > 0.0f)) {
        conEprintf("Error: the pixel size must be positive (dx %g, dy %g); -dx and -dy take whole numbers.\n",
                   static_cast<double>(p.dx), static_cast<double>(p.dy));
        return MODULE_FAILED;
    }
    if (p.columns < 2) {
        conEprintf("Error: the DEM must have at least two columns.\n");
        return MODULE_FAILED;
    }
    p.zs = static_cast<float>(optionDouble(opt("-zs"), 1.0));
    p.scale = static_cast<float>(optionDouble(opt("-s"), 255.0));
    p.az = static_cast<float>(optionDouble(opt("-az"), 135.0)) * kDegree;
    p.va = static_cast<float>(optionDouble(opt("-va"), 45.0)) * kDegree;
    p.vaz = opt("-vaz") ? static_cast<float>(optionDouble(opt("-vaz"), 0)) * kDegree : p.az;
    p.vva = static_cast<float>(optionDouble(opt("-vva"), 90.0)) * kDegree;
    p.h = static_cast<float>(optionDouble(opt("-h"), p.columns * p.dx * 2.0));
    p.xc = static_cast<float>(optionDouble(opt("-xc"), (p.columns - 1) * 0.5));
    p.yc = static_cast<float>(optionDouble(opt("-yc"), (p.rows - 1) * 0.5));
    p.power = static_cast<float>(optionDouble(opt("-p"), 1.0));
    p.offset = static_cast<float>(optionDouble(opt("-off"), 0.0));
    p.gain = static_cast<float>(optionDouble(opt("-g"), 0.5));
    p.multiCentral = optionInt(opt("-m"), 0) != 0;
    const float fb = static_cast<float>(optionDouble(opt("-fb"), -0.5));
    const bool average = optionInt(opt("-avg"), 1) != 0;
    const bool notify = optionInt(opt("-u"), 0) != 0;
    const ShadeKernel kernel(p);

    // Two DEM rows, two shade rows, the averaged row and a calibration row.
    const size_t n = static_cast<size_t>(p.columns);
    GmemArray<float> work;
    if (!work.allocate(6 * n)) {
        conEprintf("Error in gmemAlloc.\n");
        return MODULE_FAILED;
    }
    float *demRows[2] = {work.get(), work.get() + n};
    float *shadeRows[2] = {work.get() + 2 * n, work.get() + 3 * n};
    float *averaged = work.get() + 4 * n, *values = work.get() + 5 * n;
    RamImage *source = img ? img.get() : calib.get();
    std::vector<int> calibBands;
    if (calib) {
        if (calibBand >= 0)
            calibBands.push_back(calibBand);
        else
            for (int b = 0; b < std::min(calib->def.nbands, source->def.nbands); ++b) calibBands.push_back(b);
    }

    MeterProgress meter{"gdem", 0.0f};
    for (int i = 0; i < p.rows; ++i) {
        if (checkRimageStatus() == STATUS_ABORT) {
            conEprintf("rimage gdem canceled...\n");
            break;
        }
        float *here = demRows[i & 1], *above = i == 0 ? here : demRows[(i - 1) & 1];
        readRowSingles(dem.get(), i, demBand, 0, p.columns, here);
        float *r1 = shadeRows[i & 1], *r0 = i == 0 ? r1 : shadeRows[(i - 1) & 1];
        kernel.shadeRow(i, above, here, r1);
        const float *outRow = r1;
        if (average) {
            averageShadeRows(r0, r1, p.columns, averaged);
            outRow = averaged;
        }
        if (shade) writeRowSingles(shade.get(), i, shadeBand, 0, p.columns, outRow);
        for (int b : calibBands) {
            readRowSingles(source, i, b, 0, p.columns, values);
            for (int j = 0; j < p.columns; ++j) values[j] = fb * outRow[j] + p.scale + values[j];
            writeRowSingles(calib.get(), i, b, 0, p.columns, values);
        }
        meter.step(i, p.rows);
    }
    meter.finish();
    meterReset();
    if (shade) finishWritten(shade.get(), {shadeBand}, notify);
    if (calib) finishWritten(calib.get(), calibBands, notify);
    return MODULE_DONE;
}

}  // namespace krel
