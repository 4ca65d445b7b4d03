#include "analysis/feature.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support.h"

using namespace krel;

namespace {

std::vector<unsigned char> readBytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), {});
}

void writeBytes(const std::string &path, const std::vector<unsigned char> &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

int32_t word(const std::vector<unsigned char> &b, size_t at)
{
    int32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}

void putWord(std::vector<unsigned char> &b, size_t at, int32_t v)
{
    memcpy(b.data() + at, &v, 4);
}

// A stat block of n bands and `count` items, saved to `path`.
void makeStatFile(const std::string &path, int n, int count)
{
    std::vector<int32_t> bands(n);
    for (int b = 0; b < n; ++b) bands[b] = 2 * b + 1;
    FeaturePtr fb(newFeature(kStatFeatureId, bands.data(), n, statItemSize(n), count, nullptr, kStatPrivateSize));
    for (int i = 0; i < count; ++i) {
        StatItem it = statItem(fb.get(), i);
        it.setName(("class" + std::to_string(i)).c_str());
        it.setPixels(100 + i);
    }
    ASSERT_EQ(saveFeature(path.c_str(), fb.get()), 1);
}

}  // namespace

TEST(PackedTriangle, IndexOrderIsRowsOfTheLowerTriangle)
{
    // n = 3 stores (0,0),(0,1),(1,1),(0,2),(1,2),(2,2).
    EXPECT_EQ(triIndex(0, 0), 0);
    EXPECT_EQ(triIndex(0, 1), 1);
    EXPECT_EQ(triIndex(1, 1), 2);
    EXPECT_EQ(triIndex(0, 2), 3);
    EXPECT_EQ(triIndex(1, 2), 4);
    EXPECT_EQ(triIndex(2, 2), 5);
    for (int i = 0; i < 7; ++i)
        for (int j = 0; j < 7; ++j) EXPECT_EQ(triIndex(i, j), triIndex(j, i));
    // Every slot of a triangle is used exactly once.
    std::vector<int> used(triSize(7), 0);
    for (int j = 0; j < 7; ++j)
        for (int i = 0; i <= j; ++i) ++used[triIndex(i, j)];
    for (int u : used) EXPECT_EQ(u, 1);
}

TEST(FeatureBlock, NewBlockHasTheFileLayout)
{
    EXPECT_EQ(statItemSize(1), 80);
    EXPECT_EQ(statItemSize(6), 180);
    int32_t bands[3] = {4, 0, 2};
    unsigned char priv[8] = {'a', 'b', 'c', 'd', 'e', 0, 0, 0};
    FeaturePtr fb(newFeature(kEigenFeatureId, bands, 3, 24, 2, priv, 8));
    ASSERT_TRUE(fb);
    const unsigned char *b = featureBytes(fb.get());
    EXPECT_EQ(memcmp(b, "EIGENID\0", 8), 0);
    int32_t head[5];
    memcpy(head, b + 8, sizeof head);
    EXPECT_EQ(head[0], 96);  // total: 28 head, 12 bands, 8 private, 2 items of 24
    EXPECT_EQ(head[1], 48);  // item offset
    EXPECT_EQ(head[2], 24);
    EXPECT_EQ(head[3], 2);
    EXPECT_EQ(head[4], 3);
    EXPECT_EQ(getFeatureParam(fb.get(), 0), 4);
    EXPECT_EQ(getFeatureParam(fb.get(), 2), 2);
    EXPECT_EQ(getFeatureParam(fb.get(), 3), -1);
    EXPECT_EQ(getFeatureParam(fb.get(), -1), -1);
    EXPECT_EQ(memcmp(getFeaturePrivate(fb.get()), "abcde", 5), 0);
    // Everything not copied is zero.
    for (int i = 28 + 12 + 5; i < head[0]; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(getFeatureInfo(fb.get(), FINFO_KIND), FEATURE_EIGEN);

    FeaturePtr bare(newFeature(kStatFeatureId, nullptr, 0, 72, 0, nullptr, 0));
    EXPECT_EQ(getFeaturePrivate(bare.get()), nullptr);
    EXPECT_EQ(getFeatureItem(bare.get(), 0), nullptr);
    EXPECT_EQ(getFeatureInfo(bare.get(), FINFO_SIZE), 28);
}

TEST(FeatureBlock, InfoReportsUnknownKindsAndSelectors)
{
    FeaturePtr fb(newFeature("SOMETHIN", nullptr, 0, 4, 1, nullptr, 0));
    test::ConsoleCapture cap;
    EXPECT_EQ(getFeatureInfo(fb.get(), FINFO_KIND), 0);
    EXPECT_EQ(getFeatureInfo(fb.get(), 9), 0);
    EXPECT_EQ(cap.err, "Unknown feature ID.\nUndefine feature info.\n");
}

TEST(FeatureBlock, AddCutAndDeleteKeepTheInvariants)
{
    int32_t bands[2] = {0, 1};
    FeaturePtr fb(newFeature(kIsoFeatureId, bands, 2, 8, 0, nullptr, 4));
    // The items start at 40 (28 head, 8 bands, 4 private); each takes 8.
    auto check = [&](int count, int size) {
        EXPECT_EQ(getFeatureInfo(fb.get(), FINFO_COUNT), count);
        EXPECT_EQ(getFeatureInfo(fb.get(), FINFO_SIZE), size);
        EXPECT_EQ(getFeatureInfo(fb.get(), FINFO_ITEM_OFFSET), 40);
    };
    for (int i = 0; i < 5; ++i) {
        unsigned char item[8];
        memset(item, 'A' + i, 8);
        ASSERT_TRUE(addFeature(fb, item));
    }
    check(5, 80);
    ASSERT_TRUE(addFeature(fb, nullptr));  // zeros
    check(6, 88);
    EXPECT_EQ(static_cast<unsigned char *>(getFeatureItem(fb.get(), 5))[3], 0);
    EXPECT_EQ(getFeatureItem(fb.get(), 6), nullptr);

    ASSERT_TRUE(delFeatureItem(fb, 1));  // removes the 'B' item
    check(5, 80);
    const char expect[] = {'A', 'C', 'D', 'E', 0};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(static_cast<char *>(getFeatureItem(fb.get(), i))[7], expect[i]);
    ASSERT_TRUE(delFeatureItem(fb, 5));  // out of range: nothing happens
    ASSERT_TRUE(delFeatureItem(fb, -1));
    check(5, 80);

    ASSERT_TRUE(cutFeature(fb, 2));
    check(2, 56);
    ASSERT_TRUE(cutFeature(fb, 4));  // gained items are zero
    check(4, 72);
    EXPECT_EQ(static_cast<char *>(getFeatureItem(fb.get(), 1))[0], 'C');
    EXPECT_EQ(static_cast<char *>(getFeatureItem(fb.get(), 2))[0], 0);
    ASSERT_TRUE(cutFeature(fb, -3));
    check(0, 40);
}

TEST(FeatureFile, SavesAndLoadsByteForByte)
{
    test::TempDir dir;
    std::string path = dir.file("a.ftr");
    makeStatFile(path, 3, 2);
    std::vector<unsigned char> bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(28 + 12 + 192 + 2 * statItemSize(3)));
    EXPECT_EQ(memcmp(bytes.data(), "STATFTUR", 8), 0);
    EXPECT_EQ(word(bytes, 8), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(word(bytes, 28), 1);
    EXPECT_EQ(word(bytes, 36), 5);

    FeaturePtr fb(getFeature(path.c_str(), kStatFeatureId));
    ASSERT_TRUE(fb);
    EXPECT_EQ(memcmp(featureBytes(fb.get()), bytes.data(), bytes.size()), 0);
    FeaturePtr any(getFeature(path.c_str(), nullptr));
    EXPECT_TRUE(any);
    // Another kind expected, or a missing file: none, silently.
    test::ConsoleCapture cap;
    EXPECT_FALSE(FeaturePtr(getFeature(path.c_str(), kEigenFeatureId)));
    EXPECT_FALSE(FeaturePtr(getFeature(dir.file("missing").c_str(), nullptr)));
    EXPECT_EQ(cap.err, "");
}

TEST(FeatureFile, EigenIdNeedsItsNulByte)
{
    test::TempDir dir;
    std::string path = dir.file("e.ftr");
    int32_t bands[1] = {0};
    FeaturePtr fb(newFeature(kEigenFeatureId, bands, 1, static_cast<int>(eigenItemSize(1)), 1, nullptr,
                             static_cast<int>(eigenPrivateSize(1))));
    ASSERT_EQ(saveFeature(path.c_str(), fb.get()), 1);
    EXPECT_TRUE(FeaturePtr(getFeature(path.c_str(), kEigenFeatureId)));
    std::vector<unsigned char> bytes = readBytes(path);
    bytes[7] = 'S';
    writeBytes(path, bytes);
    EXPECT_FALSE(FeaturePtr(getFeature(path.c_str(), kEigenFeatureId)));
    EXPECT_FALSE(FeaturePtr(getFeature(path.c_str(), nullptr)));
}

TEST(FeatureFile, HostileHeadsAreRefusedWithoutReadingPastTheBlock)
{
    test::TempDir dir;
    std::string good = dir.file("good.ftr");
    makeStatFile(good, 2, 3);
    const std::vector<unsigned char> original = readBytes(good);
    const int32_t total = static_cast<int32_t>(original.size());
    std::string path = dir.file("bad.ftr");

    struct Case {
        const char *what;
        size_t at;
        int32_t value;
    };
    const Case cases[] = {
        {"total larger than the items", 8, total + 4},
        {"total smaller than the items", 8, total - 4},
        {"huge total", 8, INT32_MAX},
        {"negative total", 8, -28},
        {"item offset inside the parameters", 12, 28},
        {"item offset past the block", 12, total + 100},
        {"unaligned item offset", 12, 28 + 8 + 190},
        {"item size not the kind's", 16, 40},
        {"zero item size", 16, 0},
        {"count too large", 20, 4},
        {"huge count", 20, 0x10000000},
        {"negative count", 20, -1},
        {"parameter count too large", 24, 5},
        {"huge parameter count", 24, 0x3FFFFFFF},
        {"negative parameter count", 24, -2},
        {"negative pixel count", 28 + 8 + 192 + 64, -5},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> bytes = original;
        putWord(bytes, c.at, c.value);
        writeBytes(path, bytes);
        test::ConsoleCapture cap;
        EXPECT_FALSE(FeaturePtr(getFeature(path.c_str(), kStatFeatureId))) << c.what;
        EXPECT_NE(cap.err.find("Error in reading features"), std::string::npos) << c.what << ": " << cap.err;
    }

    // A truncated file: the bytes there are against the size named.
    std::vector<unsigned char> shortFile(original.begin(), original.end() - 10);
    writeBytes(path, shortFile);
    {
        test::ConsoleCapture cap;
        EXPECT_FALSE(FeaturePtr(getFeature(path.c_str(), kStatFeatureId)));
        // 504 bytes named: 28 head, 8 bands, 192 private, 3 items of 92.
        EXPECT_EQ(cap.err, "Error in reading features. count 494 size 504\n");
    }
    // A file cut inside its head.
    writeBytes(path, std::vector<unsigned char>(original.begin(), original.begin() + 20));
    {
        test::ConsoleCapture cap;
        EXPECT_FALSE(FeaturePtr(getFeature(path.c_str(), kStatFeatureId)));
        EXPECT_EQ(cap.err, "Error in reading features. count 20 size 28\n");
    }
    // Trailing bytes are not silently ignored either.
    std::vector<unsigned char> longer = original;
    longer.resize(longer.size() + 3);
    writeBytes(path, longer);
    {
        test::ConsoleCapture cap;
        EXPECT_FALSE(FeaturePtr(getFeature(path.c_str(), kStatFeatureId)));
        EXPECT_NE(cap.err.find("Error in reading features"), std::string::npos);
    }
    // The untouched file still loads.
    EXPECT_TRUE(FeaturePtr(getFeature(good.c_str(), kStatFeatureId)));
}

TEST(FeatureFile, SaveReportsFailure)
{
    test::TempDir dir;
    FeaturePtr fb(newFeature(kStatFeatureId, nullptr, 0, 72, 0, nullptr, 0));
    test::ConsoleCapture cap;
    std::string path = dir.file("no/such/dir.ftr");
    EXPECT_EQ(saveFeature(path.c_str(), fb.get()), 0);
    EXPECT_EQ(cap.err.rfind(path + ": ", 0), 0u) << cap.err;
}

TEST(FeatureFile, AFailedSaveKeepsTheOldFile)
{
    // Statistics gathered over many runs must survive a save that runs out
    // of room: a file-size limit makes writes past 600 bytes fail.
    test::TempDir dir;
    std::string path = dir.file("kept.ftr");
    makeStatFile(path, 2, 1);
    const std::vector<unsigned char> before = readBytes(path);
    ASSERT_LT(before.size(), 600u);
    FeaturePtr bigger(newFeature(kStatFeatureId, nullptr, 6, statItemSize(6), 8, nullptr, kStatPrivateSize));
    ASSERT_TRUE(bigger);

    int rc;
    {
        test::FileSizeLimit full(600);
        ASSERT_TRUE(full.active);
        test::ConsoleCapture cap;
        rc = saveFeature(path.c_str(), bigger.get());
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readBytes(path), before);

    // With room the new contents replace the old, whole and nothing more.
    ASSERT_EQ(saveFeature(path.c_str(), bigger.get()), 1);
    const std::vector<unsigned char> after = readBytes(path);
    ASSERT_EQ(after.size(), static_cast<size_t>(getFeatureInfo(bigger.get(), FINFO_SIZE)));
    EXPECT_EQ(memcmp(after.data(), featureBytes(bigger.get()), after.size()), 0);
    makeStatFile(path, 2, 1);
    EXPECT_EQ(readBytes(path), before);
}

TEST(StatItem, NameIsCutTo31CharactersAndFoundIgnoringCase)
{
    FeaturePtr fb(newFeature(kStatFeatureId, nullptr, 2, statItemSize(2), 3, nullptr, 0));
    statItem(fb.get(), 0).setName("Water");
    std::string longName(50, 'x');
    statItem(fb.get(), 1).setName(longName.c_str());
    EXPECT_EQ(std::string(statItem(fb.get(), 1).name()), std::string(31, 'x'));
    EXPECT_EQ(statItem(fb.get(), 1).name()[31], '\0');
    // A name written by someone else without its NUL is still compared safely.
    memset(statItem(fb.get(), 2).name(), 'y', kStatNameSize);
    EXPECT_EQ(findStat(fb.get(), "WATER"), 0);
    EXPECT_EQ(findStat(fb.get(), "water"), 0);
    EXPECT_EQ(findStat(fb.get(), std::string(31, 'X').c_str()), 1);
    EXPECT_EQ(findStat(fb.get(), std::string(32, 'y').c_str()), 2);
    EXPECT_EQ(findStat(fb.get(), "wat"), -1);
    EXPECT_EQ(findStat(fb.get(), nullptr), -1);

    statItem(fb.get(), 0).setNoteNow();
    const char *note = statItem(fb.get(), 0).note();
    EXPECT_EQ(strlen(note), 25u);  // "Www Mmm dd hh:mm:ss yyyy\n"
    EXPECT_EQ(note[24], '\n');
}

TEST(Dgb, InvertsKnownMatricesAndReportsSingularOnes)
{
    double a[4] = {4, 1, 1, 3};
    EXPECT_NEAR(dgb(a, 2), 11.0, 1e-12);
    EXPECT_NEAR(a[0], 3.0 / 11, 1e-14);
    EXPECT_NEAR(a[1], -1.0 / 11, 1e-14);
    EXPECT_NEAR(a[2], -1.0 / 11, 1e-14);
    EXPECT_NEAR(a[3], 4.0 / 11, 1e-14);

    // A non-symmetric matrix whose diagonal pivots are fine.
    double b[9] = {2, 1, 0, 0, 3, 1, 1, 0, 4};
    double copy[9];
    memcpy(copy, b, sizeof b);
    EXPECT_NEAR(dgb(b, 3), 25.0, 1e-12);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0;
            for (int k = 0; k < 3; ++k) s += copy[i * 3 + k] * b[k * 3 + j];
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12);
        }

    // Random symmetric positive definite matrices.
    std::mt19937 rng(7);
    std::normal_distribution<double> g;
    for (int n : {1, 4, 9}) {
        std::vector<double> r(n * n), m(n * n, 0.0);
        for (double &v : r) v = g(rng);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                for (int k = 0; k < n; ++k) m[i * n + j] += r[i * n + k] * r[j * n + k];
                if (i == j) m[i * n + j] += 0.5;
            }
        std::vector<double> inv = m;
        EXPECT_GT(dgb(inv.data(), n), 0.0);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                double s = 0;
                for (int k = 0; k < n; ++k) s += m[i * n + k] * inv[k * n + j];
                EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-9);
            }
    }

    test::ConsoleCapture cap;
    double singular[9] = {1, 2, 3, 2, 4, 6, 1, 1, 1};  // row 1 = 2 x row 0
    EXPECT_EQ(dgb(singular, 3), 0.0);
    double zero[4] = {0, 0, 0, 0};
    EXPECT_EQ(dgb(zero, 2), 0.0);
    EXPECT_EQ(cap.err,
              "Error in dgb - zero value of a main element: 3\n"
              "Error in dgb - zero value of a main element: 2\n");
}

TEST(InvertStat, ReplacesTheCovarianceInMemoryOrRefuses)
{
    FeaturePtr fb(newFeature(kStatFeatureId, nullptr, 2, statItemSize(2), 2, nullptr, 0));
    StatItem it = statItem(fb.get(), 0);
    float cov[3] = {4, 1, 3};
    memcpy(it.cov(), cov, sizeof cov);
    it.setPixels(2);
    EXPECT_NEAR(invertStat(fb.get(), 0), 11.0, 1e-5);
    EXPECT_NEAR(it.cov()[0], 3.0 / 11, 1e-6);
    EXPECT_NEAR(it.cov()[1], -1.0 / 11, 1e-6);
    EXPECT_NEAR(it.cov()[2], 4.0 / 11, 1e-6);

    StatItem few = statItem(fb.get(), 1);
    memcpy(few.cov(), cov, sizeof cov);
    few.setPixels(1);
    test::ConsoleCapture cap;
    EXPECT_EQ(invertStat(fb.get(), 1), 0.0);
    EXPECT_EQ(cap.err, "Not enough samples.\n");
    EXPECT_EQ(few.cov()[0], 4.0f);
    EXPECT_EQ(invertStat(fb.get(), 2), 0.0);  // no such item
}
