// trans: copies a window of one image into another while subsampling (CP,
// RSP), summing or averaging blocks (BIN, AVG), or projecting onto the
// principal components of an EIGENID file (PC) and back (RPC). All values
// travel as doubles, which hold every 32-bit integer.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/band_io.h"
#include "analysis/buffer.h"
#include "analysis/feature.h"
#include "analysis/modules.h"
#include "analysis/simd.h"
#include "analysis/trans.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/modargs.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"

namespace krel {

bool eigenBasis(const FeatureBlock *block, int imageBands, EigenBasis *basis)
{
    *basis = EigenBasis{};
    if (getFeatureInfo(block, FINFO_KIND) != FEATURE_EIGEN) return false;
    const int n = getFeatureInfo(block, FINFO_PARAMS), count = getFeatureInfo(block, FINFO_COUNT);
    if (n < 1 || count < 1 || getFeaturePrivateSize(block) < eigenPrivateSize(n)) return false;
    const auto *priv = static_cast<const unsigned char *>(getFeaturePrivate(block));
    int32_t normalised;
    memcpy(&normalised, priv + 512, 4);
    std::vector<double> sd(static_cast<size_t>(n), 1.0);
    for (int i = 0; i < n; ++i) {
        const int band = getFeatureParam(block, i);
        if (band < 0 || band >= imageBands) return false;
        basis->bands.push_back(band);
        float var, mean;
        memcpy(&var, priv + 516 + 8 * i, 4);
        memcpy(&mean, priv + 516 + 8 * i + 4, 4);
        if (!std::isfinite(var) || !std::isfinite(mean)) return false;
        if (normalised) {
            if (!(var > 0.0f)) return false;
            sd[i] = std::sqrt(static_cast<double>(var));
        }
        basis->mean.push_back(mean);
    }
    for (int k = 0; k < count; ++k) {
        const auto *item = static_cast<const unsigned char *>(getFeatureItem(block, k));
        std::vector<double> w(static_cast<size_t>(n)), v(static_cast<size_t>(n));
        for (int b = 0; b < n; ++b) {
            float e;
            memcpy(&e, item + 12 + 4 * b, 4);
            if (!std::isfinite(e)) return false;
            w[b] = e / sd[b];
            v[b] = e * sd[b];
        }
        basis->weights.push_back(std::move(w));
        basis->rebuild.push_back(std::move(v));
    }
    return true;
}

bool parseComponents(const char *text, int count, std::vector<int> *components)
{
    components->clear();
    const char *p = text;
    auto separator = [](char c) { return c == ',' || c == ';' || isspace(static_cast<unsigned char>(c)); };
    for (;;) {
        while (*p && separator(*p)) ++p;
        if (!*p) break;
        char *end;
        long first = strtol(p, &end, 10), last = first;
        if (end == p) return false;
        p = end;
        if (*p == '-') {
            ++p;
            last = strtol(p, &end, 10);
            if (end == p) return false;
            p = end;
        }
        if (*p && !separator(*p)) return false;
        if (first < 1 || first > last || last > count) return false;
        for (long k = first; k <= last; ++k) {
            if (components->size() >= static_cast<size_t>(kMaxBandItems)) return false;
            components->push_back(static_cast<int>(k - 1));
        }
    }
    return !components->empty();
}

KREL_VECTOR_CLONES
void projectRow(const double *const *x, const double *w, int bands, double offset, int n, double *out)
{
    for (int j = 0; j < n; ++j) out[j] = offset;
    for (int b = 0; b < bands; ++b) {
        const double *xb = x[b], wb = w[b];
        for (int j = 0; j < n; ++j) out[j] += wb * xb[j];
    }
}

void addColumnGroups(const double *row, int n, int dx, double *sums)
{
    for (int j = 0; j < n; ++j) sums[j / dx] += row[j];
}

namespace {

enum TransOp { OP_BIN, OP_AVG, OP_RSP, OP_CP, OP_PC, OP_RPC };
const char *const kOpNames[] = {"BIN", "AVG", "RSP", "CP", "PC", "RPC"};
const char *const kMeterNames[] = {"bin", "avgbin", "rsp", "copy", "pc", "rpc"};

void transUsage(const char *prog)
{
    static const char *const operation[] = {"      O     options: rsp, avg, bin, pc, rpc\n"};
    static const char *const own[] = {
        "      EV    eigen vector file.\n",
        "      PC    pc bands.\n",
        "      DX    column interval.\n",
        "      DY    row interval.\n",
    };
    printModuleUsage(prog,
                     "Usage: %s -in IN -out OUT -ic IC -ir IR -oc OC -or OR -r R -c C -b B -o O -cmp CMP -u U -ind "
                     "IND -imgid IMG -pixel PX -nbands NB -ev EV -pc PC -dx DX -dy DY\n",
                     {kCopyUsageImages, operation, kCopyUsageOutput, own});
}

bool fail(const char *message)
{
    conEprintf("%s", message);
    return false;
}

struct TransRun {
    RamImage *in = nullptr, *out = nullptr;
    int op = OP_CP;
    long ic = 0, ir = 0, oc = 0, orow = 0, ri = 0, ci = 0;
    int dx = 1, dy = 1;
    long outCols = 0;  // output columns written per row
    bool inPalette = false, outPalette = false;
    std::vector<BandPair> pairs;  // 1-based, 0 the colour index
    EigenBasis basis;
    std::vector<int> components;
};

// The pairs from -b or the defaults, checked against both images and the
// operation.
bool bandPairs(const char *text, TransRun &t)
{
    const bool pc = t.op == OP_PC || t.op == OP_RPC;
    const int inCount = t.inPalette ? 3 : t.in->def.nbands, outCount = t.outPalette ? 3 : t.out->def.nbands;
    if (text) {
        if (!parseBandList(text, &t.pairs, true)) return fail("Invalid band specification.\n");
    } else if (t.outPalette) {
        t.pairs.push_back({t.inPalette ? 0 : 1, 0});
    } else {
        const int from = t.op == OP_PC ? static_cast<int>(t.components.size())
                                       : t.op == OP_RPC ? static_cast<int>(t.basis.bands.size()) : inCount;
        for (int b = 1; b <= std::min(from, outCount); ++b) t.pairs.push_back({b, b});
    }
    const int eigenLimit = t.op == OP_PC ? static_cast<int>(t.components.size()) : static_cast<int>(t.basis.bands.size());
    for (size_t k = 0; k < t.pairs.size(); ++k) {
        const BandPair &p = t.pairs[k];
        if ((!pc && p.in > inCount) || p.out > outCount) return fail("Error in band params.\n");
        if ((p.in == 0 && !t.inPalette) || (p.out == 0 && !t.outPalette)) return fail("Invalid indice.\n");
        if (t.outPalette) {
            if (t.inPalette && (p.in != 0 || p.out != 0))
                return fail("Invalid band number of an input/output index image.\n");
            if (p.out != 0) return fail("Invalid band number of an output index image.\n");
            if (t.op != OP_RSP && t.op != OP_CP) return fail("Index output image for the operation is not supported.\n");
        } else if (p.in == 0 && t.op != OP_RSP && t.op != OP_CP) {
            return fail("Index image for the operation is not supported.\n");
        }
        if (pc && p.in > eigenLimit) {
            conEprintf("Invalid eigen vector features - nBands:%d k:%d bi:%d maxb:%d\n",
                       static_cast<int>(t.basis.bands.size()), static_cast<int>(k), p.in, eigenLimit);
            return false;
        }
    }
    return true;
}

// Reads the pair's input band of row `row`, every dx-th of `count` columns
// from ic. On a palette image band 0 is the index and bands 1..3 the red,
// green and blue of the index's colour.
void readPairBand(const TransRun &t, int row, int band, int count, int step, double *out)
{
    const int stored = t.inPalette ? 0 : band - 1;
    if (step == 1)
        readRowDoubles(t.in, row, stored, static_cast<int>(t.ic), count, out);
    else
        readLineDoubles(t.in, row, stored, static_cast<int>(t.ic), count, step, out);
    if (t.inPalette && band > 0) {
        const int last = std::max(0, std::min(t.in->def.nindices, 256) - 1);
        for (int j = 0; j < count; ++j) {
            const int v = std::clamp(static_cast<int>(out[j]), 0, last);
            out[j] = t.in->def.palette[v][band - 1];
        }
    }
}

int outBandOf(const BandPair &p) { return std::max(p.out - 1, 0); }

double pixelBias(int pixel)
{
    switch (pixel) {
    case PIX_BYTE: return 127.5;
    case PIX_USHORT: return 32767.0;
    case PIX_4BITS: return 7.5;
    default: return 0.0;
    }
}

bool cancelled()
{
    if (checkRimageStatus() != STATUS_ABORT) return false;
    conEprintf("rimage trans canceled...\n");
    return true;
}

// CP, RSP, BIN and AVG.
bool runCopy(const TransRun &t)
{
    const bool block = t.op == OP_BIN || t.op == OP_AVG;
    const int step = block ? 1 : t.dx;
    const long readCols = block ? t.ci : t.outCols;
    GmemArray<double> row, sums, counts;
    if (!row.allocate(static_cast<size_t>(readCols) + 1) || !sums.allocate(static_cast<size_t>(t.outCols) + 1)) {
        conPrintf("Error in memory allocation.\n");
        return false;
    }
    MeterProgress meter{kMeterNames[t.op], 0.0f};
    long k = 0;
    for (long i = 0; i < t.ri; i += t.dy, ++k) {
        if (cancelled()) break;
        const int orow = static_cast<int>(t.orow + k);
        for (const BandPair &p : t.pairs) {
            if (!block) {
                readPairBand(t, static_cast<int>(t.ir + i), p.in, static_cast<int>(readCols), step, row.get());
            } else {
                std::fill(sums.get(), sums.get() + t.outCols, 0.0);
                const long rowsHere = std::min<long>(t.dy, t.ri - i);
                for (long r = 0; r < rowsHere; ++r) {
                    readPairBand(t, static_cast<int>(t.ir + i + r), p.in, static_cast<int>(t.ci), 1, row.get());
                    addColumnGroups(row.get(), static_cast<int>(t.ci), t.dx, sums.get());
                }
                if (t.op == OP_AVG)
                    for (long j = 0; j < t.outCols; ++j) {
                        // A block cut by the input's edge holds fewer pixels.
                        const long colsHere = std::min<long>(t.dx, t.ci - j * t.dx);
                        sums[j] /= static_cast<double>(rowsHere * colsHere);
                    }
                std::copy(sums.get(), sums.get() + t.outCols, row.get());
            }
            writeRowDoubles(t.out, orow, outBandOf(p), static_cast<int>(t.oc), static_cast<int>(t.outCols), row.get());
        }
        meter.step(i, t.ri);
    }
    meter.finish();
    return true;
}

// PC and RPC.
bool runComponents(const TransRun &t)
{
    const int nb = static_cast<int>(t.basis.bands.size()), nc = static_cast<int>(t.components.size());
    const size_t n = static_cast<size_t>(t.outCols) + 1;
    GmemArray<double> xs, cs, result;
    if (!xs.allocate(n * nb) || !cs.allocate(n * nc) || !result.allocate(n)) {
        conPrintf("Error in memory allocation.\n");
        return false;
    }
    std::vector<const double *> x(static_cast<size_t>(nb)), c(static_cast<size_t>(nc));
    for (int b = 0; b < nb; ++b) x[b] = xs.get() + b * n;
    for (int k = 0; k < nc; ++k) c[k] = cs.get() + k * n;
    // Offsets of the chosen components: minus the projected means, plus the
    // bias that centres a PC output in its pixel type.
    const double bias = t.op == OP_PC ? pixelBias(t.out->def.pixel) : 0.0;
    std::vector<double> offset(static_cast<size_t>(nc));
    for (int k = 0; k < nc; ++k) {
        const std::vector<double> &w = t.basis.weights[t.components[k]];
        double s = 0;
        for (int b = 0; b < nb; ++b) s += w[b] * t.basis.mean[b];
        offset[k] = bias - s;
    }
    // RPC: the pair's file band rebuilt from the components.
    std::vector<double> rebuild(static_cast<size_t>(nc));
    MeterProgress meter{kMeterNames[t.op], 0.0f};
    const int cols = static_cast<int>(t.outCols);
    long k = 0;
    for (long i = 0; i < t.ri; i += t.dy, ++k) {
        if (cancelled()) break;
        const int row = static_cast<int>(t.ir + i), orow = static_cast<int>(t.orow + k);
        for (int b = 0; b < nb; ++b) {
            auto *dst = const_cast<double *>(x[b]);
            if (t.dx == 1)
                readRowDoubles(t.in, row, t.basis.bands[b], static_cast<int>(t.ic), cols, dst);
            else
                readLineDoubles(t.in, row, t.basis.bands[b], static_cast<int>(t.ic), cols, t.dx, dst);
        }
        if (t.op == OP_PC) {
            for (const BandPair &p : t.pairs) {
                const int comp = p.in - 1;
                projectRow(x.data(), t.basis.weights[t.components[comp]].data(), nb, offset[comp], cols,
                           result.get());
                writeRowDoubles(t.out, orow, outBandOf(p), static_cast<int>(t.oc), cols, result.get());
            }
        } else {
            for (int q = 0; q < nc; ++q)
                projectRow(x.data(), t.basis.weights[t.components[q]].data(), nb, offset[q], cols,
                           const_cast<double *>(c[q]));
            for (const BandPair &p : t.pairs) {
                const int b = p.in - 1;
                for (int q = 0; q < nc; ++q) rebuild[q] = t.basis.rebuild[t.components[q]][b];
                projectRow(c.data(), rebuild.data(), nc, t.basis.mean[b], cols, result.get());
                writeRowDoubles(t.out, orow, outBandOf(p), static_cast<int>(t.oc), cols, result.get());
            }
        }
        meter.step(i, t.ri);
    }
    meter.finish();
    return true;
}

// Whether writing the output would overwrite input pixels still to be read.
bool overlapsItself(const TransRun &t)
{
    if (t.in != t.out) return false;
    std::vector<int> read, written;
    if (t.op == OP_PC || t.op == OP_RPC)
        read = t.basis.bands;
    for (const BandPair &p : t.pairs) {
        if (t.op != OP_PC && t.op != OP_RPC) read.push_back(t.inPalette ? 0 : p.in - 1);
        written.push_back(outBandOf(p));
    }
    bool shared = false;
    for (int b : written) shared = shared || std::find(read.begin(), read.end(), b) != read.end();
    const long outRows = (t.ri + t.dy - 1) / t.dy;
    const bool rows = t.orow < t.ir + t.ri && t.ir < t.orow + outRows;
    const bool cols = t.oc < t.ic + t.ci && t.ic < t.oc + t.outCols;
    return shared && rows && cols;
}

}  // namespace

int transModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr},    {"-out", nullptr}, {"-ic", nullptr},     {"-ir", nullptr},
                           {"-oc", nullptr},    {"-or", nullptr},  {"-r", nullptr},      {"-c", nullptr},
                           {"-b", nullptr},     {"-o", nullptr},   {"-cmp", nullptr},    {"-u", nullptr},
                           {"-ind", nullptr},   {"-imgid", nullptr}, {"-pixel", nullptr}, {"-nbands", nullptr},
                           {"-dx", nullptr},    {"-dy", nullptr},  {"-ev", nullptr},     {"-pc", nullptr},
                           {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, transUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const int update = optionInt(opt("-u"), 1);
    if (update < 0 || update > 2) {
        conEprintf("invalid update flag (must be 0,1,or 2).\n");
        return MODULE_FAILED;
    }
    const char *inName = opt("-in"), *outName = opt("-out"), *evName = opt("-ev");
    if (!inName) {
        conEprintf("Missing input file.\n");
        return MODULE_FAILED;
    }
    if (!outName) {
        conEprintf("Missing output file.\n");
        return MODULE_FAILED;
    }
    TransRun t;
    t.op = evName ? OP_PC : OP_CP;
    if (const char *o = opt("-o")) {
        t.op = -1;
        for (int i = 0; i < 6; ++i)
            if (strcasecmp(o, kOpNames[i]) == 0) t.op = i;
        if (t.op < 0) {
            conEprintf("Unknown operation.\n");
            return MODULE_FAILED;
        }
    }
    const bool pc = t.op == OP_PC || t.op == OP_RPC;
    if (evName && !pc) {
        conEprintf("Invalid operation with the -ev option.\n");
        return MODULE_FAILED;
    }
    if (pc && !evName) {
        conEprintf("Eigen vector file missing.\n");
        return MODULE_FAILED;
    }
    t.dx = std::max(1, optionInt(opt("-dx"), 1));
    t.dy = std::max(1, optionInt(opt("-dy"), 1));

    FeaturePtr eigen;
    if (pc) {
        eigen.reset(getFeature(evName, kEigenFeatureId));
        if (!eigen) {
            conEprintf("Error in get eigen features.\n");
            return MODULE_FAILED;
        }
    }
    ModuleImage in(openModuleInput(inName, "Error in open %s.\n"));
    if (!in) return MODULE_FAILED;
    if (pc) {
        if (!eigenBasis(eigen.get(), in->def.nbands, &t.basis)) {
            conEprintf("Error in get eigen features.\n");
            return MODULE_FAILED;
        }
        const int count = static_cast<int>(t.basis.weights.size());
        if (const char *list = opt("-pc")) {
            if (!parseComponents(list, count, &t.components)) {
                conEprintf("Error in parse pc bands.\n");
                return MODULE_FAILED;
            }
        } else {
            for (int k = 0; k < count; ++k) t.components.push_back(k);
        }
        eigen.reset();
    }
    // A new output has the input's size divided by the intervals; PC keeps
    // no more bands than the components chosen.
    const int pcBands = t.op == OP_PC ? static_cast<int>(t.components.size()) : 0;
    auto change = [&](ImageDef &def) {
        def.rows /= t.dy;
        def.columns /= t.dx;
        const bool ok = def.rows > 0 && def.columns > 0 && outputTypeOptions(def, opts);
        if (!opt("-nbands") && pcBands > 0) def.nbands = std::min(def.nbands, pcBands);
        fileOutputDef(def);
        return ok;
    };
    ModuleImage out(openModuleOutput(outName, in->def, change, OutputPalette::Input, "Error in open %s.\n"));
    if (!out) return MODULE_FAILED;
    const int cmp = optionInt(opt("-cmp"), 90);
    if (in->def.imgid == IMG_JPEG) in->def.block = cmp;
    if (out->def.imgid == IMG_JPEG) out->def.block = cmp;
    t.in = in.get();
    t.out = out.get();
    t.inPalette = in->def.nindices > 0;
    t.outPalette = out->def.nindices > 0;

    const ImageDef &id = in->def, &od = out->def;
    const StepWindow w = moduleWindow(opts, id, od, t.dx, t.dy);
    t.ic = w.ic;
    t.ir = w.ir;
    t.oc = w.oc;
    t.orow = w.orow;
    t.ri = w.ri;
    t.ci = w.ci;
    t.outCols = w.cols;

    if (!bandPairs(opt("-b"), t)) return MODULE_FAILED;
    if (overlapsItself(t)) {
        conEprintf("Error: the output window overlaps the input window of the same image; write to another "
                   "image first.\n");
        return MODULE_FAILED;
    }
    const char *ind = opt("-ind");
    if (ind && strcasecmp(ind, "Y") == 0 && t.inPalette && t.outPalette) {
        const int n = std::min({od.nindices, id.nindices, 256});
        memcpy(out->def.palette, in->def.palette, static_cast<size_t>(n) * 3);
        writeFilePalette(out.get());
    }
    bool ok = true;
    if (t.ri > 0 && t.outCols > 0) ok = pc ? runComponents(t) : runCopy(t);
    meterReset();
    in.release();
    if (!ok) return MODULE_FAILED;
    std::vector<int> written;
    for (const BandPair &p : t.pairs) written.push_back(outBandOf(p));
    applyUpdateFlag(out.get(), update, written);
    return MODULE_DONE;
}

}  // namespace krel
