// libFuzzer target: feature files (class statistics, eigenvectors, cluster
// centres) as getFeature accepts them, listed by statinfo in every layout and
// with each class covariance inverted; eigenvector files also as the
// principal-component transform takes them.
//
// With KREL_FUZZ_SEEDS=DIR in the environment the binary writes one file of
// each kind into DIR and stops: no other program writes these files.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/feature.h"
#include "analysis/statinfo.h"
#include "analysis/trans.h"
#include "platform/files.h"
#include "reader.h"

namespace {

using namespace krel;

void writeSeeds(const std::string &dir)
{
    const int32_t bands[3] = {0, 2, 3};
    const int n = 3;
    FeaturePtr stat(newFeature(kStatFeatureId, bands, n, statItemSize(n), 0, nullptr, kStatPrivateSize));
    for (int k = 0; k < 3 && stat; ++k) {
        if (!addFeature(stat, nullptr)) return;
        StatItem item = statItem(stat.get(), k);
        item.setName(k == 0 ? "water" : k == 1 ? "forest" : "urban");
        item.setPixels(100 * (k + 1));
        item.setId(k);
        for (int b = 0; b < n; ++b) item.mean()[b] = 20.0f * (k + 1) + b;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i <= j; ++i) item.cov()[triIndex(i, j)] = i == j ? 4.0f + k : 0.5f;
    }
    FeaturePtr eigen(newFeature(kEigenFeatureId, bands, n, static_cast<int>(eigenItemSize(n)), n, nullptr,
                                static_cast<int>(eigenPrivateSize(n))));
    FeaturePtr iso(newFeature(kIsoFeatureId, bands, n, static_cast<int>(isoItemSize(n)), 4, nullptr,
                              kIsoPrivateSize));
    if (stat) saveFeature((dir + "/stat.ftr").c_str(), stat.get());
    if (eigen) saveFeature((dir + "/eigen.ftr").c_str(), eigen.get());
    if (iso) saveFeature((dir + "/iso.ftr").c_str(), iso.get());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    krel::fuzz::writeOwnSeeds(writeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const krel::fuzz::TempFile file("ftr");
    if (!krel::fuzz::putInput(file, data, size)) return 0;
    FeaturePtr block(getFeature(file.path.c_str(), nullptr));
    if (!block) return 0;
    if (getFeatureInfo(block.get(), FINFO_KIND) == FEATURE_STAT) {
        findStat(block.get(), "forest");
        for (int i = 0; i < getFeatureInfo(block.get(), FINFO_COUNT) && i < 64; ++i) invertStat(block.get(), i);
    }
    if (getFeatureInfo(block.get(), FINFO_KIND) == FEATURE_EIGEN) {
        EigenBasis basis;
        std::vector<int> components;
        if (eigenBasis(block.get(), 8, &basis))
            parseComponents("1-2,3", static_cast<int>(basis.weights.size()), &components);
    }
    StatInfoOptions listing;
    listing.in = file.path.c_str();
    listing.info = "ALL";
    statinfoRun(listing);
    listing.inv = "Y";
    statinfoRun(listing);
    return 0;
}
