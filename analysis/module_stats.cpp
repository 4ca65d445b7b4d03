// The statistics modules: gstat (training statistics into a stat file),
// statinfo (listings of feature files) and egv (principal components of one
// stat item). They hold their images for one run and leave the arithmetic to
// the kernels of gstat.h, statinfo.h and eigen.h.
#include <algorithm>
#include <cstring>
#include <vector>

#include "analysis/buffer.h"
#include "analysis/eigen.h"
#include "analysis/feature.h"
#include "analysis/gstat.h"
#include "analysis/modules.h"
#include "analysis/row_helper.h"
#include "analysis/statinfo.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "core/texts.h"
#include "image/modargs.h"
#include "image/module_util.h"
#include "image/modules.h"

namespace krel {

namespace {

// A stat name as the item keeps it: at most 31 characters. Looking an item up
// by the uncut name would never find the item that an earlier run stored.
struct StatName {
    char text[kStatNameSize] = {};
    explicit StatName(const char *name)
    {
        if (name) memcpy(text, name, strnlen(name, kStatNameSize - 1));
    }
};

bool reportUnknown(int unknown)
{
    if (unknown > 0) conEprintf("Error: %d unknown param(s).\n", unknown);
    return unknown > 0;
}

void gstatUsage(const char *prog)
{
    conPrintf("Usage: %s -in IN -out OUT -mask MASK -stat STAT -sr SR -sc SC -r R -c C -b B -dx DX -dy DY "
              "-maskid MASKID\n",
              prog);
    static const char *const lines[] = {
        "where IN   name of the image\n",
        "      OUT  name of the output stat file\n",
        "      MASK name of the mask image file\n",
        "      STAT name of the statistics\n",
        "      SR   start row\n",
        "      SC   start column\n",
        "      R    rows\n",
        "      C    columns\n",
        "      B    image bands\n",
        "      DX   increment of rows\n",
        "      DY   increment of columns\n",
        "      MASKID id of the mask value (default:1)\n",
    };
    for (const char *line : lines) conPrintf("%s", line);
}

// Batches of sampled rows: per row whether it takes part, its mask samples
// and the samples of every band (bytes for BYTE images, summed exactly;
// singles for every other type). The Tcl thread fills one batch through the
// line cache while the helper thread accumulates the other.
class SampleBatch {
public:
    bool allocate(int bands, int samples, bool bytes)
    {
        bands_ = bands;
        samples_ = samples;
        bytes_ = bytes;
        const size_t row = static_cast<size_t>(bands) * std::max(samples, 1) * (bytes ? 1 : sizeof(float));
        capacity_ = static_cast<int>(std::clamp<size_t>((size_t(2) << 20) / row, 1, 64));
        const size_t values = static_cast<size_t>(capacity_) * bands * samples + 1;
        return (bytes ? byteData_.allocate(values) : realData_.allocate(values)) &&
               masks_.allocate(static_cast<size_t>(capacity_) * samples + 1) &&
               selected_.allocate(static_cast<size_t>(capacity_) + 1) &&
               byteRows_.allocate(static_cast<size_t>(bands) + 1) && realRows_.allocate(static_cast<size_t>(bands) + 1);
    }
    int capacity() const { return capacity_; }
    int rows = 0;  // rows filled

    // Tcl thread: fills batch row `i` from image row `r`; a row without any
    // sample of the mask value is marked and not read.
    void read(int i, RamImage *img, RamImage *mask, int maskId, int r, const int32_t *bands,
              const StatRegion &g, const StatAccumulator &acc)
    {
        uint8_t *m = masks_.get() + static_cast<size_t>(i) * samples_;
        selected_[i] = 1;
        if (mask &&
            (!readLineBytes(mask, r, 0, g.sc, g.samples, g.dx, m) || !acc.rowSelected(m, 1, maskId))) {
            selected_[i] = 0;
            return;
        }
        for (int b = 0; b < bands_; ++b) {
            size_t at = (static_cast<size_t>(i) * bands_ + b) * samples_;
            bool ok = bytes_ ? readLineBytes(img, r, bands[b], g.sc, g.samples, g.dx, byteData_.get() + at)
                             : readLineValues(img, r, bands[b], g.sc, g.samples, g.dx, realData_.get() + at);
            if (!ok) selected_[i] = 0;
        }
    }

    // Helper thread: adds the batch's rows.
    void accumulate(StatAccumulator &acc, bool masked, int maskId)
    {
        for (int i = 0; i < rows; ++i) {
            if (!selected_[i]) continue;
            const uint8_t *m = masked ? masks_.get() + static_cast<size_t>(i) * samples_ : nullptr;
            for (int b = 0; b < bands_; ++b) {
                size_t at = (static_cast<size_t>(i) * bands_ + b) * samples_;
                if (bytes_)
                    byteRows_[b] = byteData_.get() + at;
                else
                    realRows_[b] = realData_.get() + at;
            }
            if (bytes_)
                acc.addRow(byteRows_.get(), 1, m, maskId);
            else
                acc.addRow(realRows_.get(), 1, m, maskId);
        }
    }

private:
    int bands_ = 0, samples_ = 0, capacity_ = 1;
    bool bytes_ = true;
    GmemArray<uint8_t> byteData_, masks_, selected_;
    GmemArray<float> realData_;
    GmemArray<uint8_t *> byteRows_;
    GmemArray<float *> realRows_;
};

}  // namespace

int gstatModule(const char *prog, int argc, const char **argv)
{
    if (argc == 0) {
        gstatUsage(prog);
        return MODULE_USAGE;
    }
    ModuleOption opts[] = {{"-in", nullptr}, {"-out", nullptr}, {"-stat", nullptr}, {"-mask", nullptr},
                           {"-sr", nullptr}, {"-sc", nullptr},  {"-r", nullptr},    {"-c", nullptr},
                           {"-b", nullptr},  {"-dx", nullptr},  {"-dy", nullptr},   {"-maskid", nullptr},
                           {nullptr, nullptr}};
    if (reportUnknown(parseModuleArgs(opts, argc, argv))) return MODULE_FAILED;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };

    const char *inName = opt("-in");
    if (!inName) {
        conEprintf("Image file missing.\n");
        return MODULE_FAILED;
    }
    ModuleImage in(openModuleInput(inName, "Error in open %s.\n"));
    if (!in) return MODULE_FAILED;
    const int maskId = optionInt(opt("-maskid"), 1);
    ModuleImage mask;
    if (const char *maskName = opt("-mask")) {
        mask.reset(openModuleInput(maskName, "Error in open %s.\n"));
        if (!mask) return MODULE_FAILED;
        if (mask->def.rows != in->def.rows || mask->def.columns != in->def.columns) {
            conEprintf("%s", texts::kMaskRowsColumns);
            return MODULE_FAILED;
        }
    }
    if (!opt("-stat")) {
        conEprintf("Stat name missing.\n");
        return MODULE_FAILED;
    }
    const char *outName = opt("-out");
    if (!outName) {
        conEprintf("Output stat file missing.\n");
        return MODULE_FAILED;
    }
    const int imageBands = in->def.nbands;
    std::vector<int32_t> bands;
    if (const char *b = opt("-b")) {
        std::vector<BandPair> pairs;
        if (!parseBandList(b, &pairs)) {
            conEprintf("Invalid band specification.\n");
            return MODULE_FAILED;
        }
        for (const BandPair &p : pairs) {
            if (p.in < 1 || p.in > imageBands) {
                conEprintf("Error in band params.\n");
                return MODULE_FAILED;
            }
            bands.push_back(p.in - 1);
        }
    } else {
        for (int b = 0; b < imageBands; ++b) bands.push_back(b);
    }
    StatRegion region;
    if (!statRegion(in->def.rows, in->def.columns, opt("-sr"), opt("-sc"), opt("-r"), opt("-c"), opt("-dx"),
                    opt("-dy"), &region))
        return MODULE_FAILED;

    const StatName stat(opt("-stat"));
    int index = 0;
    FeaturePtr block = openStatTarget(outName, stat.text, bands.data(), static_cast<int>(bands.size()),
                                      in->def.file, &index);
    if (!block) return MODULE_FAILED;
    // An existing file decides the bands; it is untrusted and may name bands
    // this image does not have.
    const int n = getFeatureInfo(block.get(), FINFO_PARAMS);
    bands.assign(static_cast<size_t>(n), 0);
    for (int b = 0; b < n; ++b) {
        bands[b] = getFeatureParam(block.get(), b);
        if (bands[b] < 0 || bands[b] >= imageBands) {
            conEprintf("Error in gstat: band %d of %s is not in the image.\n", bands[b] + 1, outName);
            return MODULE_FAILED;
        }
    }

    StatAccumulator acc;
    if (!acc.init(n, region.samples)) return MODULE_FAILED;
    SampleBatch batches[2];
    const bool bytes = in->def.pixel == PIX_BYTE;
    if (!batches[0].allocate(n, region.samples, bytes) || !batches[1].allocate(n, region.samples, bytes)) {
        conEprintf("Error in gmemAlloc.\n");
        return MODULE_FAILED;
    }
    MeterProgress meter{"gstats", 0.05f};
    bool cancelled = false;
    int next = region.sr;  // the next image row to read
    const int end = region.sr + region.rows;
    // Tcl thread: fills a batch with the next rows, polling the status and
    // moving the meter once per row.
    auto fill = [&](SampleBatch &batch) {
        batch.rows = 0;
        while (!cancelled && batch.rows < batch.capacity() && next < end) {
            if (checkRimageStatus() == STATUS_ABORT) {
                conEprintf("rimage gstat canceled...\n");
                cancelled = true;
                break;
            }
            batch.read(batch.rows++, in.get(), mask.get(), maskId, next, bands.data(), region, acc);
            meter.step(next - region.sr, region.rows);
            next += region.dy;
        }
    };
    // While the helper accumulates one batch the Tcl thread reads the next.
    RowHelper helper;
    int current = 0;
    fill(batches[current]);
    while (batches[current].rows > 0 && !cancelled) {
        auto job = [&](int part) {
            if (part == 1)
                batches[current].accumulate(acc, mask.get() != nullptr, maskId);
            else
                fill(batches[1 - current]);
        };
        helper.run(job);
        current = 1 - current;
    }
    acc.finish();
    meter.finish();
    meterReset();
    in.release();
    mask.release();
    // A cancelled run leaves the file as it was: part of a class is not its
    // statistics.
    if (cancelled) return MODULE_DONE;
    switch (acc.poolInto(statItem(block.get(), index))) {
        case PoolResult::Failed:
            return MODULE_FAILED;
        case PoolResult::Empty:
            return MODULE_DONE;
        case PoolResult::Pooled:
            break;
    }
    return saveFeature(outName, block.get()) ? MODULE_DONE : MODULE_FAILED;
}

int statinfoModule(const char *prog, int argc, const char **argv)
{
    if (argc == 0) {
        statinfoUsage(prog);
        return MODULE_USAGE;
    }
    ModuleOption opts[] = {
        {"-in", nullptr}, {"-stat", nullptr}, {"-inv", nullptr}, {"-info", nullptr}, {nullptr, nullptr}};
    if (reportUnknown(parseModuleArgs(opts, argc, argv))) return MODULE_FAILED;
    StatInfoOptions o;
    o.in = moduleOption(opts, "-in");
    const char *statText = moduleOption(opts, "-stat");
    const StatName stat(statText);
    o.stat = statText ? stat.text : nullptr;
    o.inv = moduleOption(opts, "-inv");
    o.info = moduleOption(opts, "-info");
    return statinfoRun(o) ? MODULE_DONE : MODULE_FAILED;
}

int egvModule(const char *prog, int argc, const char **argv)
{
    if (argc == 0) {
        egvUsage(prog);
        return MODULE_USAGE;
    }
    ModuleOption opts[] = {{"-in", nullptr},    {"-out", nullptr}, {"-stat", nullptr}, {"-id", nullptr},
                           {"-negvs", nullptr}, {"-o", nullptr},   {"-iter", nullptr}, {"-err", nullptr},
                           {nullptr, nullptr}};
    if (reportUnknown(parseModuleArgs(opts, argc, argv))) return MODULE_FAILED;
    EgvOptions o;
    o.in = moduleOption(opts, "-in");
    o.out = moduleOption(opts, "-out");
    const char *statText = moduleOption(opts, "-stat");
    const StatName stat(statText);
    o.stat = statText ? stat.text : nullptr;
    o.id = moduleOption(opts, "-id");
    o.negvs = moduleOption(opts, "-negvs");
    o.o = moduleOption(opts, "-o");
    o.iter = moduleOption(opts, "-iter");
    o.err = moduleOption(opts, "-err");
    return egvRun(o) ? MODULE_DONE : MODULE_FAILED;
}

}  // namespace krel
