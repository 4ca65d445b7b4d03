#include "analysis/gstat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support.h"

using namespace krel;

namespace {

// A planar byte image with correlated bands.
struct Scene {
    int rows, cols, n;
    std::vector<uint8_t> data;  // band-sequential
    Scene(int r, int c, int bands, unsigned seed) : rows(r), cols(c), n(bands), data(size_t(r) * c * bands)
    {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> u(0, 255), noise(-20, 20);
        for (size_t p = 0; p < size_t(r) * c; ++p) {
            int base = u(rng);
            for (int b = 0; b < n; ++b)
                data[b * size_t(r) * c + p] =
                    static_cast<uint8_t>(std::clamp(base / (b + 1) + noise(rng) + 10 * b, 0, 255));
        }
    }
    const uint8_t *at(int b, int r, int c) const { return &data[(size_t(b) * rows + r) * cols + c]; }
};

// Reference mean and population covariance over the selected pixels, in
// double straight from the definition.
struct Reference {
    int64_t count = 0;
    std::vector<double> mean, cov;
};
Reference reference(const Scene &s, const StatRegion &g, const std::vector<uint8_t> *mask, int maskId)
{
    Reference ref;
    ref.mean.assign(s.n, 0.0);
    ref.cov.assign(triSize(s.n), 0.0);
    std::vector<std::vector<double>> picked;
    for (int r = g.sr; r < g.sr + g.rows; r += g.dy)
        for (int c = g.sc; c < g.sc + g.cols; c += g.dx) {
            if (mask && (*mask)[size_t(r) * s.cols + c] != maskId) continue;
            std::vector<double> x(s.n);
            for (int b = 0; b < s.n; ++b) x[b] = *s.at(b, r, c);
            picked.push_back(x);
        }
    ref.count = static_cast<int64_t>(picked.size());
    if (picked.empty()) return ref;
    for (auto &x : picked)
        for (int b = 0; b < s.n; ++b) ref.mean[b] += x[b] / ref.count;
    for (auto &x : picked)
        for (int j = 0; j < s.n; ++j)
            for (int i = 0; i <= j; ++i)
                ref.cov[triIndex(i, j)] += (x[i] - ref.mean[i]) * (x[j] - ref.mean[j]) / ref.count;
    return ref;
}

// Runs the accumulator over a region the way the module does.
void accumulate(StatAccumulator &acc, const Scene &s, const StatRegion &g, const std::vector<uint8_t> *mask, int maskId,
                bool asReals)
{
    ASSERT_TRUE(acc.init(s.n, g.samples));
    std::vector<const uint8_t *> rows(s.n);
    std::vector<std::vector<float>> reals(s.n, std::vector<float>(s.cols));
    std::vector<const float *> realRows(s.n);
    for (int r = g.sr; r < g.sr + g.rows; r += g.dy) {
        const uint8_t *m = mask ? &(*mask)[size_t(r) * s.cols + g.sc] : nullptr;
        if (m && !acc.rowSelected(m, g.dx, maskId)) continue;
        for (int b = 0; b < s.n; ++b) {
            rows[b] = s.at(b, r, g.sc);
            for (int c = 0; c < s.cols - g.sc; ++c) reals[b][c] = rows[b][c];
            realRows[b] = reals[b].data();
        }
        if (asReals)
            acc.addRow(realRows.data(), g.dx, m, maskId);
        else
            acc.addRow(rows.data(), g.dx, m, maskId);
    }
    acc.finish();
}

void expectItemMatches(const StatItem &item, const Reference &ref)
{
    ASSERT_EQ(item.nPixels(), ref.count);
    for (int b = 0; b < item.n; ++b) EXPECT_NEAR(item.mean()[b], ref.mean[b], 1e-4 * (1 + std::fabs(ref.mean[b])));
    for (int t = 0; t < triSize(item.n); ++t)
        EXPECT_NEAR(item.cov()[t], ref.cov[t], 1e-4 * (1 + std::fabs(ref.cov[t])));
}

}  // namespace

TEST(StatRegion, CutsTheRegionAndChecksTheStart)
{
    StatRegion g;
    ASSERT_TRUE(statRegion(100, 80, "10", "5", nullptr, "1000", "3", "0", &g));
    EXPECT_EQ(g.rows, 90);
    EXPECT_EQ(g.cols, 75);
    EXPECT_EQ(g.dx, 3);
    EXPECT_EQ(g.dy, 1);  // a step of 0 would never advance
    EXPECT_EQ(g.samples, 25);
    ASSERT_TRUE(statRegion(100, 80, nullptr, nullptr, "7", "7", "-4", "2", &g));
    EXPECT_EQ(g.dx, 1);
    EXPECT_EQ(g.samples, 7);
    test::ConsoleCapture cap;
    EXPECT_FALSE(statRegion(100, 80, "100", nullptr, nullptr, nullptr, nullptr, nullptr, &g));
    EXPECT_FALSE(statRegion(100, 80, nullptr, "-1", nullptr, nullptr, nullptr, nullptr, &g));
    EXPECT_EQ(cap.err, "start row out of range.\nstart column out of range.\n");
}

TEST(StatAccumulator, MatchesTheDefinitionAcrossManyBatches)
{
    Scene s(130, 300, 4, 1);  // 39000 samples: folded in several batches
    StatRegion g;
    ASSERT_TRUE(statRegion(s.rows, s.cols, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &g));
    StatAccumulator acc;
    accumulate(acc, s, g, nullptr, 1, false);
    FeaturePtr fb(newFeature(kStatFeatureId, nullptr, 4, statItemSize(4), 1, nullptr, 0));
    ASSERT_EQ(acc.poolInto(statItem(fb.get(), 0)), PoolResult::Pooled);
    expectItemMatches(statItem(fb.get(), 0), reference(s, g, nullptr, 1));
}

TEST(StatAccumulator, BytesAndRealsGiveTheSameBits)
{
    Scene s(64, 200, 3, 2);
    std::vector<uint8_t> mask(size_t(s.rows) * s.cols);
    for (size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<uint8_t>((i * 7919) % 5);
    StatRegion g;
    ASSERT_TRUE(statRegion(s.rows, s.cols, "3", "11", nullptr, "170", "3", "2", &g));
    StatAccumulator a, b;
    accumulate(a, s, g, &mask, 2, false);
    accumulate(b, s, g, &mask, 2, true);
    ASSERT_EQ(a.count(), b.count());
    EXPECT_EQ(memcmp(a.mean(), b.mean(), 3 * sizeof(double)), 0);
    EXPECT_EQ(memcmp(a.product(), b.product(), 6 * sizeof(double)), 0);
    FeaturePtr fb(newFeature(kStatFeatureId, nullptr, 3, statItemSize(3), 1, nullptr, 0));
    ASSERT_EQ(a.poolInto(statItem(fb.get(), 0)), PoolResult::Pooled);
    expectItemMatches(statItem(fb.get(), 0), reference(s, g, &mask, 2));
}

TEST(StatAccumulator, MaskedRealsIgnoreWhatLiesOutsideTheMask)
{
    // A NaN under an unselected mask value must not reach the sums.
    float band0[4] = {1, NAN, 3, INFINITY};
    float band1[4] = {2, 5, 4, 7};
    const float *rows[2] = {band0, band1};
    uint8_t mask[4] = {1, 0, 1, 9};
    StatAccumulator acc;
    ASSERT_TRUE(acc.init(2, 4));
    EXPECT_FALSE(acc.rowSelected(mask, 1, 3));
    EXPECT_FALSE(acc.rowSelected(mask, 1, 300));
    EXPECT_TRUE(acc.rowSelected(mask, 1, 9));
    acc.addRow(rows, 1, mask, 1);
    acc.finish();
    EXPECT_EQ(acc.count(), 2);
    EXPECT_DOUBLE_EQ(acc.mean()[0], 2.0);
    EXPECT_DOUBLE_EQ(acc.mean()[1], 3.0);
    EXPECT_DOUBLE_EQ(acc.product()[triIndex(0, 1)], 7.0);  // (1 x 2 + 3 x 4) / 2
}

TEST(StatAccumulator, PoolingTwoDisjointRegionsEqualsTheUnion)
{
    Scene s(120, 150, 5, 3);
    std::vector<uint8_t> mask(size_t(s.rows) * s.cols);
    std::mt19937 rng(5);
    for (auto &m : mask) m = static_cast<uint8_t>(rng() % 3);
    // Rows 0..69 and rows 70..119 under mask value 1, pooled into one item.
    StatRegion top, bottom, all;
    ASSERT_TRUE(statRegion(s.rows, s.cols, "0", "0", "70", nullptr, nullptr, nullptr, &top));
    ASSERT_TRUE(statRegion(s.rows, s.cols, "70", "0", nullptr, nullptr, nullptr, nullptr, &bottom));
    ASSERT_TRUE(statRegion(s.rows, s.cols, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &all));
    FeaturePtr fb(newFeature(kStatFeatureId, nullptr, 5, statItemSize(5), 1, nullptr, 0));
    StatAccumulator acc;
    accumulate(acc, s, top, &mask, 1, false);
    ASSERT_EQ(acc.poolInto(statItem(fb.get(), 0)), PoolResult::Pooled);
    accumulate(acc, s, bottom, &mask, 1, false);
    ASSERT_EQ(acc.poolInto(statItem(fb.get(), 0)), PoolResult::Pooled);
    expectItemMatches(statItem(fb.get(), 0), reference(s, all, &mask, 1));

    // A region that selects nothing leaves the item alone.
    std::vector<uint8_t> zeros(mask.size(), 0);
    accumulate(acc, s, all, &zeros, 1, false);
    EXPECT_EQ(acc.poolInto(statItem(fb.get(), 0)), PoolResult::Empty);
    expectItemMatches(statItem(fb.get(), 0), reference(s, all, &mask, 1));
}

TEST(StatAccumulator, RefusesAPixelCountBeyondTheItem)
{
    float v[1] = {1};
    const float *rows[1] = {v};
    StatAccumulator acc;
    ASSERT_TRUE(acc.init(1, 1));
    acc.addRow(rows, 1, nullptr, 1);
    acc.finish();
    FeaturePtr fb(newFeature(kStatFeatureId, nullptr, 1, statItemSize(1), 1, nullptr, 0));
    statItem(fb.get(), 0).setPixels(INT32_MAX);
    test::ConsoleCapture cap;
    EXPECT_EQ(acc.poolInto(statItem(fb.get(), 0)), PoolResult::Failed);
    EXPECT_EQ(statItem(fb.get(), 0).nPixels(), INT32_MAX);
    EXPECT_FALSE(cap.err.empty());
}

TEST(StatTarget, NewFileThenAppendKeepingTheFileBands)
{
    test::TempDir dir;
    std::string out = dir.file("train.ftr");
    int32_t bands[3] = {0, 2, 4};
    int index = -1;
    {
        FeaturePtr fb = openStatTarget(out.c_str(), "water", bands, 3, "/data/scene.lan", &index);
        ASSERT_TRUE(fb);
        EXPECT_EQ(index, 0);
        const char *priv = static_cast<const char *>(getFeaturePrivate(fb.get()));
        EXPECT_STREQ(priv, "/data/scene.lan");
        EXPECT_STREQ(priv + 64, "Created by GSTATS");
        EXPECT_EQ(getFeaturePrivateSize(fb.get()), 192);
        StatItem it = statItem(fb.get(), 0);
        EXPECT_STREQ(it.name(), "water");
        EXPECT_EQ(it.id(), 0);
        it.setPixels(10);
        ASSERT_EQ(saveFeature(out.c_str(), fb.get()), 1);
    }
    int32_t other[2] = {1, 3};
    FeaturePtr fb = openStatTarget(out.c_str(), "forest", other, 2, "x", &index);
    ASSERT_TRUE(fb);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(getFeatureInfo(fb.get(), FINFO_PARAMS), 3);
    EXPECT_EQ(getFeatureParam(fb.get(), 2), 4);
    EXPECT_EQ(statItem(fb.get(), 1).id(), 1);
    EXPECT_EQ(statItem(fb.get(), 0).nPixels(), 10);
    // The same name again finds the existing item.
    FeaturePtr again = openStatTarget(out.c_str(), "WATER", other, 2, "x", &index);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(getFeatureInfo(again.get(), FINFO_COUNT), 1);

    // A file of another kind is replaced by a new stat file.
    FeaturePtr iso(newFeature(kIsoFeatureId, other, 2, static_cast<int>(isoItemSize(2)), 1, nullptr, kIsoPrivateSize));
    ASSERT_EQ(saveFeature(out.c_str(), iso.get()), 1);
    FeaturePtr fresh = openStatTarget(out.c_str(), "water", bands, 3, "y", &index);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(getFeatureInfo(fresh.get(), FINFO_KIND), FEATURE_STAT);
    EXPECT_EQ(getFeatureInfo(fresh.get(), FINFO_PARAMS), 3);
}

TEST(StatAccumulator, MasksInRunsWithAndWithoutColumnSteps)
{
    // Runs of 40 mask values: whole blocks inside, outside and across the mask.
    Scene s(50, 333, 3, 9);
    std::vector<uint8_t> mask(size_t(s.rows) * s.cols);
    for (int r = 0; r < s.rows; ++r)
        for (int c = 0; c < s.cols; ++c) mask[size_t(r) * s.cols + c] = static_cast<uint8_t>(((c + 7 * r) / 40) % 3);
    for (const char *dx : {"1", "2", "5"}) {
        StatRegion g;
        ASSERT_TRUE(statRegion(s.rows, s.cols, "1", "3", nullptr, nullptr, dx, "1", &g));
        StatAccumulator acc;
        accumulate(acc, s, g, &mask, 2, false);
        FeaturePtr fb(newFeature(kStatFeatureId, nullptr, 3, statItemSize(3), 1, nullptr, 0));
        ASSERT_EQ(acc.poolInto(statItem(fb.get(), 0)), PoolResult::Pooled);
        expectItemMatches(statItem(fb.get(), 0), reference(s, g, &mask, 2));
    }
}
