// The classification modules: classify (class maps from a stat file by one
// of four decision rules) and dist (distance images from class images).
//
// classify reads the input rows through the line cache on the Tcl thread, in
// batches of rows; the pixel arithmetic of a batch (turning the stored values
// into singles and deciding the pixels) is shared between the Tcl thread and
// one helper thread, each with its own class model and row buffers. Only the
// Tcl thread touches the line cache, the meter and the status poll.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "analysis/buffer.h"
#include "analysis/classify.h"
#include "analysis/dist.h"
#include "analysis/feature.h"
#include "analysis/modules.h"
#include "analysis/row_helper.h"
#include "analysis/simd.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "image/defoptions.h"
#include "image/formats/formats.h"
#include "image/modargs.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"
#include "core/prng.h"

namespace krel {

namespace {

// ---- Input rows -------------------------------------------------------------------
// The stored values of the window's rows are copied out of the line cache as
// they are (one batch of rows, every selected band) and turned into singles
// by whichever thread decides the row. Packed pixels (1 and 4 bits) are
// unpacked into singles while they are copied. ULONG lines hold one byte a
// column in the store (the low byte of each value), read as such.
enum ValueKind { VALUE_SINGLE, VALUE_BYTE, VALUE_SBYTE, VALUE_SHORT, VALUE_USHORT, VALUE_LONG };

int valueKind(int pixel)
{
    switch (pixel) {
        case PIX_BYTE:
        case PIX_ULONG: return VALUE_BYTE;
        case PIX_SBYTE: return VALUE_SBYTE;
        case PIX_SHORT: return VALUE_SHORT;
        case PIX_USHORT: return VALUE_USHORT;
        case PIX_LONG: return VALUE_LONG;
        default: return VALUE_SINGLE;
    }
}

size_t valueSize(int kind)
{
    switch (kind) {
        case VALUE_BYTE:
        case VALUE_SBYTE: return 1;
        case VALUE_SHORT:
        case VALUE_USHORT: return 2;
        default: return 4;
    }
}

template <class T>
inline void widen(const uint8_t *src, int count, float *dst)
{
    for (int i = 0; i < count; ++i) {
        T v;
        memcpy(&v, src + static_cast<size_t>(i) * sizeof(T), sizeof(T));
        dst[i] = static_cast<float>(v);
    }
}

KREL_VECTOR_CLONES
void toSingles(int kind, const uint8_t *src, int count, float *dst)
{
    switch (kind) {
        case VALUE_BYTE: widen<uint8_t>(src, count, dst); break;
        case VALUE_SBYTE: widen<int8_t>(src, count, dst); break;
        case VALUE_SHORT: widen<int16_t>(src, count, dst); break;
        case VALUE_USHORT: widen<uint16_t>(src, count, dst); break;
        case VALUE_LONG: widen<int32_t>(src, count, dst); break;
        default: memcpy(dst, src, static_cast<size_t>(count) * sizeof(float)); break;
    }
}

class RowBatch {
public:
    bool allocate(const RamImage *img, int bands, int columns)
    {
        kind_ = valueKind(img->def.pixel);
        unpack_ = kind_ == VALUE_SINGLE && img->def.pixel != PIX_FLOAT;
        size_ = valueSize(kind_);
        bands_ = bands;
        columns_ = columns;
        // About 4 MiB of stored values, at least two rows (one per thread).
        size_t row = static_cast<size_t>(bands) * static_cast<size_t>(std::max(columns, 1)) * size_;
        capacity_ = static_cast<int>(std::clamp<size_t>((size_t(4) << 20) / row, 2, 64));
        return data_.allocate(row * capacity_ + 1);
    }
    int capacity() const { return capacity_; }
    int kind() const { return kind_; }
    const uint8_t *at(int row, int band) const
    {
        return data_.get() + (static_cast<size_t>(row) * bands_ + band) * columns_ * size_;
    }
    // Tcl thread: copies image row `imageRow` of every listed band, columns
    // first..first+columns-1, into batch row `row`.
    void read(RamImage *img, int imageRow, const int *bands, int first, int row)
    {
        for (int b = 0; b < bands_; ++b) {
            auto *dst = const_cast<uint8_t *>(at(row, b));
            bool ok;
            if (unpack_) {
                ok = readLineValues(img, imageRow, bands[b], first, columns_, 1, reinterpret_cast<float *>(dst));
            } else {
                const uint8_t *line = getLine(img, imageRow, bands[b], 1);
                ok = line != nullptr;
                if (ok) memcpy(dst, line + static_cast<size_t>(first) * size_, static_cast<size_t>(columns_) * size_);
            }
            if (!ok) memset(dst, 0, static_cast<size_t>(columns_) * size_);
        }
    }

private:
    int kind_ = VALUE_BYTE, bands_ = 0, columns_ = 0, capacity_ = 0;
    bool unpack_ = false;
    size_t size_ = 1;
    GmemArray<uint8_t> data_;
};

// One thread's share: its class model and its row of singles.
struct Worker {
    ClassModel model;
    ClassLines lines;
};

// Writes one row of class values to band `band` of the output. A BYTE band
// takes the bytes straight into its line; other types go through the
// converting row writer.
void writeClassRow(RamImage *out, int row, int first, int count, int band, const uint8_t *bytes,
                   const int32_t *values, float *scratch)
{
    if (out->def.pixel == PIX_BYTE) {
        const bool whole = first == 0 && count == out->def.columns;
        uint8_t *line = getLine(out, row, band, whole ? 0 : 1);
        if (!line) return;
        memcpy(line + first, bytes, static_cast<size_t>(count));
        markLineDirty(out, row, band);
    } else {
        for (int k = 0; k < count; ++k) scratch[k] = static_cast<float>(values[k]);
        putFloatLine(out, row, first, count, band, scratch);
    }
}

void writeByteRow(RamImage *out, int row, int count, const uint8_t *bytes)
{
    if (out->def.pixel == PIX_BYTE) {
        uint8_t *line = getLine(out, row, 0, count == out->def.columns ? 0 : 1);
        if (!line) return;
        memcpy(line, bytes, static_cast<size_t>(count));
        markLineDirty(out, row, 0);
    } else {
        putByteLine(out, row, 0, count, 0, bytes);
    }
}

// Finishes a module's output: flushed and its clients told.
void finishOutput(RamImage *out, bool paletteChanged)
{
    flushImage(out);
    notifyClients(out, -1, paletteChanged ? NOTIFY_CONFIG : NOTIFY_DATA);
}

}  // namespace

// ---- classify ---------------------------------------------------------------------

int classifyModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr},  {"-out", nullptr}, {"-stat", nullptr}, {"-ib", nullptr},
                           {"-ob", nullptr},  {"-o", nullptr},   {"-norm", nullptr}, {"-tshd", nullptr},
                           {"-ir", nullptr},  {"-ic", nullptr},  {"-or", nullptr},   {"-oc", nullptr},
                           {"-r", nullptr},   {"-c", nullptr},   {nullptr, nullptr}};
    // classify reports unknown parameters on standard output.
    if (int rc = modulePrologue(prog, argc, argv, opts, classifyUsage, CON_STDOUT); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const char *statName = opt("-stat"), *inName = opt("-in"), *outName = opt("-out");
    if (!statName) {
        conEprintf("stat missing!\n");
        return MODULE_FAILED;
    }
    if (!inName) {
        conEprintf("Input image missing!\n");
        return MODULE_FAILED;
    }
    if (!outName) {
        conEprintf("Output image missing!\n");
        return MODULE_FAILED;
    }
    FeaturePtr stat(getFeature(statName, kStatFeatureId));
    if (!stat) {
        conEprintf("Error in open stat: %s\n", statName);
        return MODULE_FAILED;
    }
    ModuleImage in(openModuleInput(inName, "Error in open %s\n"));
    if (!in) return MODULE_FAILED;
    ModuleImage out(openClassOutput(outName, in->def, nullptr, "Error in open %s\n"));
    if (!out) return MODULE_FAILED;
    int rule = RULE_EUCLIDEAN;
    if (!classifyRule(opt("-o"), &rule)) return MODULE_FAILED;
    // -norm is accepted and changes nothing.
    const int ob = optionInt(opt("-ob"), 1);
    if (ob < 1 || ob > out->def.nbands) {
        conEprintf("Output band out of range.\n");
        return MODULE_FAILED;
    }
    std::vector<int> bands;
    if (!classifyBands(opt("-ib"), in->def.nbands, stat.get(), &bands)) return MODULE_FAILED;
    const double tshd = optionDouble(opt("-tshd"), 10.0);
    ClassWindow w = windowOptions(opts);
    if (!classifyWindow(in->def.rows, in->def.columns, out->def.rows, out->def.columns, &w)) return MODULE_FAILED;
    const int n = static_cast<int>(bands.size());
    // Classifying an image into one of its own bands is safe as long as no
    // row is overwritten before it is read: rows are read ahead of writing.
    if (in.get() == out.get() && std::find(bands.begin(), bands.end(), ob - 1) != bands.end() && w.orow > w.ir &&
        w.oc < w.ic + w.cols && w.ic < w.oc + w.cols) {
        conEprintf("Error: the output window overlaps the input window of the same image.\n");
        return MODULE_FAILED;
    }

    // The class model, once per thread.
    Worker workers[2];
    for (Worker &k : workers)
        if (!k.model.create(stat.get(), bands.data(), n, rule, tshd)) return MODULE_FAILED;
    const ClassModel &model = workers[0].model;

    bool paletteChanged = false;
    const int nindices = std::min(out->def.nindices, 256);
    if (nindices > 0) {
        BandSummary summaries[3];
        const int c = std::min(n, 3);
        if (in->def.bits > 8 && computeBandStats(in.get(), STATS_REUSE, 1, 1) == 0 && in->bandStats) {
            for (int b = 0; b < c; ++b) {
                const BandStats &s = in->bandStats[bands[b]];
                summaries[b] = BandSummary{s.mean, s.stdDev, s.min, s.max};
            }
        }
        PaletteColour palette[256];
        for (int i = 0; i < 256; ++i)
            palette[i] = PaletteColour{out->def.palette[i][0], out->def.palette[i][1], out->def.palette[i][2]};
        classPalette(model, in->def.bits, summaries, palette, nindices);
        for (int i = 0; i < nindices; ++i) {
            out->def.palette[i][0] = palette[i].red;
            out->def.palette[i][1] = palette[i].green;
            out->def.palette[i][2] = palette[i].blue;
        }
        writeFilePalette(out.get());
        paletteChanged = true;
    }
    stat.reset();

    RowBatch batch;
    const bool byteOut = out->def.pixel == PIX_BYTE;
    GmemArray<uint8_t> classBytes;
    GmemArray<int32_t> classValues;
    GmemArray<float> scratch;
    bool ok = batch.allocate(in.get(), n, w.cols);
    const size_t outCount = static_cast<size_t>(batch.capacity()) * w.cols + 1;
    ok = ok && (byteOut ? classBytes.allocate(outCount) : classValues.allocate(outCount) && scratch.allocate(w.cols + 1));
    const char *who = rule == RULE_BAYES ? "calcPrior" : "classifyGeneric";
    if (!ok) {
        conEprintf("Error in gmemAlloc: %s\n", who);
        return MODULE_FAILED;
    }
    for (Worker &k : workers)
        if (!k.lines.allocate(n, w.cols, who)) return MODULE_FAILED;

    RowHelper helper;
    bool cancelled = false;
    // Reads up to one batch of rows from `first`; the number read (fewer
    // when the run is cancelled).
    auto readBatch = [&](int first) {
        int got = 0;
        while (got < batch.capacity() && first + got < w.rows) {
            if (checkRimageStatus() == STATUS_ABORT) {
                cancelled = true;
                break;
            }
            batch.read(in.get(), w.ir + first + got, bands.data(), w.ic, got);
            ++got;
        }
        return got;
    };
    // Rows 0..rows-1 of the batch are shared: the helper takes the first half.
    auto decideBatch = [&](int rows, bool prior) {
        auto job = [&](int part) {
            const int half = rows / 2;
            const int begin = part == 1 ? 0 : half, end = part == 1 ? half : rows;
            Worker &k = workers[part];
            for (int r = begin; r < end; ++r) {
                for (int b = 0; b < n; ++b) toSingles(batch.kind(), batch.at(r, b), w.cols, k.lines.rows[b]);
                const size_t at = static_cast<size_t>(r) * w.cols;
                if (prior)
                    k.model.priorLine(k.lines.rows.get(), w.cols);
                else if (byteOut)
                    k.model.classifyLine(k.lines.rows.get(), w.cols, classBytes.get() + at);
                else
                    k.model.classifyLine(k.lines.rows.get(), w.cols, classValues.get() + at);
            }
        };
        helper.run(job);
    };

    if (rule == RULE_BAYES && w.rows > 0 && w.cols > 0) {
        MeterProgress meter{"calcPrior", 0.05f};
        for (int i = 0; i < w.rows && !cancelled;) {
            int got = readBatch(i);
            decideBatch(got, true);
            for (int k = 0; k < got; ++k) meter.step(i + k, w.rows);
            i += got;
        }
        meter.finish();
        workers[0].model.takeHits(workers[1].model);
        workers[0].model.finishPrior();
        workers[1].model.copyPriors(workers[0].model);
    }
    if (!cancelled && w.rows > 0 && w.cols > 0) {
        MeterProgress meter{"classify", 0.05f};
        for (int i = 0; i < w.rows && !cancelled;) {
            int got = readBatch(i);
            decideBatch(got, false);
            for (int k = 0; k < got; ++k) {
                const size_t at = static_cast<size_t>(k) * w.cols;
                writeClassRow(out.get(), w.orow + i + k, w.oc, w.cols, ob - 1, byteOut ? classBytes.get() + at : nullptr,
                              byteOut ? nullptr : classValues.get() + at, scratch.get());
                meter.step(i + k, w.rows);
            }
            i += got;
        }
        if (!cancelled) meter.finish();
    }
    if (cancelled) conEprintf("rimage classify canceled...\n");
    meterReset();
    in.release();
    finishOutput(out.get(), paletteChanged);
    return MODULE_DONE;
}

// ---- dist -------------------------------------------------------------------------

int distModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {
        {"-in", nullptr}, {"-out", nullptr}, {"-b", nullptr}, {"-c", nullptr}, {"-blur", nullptr}, {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, distUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const char *inName = opt("-in"), *outName = opt("-out"), *classText = opt("-c");
    if (!inName) {
        conEprintf("Input image file missing!\n");
        return MODULE_FAILED;
    }
    ModuleImage in(openModuleInput(inName, "Error in DIST - open:%s\n"));
    if (!in) return MODULE_FAILED;
    const int band = optionInt(opt("-b"), 1);
    if (band < 1 || band > in->def.nbands) {
        conEprintf("band is out of range (1 to %d).\n", in->def.nbands);
        return MODULE_FAILED;
    }
    if (!outName) {
        conEprintf("Missing output image file!\n");
        return MODULE_FAILED;
    }
    if (strcmp(outName, inName) == 0) {
        conEprintf("Illegal output file.\n");
        return MODULE_FAILED;
    }
    // The class list is checked before an output file is made for it.
    if (!classText) {
        conEprintf("Missing class number!");
        return MODULE_FAILED;
    }
    uint8_t table[256];
    if (!parseClassList(classText, table)) return MODULE_FAILED;
    const double blur = optionDouble(opt("-blur"), 0.0);

    PaletteColour colours[256];
    distPalette(colours);
    uint8_t palette[256][3];
    for (int i = 0; i < 256; ++i) palette[i][0] = colours[i].red, palette[i][1] = colours[i].green, palette[i][2] = colours[i].blue;
    ModuleImage out(openClassOutput(outName, in->def, palette, "Error in DIST - open: %s\n"));
    if (!out) return MODULE_FAILED;
    // Another name of the same image (its tag, its file) is the same image:
    // the upward pass would read classes that the downward pass overwrote.
    if (out.get() == in.get()) {
        conEprintf("Illegal output file.\n");
        return MODULE_FAILED;
    }
    const int rows = in->def.rows, cols = in->def.columns;
    if (out->def.rows < rows || out->def.columns < cols) {
        conEprintf("Error: the output image is smaller than the input.\n");
        return MODULE_FAILED;
    }

    DistanceRows distance;
    GmemArray<uint8_t> classRow, outRow;
    if (!classRow.allocate(static_cast<size_t>(cols) + 1) || !outRow.allocate(static_cast<size_t>(cols) + 1)) {
        conEprintf("Error in malloc.\n");
        return MODULE_FAILED;
    }
    if (!distance.init(rows, cols, table, blur, &sharedPrng())) return MODULE_FAILED;

    MeterProgress meter{"dist", 0.05f};
    bool cancelled = false;
    for (int r = 0; r < rows && !cancelled; ++r) {
        if (checkRimageStatus() == STATUS_ABORT) {
            cancelled = true;
            break;
        }
        if (!readLineBytes(in.get(), r, band - 1, 0, cols, 1, classRow.get())) memset(classRow.get(), 0, cols);
        distance.downRow(classRow.get(), outRow.get());
        writeByteRow(out.get(), r, cols, outRow.get());
        meter.step(r, 2L * rows);
    }
    distance.beginUp();
    for (int r = rows - 1; r >= 0 && !cancelled; --r) {
        if (checkRimageStatus() == STATUS_ABORT) {
            cancelled = true;
            break;
        }
        if (!readLineBytes(in.get(), r, band - 1, 0, cols, 1, classRow.get())) memset(classRow.get(), 0, cols);
        if (!readLineBytes(out.get(), r, 0, 0, cols, 1, outRow.get())) memset(outRow.get(), 255, cols);
        distance.upRow(classRow.get(), outRow.get());
        writeByteRow(out.get(), r, cols, outRow.get());
        meter.step(2L * rows - 1 - r, 2L * rows);
    }
    if (cancelled)
        conEprintf("rimage dist canceled...\n");
    else
        meter.finish();
    meterReset();
    in.release();
    finishOutput(out.get(), false);
    return MODULE_DONE;
}

}  // namespace krel
