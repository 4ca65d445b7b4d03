#include "analysis/eigen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/buffer.h"
#include "core/conio.h"
#include "core/runtime.h"

namespace krel {

namespace {

// y = A x over the packed triangle itself: slower than a full copy, but
// needs no memory beyond the vectors.
void multiplyPacked(const double *tri, const double *x, double *y, int n)
{
    for (int i = 0; i < n; ++i) {
        double s = 0.0;
        for (int j = 0; j < n; ++j) s += tri[triIndex(i, j)] * x[j];
        y[i] = s;
    }
}

void multiplyFull(const double *a, const double *x, double *y, int n)
{
    for (int i = 0; i < n; ++i) {
        const double *row = a + static_cast<size_t>(i) * n;
        double s = 0.0;
        for (int j = 0; j < n; ++j) s += row[j] * x[j];
        y[i] = s;
    }
}

}  // namespace

int calcEV(double *tri, double *x, int n, double eps, int maxIter, double *lambda)
{
    *lambda = 0.0;
    if (n <= 0) return 1;
    GmemArray<double> y(static_cast<size_t>(n));
    if (!y) {
        // The process goes on: the caller fails its run.
        conEprintf("Error of malloc in calcEV.\n");
        return 0;
    }
    GmemArray<double> full(static_cast<size_t>(n) * n);
    if (full)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) full[static_cast<size_t>(i) * n + j] = tri[triIndex(i, j)];
    auto multiply = [&](const double *in, double *out) {
        if (full)
            multiplyFull(full.get(), in, out, n);
        else
            multiplyPacked(tri, in, out, n);
    };

    // The start vector is the first unit vector that A does not annihilate:
    // from a start in A's null space the iteration would divide by zero.
    int start = 0;
    for (; start < n; ++start) {
        std::fill(x, x + n, 0.0);
        x[start] = 1.0;
        multiply(x, y.get());
        bool nonzero = false;
        for (int i = 0; i < n; ++i) nonzero |= y[i] != 0.0;
        if (nonzero) break;
    }
    if (start == n) {  // A is zero: any unit vector is an eigenvector of 0
        std::fill(x, x + n, 0.0);
        x[0] = 1.0;
        return 1;
    }

    double previous = 1000.0, value = 0.0;
    for (int iter = 0; iter < maxIter; ++iter) {
        multiply(x, y.get());
        int big = 0;
        for (int i = 1; i < n; ++i)
            if (std::fabs(y[i]) > std::fabs(y[big])) big = i;  // first wins on equal values
        value = y[big];
        if (value == 0.0) break;  // x lies in A's null space: x is an eigenvector of 0
        double change = 0.0;
        for (int i = 0; i < n; ++i) {
            double next = y[i] / value;
            change = std::max(change, std::fabs(next - x[i]));
            x[i] = next;
        }
        double valueChange = std::fabs(value - previous);
        previous = value;
        if (change <= eps && valueChange <= eps) break;
    }
    double norm = 0.0;
    for (int i = 0; i < n; ++i) norm += x[i] * x[i];
    norm = std::sqrt(norm);
    if (norm > 0.0)
        for (int i = 0; i < n; ++i) x[i] /= norm;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i <= j; ++i) tri[triIndex(i, j)] -= value * x[i] * x[j];
    *lambda = value;
    return 1;
}

void egvUsage(const char *program)
{
    conPrintf("Usage: %s -in IN -out OUT -stat STAT -id ID -negvs NEGVS -o OPT -iter ITER -err ERR\n", program);
    conPrintf("where IN    name of the input stat file\n");
    conPrintf("      OUT   name of the output eigen vector file\n");
    conPrintf("      STAT  name of the stat\n");
    conPrintf("      ID    id number of the stat\n");
    conPrintf("      NEGVS number of eigen vectors\n");
    conPrintf("      OPT   NORM or NONNORM (def:NONORM)\n");
    conPrintf("      ITER  iteration number (def:512)\n");
    conPrintf("      ERR   error of convergence (def:0.0000000001)\n");
}

int egvRun(const EgvOptions &o)
{
    if (o.in == nullptr) {
        conEprintf("Input stat file missing!\n");
        return 0;
    }
    if (o.out == nullptr) {
        conEprintf("output eigen vector file missing!\n");
        return 0;
    }
    FeaturePtr stat(getFeature(o.in, kStatFeatureId));
    if (!stat) {
        conEprintf("Fail to get feature file: %s\n", o.in);
        return 0;
    }
    int count = getFeatureInfo(stat.get(), FINFO_COUNT);
    int p = getFeatureInfo(stat.get(), FINFO_PARAMS);
    int index = 0;
    if (o.id) {
        long id = strtol(o.id, nullptr, 10);
        if (id < 0 || id >= count) {
            conEprintf("Invalid statID %s\n", o.id);
            return 0;
        }
        index = static_cast<int>(id);
    } else if (o.stat) {
        index = findStat(stat.get(), o.stat);
        if (index < 0) {
            conEprintf("Couldn't find stat: %s\n", o.stat);
            return 0;
        }
    } else if (count == 0) {
        conEprintf("Invalid statID %s\n", "0");
        return 0;
    }
    int negvs = p;
    if (o.negvs) negvs = static_cast<int>(std::clamp<long>(strtol(o.negvs, nullptr, 10), 0, p));
    bool norm = false;
    if (o.o) {
        if (caseCompare(o.o, "NORM") == 0)
            norm = true;
        else if (caseCompare(o.o, "NONNORM") != 0) {
            conEprintf("Undefined option: %s\n", o.o);
            return 0;
        }
    }
    int maxIter = o.iter ? static_cast<int>(std::clamp<long>(strtol(o.iter, nullptr, 10), 0, 1L << 30)) : 512;
    float eps = o.err ? static_cast<float>(strtod(o.err, nullptr)) : 1e-10f;

    std::vector<int32_t> bands(static_cast<size_t>(p));
    for (int b = 0; b < p; ++b) bands[b] = getFeatureParam(stat.get(), b);
    int64_t privateSize = eigenPrivateSize(p);
    FeaturePtr egv(newFeature(kEigenFeatureId, bands.data(), p, static_cast<int>(eigenItemSize(p)), negvs, nullptr,
                              static_cast<int>(privateSize)));
    if (!egv) {
        conEprintf("Error in creating EGV feature.\n");
        return 0;
    }
    StatItem item = statItem(stat.get(), index);
    unsigned char *priv = static_cast<unsigned char *>(getFeaturePrivate(egv.get()));
    int32_t flag = norm ? 1 : 0;
    memcpy(priv + 512, &flag, 4);
    float *cov = item.cov(), *mean = item.mean();
    for (int b = 0; b < p; ++b) {
        memcpy(priv + 516 + 8 * b, &cov[triIndex(b, b)], 4);
        memcpy(priv + 520 + 8 * b, &mean[b], 4);
    }

    if (norm) {
        // A band without variance has no correlation with any other: its
        // entries become 0 rather than a division by zero.
        for (int j = 0; j < p; ++j)
            for (int i = 0; i < j; ++i) {
                double vi = cov[triIndex(i, i)], vj = cov[triIndex(j, j)];
                double r = vi > 0.0 && vj > 0.0 ? cov[triIndex(i, j)] / std::sqrt(vi) / std::sqrt(vj) : 0.0;
                cov[triIndex(i, j)] = static_cast<float>(r);
            }
        for (int b = 0; b < p; ++b) cov[triIndex(b, b)] = mean[b] = 1.0f;
    }

    GmemArray<double> tri(static_cast<size_t>(triSize(p)) + 1), x(static_cast<size_t>(p) + 1);
    if (!tri || !x) {
        conEprintf("Error in creating EGV feature.\n");
        return 0;
    }
    double total = 0.0;
    for (int j = 0; j < p; ++j)
        for (int i = 0; i <= j; ++i) tri[triIndex(i, j)] = cov[triIndex(i, j)];
    for (int b = 0; b < p; ++b) total += tri[triIndex(b, b)];

    double sumPct = 0.0;
    for (int k = 0; k < negvs; ++k) {
        double value;
        if (!calcEV(tri.get(), x.get(), p, eps, maxIter, &value)) {
            meterReset();
            return 0;
        }
        auto *rec = static_cast<unsigned char *>(getFeatureItem(egv.get(), k));
        int32_t id = k;
        float lambda = static_cast<float>(value);
        // With no variance at all there is nothing to share out.
        float pct = total > 0.0 ? static_cast<float>(value / total * 100.0) : 0.0f;
        memcpy(rec, &id, 4);
        memcpy(rec + 4, &lambda, 4);
        memcpy(rec + 8, &pct, 4);
        for (int b = 0; b < p; ++b) {
            float v = static_cast<float>(x[b]);
            memcpy(rec + 12 + 4 * b, &v, 4);
        }
        sumPct += pct;
        meterSet("egv", static_cast<float>(k + 1) / static_cast<float>(negvs));
    }
    for (int j = 0; j < p; ++j)
        for (int i = 0; i <= j; ++i) cov[triIndex(i, j)] = static_cast<float>(tri[triIndex(i, j)]);
    meterReset();

    char name[kStatNameSize + 1] = {};
    memcpy(name, item.name(), strnlen(item.name(), kStatNameSize));
    snprintf(reinterpret_cast<char *>(priv), 512, "%s %s %d", o.in, name, index);
    if (!saveFeature(o.out, egv.get())) return 0;
    conPrintf("AEVPct: %.6f\n", sumPct);
    return 1;
}

}  // namespace krel
