// Interoperability with ERDAS files no one here wrote: the real 7.4 class map
// in the shared data, and files written by GDAL; and ERDAS files written here
// read by GDAL. The GDAL parts are skipped where gdal_translate is missing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "image/formats/formats.h"
#include "image/registry.h"
#include "image_support.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

bool haveGdal() { return std::system("gdal_translate --version > /dev/null 2>&1") == 0; }

int run(const std::string &command) { return std::system((command + " > /dev/null 2>&1").c_str()); }

// Band-sequential raw pixels of any file GDAL reads.
Bytes gdalPixels(const TempDir &dir, const std::string &input)
{
    std::string out = dir.file("gdal.raw");
    if (run("gdal_translate -q -of ENVI -co INTERLEAVE=BSQ '" + input + "' '" + out + "'") != 0) return {};
    return readBytes(out);
}

// An ENVI raw file (band-sequential, little-endian) for GDAL to read.
void writeEnvi(const std::string &path, const Bytes &data, int columns, int rows, int bands, int type)
{
    writeBytes(path, data);
    std::ofstream hdr(path.substr(0, path.size() - 4) + ".hdr");
    hdr << "ENVI\nsamples = " << columns << "\nlines = " << rows << "\nbands = " << bands
        << "\nheader offset = 0\ndata type = " << type << "\ninterleave = bsq\nbyte order = 0\n"
        << "map info = {UTM, 1, 1, 500000.5, 4100000.25, 30, 20, 10, North, WGS-84}\n";
}

}  // namespace

TEST(Interop, ErdasClassMapFromTheShelf)
{
    std::string path = sharedDataDir() + "/92AV3GT.GIS";
    if (access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "sample file not present (the shared sample data is expected in ../shared/data beside the source tree, or in $KREL_SHARED_DATA): " << path;
    int err;
    RamImage *img = getImage("", path.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.imgid, IMG_E74);
    EXPECT_EQ(img->def.rows, 145);
    EXPECT_EQ(img->def.columns, 145);
    EXPECT_EQ(img->def.nbands, 1);
    EXPECT_EQ(img->def.pixel, PIX_BYTE);
    EXPECT_EQ(img->def.left, 240);
    EXPECT_EQ(img->def.top, 351);
    EXPECT_EQ(img->def.dx, 0.0);
    EXPECT_EQ(img->def.dy, 0.0);
    ASSERT_EQ(computeBandStats(img, STATS_RECOMPUTE, 1, 1), 0);
    EXPECT_EQ(img->bandStats[0].min, 0);
    EXPECT_EQ(img->bandStats[0].max, 16);
    for (int v = 0; v <= 16; ++v) EXPECT_GT(img->bandStats[0].bins[v], 0u) << v;
    EXPECT_EQ(img->bandStats[0].count, 145 * 145);
    if (haveGdal()) {
        TempDir dir;
        Bytes ref = gdalPixels(dir, path);
        ASSERT_EQ(ref.size(), 145u * 145);
        for (int r = 0; r < 145; ++r) ASSERT_EQ(0, memcmp(getLine(img, r, 0, 1), ref.data() + r * 145, 145)) << r;
    }
    releaseImage(img, nullptr);
}

TEST(Interop, FilesWrittenByGdalOpenHere)
{
    if (!haveGdal()) GTEST_SKIP() << "gdal_translate not installed";
    struct Case {
        int type, bytes, bands, pixel;
    } cases[] = {{1, 1, 2, PIX_BYTE}, {2, 2, 3, PIX_USHORT}, {2, 2, 1, PIX_USHORT}};  // GDAL writes Int16 with pack code 2
    for (const Case &k : cases) {
        TempDir dir;
        const int columns = 37, rows = 23;
        Bytes data(static_cast<size_t>(columns) * rows * k.bands * k.bytes);
        for (size_t i = 0; i < data.size() / k.bytes; ++i) {
            uint32_t v = k.bytes == 1 ? (i * 7) & 0xFF : (i * 977) % (k.type == 2 ? 32768 : 65536);
            putLE(data, i * k.bytes, v, k.bytes);
        }
        std::string src = dir.file("src.raw"), lan = dir.file("gdal.lan");
        writeEnvi(src, data, columns, rows, k.bands, k.type);
        ASSERT_EQ(run("gdal_translate -q -of LAN '" + src + "' '" + lan + "'"), 0);
        int err;
        RamImage *img = getImage("", lan.c_str(), nullptr, nullptr, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        EXPECT_EQ(img->def.columns, columns);
        EXPECT_EQ(img->def.rows, rows);
        EXPECT_EQ(img->def.nbands, k.bands);
        EXPECT_EQ(img->def.pixel, k.pixel);
        // GDAL places the first pixel's centre and a positive pixel height.
        EXPECT_DOUBLE_EQ(img->def.x0, 500015.5);
        EXPECT_DOUBLE_EQ(img->def.y0, 4099990.25);
        EXPECT_EQ(img->def.dx, 30.0);
        EXPECT_EQ(img->def.dy, 20.0);
        for (int b = 0; b < k.bands; ++b)
            for (int r = 0; r < rows; ++r)
                ASSERT_EQ(0, memcmp(getLine(img, r, b, 1),
                                    data.data() + (static_cast<size_t>(b) * rows + r) * columns * k.bytes,
                                    static_cast<size_t>(columns) * k.bytes))
                    << "band " << b << " row " << r;
        releaseImage(img, nullptr);
    }
}

TEST(Interop, FilesWrittenHereOpenInGdal)
{
    if (!haveGdal()) GTEST_SKIP() << "gdal_translate not installed";
    // GDAL reads pack codes 0 and 2 (as Int16: values stay below 32768); it
    // does not know the SHORT pack code 5 at all.
    for (int pixel : {PIX_BYTE, PIX_USHORT}) {
        TempDir dir;
        ImageDef def = defaultImageDef();
        std::string path = dir.file("ours.lan");
        strcpy(def.file, path.c_str());
        def.pixel = pixel;
        def.rows = 19;
        def.columns = 41;
        def.nbands = 3;
        def.x0 = 1000.0;
        def.y0 = 2000.0;
        def.dx = 5;
        def.dy = 5;
        int err;
        RamImage *img = openWithDef(&def, nullptr, 0, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        const int e = pixel == PIX_BYTE ? 1 : 2;
        Bytes want(static_cast<size_t>(19) * 41 * 3 * e);
        std::vector<float> line(41);
        for (int b = 0; b < 3; ++b)
            for (int r = 0; r < 19; ++r) {
                for (int c = 0; c < 41; ++c) {
                    int v = (r * 41 + c + 1000 * b) % (e == 1 ? 256 : 30000);
                    line[c] = static_cast<float>(v);
                    putLE(want, ((static_cast<size_t>(b) * 19 + r) * 41 + c) * e, static_cast<uint32_t>(v), e);
                }
                ASSERT_EQ(putFloatLine(img, r, 0, 41, b, line.data()), 41);
            }
        releaseImage(img, nullptr);
        std::string info = dir.file("info.txt");
        ASSERT_EQ(std::system(("gdalinfo '" + path + "' > '" + info + "' 2>&1").c_str()), 0);
        std::stringstream text;
        text << std::ifstream(info).rdbuf();
        EXPECT_NE(text.str().find("Size is 41, 19"), std::string::npos) << text.str();
        EXPECT_NE(text.str().find("Band 3"), std::string::npos);
        Bytes got = gdalPixels(dir, path);
        EXPECT_TRUE(got == want) << pixelTypeName(pixel);
    }
}
