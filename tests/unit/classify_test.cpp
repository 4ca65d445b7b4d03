#include "analysis/classify.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "analysis/dist.h"
#include "support.h"

using namespace krel;

namespace {

struct ClassDef {
    std::vector<float> mean;
    std::vector<float> cov;  // packed triangle
    int pixels = 100;
};

// A stat block over image bands `bands` (0-based) with one item per class.
FeaturePtr statBlock(const std::vector<int32_t> &bands, const std::vector<ClassDef> &classes)
{
    int n = static_cast<int>(bands.size());
    FeaturePtr fb(newFeature(kStatFeatureId, bands.data(), n, statItemSize(n), static_cast<int>(classes.size()),
                             nullptr, kStatPrivateSize));
    for (size_t k = 0; k < classes.size(); ++k) {
        StatItem it = statItem(fb.get(), static_cast<int>(k));
        it.setName(("c" + std::to_string(k)).c_str());
        it.setPixels(classes[k].pixels);
        memcpy(it.mean(), classes[k].mean.data(), 4 * n);
        memcpy(it.cov(), classes[k].cov.data(), 4 * triSize(n));
    }
    return fb;
}

std::vector<float> identityTri(int n, float scale)
{
    std::vector<float> t(triSize(n), 0.0f);
    for (int b = 0; b < n; ++b) t[triIndex(b, b)] = scale;
    return t;
}

std::vector<int32_t> run(ClassModel &m, const std::vector<std::vector<float>> &bands)
{
    std::vector<const float *> rows;
    for (auto &b : bands) rows.push_back(b.data());
    std::vector<int32_t> out(bands[0].size());
    m.classifyLine(rows.data(), static_cast<int>(out.size()), out.data());
    return out;
}

// Random SPD triangle.
std::vector<float> randomCov(int n, std::mt19937 &rng)
{
    std::normal_distribution<double> g;
    std::vector<double> r(n * n);
    for (double &v : r) v = g(rng);
    std::vector<float> t(triSize(n));
    for (int j = 0; j < n; ++j)
        for (int i = 0; i <= j; ++i) {
            double s = i == j ? 2.0 : 0.0;
            for (int k = 0; k < n; ++k) s += r[i * n + k] * r[j * n + k];
            t[triIndex(i, j)] = static_cast<float>(s * 20.0);
        }
    return t;
}

}  // namespace

TEST(ClassifyArgs, RulePrefixes)
{
    int rule = 0;
    ASSERT_TRUE(classifyRule(nullptr, &rule));
    EXPECT_EQ(rule, RULE_EUCLIDEAN);
    ASSERT_TRUE(classifyRule("M", &rule));
    EXPECT_EQ(rule, RULE_MAHALANOBIS);
    ASSERT_TRUE(classifyRule("PARALLEL", &rule));
    EXPECT_EQ(rule, RULE_PARALLELPIPE);
    ASSERT_TRUE(classifyRule("BAYES", &rule));
    EXPECT_EQ(rule, RULE_BAYES);
    test::ConsoleCapture cap;
    EXPECT_FALSE(classifyRule("m", &rule));
    EXPECT_FALSE(classifyRule("", &rule));
    EXPECT_FALSE(classifyRule("BAYESIAN", &rule));
    EXPECT_EQ(cap.err, "Unknown option: m\nUnknown option: \nUnknown option: BAYESIAN\n");
}

TEST(ClassifyArgs, BandListsMapThroughTheStatFile)
{
    FeaturePtr fb = statBlock({0, 2, 3, 5}, {});
    std::vector<int> bands;
    ASSERT_TRUE(classifyBands(nullptr, 6, fb.get(), &bands));
    EXPECT_EQ(bands, (std::vector<int>{0, 2, 3, 5}));
    ASSERT_TRUE(classifyBands("x", 6, fb.get(), &bands));
    EXPECT_EQ(bands.size(), 4u);
    ASSERT_TRUE(classifyBands("6,4-3", 6, fb.get(), &bands));
    EXPECT_EQ(bands, (std::vector<int>{5, 3, 2}));
    ASSERT_TRUE(classifyBands("3:6:1-1", 6, fb.get(), &bands));  // the usage text's colon form
    EXPECT_EQ(bands, (std::vector<int>{2, 5, 0}));
    test::ConsoleCapture cap;
    EXPECT_FALSE(classifyBands("2", 6, fb.get(), &bands));
    EXPECT_FALSE(classifyBands("1,1", 6, fb.get(), &bands));
    EXPECT_FALSE(classifyBands("7", 6, fb.get(), &bands));
    EXPECT_FALSE(classifyBands("1,a", 6, fb.get(), &bands));
    EXPECT_FALSE(classifyBands("1-6,1", 6, fb.get(), &bands));  // more bands than the image has
    EXPECT_FALSE(classifyBands(nullptr, 5, fb.get(), &bands));  // the stat file names band 6
    EXPECT_EQ(cap.err,
              "Input band 2 is not found in features.\nDuplicated input band.\nIllegal band number.\n"
              "Illegal band number.\nIllegal band number.\nIllegal band number.\n");
}

TEST(ClassifyArgs, Window)
{
    ClassWindow w;
    ASSERT_TRUE(classifyWindow(100, 200, 80, 300, "10", "20", "5", nullptr, nullptr, "1000", &w));
    EXPECT_EQ(w.rows, 75);  // cut by the output: 80 - 5
    EXPECT_EQ(w.cols, 180);
    test::ConsoleCapture cap;
    EXPECT_FALSE(classifyWindow(100, 200, 80, 300, "100", nullptr, nullptr, nullptr, nullptr, nullptr, &w));
    EXPECT_FALSE(classifyWindow(100, 200, 80, 300, nullptr, "-1", nullptr, nullptr, nullptr, nullptr, &w));
    EXPECT_FALSE(classifyWindow(100, 200, 80, 300, nullptr, nullptr, "80", nullptr, nullptr, nullptr, &w));
    EXPECT_FALSE(classifyWindow(100, 200, 80, 300, nullptr, nullptr, nullptr, "300", nullptr, nullptr, &w));
    EXPECT_EQ(cap.err,
              "input start row out of range.\ninput start colum out of range.\n"
              "output start row out of range.\noutput start column out of range.\n");
}

TEST(ClassifyRules, EuclideanThresholdTiesAndUnknown)
{
    // Classes 0 and 2 share a mean: their pixels go to class 0.
    FeaturePtr fb = statBlock(
        {0, 1}, {{{10, 10}, identityTri(2, 1)}, {{50, 50}, identityTri(2, 1)}, {{10, 10}, identityTri(2, 1)}});
    ClassModel m;
    ASSERT_TRUE(m.create(fb.get(), std::vector<int>{0, 1}.data(), 2, RULE_EUCLIDEAN, 10.0));
    EXPECT_EQ(m.threshold(), 100.0f);
    // d/n < 100: (x-10)^2 summed over two bands must stay below 200.
    // (30,30) is as far from class 0 as from class 1 and too far from both;
    // (50,50) + (-5,-10) lies within; (20,19) is near class 0 and class 2 alike.
    std::vector<std::vector<float>> px = {{10, 30, 45, 20, 19, 30, 200}, {10, 30, 40, 19, 20, 31, 0}};
    std::vector<int32_t> out = run(m, px);
    EXPECT_EQ(out, (std::vector<int32_t>{0, 3, 1, 0, 0, 3, 3}));
    EXPECT_EQ(m.hits()[0], 3);
    EXPECT_EQ(m.hits()[1], 1);
    EXPECT_EQ(m.hits()[2], 0);
}

TEST(ClassifyRules, ExactTieGoesToTheLowerClass)
{
    FeaturePtr fb = statBlock({0}, {{{0}, identityTri(1, 1)}, {{10}, identityTri(1, 1)}});
    ClassModel m;
    ASSERT_TRUE(m.create(fb.get(), std::vector<int>{0}.data(), 1, RULE_EUCLIDEAN, 100.0));
    EXPECT_EQ(run(m, {{5, 4, 6}}), (std::vector<int32_t>{0, 0, 1}));
}

TEST(ClassifyRules, ParallelpipeSumsAbsoluteDifferences)
{
    // Class 1 has a huge variance that must not matter.
    FeaturePtr fb = statBlock({0, 1}, {{{0, 0}, identityTri(2, 1)}, {{6, 0}, identityTri(2, 1e6f)}});
    ClassModel m;
    ASSERT_TRUE(m.create(fb.get(), std::vector<int>{0, 1}.data(), 2, RULE_PARALLELPIPE, 2.0));
    // |d| sums: pixel (2,2): class0 4, class1 6 -> 0; (4,1): 5 vs 3 -> 1; (3,0): 3 vs 3 -> 0 (tie);
    // (20,0): best 14, 14/2 >= 4 -> unknown.
    EXPECT_EQ(run(m, {{2, 4, 3, 20}, {2, 1, 0, 0}}), (std::vector<int32_t>{0, 1, 0, 2}));
}

TEST(ClassifyRules, MahalanobisUsesInverseAndLogDet)
{
    // Class 0: wide in band 0; class 1: tight. Scores by hand.
    std::vector<float> wide = {100, 0, 1}, tight = {1, 0, 1};
    FeaturePtr fb = statBlock({0, 1}, {{{0, 0}, wide}, {{8, 0}, tight}});
    ClassModel m;
    ASSERT_TRUE(m.create(fb.get(), std::vector<int>{0, 1}.data(), 2, RULE_MAHALANOBIS, 10.0));
    EXPECT_NEAR(m.logDet(0), std::log(100.0), 1e-6);
    EXPECT_NEAR(m.logDet(1), 0.0, 1e-6);
    // x = (6,0): D0 = ln100 + 36/100 = 4.965; D1 = 0 + 4 = 4 -> 1.
    // x = (4,0): D0 = 4.605 + .16 = 4.765; D1 = 16 -> 0.
    // x = (40,0): D0 = 4.605 + 16 = 20.6; D1 = 1024 -> 0.
    // x = (0,11): D0 = 4.605 + 121 -> > 100 -> unknown (2).
    EXPECT_EQ(run(m, {{6, 4, 40, 0}, {0, 0, 0, 11}}), (std::vector<int32_t>{1, 0, 0, 2}));
}

TEST(ClassifyRules, SingularCovarianceStopsTheRun)
{
    std::vector<float> singular = {1, 1, 1};  // rank one
    FeaturePtr fb = statBlock({0, 1}, {{{0, 0}, identityTri(2, 1)}, {{1, 1}, singular}, {{2, 2}, singular}});
    ClassModel m;
    test::ConsoleCapture cap;
    EXPECT_FALSE(m.create(fb.get(), std::vector<int>{0, 1}.data(), 2, RULE_BAYES, 10.0));
    EXPECT_NE(cap.err.find("Error in inverting:1\n"), std::string::npos) << cap.err;
    EXPECT_NE(cap.err.find("Error in inverting:2\n"), std::string::npos);
    EXPECT_EQ(cap.err.substr(cap.err.size() - 34), "Total Errors in invertStateItem:2\n");
    // Over a subset of bands where the covariance is regular it works.
    ClassModel one;
    EXPECT_TRUE(one.create(fb.get(), std::vector<int>{1}.data(), 1, RULE_MAHALANOBIS, 10.0));
}

TEST(ClassifyRules, BayesPriorsWithAnEmptyClass)
{
    // Three classes along band 0; nothing lies near class 2.
    FeaturePtr fb = statBlock({0}, {{{0}, {4}}, {{10}, {4}}, {{100}, {4}}});
    ClassModel m;
    ASSERT_TRUE(m.create(fb.get(), std::vector<int>{0}.data(), 1, RULE_BAYES, 10.0));
    std::vector<float> line = {0, 1, 2, -1, 9, 10, 500};
    const float *rows[1] = {line.data()};
    m.priorLine(rows, 7);  // parallelepiped: 4 to class 0, 2 to class 1, 500 unknown
    EXPECT_EQ(m.hits()[0], 4);
    EXPECT_EQ(m.hits()[1], 2);
    EXPECT_EQ(m.hits()[2], 0);
    m.finishPrior();
    EXPECT_NEAR(m.prior(0), 2 * std::log(4.0 / 6), 1e-6);
    EXPECT_NEAR(m.prior(1), 2 * std::log(2.0 / 6), 1e-6);
    EXPECT_EQ(m.prior(2), 0.0f);  // no hits: prior 0, as if certain
    EXPECT_EQ(m.hits()[0], 0);

    // g_k = prior_k - (ln 4 + d^2/4); the largest wins; classified when g < 100.
    std::vector<float> x = {4, 6, 5, 100};
    std::vector<int32_t> out = run(m, {x});
    for (size_t s = 0; s < x.size(); ++s) {
        double best = -3.4028235e38;
        int cls = 3;
        for (int k = 0; k < 3; ++k) {
            double mk = k == 0 ? 0 : k == 1 ? 10 : 100;
            double g = m.prior(k) - (std::log(4.0) + (x[s] - mk) * (x[s] - mk) / 4);
            if (g > best) best = g, cls = k;
        }
        EXPECT_EQ(out[s], best < 100 ? cls : 3) << s;
    }
    EXPECT_EQ(out[3], 2);  // the empty class still wins where it is nearest
}

TEST(ClassifyRules, BayesWritesUnknownWhenTheDiscriminantReachesTheThreshold)
{
    // One band of variance 1e-30, prior 0: at the mean g = -ln(1e-30) = 69.08.
    FeaturePtr fb = statBlock({0}, {{{0}, {1e-30f}}});
    ClassModel m;
    ASSERT_TRUE(m.create(fb.get(), std::vector<int>{0}.data(), 1, RULE_BAYES, 9.0));  // threshold 81
    EXPECT_EQ(run(m, {{0}}), (std::vector<int32_t>{0}));
    ClassModel m2;
    ASSERT_TRUE(m2.create(fb.get(), std::vector<int>{0}.data(), 1, RULE_BAYES, 8.0));  // threshold 64
    EXPECT_EQ(run(m2, {{0}}), (std::vector<int32_t>{1}));
    ClassModel m3;
    ASSERT_TRUE(m3.create(fb.get(), std::vector<int>{0}.data(), 1, RULE_BAYES, 8.5));  // threshold 72.25
    EXPECT_EQ(run(m3, {{0}}), (std::vector<int32_t>{0}));
}

TEST(ClassifyRules, KernelAgreesWithAReferenceForEveryBandCount)
{
    // Bands 1..10 cover the fixed-width kernels and the general one; lines of
    // odd lengths cover partial chunks.
    std::mt19937 rng(42);
    for (int n = 1; n <= 10; ++n) {
        const int classes = 7, columns = 700;
        std::vector<int32_t> bandIds(n);
        for (int b = 0; b < n; ++b) bandIds[b] = b;
        std::vector<ClassDef> defs(classes);
        std::uniform_real_distribution<float> u(0, 255);
        for (auto &c : defs) {
            for (int b = 0; b < n; ++b) c.mean.push_back(u(rng));
            c.cov = randomCov(n, rng);
        }
        FeaturePtr fb = statBlock(bandIds, defs);
        std::vector<std::vector<float>> px(n, std::vector<float>(columns));
        for (auto &b : px)
            for (float &v : b) v = std::round(u(rng));
        for (int rule = RULE_EUCLIDEAN; rule <= RULE_BAYES; ++rule) {
            ClassModel m;
            std::vector<int> bands(bandIds.begin(), bandIds.end());
            ASSERT_TRUE(m.create(fb.get(), bands.data(), n, rule, rule >= RULE_MAHALANOBIS ? 12.0 : 60.0));
            if (rule == RULE_BAYES) {
                std::vector<const float *> rows;
                for (auto &b : px) rows.push_back(b.data());
                m.priorLine(rows.data(), columns);
                m.finishPrior();
            }
            std::vector<int32_t> out = run(m, px);
            std::vector<int64_t> hits(classes, 0);
            int nearTies = 0;
            for (int s = 0; s < columns; ++s) {
                // Reference scores in double from the stored model.
                std::vector<double> score(classes);
                for (int k = 0; k < classes; ++k) {
                    std::vector<double> d(n);
                    for (int b = 0; b < n; ++b) d[b] = px[b][s] - m.mean(k)[b];
                    double v = 0;
                    if (rule == RULE_EUCLIDEAN)
                        for (double e : d) v += e * e;
                    else if (rule == RULE_PARALLELPIPE)
                        for (double e : d) v += std::fabs(e);
                    else {
                        for (int i = 0; i < n; ++i)
                            for (int j = 0; j < n; ++j) v += d[i] * m.inverse(k)[i * n + j] * d[j];
                        v += m.logDet(k);
                        if (rule == RULE_BAYES) v = v - m.prior(k);  // minimising -g
                    }
                    score[k] = v;
                }
                int best = 0;
                for (int k = 1; k < classes; ++k)
                    if (score[k] < score[best]) best = k;
                double value = rule <= RULE_PARALLELPIPE ? score[best] / n
                               : rule == RULE_BAYES      ? -score[best]
                                                         : score[best];
                int expect = value < m.threshold() ? best : classes;
                if (out[s] != expect) {
                    // Only a difference inside float rounding is allowed.
                    double other = out[s] < classes ? score[out[s]] : 0;
                    bool tie =
                        out[s] < classes && std::fabs(other - score[best]) <= 1e-4 * (1 + std::fabs(score[best]));
                    bool edge = std::fabs(std::fabs(value) - m.threshold()) <= 1e-4 * m.threshold();
                    EXPECT_TRUE(tie || edge) << "n=" << n << " rule=" << rule << " s=" << s;
                    ++nearTies;
                }
                if (out[s] < classes) ++hits[out[s]];
            }
            EXPECT_LE(nearTies, 2);
            for (int k = 0; k < classes; ++k) EXPECT_EQ(m.hits()[k], hits[k]);
        }
    }
}

TEST(ClassifyRules, NarrowOutputSaturates)
{
    std::vector<ClassDef> defs(300, ClassDef{{0}, {1}});
    for (int k = 0; k < 300; ++k) defs[k].mean[0] = static_cast<float>(k * 10);
    FeaturePtr fb = statBlock({0}, defs);
    ClassModel m;
    ASSERT_TRUE(m.create(fb.get(), std::vector<int>{0}.data(), 1, RULE_EUCLIDEAN, 1.0));
    float line[4] = {20, 2000, 2990, 5};
    const float *rows[1] = {line};
    uint8_t out8[4];
    int32_t out32[4];
    m.classifyLine(rows, 4, out32);
    m.classifyLine(rows, 4, out8);
    EXPECT_EQ(out32[0], 2);
    EXPECT_EQ(out32[1], 200);
    EXPECT_EQ(out32[2], 299);
    EXPECT_EQ(out32[3], 300);  // unknown is K
    EXPECT_EQ(out8[2], 255);
    EXPECT_EQ(out8[3], 255);
}

TEST(ClassPalette, ColoursFromTheClassMeans)
{
    FeaturePtr fb = statBlock({0, 1, 2}, {{{10.4f, 20.5f, -1.5f}, identityTri(3, 1)},
                                          {{300, 0, 255}, identityTri(3, 1)},
                                          {{1, 2, 3}, identityTri(3, 1)}});
    ClassModel m;
    ASSERT_TRUE(m.create(fb.get(), std::vector<int>{0, 1, 2}.data(), 3, RULE_EUCLIDEAN, 10.0));
    std::vector<PaletteColour> pal(6, PaletteColour{9, 9, 9});
    classPalette(m, 8, nullptr, pal.data(), 6);
    EXPECT_EQ(pal[0].red, 10);
    EXPECT_EQ(pal[0].green, 21);  // half away from zero
    EXPECT_EQ(pal[0].blue, 254);  // -2 as its low 8 bits
    EXPECT_EQ(pal[1].red, 300 & 0xFF);
    EXPECT_EQ(pal[1].blue, 255);
    for (int k = 3; k < 6; ++k) EXPECT_TRUE(pal[k].red == 0 && pal[k].green == 0 && pal[k].blue == 0);

    // More than 8 bits: stretched over mean +- 2.5 sd cut to the band's range.
    BandSummary sums[3] = {{100, 20, 0, 1000}, {50, 0, 0, 100}, {5, 1, 5, 5}};
    classPalette(m, 16, sums, pal.data(), 6);
    EXPECT_EQ(pal[0].red, 0);                                                 // below the window
    EXPECT_EQ(pal[1].red, 255);                                               // above it
    EXPECT_EQ(pal[0].green, static_cast<int>(std::round(20.5 / 100 * 255)));  // sd 0: the full range
    EXPECT_EQ(pal[1].blue, 255);                                              // zero-width window

    // Two bands: blue of the class entries is left alone; one band: grey.
    ClassModel two;
    ASSERT_TRUE(two.create(fb.get(), std::vector<int>{0, 1}.data(), 2, RULE_EUCLIDEAN, 10.0));
    std::vector<PaletteColour> p2(3, PaletteColour{7, 7, 7});
    classPalette(two, 8, nullptr, p2.data(), 3);
    EXPECT_EQ(p2[0].blue, 7);
    EXPECT_EQ(p2[0].green, 21);
    ClassModel one;
    ASSERT_TRUE(one.create(fb.get(), std::vector<int>{1}.data(), 1, RULE_EUCLIDEAN, 10.0));
    classPalette(one, 8, nullptr, p2.data(), 3);
    EXPECT_TRUE(p2[0].red == 21 && p2[0].green == 21 && p2[0].blue == 21);
}

TEST(Dist, ClassListsAndPalette)
{
    uint8_t table[256];
    ASSERT_TRUE(parseClassList("1, 3-5 ,255", table));
    for (int v = 0; v < 256; ++v) EXPECT_EQ(table[v], v == 1 || (v >= 3 && v <= 5) || v == 255) << v;
    test::ConsoleCapture cap;
    EXPECT_FALSE(parseClassList("1,x", table));
    EXPECT_FALSE(parseClassList("5-3", table));
    EXPECT_FALSE(parseClassList("200-256", table));
    EXPECT_FALSE(parseClassList("-1", table));
    EXPECT_EQ(cap.err,
              "Error in parsing class definition.\nIlligal class definition.\nIlligal class definition.\n"
              "Illigal class definition.\n");
    PaletteColour pal[256];
    distPalette(pal);
    EXPECT_EQ(pal[0].red, 0);
    EXPECT_EQ(pal[1].red, 255);
    EXPECT_EQ(pal[255].red, 1);
    EXPECT_EQ(pal[1].green + pal[1].blue, 0);
}

namespace {

std::vector<uint8_t> distanceImage(const std::vector<uint8_t> &cls, int rows, int cols, const uint8_t *table,
                                   double blur, Prng *prng)
{
    DistanceRows d;
    EXPECT_TRUE(d.init(rows, cols, table, blur, prng));
    std::vector<uint8_t> out(cls.size());
    for (int r = 0; r < rows; ++r) d.downRow(&cls[size_t(r) * cols], &out[size_t(r) * cols]);
    d.beginUp();
    for (int r = rows - 1; r >= 0; --r) d.upRow(&cls[size_t(r) * cols], &out[size_t(r) * cols]);
    return out;
}

}  // namespace

TEST(Dist, RoundedDistanceToTheNearestMarkedPixel)
{
    std::mt19937 rng(3);
    uint8_t table[256] = {};
    table[7] = 1;
    for (int trial = 0; trial < 6; ++trial) {
        int rows = 20 + trial * 13, cols = 30 + trial * 7;
        std::vector<uint8_t> cls(size_t(rows) * cols);
        for (auto &c : cls) c = (rng() % 97 == 0) ? 7 : static_cast<uint8_t>(rng() % 5);
        std::vector<uint8_t> out = distanceImage(cls, rows, cols, table, 0.0, nullptr);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                double best = 1e9;
                for (int rr = 0; rr < rows; ++rr)
                    for (int cc = 0; cc < cols; ++cc)
                        if (cls[size_t(rr) * cols + cc] == 7)
                            best = std::min(best, std::hypot(double(rr - r), double(cc - c)));
                int expect = static_cast<int>(std::min(255.0, std::floor(best + 0.5)));
                ASSERT_EQ(out[size_t(r) * cols + c], expect) << trial << " " << r << " " << c;
            }
    }
}

TEST(Dist, NoMarkedPixelGives255EvenInSmallImages)
{
    uint8_t table[256] = {};
    table[9] = 1;
    std::vector<uint8_t> cls(5 * 6, 1);
    for (uint8_t v : distanceImage(cls, 5, 6, table, 0.0, nullptr)) EXPECT_EQ(v, 255);
}

TEST(Dist, BlurAddsAtMostItsGain)
{
    uint8_t table[256] = {};
    table[1] = 1;
    std::vector<uint8_t> cls(40 * 40, 0);
    cls[20 * 40 + 20] = 1;
    Prng prng;
    std::vector<uint8_t> plain = distanceImage(cls, 40, 40, table, 0.0, nullptr);
    std::vector<uint8_t> blurred = distanceImage(cls, 40, 40, table, 3.0, &prng);
    int raised = 0;
    for (size_t i = 0; i < cls.size(); ++i) {
        EXPECT_GE(blurred[i], plain[i]);
        EXPECT_LE(blurred[i], plain[i] + 6);  // two passes may each add up to the gain
        raised += blurred[i] > plain[i];
    }
    EXPECT_GT(raised, 100);
}
