#include "analysis/statinfo.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/conio.h"
#include "core/runtime.h"

namespace krel {

namespace {

float loadFloat(const unsigned char *p)
{
    float v;
    memcpy(&v, p, 4);
    return v;
}
int32_t loadInt(const unsigned char *p)
{
    int32_t v;
    memcpy(&v, p, 4);
    return v;
}
double loadDouble(const unsigned char *p)
{
    double v;
    memcpy(&v, p, 8);
    return v;
}

// Texts of a file are printed only up to their field's end, terminated or not.
int textLength(const void *text, size_t field)
{
    return static_cast<int>(strnlen(static_cast<const char *>(text), field));
}

// Values "%15.6e", five to a line, then a closing newline.
void printRow5(const float *values, int n, int stride = 1)
{
    for (int i = 0; i < n; ++i) {
        conPrintf("%15.6e", static_cast<double>(values[static_cast<size_t>(i) * stride]));
        if ((i + 1) % 5 == 0) conPrintf("\n");
    }
    conPrintf("\n");
}

// The full symmetric matrix in column blocks of five.
template <class Entry>
void printMatrix(int n, Entry entry)
{
    for (int c0 = 0; c0 < n; c0 += 5) {
        int c1 = std::min(n, c0 + 5);
        for (int r = 0; r < n; ++r) {
            for (int c = c0; c < c1; ++c) conPrintf("%15.6e", entry(r, c));
            conPrintf("\n");
        }
        conPrintf("\n");
    }
}

void printStatFile(FeatureBlock *block, const char *statName, bool invert, int flags, bool *ok)
{
    const char *priv = static_cast<const char *>(getFeaturePrivate(block));
    if (priv && getFeaturePrivateSize(block) >= 128) {
        conPrintf("Stat Source: %.*s\n", textLength(priv, 64), priv);
        conPrintf("Stat Note  : %.*s\n", textLength(priv + 64, 64), priv + 64);
    } else {
        conPrintf("No private info.\n");
    }
    printBandList(block);
    int count = getFeatureInfo(block, FINFO_COUNT);
    int first = 0, last = count;
    if (statName) {
        first = findStat(block, statName);
        if (first < 0) {
            conEprintf("Can't find the stat: %s", statName);
            *ok = false;
            return;
        }
        last = first + 1;
    }
    for (int i = first; i < last; ++i) {
        if (invert) {
            double det = invertStat(block, i);
            if (det > 0.0)
                conPrintf("Det: %13.7e\n", det);
            else
                conPrintf("feature %d can not be inverted!\n", i);
        }
        printStatItem(block, i, flags);
    }
}

void printEigenFile(const FeatureBlock *block)
{
    int p = getFeatureInfo(block, FINFO_PARAMS);
    const auto *priv = static_cast<const unsigned char *>(getFeaturePrivate(block));
    if (priv && getFeaturePrivateSize(block) >= eigenPrivateSize(p)) {
        conPrintf("EVINFO Source  : %.*s\n", textLength(priv, 512), reinterpret_cast<const char *>(priv));
        conPrintf(loadInt(priv + 512) ? "EVINFO Note    : Normalized\n" : "EVINFO Note    : Non Normalized\n");
        conPrintf("EVINFO SQSTD   :\n");
        for (int i = 0; i < p; ++i) {
            conPrintf("%15.6e", static_cast<double>(loadFloat(priv + 516 + 8 * i)));
            if ((i + 1) % 5 == 0) conPrintf("\n");
        }
        conPrintf("\n");
        conPrintf("EVINFO MEAN    :\n");
        for (int i = 0; i < p; ++i) {
            conPrintf("%15.6e", static_cast<double>(loadFloat(priv + 520 + 8 * i)));
            if ((i + 1) % 5 == 0) conPrintf("\n");
        }
        conPrintf("\n");
    } else {
        conPrintf("No Private EVINFO.\n");
    }
    printBandList(block);
    int count = getFeatureInfo(block, FINFO_COUNT);
    double cumulative = 0.0;
    for (int k0 = 0; k0 < count; k0 += 5) {
        int k1 = std::min(count, k0 + 5);
        auto rec = [&](int k) { return static_cast<const unsigned char *>(getFeatureItem(block, k)); };
        conPrintf("\n\nEigen Vector Information\n");
        conPrintf("ID    :");
        for (int k = k0; k < k1; ++k) conPrintf("%7d      ", loadInt(rec(k)) + 1);
        conPrintf("\n");
        conPrintf("Value :");
        for (int k = k0; k < k1; ++k) conPrintf("%13.6e", static_cast<double>(loadFloat(rec(k) + 4)));
        conPrintf("\n");
        conPrintf("Pct   :");
        for (int k = k0; k < k1; ++k) conPrintf("%13.6f", static_cast<double>(loadFloat(rec(k) + 8)));
        conPrintf("\n");
        conPrintf("APct  :");
        for (int k = k0; k < k1; ++k) {
            cumulative += loadFloat(rec(k) + 8);
            conPrintf("%13.6f", cumulative);
        }
        conPrintf("\n");
        conPrintf("Vector:\n");
        for (int b = 0; b < p; ++b) {
            conPrintf("ch%4d:", getFeatureParam(block, b) + 1);
            for (int k = k0; k < k1; ++k) conPrintf("%13.7f", static_cast<double>(loadFloat(rec(k) + 12 + 4 * b)));
            conPrintf("\n");
        }
    }
    conPrintf("\n");
}

void printIsoFile(const FeatureBlock *block, int flags)
{
    conPrintf("ISO INFO - ");
    const auto *priv = static_cast<const unsigned char *>(getFeaturePrivate(block));
    if (priv && getFeaturePrivateSize(block) >= kIsoPrivateSize) {
        conPrintf("source: %.*s\n", textLength(priv + 24, 128), reinterpret_cast<const char *>(priv + 24));
        conPrintf("nClasses: %d nSamples %d RMS: %.4f DIS: %.4f\n", loadInt(priv + 20), loadInt(priv + 16),
                  loadDouble(priv), loadDouble(priv + 8));
    } else {
        conPrintf("No private info.\n");
    }
    if (flags & INFO_MEAN) isoPrint(block, 1);
    if (flags & INFO_STD) isoPrint(block, 2);
}

}  // namespace

bool parseInfoFlags(const char *info, int *flags)
{
    int f = 0;
    const char *p = info;
    while (*p) {
        size_t len = strcspn(p, "|,;:");
        if (len > 0) {
            char word[8] = {};
            if (len < sizeof word) memcpy(word, p, len);
            if (len >= sizeof word)
                f = -1;
            else if (caseCompare(word, "MEAN") == 0)
                f |= INFO_MEAN;
            else if (caseCompare(word, "STD") == 0)
                f |= INFO_STD;
            else if (caseCompare(word, "COV") == 0)
                f |= INFO_COV;
            else if (caseCompare(word, "COR") == 0)
                f |= INFO_COR;
            else if (caseCompare(word, "ALL") == 0)
                f = INFO_ALL;
            else if (caseCompare(word, "DEF") == 0)
                f = INFO_MEAN;
            else
                f = -1;
            if (f < 0) {
                conEprintf("Unknown option for -info\n");
                return false;
            }
        }
        p += len;
        if (*p) ++p;
    }
    *flags = f;
    return true;
}

void printBandList(const FeatureBlock *block)
{
    int p = getFeatureInfo(block, FINFO_PARAMS);
    conPrintf("Bands: %ld\n", static_cast<long>(p));
    for (int b = 0; b < p; ++b) {
        conPrintf("%10ld", static_cast<long>(getFeatureParam(block, b)) + 1);
        if ((b + 1) % 8 == 0) conPrintf("\n");
    }
    conPrintf("\n");
}

void printStatItem(const FeatureBlock *block, int i, int flags)
{
    StatItem item = statItem(const_cast<FeatureBlock *>(block), i);
    if (!item) return;
    int n = item.n;
    conPrintf("Stat Info Sequence # %d\n", i);
    conPrintf("ID     : %ld\n", static_cast<long>(item.id()));
    conPrintf("name   : %.*s\n", textLength(item.name(), kStatNameSize), item.name());
    conPrintf("note   : %.*s\n", textLength(item.note(), kStatNoteSize), item.note());
    conPrintf("nPixels: %ld\n", static_cast<long>(item.nPixels()));
    const float *cov = item.cov();
    if (flags & INFO_MEAN) {
        conPrintf("Mean values:\n");
        printRow5(item.mean(), n);
    }
    if (flags & INFO_STD) {
        conPrintf("Std values:\n");
        for (int b = 0; b < n; ++b) {
            conPrintf("%15.6e", static_cast<double>(cov[triIndex(b, b)]));
            if ((b + 1) % 5 == 0) conPrintf("\n");
        }
        conPrintf("\n");
    }
    if (flags & INFO_COV) {
        conPrintf("Covariance values:\n");
        printMatrix(n, [&](int r, int c) { return static_cast<double>(cov[triIndex(r, c)]); });
    }
    if (flags & INFO_COR) {
        conPrintf("Correlation values:\n");
        printMatrix(n, [&](int r, int c) {
            return cov[triIndex(r, c)] / std::sqrt(static_cast<double>(cov[triIndex(r, r)])) /
                   std::sqrt(static_cast<double>(cov[triIndex(c, c)]));
        });
    }
}

void isoPrint(const FeatureBlock *block, int which)
{
    static const char *const headings[] = {nullptr, "ISO_MEAN:\n", "ISO_DMEAN:\n", "ISO_SUM:\n"};
    if (which < 1 || which > 3) {
        conEprintf("Wrong flag for isoPrint\n");
        return;
    }
    int p = getFeatureInfo(block, FINFO_PARAMS);
    int count = getFeatureInfo(block, FINFO_COUNT);
    if (getFeatureInfo(block, FINFO_ITEM_SIZE) < isoItemSize(p)) return;
    conPrintf("%s", headings[which]);
    conPrintf("  ID  SAMPLES    SRMD2");
    for (int b = 0; b < p; ++b) conPrintf("  %4d  ", getFeatureParam(block, b) + 1);
    conPrintf("\n");
    for (int k = 0; k < count; ++k) {
        const auto *rec = static_cast<const unsigned char *>(getFeatureItem(block, k));
        conPrintf("#%3d %8ld %8.3f ", k, static_cast<long>(loadInt(rec)), static_cast<double>(loadFloat(rec + 8)));
        for (int b = 0; b < p; ++b) {
            const unsigned char *band = rec + 12 + 16 * b;
            double v = which == 1 ? loadFloat(band) : which == 2 ? loadFloat(band + 4) : loadDouble(band + 8);
            conPrintf("%7.3f ", v);
        }
        conPrintf("\n");
    }
}

void statinfoUsage(const char *program)
{
    conPrintf("Usage: %s -in IN -stat STAT -inv INV -info INFO\n", program);
    conPrintf("where IN      name of the feature file\n");
    conPrintf("      STAT    name of the feature\n");
    conPrintf("      INV     flag of inverting: Y or N (def: N)\n");
    conPrintf("      INFO    flag of stat info (MEAN|STD|COV|COR, ALL) (def: MEAN)\n");
}

int statinfoRun(const StatInfoOptions &o)
{
    if (o.in == nullptr) {
        conEprintf("Statistical file name missing.\n");
        return 0;
    }
    FeaturePtr block(getFeature(o.in, nullptr));
    if (!block) {
        conEprintf("Error in get features\n");
        return 0;
    }
    int flags = INFO_MEAN;
    if (o.info && !parseInfoFlags(o.info, &flags)) return 0;
    bool invert = false;
    if (o.inv && caseCompare(o.inv, "Y") == 0) {
        invert = true;
        flags = INFO_ALL;
    }
    bool ok = true;
    switch (getFeatureInfo(block.get(), FINFO_KIND)) {
        case FEATURE_STAT:
            printStatFile(block.get(), o.stat, invert, flags, &ok);
            break;
        case FEATURE_EIGEN:
            printEigenFile(block.get());
            break;
        case FEATURE_ISO:
            printIsoFile(block.get(), flags);
            break;
        default:
            ok = false;
            break;
    }
    return ok ? 1 : 0;
}

}  // namespace krel
