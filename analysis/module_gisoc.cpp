// gisoc: ISODATA clustering of the pixels of a multi-band image into spectral
// classes, written as class numbers into one band of an output image, with
// the class means kept in an ISOFEATU feature file.
//
// Passes over the image read the sampled rows through the line cache on the
// Tcl thread; the distances of a row's pixels to the classes that existed at
// the start of the row are computed over the whole row at once, shared with
// one helper thread, and the leader step then walks the pixels in order for
// the classes created since. The answer is the one of the pixel-by-pixel
// rule: the first class below 0.2 D, else the first of smallest distance.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <unordered_map>
#include <vector>
#include <sys/stat.h>

#include "analysis/classify.h"
#include "analysis/feature.h"
#include "analysis/isodata.h"
#include "analysis/modules.h"
#include "analysis/ptable.h"
#include "analysis/row_helper.h"
#include "analysis/statinfo.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "core/texts.h"
#include "image/formats/formats.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"
#include "image/registry.h"

namespace krel {

namespace {

void gisocUsage(const char *prog)
{
    static const char *const lines[] = {
        "    where\n",
        "    IN         input rimage;\n",
        "    OUT        output rimage;\n",
        "    BND        band numbers (b1,b2,...);\n",
        "    NC         number of classes requested (def: 128);\n",
        "    D          excluding distance (sqrt(nbands/nc));\n",
        "    CV         convergence value (0.05);\n",
        "    NR         number of iteration (10);\n",
        "    SK         skip factor for sampling (2);\n",
        "    PT         pixel table;\n",
        "    FTR        feature file name (iso.ftr);\n",
        "    SO         sorting order (b1,b2,....);\n",
        "    INI        initialization method (FIRST, EQ, POP, SB).\n",
        "    IR         input start row\n",
        "    IC         input start column\n",
        "    R          input rows\n",
        "    C          input columns\n",
        "    OB         output band\n",
        "    OR         output start row\n",
        "    OC         output start column\n",
        "    VB         verbose: y or n (n)\n",
    };
    printModuleUsage(prog,
                     "Usage: %s -in IN -out OUT -b BND -nc NC -d D -cv CV -nr NR -sk SK -pt PT -f FTR -s SO -ini INI "
                     "-ir IR -ic IC -r R -c C -ob OB -or OR -oc OC -v VB\n",
                     lines);
}

enum Seeding { SEED_FEATURES, SEED_FIRST, SEED_EQ, SEED_POP, SEED_SB };

// "1,3-5,..." (1-based, ranges either way) into 0-based bands of 1..nbands.
bool parseBands(const char *text, int nbands, std::vector<int32_t> *bands)
{
    bands->clear();
    const char *p = text;
    while (*p) {
        char *end;
        long a = strtol(p, &end, 10);
        if (end == p || a < 1 || a > nbands) return false;
        long b = a;
        p = end;
        if (*p == '-') {
            b = strtol(p + 1, &end, 10);
            if (end == p + 1 || b < 1 || b > nbands) return false;
            p = end;
        }
        for (long v = a;; v += a <= b ? 1 : -1) {
            if (bands->size() >= 8192) return false;
            bands->push_back(static_cast<int32_t>(v - 1));
            if (v == b) break;
        }
        if (*p == ',') ++p;
        else if (*p) return false;
    }
    return !bands->empty();
}

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool sameText(const char *a, const char *b) { return strcasecmp(a, b) == 0; }

// Whether two names are one file on disk.
bool sameFile(const char *a, const char *b)
{
    struct stat sa, sb;
    return *a && *b && stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// One run of the module.
struct Gisoc {
    ModuleImage in, out;
    std::vector<int32_t> bands;  // 0-based image bands (palette input: the RGB planes)
    int n = 0;
    ModuleWindow w;
    int ob = 0;
    bool verbose = false, paletteInput = false;
    Seeding seeding = SEED_FIRST;
    std::vector<int> order;  // band positions in sort order
    std::string ftrName = "iso.ftr";
    int ncMax = 128, nr = 10, sk = 2;
    double cv = 0.05, dis = 0;
    std::vector<double> sigma;
    BandSummary summaries[3];
    PTablePtr table;
    std::vector<int> cTable;  // class per tuple, -1 none
    int paletteCache[256];
    bool takeOver = false;  // after POP seeding
    IsoClusters iso;
    IsoClusters::UpdateResult last;
    int pass = 0;             // passes made (all kinds)
    long hit = 0, find = 0, total = 0;
    bool cancelled = false;
    RowHelper helper;

    int meterSlots() const { return nr + 9; }
    void meter(double within)
    {
        meterSet("gisoc", static_cast<float>(std::min(1.0, (pass - 1 + std::floor(within * 10) / 10) / meterSlots())));
    }

    bool writeFeatures()
    {
        FeaturePtr block(iso.toBlock(bands.data(), last.rms, last.total, in->def.file));
        return block && saveFeature(ftrName.c_str(), block.get());
    }

    void setPalette()
    {
        const int nindices = std::min(out->def.nindices, 256);
        if (nindices <= 0) return;
        const int c = std::min(n, 3), nc = iso.classes();
        std::vector<float> means(static_cast<size_t>(std::max(nc, 1)) * c);
        for (int k = 0; k < nc; ++k)
            for (int b = 0; b < c; ++b) means[static_cast<size_t>(k) * c + b] = iso.mean(k)[order[b]];
        PaletteColour palette[256];
        for (int i = 0; i < 256; ++i)
            palette[i] = PaletteColour{out->def.palette[i][0], out->def.palette[i][1], out->def.palette[i][2]};
        classPalette(means.data(), nc, c, paletteInput ? 8 : in->def.bits, summaries, palette, nindices);
        for (int i = 0; i < nindices; ++i) {
            out->def.palette[i][0] = palette[i].red;
            out->def.palette[i][1] = palette[i].green;
            out->def.palette[i][2] = palette[i].blue;
        }
        writeFilePalette(out.get());
    }

    void afterUpdate(bool final)
    {
        if (table) std::fill(cTable.begin(), cTable.end(), -1);
        if (verbose && table) conPrintf("Unstable ratio: %8.3f\n", 1.0);
        if (!final) {
            if (verbose) conPrintf("isoSpeed...\n");
            iso.speed(last.wcv);
        }
    }

    // Raw values of palette entry i.
    void paletteColour(int i, float *x) const
    {
        for (int b = 0; b < 3; ++b) x[b] = in->def.palette[i][b];
    }

    // The class of one pixel of raw values x (tuple bytes t when a table is used).
    int classifyOne(const float *x, const uint8_t *t, bool create)
    {
        int idx = -1;
        if (table) {
            idx = table->lookup(t);
            if (idx >= 0) {
                ++find;
                if (cTable[idx] >= 0) {
                    ++hit;
                    const int k = cTable[idx];
                    iso.leader(x, 1.0, false, 0.0f, k, true);
                    return k;
                }
            }
        }
        const int before = iso.classes();
        const int k = iso.leader(x, 1.0, create);
        if (idx >= 0) cTable[idx] = k;
        if (takeOver && iso.classes() > before) takeOverTuples(k);
        return k;
    }

    // A class created after POP seeding takes over every cached tuple that
    // lies nearer to it than to its cached class.
    void takeOverTuples(int k)
    {
        std::vector<float> x(static_cast<size_t>(n));
        for (int i = 0; i < table->count; ++i) {
            const int c = cTable[i];
            if (c < 0 || c == k) continue;
            for (int b = 0; b < n; ++b) x[b] = table->tuple(i)[b];
            if (iso.rawDistance(k, x.data()) < iso.rawDistance(c, x.data())) cTable[i] = k;
        }
    }

    // isoImageClassify: one pass over rows IR, IR+s, ... and columns IC, IC+s, ...
    bool imagePass(int s, bool create, bool final)
    {
        if (verbose) conPrintf("isoImageClassify...\n");
        const double t0 = now();
        hit = find = total = 0;
        ++pass;
        const int m = (w.cols + s - 1) / s;
        std::vector<float> raw(static_cast<size_t>(n) * m), y(static_cast<size_t>(n) * m), px(static_cast<size_t>(n));
        std::vector<float> best(static_cast<size_t>(m));
        std::vector<int> bk(static_cast<size_t>(m));
        std::vector<uint8_t> inst(static_cast<size_t>(m)), tuple(static_cast<size_t>(n)), classes(static_cast<size_t>(m));
        std::fill(std::begin(paletteCache), std::end(paletteCache), -1);
        const int rowsDone = (w.rows + s - 1) / s;
        const bool bulk = !table && !paletteInput;
        int tenth = 1;
        for (int i = 0, r = w.ir; r < w.ir + w.rows; r += s, ++i) {
            if (checkRimageStatus() == STATUS_ABORT) {
                cancelled = true;
                return false;
            }
            if (paletteInput) {
                readLineValues(in.get(), r, 0, w.ic, m, s, raw.data());
            } else {
                for (int b = 0; b < n; ++b) readLineValues(in.get(), r, bands[b], w.ic, m, s, raw.data() + size_t(b) * m);
            }
            const int K0 = iso.classes();
            if (bulk) {
                auto job = [&](int part) {
                    const int half = m / 2;
                    const int begin = part == 1 ? 0 : half, end = part == 1 ? half : m;
                    if (end <= begin) return;
                    for (int b = 0; b < n; ++b)
                        iso.scaleRow(b, raw.data() + size_t(b) * m + begin, y.data() + size_t(b) * m + begin, end - begin);
                    iso.searchMany(y.data() + begin, static_cast<size_t>(m), end - begin, K0, best.data() + begin,
                                   bk.data() + begin, inst.data() + begin);
                };
                if (m >= 512)
                    helper.run(job);
                else
                    job(1), job(0);
            }
            for (int j = 0; j < m; ++j) {
                int k;
                if (paletteInput) {
                    const int index = std::clamp(static_cast<int>(raw[j]), 0, 255);
                    if (paletteCache[index] < 0) {
                        paletteColour(index, px.data());
                        paletteCache[index] = iso.leader(px.data(), 0.0, create);
                    }
                    k = paletteCache[index];
                    paletteColour(index, px.data());
                    iso.leader(px.data(), 1.0, false, 0.0f, k, true);
                } else {
                    for (int b = 0; b < n; ++b) px[b] = raw[size_t(b) * m + j];
                    if (bulk) {
                        k = iso.leader(px.data(), 1.0, create, best[j], bk[j], inst[j] != 0, K0);
                    } else {
                        for (int b = 0; b < n; ++b) tuple[b] = static_cast<uint8_t>(std::clamp(px[b], 0.0f, 255.0f));
                        k = classifyOne(px.data(), tuple.data(), create);
                    }
                }
                classes[j] = static_cast<uint8_t>(std::max(k, 0));
            }
            total += m;
            if (final) {
                const int orow = w.orow + (r - w.ir);
                const int count = std::min(m, out->def.columns - w.oc);
                if (orow < out->def.rows && count > 0) putByteLine(out.get(), orow, w.oc, count, ob, classes.data());
            }
            const double f = static_cast<double>(i + 1) / rowsDone;
            meter(f);
            if (verbose && f * 10 >= tenth) {
                conPrintf("  %3ld percent done...\n", static_cast<long>(tenth * 10));
                ++tenth;
            }
        }
        last = iso.update(final);
        afterUpdate(final);
        if (s == sk && !writeFeatures()) return false;
        if (s == 1) setPalette();
        if (verbose) {
            conPrintf("ir %2d dt %ld wcv %5.3f cv %5.3f RMS %7.4f cvRMS %7.4f sk %2ld\n", pass,
                      static_cast<long>(now() - t0), last.wcv, cv, last.rms, last.cvRms, static_cast<long>(s));
            conPrintf("nc %d ncMax %d DIS %.4f hit %ld find %ld total %ld\n", iso.classes(), iso.maxClasses(), dis, hit,
                      find, total);
        }
        return true;
    }

    // isoTableClassify: every tuple, weighted by its count.
    bool tablePass()
    {
        if (verbose) conPrintf("isoTableClassify...\n");
        const double t0 = now();
        ++pass;
        std::vector<float> x(static_cast<size_t>(n));
        for (int i = 0; i < table->count; ++i) {
            if (i % 65536 == 0) {
                if (checkRimageStatus() == STATUS_ABORT) {
                    cancelled = true;
                    return false;
                }
                meter(static_cast<double>(i) / table->count);
            }
            for (int b = 0; b < n; ++b) x[b] = table->tuple(i)[b];
            cTable[i] = iso.leader(x.data(), table->counts[i], true);
        }
        last = iso.update(false);
        afterUpdate(false);
        if (verbose) {
            FeaturePtr block(iso.toBlock(bands.data(), last.rms, last.total, in->def.file));
            if (block) isoPrint(block.get(), 2);
        }
        if (!writeFeatures()) return false;
        setPalette();
        if (verbose) {
            conPrintf("ir %2d dt %4ld wcv %5.3f cv %5.3f RMS %7.4f cvRMS %7.4f\n", pass, static_cast<long>(now() - t0),
                      last.wcv, cv, last.rms, last.cvRms);
            conPrintf("nc %d ncMax %d DIS %.4f nTuples: %d total: %d\n", iso.classes(), iso.maxClasses(), dis,
                      table->count, static_cast<int>(last.total));
        }
        return true;
    }

    // The palette-input loop: the palette entries' colours weighted by their
    // pixel counts over the sampled region.
    bool paletteLoop()
    {
        std::vector<double> hist(256, 0.0);
        std::vector<float> raw(static_cast<size_t>((w.cols + sk - 1) / sk)), x(3);
        const int m = static_cast<int>(raw.size());
        for (int r = w.ir; r < w.ir + w.rows; r += sk) {
            if (checkRimageStatus() == STATUS_ABORT) {
                cancelled = true;
                return false;
            }
            readLineValues(in.get(), r, 0, w.ic, m, sk, raw.data());
            for (float v : raw) hist[std::clamp(static_cast<int>(v), 0, 255)] += 1;
        }
        for (int itr = 0; itr < nr && (itr == 0 || last.rms > cv); ++itr) {
            ++pass;
            for (int i = 0; i < 256; ++i) {
                if (hist[i] <= 0) continue;
                paletteColour(i, x.data());
                iso.leader(x.data(), hist[i], true);
            }
            last = iso.update(false);
            iso.speed(last.wcv);
            meter(1.0);
            if (verbose)
                conPrintf("itr: %3d nc: %d rms: %7.4f total: %d\n", itr, iso.classes(), last.rms,
                          static_cast<int>(last.total));
            if (!writeFeatures()) return false;
        }
        return true;
    }

    // Seeds of the pixel table: EQ (equal pixel counts) and POP (popular tuples).
    void seedEqual()
    {
        double N = 0;
        for (int i = 0; i < table->count; ++i) N += table->counts[i];
        std::vector<double> sums(static_cast<size_t>(ncMax) * n, 0.0), counts(static_cast<size_t>(ncMax), 0.0);
        double t = 0;
        int prev = 0, used = 0;
        for (int i = 0; i < table->count; ++i) {
            int c = N > 0 ? static_cast<int>(std::lround(t * (ncMax - 1) / N)) : 0;
            c = std::min(c, prev + 1);
            if (c >= ncMax) {
                conPrintf("NULL iso...\n");
                break;
            }
            prev = c;
            used = std::max(used, c + 1);
            for (int b = 0; b < n; ++b) sums[static_cast<size_t>(c) * n + b] += double(table->tuple(i)[b]) * table->counts[i];
            counts[c] += table->counts[i];
            t += table->counts[i];
        }
        std::vector<float> x(static_cast<size_t>(n));
        for (int c = 0; c < used; ++c) {
            if (counts[c] <= 0) continue;
            for (int b = 0; b < n; ++b) x[b] = static_cast<float>(sums[static_cast<size_t>(c) * n + b] / counts[c]);
            iso.addClass(x.data(), static_cast<int64_t>(counts[c]));
        }
    }

    void seedPopular()
    {
        std::vector<int> chosen;
        const int tenth = std::max(1, table->count / 10);
        for (int i = 0; i < table->count; ++i) {
            if (static_cast<int>(chosen.size()) < ncMax) {
                chosen.push_back(i);
            } else {
                auto least = std::min_element(chosen.begin(), chosen.end(),
                                              [&](int a, int b) { return table->counts[a] < table->counts[b]; });
                if (table->counts[i] > table->counts[*least]) *least = i;
            }
            if (verbose && (i + 1) % tenth == 0) conPrintf(" %3ld done...\n", static_cast<long>((i + 1) / tenth * 10));
        }
        std::sort(chosen.begin(), chosen.end());
        std::vector<float> x(static_cast<size_t>(n));
        for (int i : chosen) {
            for (int b = 0; b < n; ++b) x[b] = table->tuple(i)[b];
            iso.addClass(x.data(), table->counts[i]);
        }
        takeOver = true;
    }

    // isoSpecBinning: cells of a grid over the first min(n, 7) bands in sort
    // order become classes, then are reduced by the leader step.
    bool seedBinning()
    {
        const int mb = std::min(n, 7);
        int L = 1;
        while (std::pow(static_cast<double>(L + 1), mb) <= 8388608.0) ++L;
        const double cells = std::pow(static_cast<double>(L), mb);
        if (verbose) conPrintf("max id: %d\n", static_cast<int>(cells));
        std::vector<double> low(mb), width(mb);
        for (int b = 0; b < mb; ++b) {
            const int band = bands[order[b]];
            const BandStats &st = in->bandStats[band];
            double lo = std::max(st.mean - 2.5 * st.stdDev, st.min), hi = std::min(st.mean + 2.5 * st.stdDev, st.max);
            low[b] = lo;
            width[b] = hi - lo > 0 ? hi - lo : 1.0;
            if (verbose)
                conPrintf("bin: %d band: %d low: %8.3f high: %8.3f min: %8.3f max: %8.3f\n", L, band + 1, lo, hi, st.min,
                          st.max);
        }
        std::unordered_map<int64_t, int> cellClass;
        std::vector<double> sums, counts;
        const int m = (w.cols + sk - 1) / sk;
        std::vector<float> raw(static_cast<size_t>(n) * m);
        for (int r = w.ir; r < w.ir + w.rows; r += sk) {
            if (checkRimageStatus() == STATUS_ABORT) {
                cancelled = true;
                return false;
            }
            for (int b = 0; b < n; ++b) readLineValues(in.get(), r, bands[b], w.ic, m, sk, raw.data() + size_t(b) * m);
            for (int j = 0; j < m; ++j) {
                int64_t cell = 0;
                for (int b = 0; b < mb; ++b) {
                    const double v = (raw[size_t(order[b]) * m + j] - low[b]) / width[b] * (L - 1);
                    const int64_t q = std::clamp<int64_t>(std::llround(std::isfinite(v) ? v : 0.0), 0, L - 1);
                    cell = cell * L + q;
                }
                auto it = cellClass.find(cell);
                int c;
                if (it == cellClass.end()) {
                    c = static_cast<int>(counts.size());
                    cellClass.emplace(cell, c);
                    counts.push_back(0);
                    sums.resize(sums.size() + n, 0.0);
                } else {
                    c = it->second;
                }
                for (int b = 0; b < n; ++b) sums[static_cast<size_t>(c) * n + b] += raw[size_t(b) * m + j];
                counts[c] += 1;
            }
        }
        const int cellsUsed = static_cast<int>(counts.size());
        if (verbose) conPrintf("init nc: %d\n", cellsUsed);
        std::vector<float> means(static_cast<size_t>(cellsUsed) * n);
        double all = 0;
        for (int c = 0; c < cellsUsed; ++c) {
            for (int b = 0; b < n; ++b) means[static_cast<size_t>(c) * n + b] = static_cast<float>(sums[size_t(c) * n + b] / counts[c]);
            all += counts[c];
        }
        if (verbose) conPrintf("class: %d total Samples: %d\n", cellsUsed, static_cast<int>(all));
        if (cellsUsed == 0) return true;
        iso.addClass(means.data(), static_cast<int64_t>(counts[0]));
        for (int itr = 0; itr < nr; ++itr) {
            for (int c = 0; c < cellsUsed; ++c) iso.leader(means.data() + static_cast<size_t>(c) * n, counts[c], true);
            last = iso.update(false);
            if (verbose)
                conPrintf("itr: %3d nc: %d rms: %7.4f total: %d\n", itr, iso.classes(), last.rms,
                          static_cast<int>(last.total));
            if (cv > 0) meterSet("gisoc", static_cast<float>(std::min(1.0, last.rms / cv) * 8 / meterSlots()));
            if (last.rms <= cv) break;
        }
        return true;
    }

    bool seed()
    {
        switch (seeding) {
            case SEED_FEATURES: conPrintf("Initiate classes with features.\n"); return true;
            case SEED_FIRST: {
                conPrintf("Initial classes with the first pixel.\n");
                std::vector<float> x(static_cast<size_t>(n));
                if (paletteInput) {
                    float v;
                    readLineValues(in.get(), w.ir, 0, w.ic, 1, 1, &v);
                    paletteColour(std::clamp(static_cast<int>(v), 0, 255), x.data());
                } else {
                    for (int b = 0; b < n; ++b) readLineValues(in.get(), w.ir, bands[b], w.ic, 1, 1, &x[b]);
                }
                iso.addClass(x.data(), static_cast<int64_t>(w.rows) * w.cols);
                if (paletteInput) return true;
                for (int i = 0; i < 5; ++i)
                    if (!imagePass(sk + 2, true, false)) return false;
                for (int i = 0; i < 3; ++i)
                    if (!imagePass(sk + 1, true, false)) return false;
                return true;
            }
            case SEED_EQ: conPrintf("Initiate classes with equal number of pixels.\n"); seedEqual(); return true;
            case SEED_POP: conPrintf("Initiate classes with popular pixels.\n"); seedPopular(); return true;
            case SEED_SB: conPrintf("Initial classes with spectral binning.\n"); return seedBinning();
        }
        return false;
    }

    bool run()
    {
        if (!seed()) return false;
        int passes = 0;
        if (paletteInput) {
            if (!paletteLoop()) return false;
        } else {
            const double samples = static_cast<double>(w.rows) * w.cols / sk / sk;
            const bool tablePasses = table && samples >= table->count;
            last.rms = 1e300;
            while (passes < nr && (passes == 0 || last.rms > cv)) {
                if (verbose) {
                    if (tablePasses)
                        conPrintf("Iteration # %d\n", passes);
                    else
                        conPrintf("Iteration # %d updateFlag %d\n", passes, 1);
                }
                if (!(tablePasses ? tablePass() : imagePass(sk, true, false))) return false;
                ++passes;
            }
        }
        conPrintf("Final...\n");
        if (!imagePass(1, false, true)) return false;
        if (verbose) {
            FeaturePtr block(iso.toBlock(bands.data(), last.rms, last.total, in->def.file));
            if (block) isoPrint(block.get(), 1);
        }
        conPrintf("Total number of iterations: %d\n", pass - 1);
        return true;
    }
};

}  // namespace

int gisocModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr}, {"-out", nullptr}, {"-b", nullptr},  {"-nc", nullptr},  {"-cv", nullptr},
                           {"-d", nullptr},  {"-nr", nullptr},  {"-sk", nullptr}, {"-pt", nullptr},  {"-f", nullptr},
                           {"-s", nullptr},  {"-ini", nullptr}, {"-ir", nullptr}, {"-ic", nullptr},  {"-r", nullptr},
                           {"-c", nullptr},  {"-ob", nullptr},  {"-or", nullptr}, {"-oc", nullptr},  {"-v", nullptr},
                           {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, gisocUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    Gisoc g;
    g.verbose = opt("-v") && sameText(opt("-v"), "y");

    // 1. The feature file.
    FeaturePtr seeds;
    if (const char *f = opt("-f")) {
        g.ftrName = f;
        seeds.reset(getFeature(f, kIsoFeatureId));
        const int count = seeds ? getFeatureInfo(seeds.get(), FINFO_COUNT) : 0;
        if (!seeds || count < 1 || count > 256) {
            conEprintf("Error in opening ISOFEATURES.\n");
            return MODULE_FAILED;
        }
        g.ncMax = count;
    }
    // 2. Input, output, output band.
    const char *inName = opt("-in"), *outName = opt("-out");
    if (!inName) {
        conEprintf("Input image file missing!\n");
        return MODULE_FAILED;
    }
    g.in.reset(openModuleInput(inName, "Error in open:%s\n"));
    if (!g.in) return MODULE_FAILED;
    if (!outName) {
        conEprintf("Missing output image file!\n");
        return MODULE_FAILED;
    }
    if (strcmp(inName, outName) == 0) {
        conEprintf("Illegal output file.\n");
        return MODULE_FAILED;
    }
    g.out.reset(openClassOutput(outName, g.in->def, nullptr, "Error in open:%s\n"));
    if (!g.out) return MODULE_FAILED;
    // Another name of the same image: the final pass would overwrite pixels
    // still to be read.
    if (g.out.get() == g.in.get() || sameFile(g.in->def.file, g.out->def.file)) {
        conEprintf("Illegal output file.\n");
        return MODULE_FAILED;
    }
    g.ob = optionInt(opt("-ob"), 1) - 1;
    if (g.ob < 0 || g.ob >= g.out->def.nbands) {
        conEprintf("output band out of range.\n");
        return MODULE_FAILED;
    }
    const ImageDef &id = g.in->def;
    g.paletteInput = id.nindices > 0;
    // 3. Bands.
    if (opt("-b") && (opt("-f") || opt("-pt"))) conPrintf("Band(s) will be overwritten.\n");
    auto bandsOfImage = [&](const std::vector<int32_t> &list) {
        for (int32_t b : list)
            if (b < 0 || b >= id.nbands) return false;
        return true;
    };
    if (seeds) {
        const int p = getFeatureInfo(seeds.get(), FINFO_PARAMS);
        for (int i = 0; i < p; ++i) g.bands.push_back(getFeatureParam(seeds.get(), i));
        if (p < 1 || (!g.paletteInput && !bandsOfImage(g.bands)) || (g.paletteInput && p != 3)) {
            conEprintf("Error in opening ISOFEATURES.\n");
            return MODULE_FAILED;
        }
    } else if (g.paletteInput) {
        g.bands = {0, 1, 2};
    } else if (const char *b = opt("-b"); b && !opt("-pt")) {
        if (!parseBands(b, id.nbands, &g.bands)) {
            conEprintf("Illegal band number.\n");
            return MODULE_FAILED;
        }
    } else if (!opt("-pt")) {
        for (int b = 0; b < id.nbands; ++b) g.bands.push_back(b);
    }
    // 4. The pixel table.
    if (!g.paletteInput && opt("-pt")) {
        g.table = getPTable(opt("-pt"));
        if (!g.table || !bandsOfImage(g.table->bands) || id.pixel != PIX_BYTE) {
            conEprintf("Error in getPTable...\n");
            return MODULE_FAILED;
        }
        if (!seeds) g.bands = g.table->bands;
    }
    g.n = static_cast<int>(g.bands.size());
    // 5. Numbers and the window.
    g.cv = optionDouble(opt("-cv"), 0.05);
    if (!(g.cv >= 0 && g.cv <= 1)) {
        conEprintf("Illegal convergence value.\n");
        return MODULE_FAILED;
    }
    if (opt("-nc")) g.ncMax = optionInt(opt("-nc"), 128);
    if (g.ncMax < 1) {
        conEprintf("Illegal number of classes.\n");
        return MODULE_FAILED;
    }
    // Class numbers are bytes; a seed file's classes all stay.
    g.ncMax = std::min(g.ncMax, 256);
    if (seeds) g.ncMax = std::max(g.ncMax, getFeatureInfo(seeds.get(), FINFO_COUNT));
    g.nr = optionInt(opt("-nr"), 10);
    g.sk = optionInt(opt("-sk"), 2);
    if (g.sk < 1) {
        conEprintf("Illegal skip factor.\n");
        return MODULE_FAILED;
    }
    g.nr = std::max(g.nr, 0);
    g.w = windowOptions(opts);
    static const WindowMessages kMessages = {"start input row out of range.\n", "start input column out of range.\n",
                                             "start output row out of range.\n", "start output column out of range.\n"};
    if (!checkWindowStarts(g.w, id.rows, id.columns, g.out->def.rows, g.out->def.columns, kMessages))
        return MODULE_FAILED;
    clipWindow(&g.w, id.rows, id.columns, id.rows, id.columns, id.rows - g.w.ir, id.columns - g.w.ic);
    // 6. Sort order.
    std::vector<bool> used(static_cast<size_t>(g.n), false);
    if (const char *so = opt("-s")) {
        const char *p = so;
        while (*p) {
            char *end;
            long v = strtol(p, &end, 10);
            if (end == p || v < 1 || v > g.n) {
                conEprintf("Sorting variable is out of range: 1 - %d.\n", g.n);
                return MODULE_FAILED;
            }
            if (used[v - 1]) {
                conEprintf("Duplicated use of sorting variable.\n");
                return MODULE_FAILED;
            }
            used[v - 1] = true;
            g.order.push_back(static_cast<int>(v - 1));
            p = end;
            if (*p == ',' || *p == '/') ++p;
            else if (*p) {
                conEprintf("Sorting variable is out of range: 1 - %d.\n", g.n);
                return MODULE_FAILED;
            }
        }
    }
    for (int b = 0; b < g.n; ++b)
        if (!used[b]) g.order.push_back(b);
    // 7. The feature file's bands against the table's.
    if (seeds && g.table && g.table->bands != g.bands) {
        conEprintf("%s", texts::kInconsistantFeatures);
        return MODULE_FAILED;
    }
    // 8. Seeding.
    if (seeds) {
        g.seeding = SEED_FEATURES;
    } else if (const char *ini = opt("-ini")) {
        if (sameText(ini, "FIRST")) g.seeding = SEED_FIRST;
        else if (sameText(ini, "EQ")) g.seeding = SEED_EQ;
        else if (sameText(ini, "POP")) g.seeding = SEED_POP;
        else if (sameText(ini, "SB")) g.seeding = SEED_SB;
        else {
            conEprintf("Illegal initial class.\n");
            return MODULE_FAILED;
        }
    }
    if (g.paletteInput && g.seeding != SEED_FEATURES) g.seeding = SEED_FIRST;
    // A three-band BYTE input gets a table made on the spot.
    if (!g.table && !seeds && !g.paletteInput && g.n == 3 && id.pixel == PIX_BYTE) {
        g.table = makePTable(g.in.get(), g.bands);
        if (!g.table) {
            conEprintf("Error in makePTable.\n");
            return MODULE_FAILED;
        }
    }
    if (!g.table && (g.seeding == SEED_EQ || g.seeding == SEED_POP)) g.seeding = SEED_FIRST;
    if (g.table) {
        try {
            g.cTable.assign(static_cast<size_t>(g.table->count), -1);
        } catch (const std::bad_alloc &) {
            conEprintf("Error in malloc cTable.\n");
            return MODULE_FAILED;
        }
    }

    // isoInit: the spread of every band over the whole image.
    g.sigma.assign(static_cast<size_t>(g.n), 0.0);
    if (g.paletteInput) {
        std::vector<double> hist(256, 0.0);
        std::vector<float> row(static_cast<size_t>(id.columns));
        for (int r = 0; r < id.rows; ++r) {
            readLineValues(g.in.get(), r, 0, 0, id.columns, 1, row.data());
            for (float v : row) hist[std::clamp(static_cast<int>(v), 0, 255)] += 1;
        }
        for (int b = 0; b < 3; ++b) {
            double s = 0, s2 = 0, c = 0;
            for (int i = 0; i < 256; ++i) {
                const double v = id.palette[i][b];
                s += hist[i] * v, s2 += hist[i] * v * v, c += hist[i];
            }
            const double mean = c > 0 ? s / c : 0;
            g.sigma[b] = c > 0 ? std::sqrt(std::max(0.0, s2 / c - mean * mean)) : 0;
        }
    } else {
        if (computeBandStats(g.in.get(), STATS_REUSE, 1, 1) != 0 || !g.in->bandStats) {
            conEprintf("Error in gmemAlloc.\n");
            return MODULE_FAILED;
        }
        for (int b = 0; b < g.n; ++b) g.sigma[b] = g.in->bandStats[g.bands[b]].stdDev;
        for (int b = 0; b < std::min(g.n, 3); ++b) {
            const BandStats &s = g.in->bandStats[g.bands[g.order[b]]];
            g.summaries[b] = BandSummary{s.mean, s.stdDev, s.min, s.max};
        }
    }
    double totalStd = 0;
    for (int b = 0; b < g.n; ++b) {
        if (g.verbose) conPrintf("std[%d]: %.3f\n", b, g.sigma[b]);
        totalStd += g.sigma[b];
        if (g.sigma[b] == 0) g.sigma[b] = 3.4028235e38;
    }
    if (g.verbose) conPrintf("Total Std: %.3f\n", totalStd);
    g.dis = optionDouble(opt("-d"), 0.0);
    if (!(g.dis > 0)) g.dis = std::sqrt(static_cast<double>(g.n) / g.ncMax);
    g.iso.init(g.n, g.ncMax, g.sigma.data(), g.dis);
    if (seeds && !g.iso.fromBlock(seeds.get())) {
        conEprintf("Error in opening ISOFEATURES.\n");
        return MODULE_FAILED;
    }
    seeds.reset();
    if (g.verbose) conPrintf("ncMax %d nc %d DIS %7.3f bands: %d\n", g.ncMax, g.iso.classes(), g.dis, g.n);

    const bool ok = g.run();
    if (g.cancelled) conEprintf("rimage gisoc canceled...\n");
    meterReset();
    g.in.release();
    flushImage(g.out.get());
    notifyClients(g.out.get(), -1, g.out->def.nindices > 0 ? NOTIFY_CONFIG : NOTIFY_DATA);
    return ok || g.cancelled ? MODULE_DONE : MODULE_FAILED;
}

}  // namespace krel
