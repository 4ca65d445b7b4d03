#include "analysis/classify.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "analysis/simd.h"
#include "core/conio.h"
#include "core/texts.h"

namespace krel {

namespace {

// Pixels are decided in chunks: the best score and class of a chunk stay in
// the first-level cache while every class is tried against it.
constexpr int kChunk = 256;
constexpr int kMaxInputBands = 8192;

// ---- Distance scores with the band count known at compile time -----------
// The pixel's n values and the class mean live in registers, and the loop over
// the chunk's pixels becomes vector code. (The quadratic forms of MAHALANOBIS
// and BAYES need more coefficients than there are vector registers; they run
// band by band over arrays of the chunk, which vectorises better.)

template <int N, int RULE>
__attribute__((always_inline)) inline void scoreFixed(const float *const *rows, int offset, int count, int classes,
                                                      const float *means, float *best, int32_t *idx)
{
    const float *x[N];
    for (int b = 0; b < N; ++b) x[b] = rows[b] + offset;
    for (int k = 0; k < classes; ++k) {
        float m[N];
        for (int b = 0; b < N; ++b) m[b] = means[k * N + b];
        for (int s = 0; s < count; ++s) {
            float score = 0.0f;
            for (int b = 0; b < N; ++b) {
                float d = x[b][s] - m[b];
                score += RULE == RULE_EUCLIDEAN ? d * d : std::fabs(d);
            }
            bool better = score < best[s];
            best[s] = better ? score : best[s];
            idx[s] = better ? k : idx[s];
        }
    }
}

// ---- Scores for any band count ---------------------------------------------
// The same arithmetic band by band over arrays of the chunk; N > 0 fixes the
// band count at compile time, 0 takes it from `bands`.
template <int N>
__attribute__((always_inline)) inline void scoreGeneric(int rule, int bands, const float *const *rows, int offset,
                                                        int count, int classes, const float *means,
                                                        const float *inverses, const float *logDets,
                                                        const float *priors, float *scratch, float *best, int32_t *idx)
{
    const int n = N > 0 ? N : bands;
    float *score = scratch;              // kChunk
    float *t = scratch + kChunk;         // kChunk
    float *diff = scratch + 2 * kChunk;  // n x kChunk
    for (int k = 0; k < classes; ++k) {
        const float *m = means + static_cast<size_t>(k) * n;
        for (int s = 0; s < count; ++s) score[s] = 0.0f;
        if (rule == RULE_EUCLIDEAN || rule == RULE_PARALLELPIPE) {
            for (int b = 0; b < n; ++b) {
                const float *x = rows[b] + offset;
                float mb = m[b];
                if (rule == RULE_EUCLIDEAN)
                    for (int s = 0; s < count; ++s) score[s] += (x[s] - mb) * (x[s] - mb);
                else
                    for (int s = 0; s < count; ++s) score[s] += std::fabs(x[s] - mb);
            }
        } else {
            const float *inv = inverses + static_cast<size_t>(k) * n * n;
            for (int b = 0; b < n; ++b) {
                const float *x = rows[b] + offset;
                float *d = diff + static_cast<size_t>(b) * kChunk;
                for (int s = 0; s < count; ++s) d[s] = x[s] - m[b];
            }
            for (int i = 0; i < n; ++i) {
                const float *di = diff + static_cast<size_t>(i) * kChunk;
                float aii = inv[static_cast<size_t>(i) * n + i];
                for (int s = 0; s < count; ++s) t[s] = aii * di[s];
                for (int j = 0; j < i; ++j) {
                    const float *dj = diff + static_cast<size_t>(j) * kChunk;
                    float aij = 2.0f * inv[static_cast<size_t>(i) * n + j];
                    for (int s = 0; s < count; ++s) t[s] += aij * dj[s];
                }
                for (int s = 0; s < count; ++s) score[s] += di[s] * t[s];
            }
            float logDet = logDets[k], prior = priors[k];
            for (int s = 0; s < count; ++s) score[s] = logDet + score[s];
            if (rule == RULE_BAYES)
                for (int s = 0; s < count; ++s) score[s] = prior - score[s];
        }
        if (rule == RULE_BAYES) {
            for (int s = 0; s < count; ++s) {
                bool better = score[s] > best[s];
                best[s] = better ? score[s] : best[s];
                idx[s] = better ? k : idx[s];
            }
        } else {
            for (int s = 0; s < count; ++s) {
                bool better = score[s] < best[s];
                best[s] = better ? score[s] : best[s];
                idx[s] = better ? k : idx[s];
            }
        }
    }
}

struct ChunkJob {
    int rule, n, classes;
    const float *means, *inverses, *logDets, *priors;
    float threshold;
    float *scratch;
};

#define KREL_FIXED_CASE(N)                                                                                       \
    case N:                                                                                                      \
        if (job.rule == RULE_EUCLIDEAN)                                                                          \
            scoreFixed<N, RULE_EUCLIDEAN>(rows, offset, count, job.classes, job.means, best, idx);               \
        else if (job.rule == RULE_PARALLELPIPE)                                                                  \
            scoreFixed<N, RULE_PARALLELPIPE>(rows, offset, count, job.classes, job.means, best, idx);            \
        else                                                                                                     \
            scoreGeneric<N>(job.rule, N, rows, offset, count, job.classes, job.means, job.inverses, job.logDets, \
                            job.priors, job.scratch, best, idx);                                                 \
        break;

// Decides pixels offset..offset+count-1 (count <= kChunk) into out[0..count-1].
KREL_VECTOR_CLONES
void decideChunk(const ChunkJob &job, const float *const *rows, int offset, int count, int32_t *out)
{
    float best[kChunk];
    int32_t idx[kChunk];
    // Every class must be strictly better than the bound and than the best
    // so far, so "unknown" stands until a class wins and ties go to the
    // lower class number.
    float bound = job.rule == RULE_BAYES ? -3.4028235e38f : 3.4028235e38f;
    for (int s = 0; s < count; ++s) {
        best[s] = bound;
        idx[s] = job.classes;
    }
    switch (job.n) {
        KREL_FIXED_CASE(1)
        KREL_FIXED_CASE(2)
        KREL_FIXED_CASE(3)
        KREL_FIXED_CASE(4)
        KREL_FIXED_CASE(5)
        KREL_FIXED_CASE(6)
        KREL_FIXED_CASE(7)
        KREL_FIXED_CASE(8)
        default:
            scoreGeneric<0>(job.rule, job.n, rows, offset, count, job.classes, job.means, job.inverses, job.logDets,
                            job.priors, job.scratch, best, idx);
            break;
    }
    const int32_t unknown = job.classes;
    const float threshold = job.threshold;
    if (job.rule == RULE_EUCLIDEAN || job.rule == RULE_PARALLELPIPE) {
        const float bands = static_cast<float>(job.n);
        for (int s = 0; s < count; ++s) out[s] = best[s] / bands < threshold ? idx[s] : unknown;
    } else {
        for (int s = 0; s < count; ++s) out[s] = best[s] < threshold ? idx[s] : unknown;
    }
}

#undef KREL_FIXED_CASE

int readInt(const char *text, int fallback)
{
    if (text == nullptr) return fallback;
    return static_cast<int>(std::clamp<long>(strtol(text, nullptr, 10), INT_MIN, INT_MAX));
}

// Parses "a,b-c,..." (1-based, ranges ascending or descending) into `out`.
bool parseBandList(const char *text, std::vector<int> *out)
{
    const char *p = text;
    while (*p) {
        char *end;
        long a = strtol(p, &end, 10);
        if (end == p) return false;
        long b = a;
        p = end;
        if (*p == '-') {
            ++p;
            b = strtol(p, &end, 10);
            if (end == p) return false;
            p = end;
        }
        long step = a <= b ? 1 : -1;
        for (long v = a;; v += step) {
            if (out->size() >= static_cast<size_t>(kMaxInputBands) || v < INT_MIN || v > INT_MAX) return false;
            out->push_back(static_cast<int>(v));
            if (v == b) break;
        }
        // The usage text shows "1:2:3"; commas are accepted alike.
        if (*p == ',' || *p == ':')
            ++p;
        else if (*p)
            return false;
    }
    return !out->empty();
}

}  // namespace

bool classifyRule(const char *op, int *rule)
{
    static const char *const names[] = {"EUCLIDEAN", "PARALLELPIPE", "MAHALANOBIS", "BAYES"};
    if (op == nullptr) {
        *rule = RULE_EUCLIDEAN;
        return true;
    }
    size_t len = strlen(op);
    for (int i = 0; i < 4; ++i) {
        if (len > 0 && len <= strlen(names[i]) && strncmp(names[i], op, len) == 0) {
            *rule = i + 1;
            return true;
        }
    }
    conEprintf("Unknown option: %s\n", op);
    return false;
}

bool classifyBands(const char *ib, int imageBands, const FeatureBlock *stat, std::vector<int> *bands)
{
    std::vector<int> list;
    int p = getFeatureInfo(stat, FINFO_PARAMS);
    if (ib && isdigit(static_cast<unsigned char>(ib[0]))) {
        if (!parseBandList(ib, &list) || list.size() > static_cast<size_t>(imageBands)) {
            conEprintf("Illegal band number.\n");
            return false;
        }
        for (int &b : list) {
            if (b < 1 || b > imageBands) {
                conEprintf("Illegal band number.\n");
                return false;
            }
            --b;
        }
    } else {
        // The stat file's own bands must exist in the image as well.
        for (int i = 0; i < p; ++i) {
            int b = getFeatureParam(stat, i);
            if (b < 0 || b >= imageBands) {
                conEprintf("Illegal band number.\n");
                return false;
            }
            list.push_back(b);
        }
    }
    std::vector<char> seen(static_cast<size_t>(std::max(imageBands, 1)), 0);
    for (int b : list) {
        if (seen[b]) {
            conEprintf("Duplicated input band.\n");
            return false;
        }
        seen[b] = 1;
    }
    for (int b : list) {
        bool found = false;
        for (int i = 0; i < p && !found; ++i) found = getFeatureParam(stat, i) == b;
        if (!found) {
            conEprintf("Input band %d is not found in features.\n", b + 1);
            return false;
        }
    }
    *bands = std::move(list);
    return true;
}

bool classifyWindow(int inRows, int inCols, int outRows, int outCols, const char *ir, const char *ic, const char *orow,
                    const char *oc, const char *r, const char *c, ClassWindow *window)
{
    ClassWindow w;
    w.ir = readInt(ir, 0);
    w.ic = readInt(ic, 0);
    w.orow = readInt(orow, 0);
    w.oc = readInt(oc, 0);
    if (w.ir < 0 || w.ir >= inRows) {
        conEprintf("input start row out of range.\n");
        return false;
    }
    if (w.ic < 0 || w.ic >= inCols) {
        conEprintf("%s", texts::kInputStartColum);
        return false;
    }
    if (w.orow < 0 || w.orow >= outRows) {
        conEprintf("output start row out of range.\n");
        return false;
    }
    if (w.oc < 0 || w.oc >= outCols) {
        conEprintf("output start column out of range.\n");
        return false;
    }
    w.rows = std::max(0, std::min({readInt(r, inRows), inRows - w.ir, outRows - w.orow}));
    w.cols = std::max(0, std::min({readInt(c, inCols), inCols - w.ic, outCols - w.oc}));
    *window = w;
    return true;
}

bool ClassLines::allocate(int bands, int columns, const char *who)
{
    size_t cols = static_cast<size_t>(std::max(columns, 0)) + 1;
    bool ok = data.allocate(static_cast<size_t>(std::max(bands, 0)) * cols + 1) &&
              rows.allocate(static_cast<size_t>(std::max(bands, 0)) + 1) && out.allocate(cols);
    if (!ok) {
        conEprintf("Error in gmemAlloc: %s\n", who);
        return false;
    }
    for (int b = 0; b < bands; ++b) rows[b] = data.get() + b * cols;
    return true;
}

bool ClassModel::create(const FeatureBlock *stat, const int *bands, int n, int rule, double tshd)
{
    rule_ = rule;
    n_ = n;
    k_ = getFeatureInfo(stat, FINFO_COUNT);
    threshold_ = static_cast<float>(tshd * tshd);
    int p = getFeatureInfo(stat, FINFO_PARAMS);
    if (n < 1 || rule < RULE_EUCLIDEAN || rule > RULE_BAYES ||
        getFeatureInfo(stat, FINFO_ITEM_SIZE) != statItemSize(p)) {
        conEprintf("Error in createClusters: no bands or not a stat file.\n");
        return false;
    }
    std::vector<int> pos(static_cast<size_t>(n));
    for (int b = 0; b < n; ++b) {
        pos[b] = -1;
        for (int i = 0; i < p && pos[b] < 0; ++i)
            if (getFeatureParam(stat, i) == bands[b]) pos[b] = i;
        if (pos[b] < 0) {
            conEprintf("Input band %d is not found in features.\n", bands[b] + 1);
            return false;
        }
    }
    size_t kn = static_cast<size_t>(k_) * n + 1;
    bool full = rule == RULE_MAHALANOBIS || rule == RULE_BAYES;
    bool ok = means_.allocate(kn) && logDet_.allocate(k_ + 1) && priors_.allocate(k_ + 1) && hits_.allocate(k_ + 1) &&
              scratch_.allocate((static_cast<size_t>(n) + 2) * kChunk) &&
              (full ? inverses_.allocate(static_cast<size_t>(k_) * n * n + 1) : variances_.allocate(kn));
    GmemArray<double> matrix;
    if (ok && full) ok = matrix.allocate(static_cast<size_t>(n) * n);
    if (!ok) {
        conEprintf("Error in gmemAlloc - createClusters.\n");
        return false;
    }
    auto *block = const_cast<FeatureBlock *>(stat);
    int errors = 0;
    for (int k = 0; k < k_; ++k) {
        StatItem item = statItem(block, k);
        const float *mean = item.mean(), *cov = item.cov();
        for (int b = 0; b < n; ++b) means_[static_cast<size_t>(k) * n + b] = mean[pos[b]];
        if (!full) {
            for (int b = 0; b < n; ++b) variances_[static_cast<size_t>(k) * n + b] = cov[triIndex(pos[b], pos[b])];
            continue;
        }
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) matrix[static_cast<size_t>(i) * n + j] = cov[triIndex(pos[i], pos[j])];
        double det = dgb(matrix.get(), n);
        if (!(det > 0.0)) {
            conEprintf("Error in inverting:%d\n", k);
            ++errors;
            continue;
        }
        float *inv = inverses_.get() + static_cast<size_t>(k) * n * n;
        for (size_t e = 0; e < static_cast<size_t>(n) * n; ++e) inv[e] = static_cast<float>(matrix[e]);
        logDet_[k] = static_cast<float>(std::log(std::max(det, 2.2250738585072014e-308)));
    }
    if (errors) {
        conEprintf("Total Errors in invertStateItem:%d\n", errors);
        return false;
    }
    return true;
}

void ClassModel::decide(int rule, const float *const *rows, int columns, int32_t *out, uint8_t *narrow)
{
    ChunkJob job{rule, n_, k_, means_.get(), inverses_.get(), logDet_.get(), priors_.get(), threshold_, scratch_.get()};
    int64_t *hits = hits_.get();
    int32_t local[kChunk];
    for (int offset = 0; offset < columns; offset += kChunk) {
        int count = std::min(kChunk, columns - offset);
        int32_t *o = out ? out + offset : local;
        decideChunk(job, rows, offset, count, o);
        // The unknown class K has a counter too, so the count needs no test.
        for (int s = 0; s < count; ++s) ++hits[o[s]];
        if (narrow)
            for (int s = 0; s < count; ++s) narrow[offset + s] = static_cast<uint8_t>(std::min(o[s], 255));
    }
    hits[k_] = 0;
}

void ClassModel::classifyLine(const float *const *rows, int columns, int32_t *out)
{
    decide(rule_, rows, columns, out, nullptr);
}

void ClassModel::classifyLine(const float *const *rows, int columns, uint8_t *out)
{
    decide(rule_, rows, columns, nullptr, out);
}

void ClassModel::priorLine(const float *const *rows, int columns)
{
    decide(RULE_PARALLELPIPE, rows, columns, nullptr, nullptr);
}

void ClassModel::finishPrior()
{
    int64_t total = 0;
    for (int k = 0; k < k_; ++k) total += hits_[k];
    for (int k = 0; k < k_; ++k) {
        priors_[k] = hits_[k] > 0 ? static_cast<float>(2.0 * std::log(static_cast<double>(hits_[k]) / total)) : 0.0f;
        hits_[k] = 0;
    }
}

void ClassModel::takeHits(ClassModel &other)
{
    if (other.k_ != k_) return;
    for (int k = 0; k < k_; ++k) {
        hits_[k] += other.hits_[k];
        other.hits_[k] = 0;
    }
}

void ClassModel::copyPriors(const ClassModel &other)
{
    if (other.k_ != k_) return;
    for (int k = 0; k < k_; ++k) priors_[k] = other.priors_[k];
}

void classPalette(const ClassModel &model, int bits, const BandSummary *summaries, PaletteColour *palette, int nindices)
{
    int classes = model.classes(), c = std::min(model.bands(), 3);
    for (int k = 0; k < classes && k < nindices; ++k) {
        uint8_t comp[3] = {0, 0, 0};
        for (int b = 0; b < c; ++b) {
            double m = model.mean(k)[b];
            if (bits > 8) {
                const BandSummary &s = summaries[b];
                double sd = s.sd == 0.0 ? 3.4028234663852886e+38 : s.sd;
                double low = std::max(s.mean - 2.5 * sd, s.min), high = std::min(s.mean + 2.5 * sd, s.max);
                double width = high - low;
                if (width == 0.0) width = 1e-17;
                double v = std::round((m - low) / width * 255.0);
                comp[b] = static_cast<uint8_t>(v >= 255.0 ? 255 : v > 0.0 ? v : 0);  // NaN gives 0
            } else {
                // Rounded half away from zero, kept as its low 8 bits.
                double r = std::round(std::clamp(m, -1e9, 1e9));
                if (std::isnan(r)) r = 0.0;
                comp[b] = static_cast<uint8_t>(static_cast<long long>(r) & 0xFF);
            }
        }
        if (c == 1) {
            palette[k].red = palette[k].green = palette[k].blue = comp[0];
        } else {
            palette[k].red = comp[0];
            palette[k].green = comp[1];
            if (c == 3) palette[k].blue = comp[2];
        }
    }
    for (int k = std::max(classes, 0); k < nindices; ++k) palette[k] = PaletteColour{};
}

void classifyUsage(const char *program)
{
    conPrintf(
        "Usage: %s -in IN -out OUT -stat STAT -ib IB -ob OB -o OP -norm NORM -tshd TSHD -ir IR -ic IC -or OR "
        "-oc OC -r R -c C\n",
        program);
    conPrintf("where  IN     input rimage ID\n");
    conPrintf("       OUT    output rimage ID\n");
    conPrintf("       STAT   statistical file name\n");
    conPrintf("       IB     input image bands (i.e., 1:2:...n)\n");
    conPrintf("       OB     output image band\n");
    conPrintf("       OP     option of classifier: E, P, M, B\n");
    conPrintf("       NORM   flag of normalization: Y for yes or N for No\n");
    conPrintf("       TSHD   threshold for unknowns (def: 10)\n");
    conPrintf("       IR     start row of the input image\n");
    conPrintf("       IC     start column of the input image\n");
    conPrintf("       OR     start row of the output image\n");
    conPrintf("       OC     start column of the output image\n");
    conPrintf("       R      the number of rows to process\n");
    conPrintf("       C      the number of columns to process\n");
}

}  // namespace krel
