#include "analysis/statinfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support.h"

using namespace krel;

namespace {

// Two bands (image bands 2 and 5), items "water" (enough pixels) and
// "tiny" (one pixel, fewer than the bands).
std::string makeStatFile(const test::TempDir &dir)
{
    std::string path = dir.file("s.ftr");
    int32_t bands[2] = {1, 4};
    unsigned char priv[kStatPrivateSize] = {};
    strcpy(reinterpret_cast<char *>(priv), "scene.lan");
    strcpy(reinterpret_cast<char *>(priv) + 64, "Created by GSTATS");
    FeaturePtr fb(newFeature(kStatFeatureId, bands, 2, statItemSize(2), 2, priv, kStatPrivateSize));
    const char *names[2] = {"water", "tiny"};
    for (int i = 0; i < 2; ++i) {
        StatItem it = statItem(fb.get(), i);
        it.setName(names[i]);
        strcpy(it.note(), "Mon Jan  5 10:00:00 2026\n");
        it.setId(i);
        it.setPixels(i ? 1 : 50);
        it.mean()[0] = 10.0f;
        it.mean()[1] = 20.5f;
        float cov[3] = {4.0f, 1.0f, 9.0f};
        memcpy(it.cov(), cov, sizeof cov);
    }
    EXPECT_EQ(saveFeature(path.c_str(), fb.get()), 1);
    return path;
}

}  // namespace

TEST(StatInfo, InfoWords)
{
    int f = 0;
    ASSERT_TRUE(parseInfoFlags("mean|Cov", &f));
    EXPECT_EQ(f, 5);
    ASSERT_TRUE(parseInfoFlags("STD,COR;;MEAN:STD", &f));
    EXPECT_EQ(f, 11);
    ASSERT_TRUE(parseInfoFlags("cov|all", &f));
    EXPECT_EQ(f, 15);
    ASSERT_TRUE(parseInfoFlags("ALL|def", &f));
    EXPECT_EQ(f, 1);
    test::ConsoleCapture cap;
    EXPECT_FALSE(parseInfoFlags("MEAN|VAR", &f));
    EXPECT_FALSE(parseInfoFlags("MEANMEANMEAN", &f));
    EXPECT_EQ(cap.err, "Unknown option for -info\nUnknown option for -info\n");
}

TEST(StatInfo, ListsOneStatWithEveryTable)
{
    test::TempDir dir;
    std::string path = makeStatFile(dir);
    StatInfoOptions o;
    o.in = path.c_str();
    o.stat = "WATER";
    o.info = "all";
    test::ConsoleCapture cap;
    ASSERT_EQ(statinfoRun(o), 1) << cap.err;
    EXPECT_EQ(cap.out,
              "Stat Source: scene.lan\n"
              "Stat Note  : Created by GSTATS\n"
              "Bands: 2\n"
              "         2         5\n"
              "Stat Info Sequence # 0\n"
              "ID     : 0\n"
              "name   : water\n"
              "note   : Mon Jan  5 10:00:00 2026\n\n"
              "nPixels: 50\n"
              "Mean values:\n"
              "   1.000000e+01   2.050000e+01\n"
              "Std values:\n"
              "   4.000000e+00   9.000000e+00\n"
              "Covariance values:\n"
              "   4.000000e+00   1.000000e+00\n"
              "   1.000000e+00   9.000000e+00\n"
              "\n"
              "Correlation values:\n"
              "   1.000000e+00   1.666667e-01\n"
              "   1.666667e-01   1.000000e+00\n"
              "\n");
    EXPECT_EQ(cap.err, "");
}

TEST(StatInfo, InversionPrintsTheDeterminantOrSaysWhyNot)
{
    test::TempDir dir;
    std::string path = makeStatFile(dir);
    StatInfoOptions o;
    o.in = path.c_str();
    o.inv = "y";
    test::ConsoleCapture cap;
    ASSERT_EQ(statinfoRun(o), 1);
    // Item 0 is inverted (det 35); item 1 has fewer pixels than bands and is
    // printed as it is, with all four tables.
    EXPECT_NE(cap.out.find("Det: 3.5000000e+01\nStat Info Sequence # 0\n"), std::string::npos) << cap.out;
    EXPECT_NE(cap.out.find("Covariance values:\n   2.571429e-01  -2.857143e-02\n"), std::string::npos) << cap.out;
    EXPECT_NE(cap.out.find("feature 1 can not be inverted!\nStat Info Sequence # 1\n"), std::string::npos);
    size_t second = cap.out.find("Stat Info Sequence # 1");
    EXPECT_NE(cap.out.find("Covariance values:\n   4.000000e+00   1.000000e+00\n", second), std::string::npos);
    EXPECT_NE(cap.out.find("Correlation values:\n", second), std::string::npos);
    EXPECT_EQ(cap.err, "Not enough samples.\n");
}

TEST(StatInfo, Failures)
{
    test::TempDir dir;
    std::string path = makeStatFile(dir);
    StatInfoOptions o;
    test::ConsoleCapture cap;
    EXPECT_EQ(statinfoRun(o), 0);
    std::string missing = dir.file("none.ftr");
    o.in = missing.c_str();
    EXPECT_EQ(statinfoRun(o), 0);
    o.in = path.c_str();
    o.info = "bogus";
    EXPECT_EQ(statinfoRun(o), 0);
    o.info = nullptr;
    o.stat = "forest";
    EXPECT_EQ(statinfoRun(o), 0);
    EXPECT_EQ(cap.err,
              "Statistical file name missing.\nError in get features\nUnknown option for -info\n"
              "Can't find the stat: forest");
}

TEST(StatInfo, ListsClusterFiles)
{
    test::TempDir dir;
    std::string path = dir.file("iso.ftr");
    int32_t bands[2] = {0, 2};
    unsigned char priv[kIsoPrivateSize] = {};
    double rms = 1.25, dis = 0.5;
    int32_t samples = 900, classes = 2;
    memcpy(priv, &rms, 8);
    memcpy(priv + 8, &dis, 8);
    memcpy(priv + 16, &samples, 4);
    memcpy(priv + 20, &classes, 4);
    strcpy(reinterpret_cast<char *>(priv) + 24, "scene.lan");
    FeaturePtr fb(newFeature(kIsoFeatureId, bands, 2, static_cast<int>(isoItemSize(2)), 2, priv, kIsoPrivateSize));
    for (int k = 0; k < 2; ++k) {
        auto *rec = static_cast<unsigned char *>(getFeatureItem(fb.get(), k));
        int32_t count = 400 + 100 * k;
        float srmd2 = 2.5f * (k + 1);
        memcpy(rec, &count, 4);
        memcpy(rec + 8, &srmd2, 4);
        for (int b = 0; b < 2; ++b) {
            float mean = 10.0f * (k + 1) + b, dmean = 0.125f * b;
            double sum = 1000.0 * (k + 1);
            memcpy(rec + 12 + 16 * b, &mean, 4);
            memcpy(rec + 16 + 16 * b, &dmean, 4);
            memcpy(rec + 20 + 16 * b, &sum, 8);
        }
    }
    ASSERT_EQ(saveFeature(path.c_str(), fb.get()), 1);
    StatInfoOptions o;
    o.in = path.c_str();
    o.info = "MEAN|STD";
    test::ConsoleCapture cap;
    ASSERT_EQ(statinfoRun(o), 1) << cap.err;
    EXPECT_EQ(cap.out,
              "ISO INFO - source: scene.lan\n"
              "nClasses: 2 nSamples 900 RMS: 1.2500 DIS: 0.5000\n"
              "ISO_MEAN:\n"
              "  ID  SAMPLES    SRMD2     1       3  \n"
              "#  0      400    2.500  10.000  11.000 \n"
              "#  1      500    5.000  20.000  21.000 \n"
              "ISO_DMEAN:\n"
              "  ID  SAMPLES    SRMD2     1       3  \n"
              "#  0      400    2.500   0.000   0.125 \n"
              "#  1      500    5.000   0.000   0.125 \n");
    cap.out.clear();
    isoPrint(fb.get(), 3);
    EXPECT_NE(cap.out.find("ISO_SUM:\n"), std::string::npos);
    EXPECT_NE(cap.out.find("1000.000 1000.000 \n"), std::string::npos) << cap.out;
    isoPrint(fb.get(), 4);
    EXPECT_EQ(cap.err, "Wrong flag for isoPrint\n");
}
