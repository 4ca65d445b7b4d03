// calc: band ratios, stretches, de-vignetting, linear combinations, averages
// and normalisation, computed row by row in single precision.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/band_io.h"
#include "analysis/buffer.h"
#include "analysis/calc.h"
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

constexpr int kMaxCalcBands = 8192;
constexpr int kMaxCalcParams = 16384;
constexpr float kGuard = 1e-30f;

struct FunctionInfo {
    const char *name;
    const char *meter;
};
const FunctionInfo kFunctions[] = {
    {"dratio", "dratio"}, {"ratio", "radio"}, {"nratio", "nradio"}, {"stretch", "stretch"},
    {"dev", "dev"},       {"linear", "linear"}, {"avg", "pavg"},    {"norm", "normalize"},
};

// Comma- (or blank-) separated numbers; false for a word that is not one or
// for more than `most` of them.
template <class T, class Read>
bool parseList(const char *text, int most, std::vector<T> *out, Read read)
{
    out->clear();
    const char *p = text;
    for (;;) {
        while (*p == ',' || isspace(static_cast<unsigned char>(*p))) ++p;
        if (!*p) return true;
        char *end = nullptr;
        errno = 0;
        T v = read(p, &end);
        if (end == p || errno == ERANGE || (*end && *end != ',' && !isspace(static_cast<unsigned char>(*end))))
            return false;
        if (static_cast<int>(out->size()) == most) return false;
        out->push_back(v);
        p = end;
    }
}

bool parseInts(const char *text, std::vector<int> *out)
{
    return parseList(text, kMaxCalcBands, out, [](const char *p, char **end) {
        long v = strtol(p, end, 10);
        return static_cast<int>(std::clamp<long>(v, -1, 1L << 30));
    });
}

bool parseReals(const char *text, std::vector<float> *out)
{
    return parseList(text, kMaxCalcParams, out, [](const char *p, char **end) { return strtof(p, end); });
}

bool fail(const char *message)
{
    conEprintf("%s\n", message);
    return false;
}

bool allWithin(const std::vector<int> &bands, int count)
{
    for (int b : bands)
        if (b < 1 || b > count) return false;
    return true;
}

// The messages of the functions that make one output band per input band,
// and of the one-band functions.
struct Messages {
    const char *count;         // wrong number of input bands
    const char *range;         // input band out of range
    const char *inconsistent;  // -ob and -b of different lengths
    const char *outRange;      // output band out of range (or not band 1)
    const char *params;        // invalid parameters
};

// Input bands: the list given (1-based) or every band.
bool inputBands(const CalcRequest &r, const Messages &m, std::vector<int> *bands)
{
    if (!r.bands) {
        bands->clear();
        for (int b = 1; b <= r.inBands; ++b) bands->push_back(b);
        return true;
    }
    if (!parseInts(r.bands, bands)) return fail(m.params);
    return true;
}

// One output band per input band: -ob as many as the inputs, else the k-th
// input to output band k.
bool perBandOutputs(const CalcRequest &r, const Messages &m, size_t count, std::vector<int> *out)
{
    out->clear();
    if (r.outBands) {
        if (!parseInts(r.outBands, out)) return fail(m.params);
        if (out->size() != count) return fail(m.inconsistent);
    } else {
        for (size_t k = 1; k <= count; ++k) out->push_back(static_cast<int>(k));
    }
    if (!allWithin(*out, r.outBandCount)) return fail(m.outRange);
    return true;
}

// A one-band function: -ob, when given, must name band 1 (ratio and nratio:
// any one band of the output).
bool singleOutput(const CalcRequest &r, const Messages &m, bool anyBand, std::vector<int> *out)
{
    out->assign(1, 1);
    if (!r.outBands) return r.outBandCount >= 1 || fail(m.outRange);
    std::vector<int> list;
    if (!parseInts(r.outBands, &list) || list.size() != 1) return fail(m.outRange);
    if (anyBand ? list[0] < 1 || list[0] > r.outBandCount : list[0] != 1) return fail(m.outRange);
    (*out)[0] = list[0];
    return true;
}

// Parameters: at most `most`, the rest from the defaults.
bool parameters(const CalcRequest &r, const Messages &m, size_t most, std::vector<float> defaults,
                std::vector<float> *par, size_t *count = nullptr)
{
    std::vector<float> given;
    if (r.par && !parseReals(r.par, &given)) return fail(m.params);
    if (given.size() > most) return fail(m.params);
    if (count) *count = given.size();
    *par = std::move(defaults);
    if (par->size() < given.size()) par->resize(given.size());
    std::copy(given.begin(), given.end(), par->begin());
    return true;
}

void zeroBased(std::vector<int> *bands)
{
    for (int &b : *bands) --b;
}

bool setupNorm(const CalcRequest &r, CalcSetup *s)
{
    std::vector<int> bands, outs, parBands;
    if (r.bands) {
        if (!parseInts(r.bands, &bands)) return fail("invalid input/output bands");
    } else {
        for (int b = 1; b <= r.inBands; ++b) bands.push_back(b);
    }
    if (bands.empty() || !allWithin(bands, r.inBands)) return fail("input band out of range");
    if (r.outBands) {
        if (!parseInts(r.outBands, &outs) || outs.size() != bands.size()) return fail("invalid input/output bands");
    } else {
        for (size_t k = 1; k <= bands.size(); ++k) outs.push_back(static_cast<int>(k));
    }
    if (!allWithin(outs, r.outBandCount)) return fail("output band out of range");
    if (r.par) {
        if (!parseInts(r.par, &parBands) || parBands.empty()) return fail("invalid par specification");
    } else {
        parBands = bands;
    }
    if (!allWithin(parBands, r.inBands)) return fail("par band out of range");
    // The bands averaged are read once each, after the listed ones.
    s->inBands = bands;
    for (int b : parBands) {
        auto at = std::find(s->inBands.begin(), s->inBands.end(), b);
        if (at == s->inBands.end()) at = s->inBands.insert(s->inBands.end(), b);
        s->parRows.push_back(static_cast<int>(at - s->inBands.begin()));
    }
    s->outBands = outs;
    return true;
}

}  // namespace

int calcFunctionCode(const char *name)
{
    if (!name) return -1;
    for (int i = 0; i < static_cast<int>(sizeof kFunctions / sizeof kFunctions[0]); ++i)
        if (strcasecmp(name, kFunctions[i].name) == 0) return i;
    return -1;
}

bool setupCalc(const CalcRequest &r, CalcSetup *s)
{
    *s = CalcSetup{};
    s->function = calcFunctionCode(r.function);
    if (s->function < 0) return fail("Undefined module.");
    s->meterName = kFunctions[s->function].meter;
    std::vector<int> bands;
    switch (s->function) {
    case CALC_RATIO:
    case CALC_NRATIO: {
        const bool ratio = s->function == CALC_RATIO;
        const Messages m = ratio ? Messages{"ratio: Input bands must be two.", "ratio: Input band out of range.", "",
                                            "ratio: invalid output band.", "ratio: Invalid parameter(s)."}
                                 : Messages{"nratio: Input bands must be two.", "nratio: Input band out of range.", "",
                                            "nratio: invalid output band.", "nratio: Invalid parameter(s)."};
        if (!inputBands(r, m, &bands)) return false;
        if (bands.size() != 2) return fail(m.count);
        if (!allWithin(bands, r.inBands)) return fail(m.range);
        if (!singleOutput(r, m, true, &s->outBands)) return false;
        if (!parameters(r, m, ratio ? 4 : 5, ratio ? std::vector<float>{1, 0, 0, 0} : std::vector<float>{0, 0, 1, 1, 0},
                        &s->par))
            return false;
        break;
    }
    case CALC_DRATIO: {
        const Messages m{"dratio: Input bands must be four.", "dratio: Input band out of range.", "",
                         "dratio: Output band must be 1.", "dratio: Invalid parameter(s)."};
        if (!inputBands(r, m, &bands)) return false;
        if (bands.size() != 4) return fail(m.count);
        if (!allWithin(bands, r.inBands)) return fail(m.range);
        if (!singleOutput(r, m, false, &s->outBands)) return false;
        size_t given = 0;
        if (!parameters(r, m, 2, {1, 0}, &s->par, &given)) return false;
        if (given == 1) return fail(m.params);  // none or both
        break;
    }
    case CALC_STRETCH:
    case CALC_DEV: {
        const bool dev = s->function == CALC_DEV;
        const Messages m = dev ? Messages{"DEV: Too many input bands.", "DEV: Input band out of range.",
                                          "DEV: Inconsistant output and input bands.", "DEV: Output band is out of range.",
                                          "DEV: Invalid parameter(s)."}
                               : Messages{"stretch: Too many input bands.", "stretch: Input band out of range.",
                                          "stretch: Inconsistant output and input bands.",
                                          "stretch: Output band is out of range.", "stretch: Invalide parameter(s)."};
        if (!inputBands(r, m, &bands)) return false;
        if (static_cast<int>(bands.size()) > r.inBands) return fail(m.count);
        if (bands.empty() || !allWithin(bands, r.inBands)) return fail(m.range);
        if (!perBandOutputs(r, m, bands.size(), &s->outBands)) return false;
        if (dev) {
            const std::vector<float> defaults{2.0f, 1.5f, 50.0f, 8.0f, 0.0068f, 0.0068f, r.columns / 2.0f,
                                              r.rows / 2.0f};
            if (!parameters(r, m, kMaxCalcParams, defaults, &s->par)) return false;
            s->par[0] *= 2.0f;
            if (s->par[3] == 0.0f || !std::isfinite(s->par[3])) return fail(m.params);
            // Band k is weighted by parameter k; bands past the parameters get 0.
            if (s->par.size() < bands.size()) s->par.resize(bands.size(), 0.0f);
        } else {
            std::vector<float> defaults;
            for (size_t k = 0; k < bands.size(); ++k) defaults.insert(defaults.end(), {1.0f, 0.0f});
            if (!parameters(r, m, 2 * bands.size(), defaults, &s->par)) return false;
        }
        break;
    }
    case CALC_LINEAR:
    case CALC_AVG: {
        const bool linear = s->function == CALC_LINEAR;
        const Messages m = linear ? Messages{"linear: Too many input bands.", "linear: Input band out of range.", "",
                                             "linear: output band must be 1.", "linear: invalide parameter(s)."}
                                  : Messages{"avg: Too many input bands.", "avg: Input band out of range.", "",
                                             "avg: output band must be 1.", "avg: invalide parameter(s)."};
        if (!inputBands(r, m, &bands)) return false;
        if (static_cast<int>(bands.size()) > r.inBands) return fail(m.count);
        if (bands.empty() || !allWithin(bands, r.inBands)) return fail(m.range);
        if (!singleOutput(r, m, false, &s->outBands)) return false;
        if (linear) {
            if (!parameters(r, m, bands.size() + 1, std::vector<float>(bands.size() + 1, 0.0f), &s->par)) return false;
        } else if (!parameters(r, m, 1, {3.4028235e38f}, &s->par)) {
            return false;
        }
        break;
    }
    case CALC_NORM:
        if (!setupNorm(r, s)) return false;
        zeroBased(&s->inBands);
        zeroBased(&s->outBands);
        return true;
    }
    s->inBands = bands;
    zeroBased(&s->inBands);
    zeroBased(&s->outBands);
    return true;
}

namespace {

inline float guarded(float d) { return d == 0.0f ? kGuard : d; }

KREL_VECTOR_CLONES
void ratioRow(const float *a, const float *b, float *out, int n, float p0, float p1, float p2, float p3)
{
    for (int j = 0; j < n; ++j) out[j] = (a[j] - p2) / guarded(b[j] - p3) * p0 + p1;
}

KREL_VECTOR_CLONES
void nratioRow(const float *a, const float *b, float *out, int n, const float *p)
{
    for (int j = 0; j < n; ++j) {
        const float x = a[j] - p[0], y = (b[j] - p[1]) * p[2];
        out[j] = (x - y) / guarded(x + y) * p[3] + p[4];
    }
}

KREL_VECTOR_CLONES
void dratioRow(const float *const *in, float *out, int n, float p0, float p1)
{
    const float *a = in[0], *b = in[1], *c = in[2], *d = in[3];
    for (int j = 0; j < n; ++j) out[j] = (a[j] - b[j]) / guarded(c[j] - d[j]) * p0 + p1;
}

KREL_VECTOR_CLONES
void stretchRow(const float *in, float *out, int n, float gain, float offset)
{
    for (int j = 0; j < n; ++j) out[j] = (in[j] - offset) * gain;
}

KREL_VECTOR_CLONES
void scaleAddRow(const float *in, float *out, int n, float c)
{
    for (int j = 0; j < n; ++j) out[j] += in[j] * c;
}

KREL_VECTOR_CLONES
void divideRow(const float *in, const float *by, float *out, int n)
{
    for (int j = 0; j < n; ++j) out[j] = in[j] / guarded(by[j]);
}

}  // namespace

void calcRow(const CalcSetup &s, int row, int n, const float *const *in, float *const *out)
{
    const std::vector<float> &p = s.par;
    const size_t bands = s.inBands.size();
    switch (s.function) {
    case CALC_RATIO: ratioRow(in[0], in[1], out[0], n, p[0], p[1], p[2], p[3]); break;
    case CALC_NRATIO: nratioRow(in[0], in[1], out[0], n, p.data()); break;
    case CALC_DRATIO: dratioRow(in, out[0], n, p[0], p[1]); break;
    case CALC_STRETCH:
        for (size_t k = 0; k < bands; ++k) stretchRow(in[k], out[k], n, p[2 * k], p[2 * k + 1]);
        break;
    case CALC_DEV: {
        const float dy = (static_cast<float>(row) - p[7]) * p[5], p3sq = p[3] * p[3];
        for (int j = 0; j < n; ++j) {
            const float dx = (p[6] - static_cast<float>(j)) * p[4];
            const float rho1 = std::sqrt((dy * dy + dx * dx + p3sq) / p3sq) - 1.0f;
            for (size_t k = 0; k < bands; ++k) out[k][j] = std::exp(p[k] * rho1) * (in[k][j] - p[1]) + p[1];
        }
        break;
    }
    case CALC_LINEAR:
        std::fill(out[0], out[0] + n, p[bands]);
        for (size_t k = 0; k < bands; ++k) scaleAddRow(in[k], out[0], n, p[k]);
        break;
    case CALC_AVG: {
        const float ceiling = p[0], inv = 1.0f / static_cast<float>(bands);
        for (int j = 0; j < n; ++j) {
            float sum = 0.0f;
            bool below = true;
            for (size_t k = 0; k < bands; ++k) {
                sum += in[k][j];
                below = below && in[k][j] < ceiling;
            }
            out[0][j] = below ? sum * inv : ceiling;
        }
        break;
    }
    case CALC_NORM: {
        // The mean of the averaged bands goes into the row after the outputs.
        float *mean = out[s.outBands.size()];
        std::fill(mean, mean + n, 0.0f);
        for (int r : s.parRows) scaleAddRow(in[r], mean, n, 1.0f);
        const float inv = 1.0f / static_cast<float>(s.parRows.size());
        for (int j = 0; j < n; ++j) mean[j] *= inv;
        for (size_t k = 0; k < s.outBands.size(); ++k) divideRow(in[k], mean, out[k], n);
        break;
    }
    }
}

namespace {

void calcUsage(const char *prog)
{
    static const char *const lines[] = {
        "    where\n",
        "    IN        the input image file;\n",
        "    OUT       the output image file;\n",
        "    FNM       the name of the function module:\n",
        "                 DRATIO    band differencial ratio\n",
        "                 RATIO     two band ratio\n",
        "                 NRATIO    normalized two band ratio\n",
        "                 STRETCH   linear stretch;\n",
        "                 DEV       de-vignetting;\n",
        "                 LINEAR    linear combination;\n",
        "                 AVG       averaging;\n",
        "                 NORM      normalize\n",
        "    BNDS      the input bands: b1,b2,... (module dependent);\n",
        "    OBNDS     the band of the output file;\n",
        "    PARS      the input parametes: p1,p2...(module depedent);\n",
    };
    printModuleUsage(prog, "%s -in IN -out OUT -f FNM -b BNDS -ob OBNDS -par PARS\n", lines);
}

}  // namespace

int calcModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr},  {"-out", nullptr},   {"-ob", nullptr},
                           {"-b", nullptr},   {"-par", nullptr},   {"-f", nullptr},
                           {"-imgid", nullptr}, {"-pixel", nullptr}, {"-nbands", nullptr},
                           {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, calcUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const char *inName = opt("-in"), *outName = opt("-out"), *fnm = opt("-f");
    if (!inName) {
        conEprintf("Input image file missing!\n");
        return MODULE_FAILED;
    }
    ModuleImage in(openModuleInput(inName, "Error in open %s.\n"));
    if (!in) return MODULE_FAILED;
    if (!fnm) {
        conEprintf("Module Name missing!\n");
        return MODULE_FAILED;
    }
    if (!outName) {
        conEprintf("Output file missing!\n");
        return MODULE_FAILED;
    }
    if (calcFunctionCode(fnm) < 0) {
        conEprintf("Undefined module.\n");
        return MODULE_FAILED;
    }
    // A new output holds FLOAT values unless -pixel says otherwise.
    auto change = [&](ImageDef &def) {
        def.pixel = PIX_FLOAT;
        const bool ok = outputTypeOptions(def, opts);
        valueOutputDef(def);
        return ok;
    };
    ModuleImage out(
        openModuleOutput(outName, in->def, change, OutputPalette::Ramp, "Error in open %s.\n", "Error in create %s.\n"));
    if (!out) return MODULE_FAILED;
    const int rows = std::min(in->def.rows, out->def.rows), cols = std::min(in->def.columns, out->def.columns);
    CalcRequest request;
    request.function = fnm;
    request.bands = opt("-b");
    request.outBands = opt("-ob");
    request.par = opt("-par");
    request.inBands = in->def.nbands;
    request.outBandCount = out->def.nbands;
    request.rows = rows;
    request.columns = cols;
    CalcSetup setup;
    if (!setupCalc(request, &setup)) return MODULE_FAILED;

    // Input rows, then output rows (norm: one more for the band mean).
    const size_t nIn = setup.inBands.size(), nOut = setup.outBands.size() + 1;
    const size_t width = static_cast<size_t>(std::max(cols, 1));
    GmemArray<float> inRows, outRows;
    if (!inRows.allocate(nIn * width) || !outRows.allocate(nOut * width)) {
        conEprintf("Error of malloc in AllocateMem.\n");
        return MODULE_FAILED;
    }
    std::vector<const float *> inPtr(nIn);
    std::vector<float *> outPtr(nOut);
    for (size_t k = 0; k < nIn; ++k) inPtr[k] = inRows.get() + k * width;
    for (size_t k = 0; k < nOut; ++k) outPtr[k] = outRows.get() + k * width;

    MeterProgress meter{setup.meterName, 0.0f};
    for (int r = 0; r < rows && cols > 0; ++r) {
        if (checkRimageStatus() == STATUS_ABORT) {
            conEprintf("rimage calc canceled...\n");
            break;
        }
        for (size_t k = 0; k < nIn; ++k)
            readRowSingles(in.get(), r, setup.inBands[k], 0, cols, const_cast<float *>(inPtr[k]));
        calcRow(setup, r, cols, inPtr.data(), outPtr.data());
        for (size_t k = 0; k + 1 < nOut; ++k) writeRowSingles(out.get(), r, setup.outBands[k], 0, cols, outPtr[k]);
        meter.step(r, rows);
    }
    meter.finish();
    meterReset();
    in.release();
    // The written bands' statistics are stale: dropped, the file flushed.
    applyUpdateFlag(out.get(), 2, setup.outBands);
    return MODULE_DONE;
}

}  // namespace krel
