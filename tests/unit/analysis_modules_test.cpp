// The analysis modules run through their entries on ERDAS files: gstat under
// a mask, classify with every rule over several batches of rows and into
// outputs of other pixel types, dist, egv and statinfo.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "analysis/modules.h"
#include "core/runtime.h"
#include "image/modules.h"
#include "image/registry.h"
#include "image_support.h"
#include "module_support.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

std::vector<int> readBand1(const std::string &path, int bands, int rows, int cols, int size = 1)
{
    Bytes b = readBytes(path);
    std::vector<int> out;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            size_t at = 128 + (static_cast<size_t>(r) * bands * cols + c) * size;
            out.push_back(size == 2 ? b[at] | b[at + 1] << 8 : b[at]);
        }
    return out;
}

// 150 rows (several batches, an odd last one) by 37 columns, 3 bands; classes
// 1..3 in a pattern of blocks, each with its spectrum plus noise.
struct Scene {
    static constexpr int rows = 150, cols = 37, bands = 3;
    std::vector<int> pixels, truth;
    std::string file, truthFile, stat;
    explicit Scene(const TempDir &dir)
    {
        const int spectra[3][3] = {{40, 35, 25}, {30, 45, 120}, {110, 105, 100}};
        uint32_t state = 7;
        pixels.resize(static_cast<size_t>(bands) * rows * cols);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                int k = (r / 10 + c / 7) % 3;
                truth.push_back(k + 1);
                for (int b = 0; b < bands; ++b) {
                    state = state * 22695477u + 1u;
                    int noise = static_cast<int>((state >> 16) % 15) - 7;
                    pixels[(static_cast<size_t>(b) * rows + r) * cols + c] = spectra[k][b] + noise;
                }
            }
        file = dir.file("scene.lan");
        truthFile = dir.file("truth.lan");
        stat = dir.file("train.ftr");
        writeErdas(file, bands, rows, cols, pixels);
        writeErdas(truthFile, 1, rows, cols, truth);
    }
    bool train() const
    {
        for (int k = 1; k <= 3; ++k)
            if (run(gstatModule, {"-in", file, "-out", stat, "-stat", "c" + std::to_string(k), "-mask", truthFile,
                                  "-maskid", std::to_string(k)}) != MODULE_DONE)
                return false;
        return true;
    }
};

}  // namespace

TEST(AnalysisModules, EveryRuleRecoversTheClassesFileToFile)
{
    ConsoleCapture capture;
    TempDir dir;
    Scene s(dir);
    ASSERT_TRUE(s.train()) << capture.err;
    std::vector<int> want;
    for (int t : s.truth) want.push_back(t - 1);
    for (const char *rule : {"E", "P", "M", "B"}) {
        std::string out = dir.file(std::string("out-") + rule + ".lan");
        writeErdas(out, 1, Scene::rows, Scene::cols, std::vector<int>(size_t(Scene::rows) * Scene::cols, 9));
        ASSERT_EQ(run(classifyModule, {"-in", s.file, "-out", out, "-stat", s.stat, "-o", rule}), MODULE_DONE)
            << capture.err;
        EXPECT_EQ(readBand1(out, 1, Scene::rows, Scene::cols), want) << rule;
    }
    EXPECT_EQ(capture.err, "");
}

TEST(AnalysisModules, ClassifiesIntoAWindowOfASixteenBitBand)
{
    ConsoleCapture capture;
    TempDir dir;
    Scene s(dir);
    ASSERT_TRUE(s.train());
    std::string out = dir.file("short.lan");
    const int rows = 100, cols = 20;
    writeErdas(out, 2, rows, cols, std::vector<int>(size_t(2) * rows * cols, 500), 2);
    ASSERT_EQ(run(classifyModule, {"-in", s.file, "-out", out, "-stat", s.stat, "-o", "M", "-ob", "2", "-ir", "5",
                                   "-ic", "3", "-or", "1", "-oc", "2"}),
              MODULE_DONE)
        << capture.err;
    // Band 2 of the output, rows 1..99 and columns 2..19 hold the classes of
    // input rows 5.. and columns 3..; the rest and band 1 keep 500.
    Bytes b = readBytes(out);
    for (int r = 0; r < rows; ++r)
        for (int band = 0; band < 2; ++band)
            for (int c = 0; c < cols; ++c) {
                size_t at = 128 + ((static_cast<size_t>(r) * 2 + band) * cols + c) * 2;
                int got = b[at] | b[at + 1] << 8;
                bool inside = band == 1 && r >= 1 && c >= 2;
                int want = inside ? s.truth[static_cast<size_t>(r - 1 + 5) * Scene::cols + (c - 2 + 3)] - 1 : 500;
                ASSERT_EQ(got, want) << r << " " << band << " " << c;
            }
}

TEST(AnalysisModules, DistAndTheFeatureFileModules)
{
    ConsoleCapture capture;
    TempDir dir;
    Scene s(dir);
    ASSERT_TRUE(s.train());
    std::string out = dir.file("dist.lan");
    writeErdas(out, 1, Scene::rows, Scene::cols, std::vector<int>(size_t(Scene::rows) * Scene::cols, 0));
    ASSERT_EQ(run(distModule, {"-in", s.truthFile, "-out", out, "-c", "2"}), MODULE_DONE) << capture.err;
    std::vector<int> got = readBand1(out, 1, Scene::rows, Scene::cols);
    for (int r = 0; r < Scene::rows; ++r)
        for (int c = 0; c < Scene::cols; ++c) {
            long best = 1L << 40;
            for (int q = 0; q < Scene::rows; ++q)
                for (int p = 0; p < Scene::cols; ++p)
                    if (s.truth[static_cast<size_t>(q) * Scene::cols + p] == 2)
                        best = std::min<long>(best, long(q - r) * (q - r) + long(p - c) * (p - c));
            int want = std::min(255, static_cast<int>(std::floor(std::sqrt(static_cast<double>(best)) + 0.5)));
            ASSERT_EQ(got[static_cast<size_t>(r) * Scene::cols + c], want) << r << " " << c;
        }
    EXPECT_EQ(run(egvModule, {"-in", s.stat, "-out", dir.file("pc.ftr"), "-stat", "c2"}), MODULE_DONE);
    capture.out.clear();
    EXPECT_EQ(run(statinfoModule, {"-in", dir.file("pc.ftr")}), MODULE_DONE);
    EXPECT_NE(capture.out.find("Eigen Vector Information"), std::string::npos);
    EXPECT_EQ(run(statinfoModule, {"-in", s.stat, "-inv", "Y"}), MODULE_DONE);
    EXPECT_NE(capture.out.find("Det: "), std::string::npos);
}


TEST(AnalysisModules, ACancelledClassifyKeepsTheRowsWrittenAndSucceeds)
{
    TempDir dir;
    const int rows = 200, cols = 8;
    std::string in = dir.file("tall.lan"), out = dir.file("tall-out.lan"), stat = dir.file("tall.ftr");
    writeErdas(in, 1, rows, cols, std::vector<int>(size_t(rows) * cols, 10));
    writeErdas(out, 1, rows, cols, std::vector<int>(size_t(rows) * cols, 9));
    {
        ConsoleCapture capture;
        ASSERT_EQ(run(gstatModule, {"-in", in, "-out", stat, "-stat", "a"}), MODULE_DONE);
    }
    AbortingMeter meter(0.2);
    if (!meter.ip) GTEST_SKIP() << "no interpreter";
    ASSERT_EQ(run(classifyModule, {"-in", in, "-out", out, "-stat", stat, "-tshd", "1"}), MODULE_DONE);
    std::vector<int> got = readBand1(out, 1, rows, cols);
    size_t first = std::find(got.begin(), got.end(), 9) - got.begin();
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, got.size());
    EXPECT_EQ(first % cols, 0u);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i < first ? 0 : 9) << i;

    // A cancelled gstat leaves its stat file alone.
    Bytes before = readBytes(stat);
    runtime().rimageStatus = STATUS_RUN;
    EXPECT_EQ(run(gstatModule, {"-in", in, "-out", stat, "-stat", "a"}), MODULE_DONE);
    EXPECT_EQ(readBytes(stat), before);
}

TEST(AnalysisModules, ClassifiesTheOneByteLinesOfUlongAndSbyteImages)
{
    // The store keeps ULONG and SBYTE data one byte a column; classify must
    // read those lines as they are and decide like on the same BYTE values.
    ConsoleCapture capture;
    TempDir dir;
    const int rows = 3, cols = 40;
    std::vector<int> values;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) values.push_back(c < 20 ? 10 + (r + c) % 3 : 50 + (r + c) % 3);
    std::string ref = dir.file("ref.lan"), stat = dir.file("two.ftr");
    writeErdas(ref, 1, rows, cols, values);
    ASSERT_EQ(run(gstatModule, {"-in", ref, "-out", stat, "-stat", "low", "-c", "20"}), MODULE_DONE) << capture.err;
    ASSERT_EQ(run(gstatModule, {"-in", ref, "-out", stat, "-stat", "high", "-sc", "20"}), MODULE_DONE) << capture.err;
    std::string refOut = dir.file("ref-out.lan");
    writeErdas(refOut, 1, rows, cols, std::vector<int>(size_t(rows) * cols, 9));
    ASSERT_EQ(run(classifyModule, {"-in", ref, "-out", refOut, "-stat", stat}), MODULE_DONE) << capture.err;
    const std::vector<int> want = readBand1(refOut, 1, rows, cols);
    ASSERT_EQ(std::count(want.begin(), want.end(), 0), rows * 20);
    for (int pixel : {PIX_ULONG, PIX_SBYTE}) {
        ImageDef def = defaultImageDef();
        def.imgid = IMG_MBSQ;
        def.pixel = pixel;
        def.rows = rows;
        def.columns = cols;
        def.nbands = 1;
        def.block = 0;
        def.offset = 0;
        int err = IMGERR_OK;
        const std::string tag = "wide" + std::to_string(pixel);
        RamImage *img = getImage(tag.c_str(), nullptr, &def, nullptr, &err);
        ASSERT_NE(img, nullptr) << err;
        ASSERT_EQ(img->lineBytes, cols);
        for (int r = 0; r < rows; ++r) {
            uint8_t *line = getLine(img, r, 0, 0);
            ASSERT_NE(line, nullptr);
            for (int c = 0; c < cols; ++c) line[c] = static_cast<uint8_t>(values[size_t(r) * cols + c]);
            markLineDirty(img, r, 0);
        }
        std::string out = dir.file("out-" + tag + ".lan");
        writeErdas(out, 1, rows, cols, std::vector<int>(size_t(rows) * cols, 9));
        EXPECT_EQ(run(classifyModule, {"-in", tag, "-out", out, "-stat", stat}), MODULE_DONE) << capture.err;
        EXPECT_EQ(readBand1(out, 1, rows, cols), want) << tag;
        releaseImage(img, nullptr);
    }
}
