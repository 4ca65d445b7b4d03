// TIFF reading and writing: files built here entry by entry (both byte
// orders, strips, tiles, PackBits, broken and hostile directories), files
// written by libtiff's tiffcp and by GDAL read here, and files written here
// read by tiffinfo and GDAL.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "image/formats/formats.h"
#include "image/formats/tiff.h"
#include "image/module_util.h"
#include "image/registry.h"
#include "image_support.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

struct Entry {
    int tag, type;
    std::vector<uint64_t> values;
};

int typeBytes(int type) { return type == 3 ? 2 : type == 12 ? 8 : type == 1 ? 1 : 4; }

// A TIFF: header, `data` from offset 8, then for every page its arrays and
// its directory. Offsets in entries are the caller's (data starts at 8).
Bytes tiffFile(bool mm, const Bytes &data, const std::vector<std::vector<Entry>> &pages, bool loop = false)
{
    Bytes b;
    auto put = [&](size_t at, uint64_t v, int n) { mm ? putBE(b, at, v, n) : putLE(b, at, v, n); };
    putText(b, 0, mm ? "MM" : "II");
    put(2, 42, 2);
    put(4, 0, 4);
    b.insert(b.end(), data.begin(), data.end());
    size_t previousLink = 4;
    size_t firstDir = 0;
    for (const auto &entries : pages) {
        std::vector<size_t> arrays;
        for (const Entry &e : entries) {
            size_t bytes = e.values.size() * typeBytes(e.type);
            if (bytes <= 4) {
                arrays.push_back(0);
                continue;
            }
            if (b.size() & 1) b.push_back(0);
            arrays.push_back(b.size());
            for (size_t i = 0; i < e.values.size(); ++i) put(b.size(), e.values[i], typeBytes(e.type));
        }
        if (b.size() & 1) b.push_back(0);
        size_t dir = b.size();
        if (!firstDir) firstDir = dir;
        put(previousLink, dir, 4);
        put(dir, entries.size(), 2);
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry &e = entries[i];
            size_t at = dir + 2 + 12 * i;
            put(at, static_cast<uint64_t>(e.tag), 2);
            put(at + 2, static_cast<uint64_t>(e.type), 2);
            put(at + 4, e.values.size(), 4);
            if (arrays[i]) put(at + 8, arrays[i], 4);
            else {
                put(at + 8, 0, 4);
                for (size_t k = 0; k < e.values.size(); ++k) put(at + 8 + k * typeBytes(e.type), e.values[k], typeBytes(e.type));
            }
        }
        previousLink = dir + 2 + 12 * entries.size();
        put(previousLink, 0, 4);
    }
    if (loop) put(previousLink, firstDir, 4);
    return b;
}

std::vector<Entry> basic(int cols, int rows, int bits, int samples, std::vector<uint64_t> offsets, int rps,
                         std::vector<uint64_t> counts, int compression = 1)
{
    return {{256, 4, {static_cast<uint64_t>(cols)}},
            {257, 4, {static_cast<uint64_t>(rows)}},
            {258, 3, std::vector<uint64_t>(static_cast<size_t>(samples), static_cast<uint64_t>(bits))},
            {259, 3, {static_cast<uint64_t>(compression)}},
            {262, 3, {1}},
            {273, 4, offsets},
            {277, 3, {static_cast<uint64_t>(samples)}},
            {278, 4, {static_cast<uint64_t>(rps)}},
            {279, 4, counts}};
}

RamImage *openFile(const std::string &path, int *err) { return getImage("", path.c_str(), nullptr, nullptr, err); }

Bytes lineOf(RamImage *img, int r, int b)
{
    const uint8_t *l = getLine(img, r, b, 1);
    return l ? Bytes(l, l + img->lineBytes) : Bytes();
}

bool haveTool(const char *t) { return std::system((std::string("command -v ") + t + " > /dev/null 2>&1").c_str()) == 0; }
int run(const std::string &command) { return std::system((command + " > /dev/null 2>&1").c_str()); }
std::string capture(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// Band-sequential pixels as GDAL reads them (native byte order).
Bytes gdalPixels(const TempDir &dir, const std::string &input)
{
    std::string out = dir.file("gdal.raw");
    if (run("gdal_translate -q -of ENVI -co INTERLEAVE=BSQ '" + input + "' '" + out + "'") != 0) return {};
    return readBytes(out);
}

// Compares every band line of an image with GDAL's band-sequential pixels.
void expectSameAsGdal(RamImage *img, const Bytes &ref, int bytesPerValue)
{
    const ImageDef &d = img->def;
    const size_t lineBytes = static_cast<size_t>(d.columns) * bytesPerValue;
    ASSERT_EQ(ref.size(), lineBytes * d.rows * d.nbands);
    for (int b = 0; b < d.nbands; ++b)
        for (int r = 0; r < d.rows; ++r) {
            const uint8_t *line = getLine(img, r, b, 1);
            ASSERT_NE(line, nullptr);
            ASSERT_EQ(0, memcmp(line, ref.data() + (static_cast<size_t>(b) * d.rows + r) * lineBytes, lineBytes))
                << "band " << b << " row " << r;
        }
}

}  // namespace

TEST(Tiff, SubByteBlocksOfSeventeenColumns)
{
    TempDir dir;
    // 1 bit: 3 bytes a row; 4 bits: 9 bytes a row.
    Bytes one = {0xA5, 0x0F, 0x80, 0xFF, 0x00, 0x00};
    writeBytes(dir.file("one.tif"), tiffFile(false, one, {basic(17, 2, 1, 1, {8}, 2, {6})}));
    Bytes four;
    for (int i = 0; i < 18; ++i) four.push_back(static_cast<uint8_t>(i * 17));
    auto e = basic(17, 2, 4, 1, {8}, 2, {18});
    writeBytes(dir.file("four.tif"), tiffFile(false, four, {e}));
    int err;
    RamImage *img = openFile(dir.file("one.tif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.imgid, IMG_TIFF);
    EXPECT_EQ(img->def.pixel, PIX_1BIT);
    EXPECT_EQ(img->def.block, 3);
    EXPECT_EQ(img->def.msbf, 1);
    EXPECT_EQ(img->def.nindices, 2);
    EXPECT_EQ(img->def.palette[0][0], 0);  // BlackIsZero: black first
    EXPECT_EQ(lineOf(img, 0, 0), (Bytes{0xA5, 0x0F, 0x80}));
    EXPECT_EQ(lineOf(img, 1, 0), (Bytes{0xFF, 0x00, 0x00}));
    releaseImage(img, nullptr);
    img = openFile(dir.file("four.tif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.pixel, PIX_4BITS);
    EXPECT_EQ(img->def.block, 9);
    EXPECT_EQ(lineOf(img, 1, 0), Bytes(four.begin() + 9, four.end()));
    releaseImage(img, nullptr);
}

TEST(Tiff, CompressionOtherThanPackBitsIsRefused)
{
    TempDir dir;
    writeBytes(dir.file("lzw.tif"), tiffFile(false, Bytes(4, 0), {basic(2, 2, 8, 1, {8}, 2, {4}, 5)}));
    ConsoleCapture cap;
    int err;
    EXPECT_EQ(openFile(dir.file("lzw.tif"), &err), nullptr);
    EXPECT_EQ(err, IMGERR_UNHANDLED);
    EXPECT_NE(cap.err.find("Can't read Tiff with compression code:5\n"), std::string::npos) << cap.err;
}

TEST(Tiff, BigEndianShortsInSeveralStrips)
{
    TempDir dir;
    Bytes data;
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 3; ++c) putBE(data, data.size(), static_cast<uint64_t>(1000 * r + c), 2);
    // Strips of 2 rows: 12, 12 and 6 bytes.
    auto e = basic(3, 5, 16, 1, {8, 20, 32}, 2, {12, 12, 6});
    e.push_back({339, 3, {2}});
    writeBytes(dir.file("be.tif"), tiffFile(true, data, {e}));
    int err;
    RamImage *img = openFile(dir.file("be.tif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.pixel, PIX_SHORT);
    EXPECT_EQ(img->def.msbf, 1);
    for (int r = 4; r >= 0; --r) {
        const int16_t *v = reinterpret_cast<const int16_t *>(getLine(img, r, 0, 1));
        ASSERT_NE(v, nullptr);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(v[c], 1000 * r + c);
    }
    releaseImage(img, nullptr);
}

TEST(Tiff, PackBitsStrips)
{
    TempDir dir;
    // Row 0: literal 1 2 3, repeat 9 x 3; a -128 no-op; row 1: repeat 7 x 6.
    Bytes packed = {2, 1, 2, 3, static_cast<uint8_t>(-2), 9, 0x80, static_cast<uint8_t>(-5), 7};
    writeBytes(dir.file("pb.tif"),
               tiffFile(false, packed, {basic(6, 2, 8, 1, {8}, 2, {packed.size()}, 32773)}));
    int err;
    RamImage *img = openFile(dir.file("pb.tif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(lineOf(img, 0, 0), (Bytes{1, 2, 3, 9, 9, 9}));
    EXPECT_EQ(lineOf(img, 1, 0), Bytes(6, 7));
    releaseImage(img, nullptr);
}

TEST(Tiff, HostileDirectoriesAreReadSafely)
{
    TempDir dir;
    int err;
    {
        // Strip offsets beyond the end read as zeros; RowsPerStrip 0 means all rows.
        writeBytes(dir.file("far.tif"), tiffFile(false, Bytes{1, 2, 3, 4}, {basic(2, 4, 8, 1, {8, 1u << 30}, 0, {4, 4})}));
        ConsoleCapture cap;
        RamImage *img = openFile(dir.file("far.tif"), &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        EXPECT_EQ(lineOf(img, 1, 0), (Bytes{3, 4}));
        EXPECT_EQ(lineOf(img, 3, 0), (Bytes{0, 0}));
        releaseImage(img, nullptr);
    }
    {
        // Rows wider than the whole file are a lie: refused, not allocated.
        writeBytes(dir.file("wide.tif"), tiffFile(false, Bytes(8, 5), {basic(100000, 100000, 8, 1, {8}, 0x7FFFFFFF, {8})}));
        ConsoleCapture cap;
        EXPECT_EQ(openFile(dir.file("wide.tif"), &err), nullptr);
        EXPECT_NE(cap.err.find("rows of 100000 bytes"), std::string::npos) << cap.err;
        // A huge RowsPerStrip over 10^8 rows: the cache stays small and the
        // rows the file does not hold read as zeros.
        writeBytes(dir.file("huge.tif"), tiffFile(false, Bytes(100, 5), {basic(100, 100000000, 8, 1, {8}, 0x7FFFFFFF, {100})}));
        RamImage *img = openFile(dir.file("huge.tif"), &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        EXPECT_LE(static_cast<int64_t>(img->cachedLines) * img->lineBytes, int64_t(1) << 20);
        const uint8_t *l = getLine(img, 0, 0, 1);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l[99], 5);
        l = getLine(img, 99999999, 0, 1);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l[0], 0);
        releaseImage(img, nullptr);
    }
    {
        // A directory chain that points back to itself has one page.
        writeBytes(dir.file("loop.tif"), tiffFile(false, Bytes(4, 1), {basic(2, 2, 8, 1, {8}, 2, {4})}, true));
        RamImage *img = openFile(dir.file("loop.tif"), &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        EXPECT_EQ(img->def.volumes, 1);
        releaseImage(img, nullptr);
    }
    {
        // A StripOffsets array beyond the end is as good as missing.
        auto e = basic(2, 2, 8, 1, {8, 8, 8}, 1, {2, 2, 2});
        Bytes g = tiffFile(false, Bytes(4, 1), {e});
        // Point the StripOffsets entry (6th) at a far offset.
        size_t dirAt = g[4] | (g[5] << 8) | (g[6] << 16);
        putLE(g, dirAt + 2 + 12 * 5 + 8, 1u << 30, 4);
        writeBytes(dir.file("arr.tif"), g);
        ConsoleCapture cap;
        EXPECT_EQ(openFile(dir.file("arr.tif"), &err), nullptr);
        EXPECT_NE(cap.err.find("Fail to find Tiff strip offset.\n"), std::string::npos) << cap.err;
    }
    {
        // Zero rows, and a width of 0.
        ConsoleCapture cap;
        writeBytes(dir.file("zero.tif"), tiffFile(false, Bytes(4, 1), {basic(0, 2, 8, 1, {8}, 2, {4})}));
        EXPECT_EQ(openFile(dir.file("zero.tif"), &err), nullptr);
    }
    {
        // A PackBits strip whose byte count lies: expansion stops at the file's end.
        Bytes packed = {static_cast<uint8_t>(-127), 4};
        writeBytes(dir.file("pblie.tif"),
                   tiffFile(false, packed, {basic(200, 300, 8, 1, {8}, 300, {0xFFFFFFFFu}, 32773)}));
        ConsoleCapture cap;
        RamImage *img = openFile(dir.file("pblie.tif"), &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        EXPECT_EQ(lineOf(img, 0, 0)[127], 4);
        EXPECT_EQ(lineOf(img, 299, 0)[0], 0);
        releaseImage(img, nullptr);
    }
}

TEST(Tiff, AStripClaimingFarMoreRowsThanTheFileHoldsIsReadByTheMegabyte)
{
    // A 67-sample, 11-column image of 62982 rows in one strip of a few bytes
    // (found by fuzzing): a miss must read around the line, not the tens of
    // megabytes the strip declares, or reading lines far apart takes minutes.
    static const uint8_t kFound[] = {
        0x49, 0x49, 0x2a, 0x00, 0xf6, 0x00, 0x00, 0x00, 0x7e, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff,
        0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00,
        0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0xff, 0x00, 0x20, 0xd4, 0x00, 0x2a, 0xd4, 0x00,
        0x2a, 0xd4, 0x00, 0x2a, 0xd4, 0x00, 0x2a, 0xd4, 0x00, 0x2a, 0xd4, 0x00, 0x2a, 0xd4, 0x00, 0x2a,
        0xd4, 0x00, 0x2a, 0xd4, 0x00, 0x2a, 0xd4, 0x00, 0x2a, 0xd4, 0x00, 0x2a, 0x20, 0xaa, 0x00, 0x55,
        0xaa, 0x00, 0x55, 0xaa, 0x00, 0x55, 0xaa, 0x00, 0x55, 0xaa, 0x00, 0x55, 0xaa, 0x00, 0x55, 0xaa,
        0x00, 0x55, 0xaa, 0x00, 0x55, 0xaa, 0x00, 0x55, 0xaa, 0x00, 0x55, 0xaa, 0x00, 0x55, 0x20, 0x7f,
        0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00,
        0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f,
        0x20, 0x55, 0x00, 0xaa, 0x55, 0x00, 0xaa, 0x55, 0x00, 0xaa, 0x55, 0x00, 0xaa, 0x55, 0x00, 0xaa,
        0x55, 0x00, 0xaa, 0x55, 0x00, 0xaa, 0x55, 0x00, 0xaa, 0x55, 0x00, 0xaa, 0x55, 0x00, 0xaa, 0x55,
        0x00, 0xaa, 0x20, 0x2a, 0x00, 0xd4, 0x2a, 0x00, 0xd4, 0x2a, 0x00, 0xd4, 0x2a, 0x00, 0xd4, 0x2a,
        0x00, 0xd4, 0x2a, 0x00, 0xd4, 0x2a, 0x00, 0xd4, 0x2a, 0x00, 0xd4, 0x2a, 0x00, 0xd4, 0x2a, 0x00,
        0xd4, 0x2a, 0x00, 0xd4, 0xff, 0x00, 0x1e, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00,
        0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff,
        0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x0f, 0x00, 0x00, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x0b, 0x00, 0x00, 0x00, 0x01, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0xf6, 0x00, 0x00,
        0x02, 0x01, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00, 0xb0, 0x01, 0x00, 0x00, 0x03, 0x01, 0x03, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x05, 0x80, 0x00, 0x80, 0x06, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x02, 0x00, 0x00, 0x00, 0x0a, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x11, 0x01, 0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0xc6, 0x01, 0x00, 0x00, 0x12, 0x01, 0x03, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x15, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x43, 0x00, 0x00, 0x00, 0x16, 0x01, 0x03, 0x00, 0x01, 0x00, 0x55, 0xaa, 0x00, 0x55, 0xaa, 0x00,
        0x55, 0x20, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00,
        0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f, 0x7f, 0x00, 0x7f,
        0x7f, 0x00, 0x01, 0x00, 0x3e, 0x01, 0x05, 0x00, 0x02, 0x00, 0x00, 0x00, 0xd6, 0x01, 0x00, 0x00,
        0x3f, 0x01, 0x05, 0x00, 0x06, 0x00, 0x00, 0x00, 0xe6, 0x00, 0xff, 0xff, 0xfb, 0x00, 0x00, 0x00,
        0x08, 0x00, 0x08, 0x00, 0x08, 0x00, 0x44, 0x00, 0x00, 0x00, 0x44, 0x00, 0x00, 0x00, 0x44, 0x00,
        0x00, 0x00, 0x22, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x4c, 0x00, 0x00, 0x00, 0x90, 0x00,
        0x00, 0x00, 0xd4, 0x00, 0x00, 0x00, 0x34, 0x1a, 0xa0, 0x00, 0x00, 0x00, 0x00, 0x02, 0x2b, 0x87,
        0x0a, 0x00, 0x00, 0x00, 0x20, 0x00, 0x85, 0xeb, 0x51, 0x00, 0x00, 0x00, 0x80, 0x00, 0xc3, 0xf5,
        0xa8, 0x00, 0x00, 0x00, 0x00, 0x02, 0xcd, 0xcc, 0x4c, 0x00, 0x00, 0x00, 0x00, 0x01, 0xcd, 0xcc,
        0x4c, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x5f, 0x77, 0x69, 0x64, 0x74,
        0x68, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
        0xff, 0xff, 0xff, 0x00, 0x00, 0x80, 0x00, 0xcd, 0xcc, 0x4c, 0x00, 0x00, 0x00, 0x00, 0x02, 0x8f,
        0xc2, 0xf5, 0x00, 0x00, 0x00, 0x00, 0x10,
    };
    TempDir dir;
    int err;
    writeBytes(dir.file("tall.tif"), Bytes(kFound, kFound + sizeof kFound));
    ConsoleCapture cap;
    RamImage *img = openFile(dir.file("tall.tif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    const int block = img->def.block, nb = img->def.nbands;
    const int far = (1 << 20) / block + 16;
    for (int row : {0, 20000, 40000, 62981}) {
        ASSERT_NE(getLine(img, row, 0, 1), nullptr);
        if (row + far < img->def.rows) {
            const int key = (row + far) * nb;
            EXPECT_NE(img->slotMap[key % img->cacheSlots], key) << "row " << row << " loaded too much";
        }
    }
    releaseImage(img, nullptr);
}

TEST(Tiff, PagesAreVolumes)
{
    TempDir dir;
    Bytes data = {1, 2, 3, 4, 9, 8, 7, 6, 5, 4};
    writeBytes(dir.file("pages.tif"),
               tiffFile(false, data, {basic(2, 2, 8, 1, {8}, 2, {4}), basic(3, 2, 8, 1, {12}, 2, {6})}));
    int err;
    RamImage *img = openFile(dir.file("pages.tif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.volumes, 2);
    EXPECT_EQ(lineOf(img, 1, 0), (Bytes{3, 4}));
    EXPECT_EQ(selectVolume(img, 0), 1);
    EXPECT_EQ(selectVolume(img, 0), 2);
    EXPECT_EQ(img->def.columns, 3);
    EXPECT_EQ(lineOf(img, 1, 0), (Bytes{6, 5, 4}));
    EXPECT_EQ(selectVolume(img, 0), -2);
    EXPECT_EQ(selectVolume(img, 1), 1);
    EXPECT_EQ(img->def.columns, 2);
    EXPECT_EQ(lineOf(img, 0, 0), (Bytes{1, 2}));
    releaseImage(img, nullptr);
}

TEST(Tiff, LibtiffFilesMatchGdal)
{
    if (!haveTool("tiffcp") || !haveTool("convert") || !haveTool("gdal_translate")) GTEST_SKIP() << "tools missing";
    TempDir dir;
    ASSERT_EQ(run("convert -size 33x17 gradient:red-blue -depth 8 '" + dir.file("rgb.tif") + "'"), 0);
    ASSERT_EQ(run("convert -size 35x21 gradient:white-black -depth 16 -type grayscale '" + dir.file("g16.tif") + "'"), 0);
    ASSERT_EQ(run("convert -size 40x30 -seed 3 plasma: -colors 16 -type Palette '" + dir.file("pal.tif") + "'"), 0);
    struct Case {
        const char *name, *source, *options;
        int bytes;
    } cases[] = {
        {"strips.tif", "rgb.tif", "-c none -r 5", 1},
        {"tiles.tif", "rgb.tif", "-c none -t -w 16 -l 16", 1},
        {"pbstrips.tif", "rgb.tif", "-c packbits -r 3", 1},
        {"pbtiles.tif", "rgb.tif", "-c packbits -t -w 16 -l 16", 1},
        {"be.tif", "rgb.tif", "-B -c none -r 4", 1},
        {"g16.tif", "g16.tif", "-c none -r 6", 2},
        {"g16be.tif", "g16.tif", "-B -c none -t -w 16 -l 16", 2},
        {"pal.tif", "pal.tif", "-c none", 1},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        std::string out = dir.file(std::string("out_") + k.name);
        ASSERT_EQ(run(std::string("tiffcp ") + k.options + " '" + dir.file(k.source) + "' '" + out + "'"), 0);
        Bytes ref = gdalPixels(dir, out);
        int err;
        RamImage *img = openFile(out, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        if (std::string(k.name) == "pal.tif") {
            // 4-bit colour indices: compare unpacked, and the colour map.
            EXPECT_EQ(img->def.pixel, PIX_4BITS);
            EXPECT_EQ(img->def.nindices, 16);
            ASSERT_EQ(ref.size(), 40u * 30);
            for (int r = 0; r < 30; ++r) {
                const uint8_t *l = getLine(img, r, 0, 1);
                ASSERT_NE(l, nullptr) << r;
                for (int c = 0; c < 40; ++c)
                    ASSERT_EQ((c & 1) ? (l[c / 2] & 15) : (l[c / 2] >> 4), ref[r * 40 + c]) << r << " " << c;
            }
            std::string info = capture("gdalinfo '" + out + "'");
            char expect[64];
            snprintf(expect, sizeof expect, "  5: %d,%d,%d,255", img->def.palette[5][0], img->def.palette[5][1],
                     img->def.palette[5][2]);
            EXPECT_NE(info.find(expect), std::string::npos) << info;
        } else {
            expectSameAsGdal(img, ref, k.bytes);
        }
        releaseImage(img, nullptr);
    }
    // Several pages: tiffcp appends them.
    std::string multi = dir.file("multi.tif");
    ASSERT_EQ(run("tiffcp '" + dir.file("rgb.tif") + "' '" + dir.file("g16.tif") + "' '" + multi + "'"), 0);
    int err;
    RamImage *img = openFile(multi, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.volumes, 2);
    EXPECT_EQ(selectVolume(img, 2), 2);
    EXPECT_EQ(img->def.pixel, PIX_USHORT);
    EXPECT_EQ(img->def.columns, 35);
    expectSameAsGdal(img, gdalPixels(dir, dir.file("g16.tif")), 2);
    releaseImage(img, nullptr);
}

TEST(Tiff, GeoTiffFromGdal)
{
    if (!haveTool("gdal_translate") || !haveTool("convert")) GTEST_SKIP() << "tools missing";
    TempDir dir;
    ASSERT_EQ(run("convert -size 30x20 gradient:red-blue -depth 8 '" + dir.file("src.tif") + "'"), 0);
    std::string geo = dir.file("geo.tif");
    ASSERT_EQ(run("gdal_translate -q -a_srs EPSG:32633 -a_ullr 500000 4100000 500300 4099800 '" + dir.file("src.tif") +
                  "' '" + geo + "'"),
              0);
    int err;
    RamImage *img = openFile(geo, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_DOUBLE_EQ(img->def.dx, 10.0);
    EXPECT_DOUBLE_EQ(img->def.dy, 10.0);
    EXPECT_DOUBLE_EQ(img->def.x0, 500000.0);
    EXPECT_DOUBLE_EQ(img->def.y0, 4100000.0);
    expectSameAsGdal(img, gdalPixels(dir, geo), 1);
    // A pixel GDAL reports by location.
    std::string v = capture("gdallocationinfo -valonly '" + geo + "' 7 11");
    EXPECT_EQ(atoi(v.c_str()), getLine(img, 11, 0, 1)[7]);
    releaseImage(img, nullptr);
}

TEST(Tiff, WrittenTwoBandShortsOpenInGdal)
{
    TempDir dir;
    ImageDef d = defaultImageDef();
    snprintf(d.file, sizeof d.file, "%s", dir.file("two.tif").c_str());
    d.imgid = IMG_TIFF;
    d.pixel = PIX_USHORT;
    d.nbands = 2;
    d.columns = 100;
    d.rows = 30;
    d.nindices = 0;
    int err;
    RamImage *img = openWithDef(&d, nullptr, 1, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.imgid, IMG_TIFF);
    EXPECT_EQ(img->def.block, 400);
    EXPECT_EQ(img->def.pixel, PIX_USHORT);
    EXPECT_EQ(img->def.nbands, 2);
    for (int b = 0; b < 2; ++b)
        for (int r = 0; r < 30; ++r) {
            std::vector<float> v(100);
            for (int c = 0; c < 100; ++c) v[c] = static_cast<float>(b * 30000 + r * 100 + c);
            ASSERT_EQ(putFloatLine(img, r, 0, 100, b, v.data()), 100);
        }
    EXPECT_EQ(flushImage(img), 0);
    releaseImage(img, nullptr);
    Bytes file = readBytes(dir.file("two.tif"));
    ASSERT_GE(file.size(), 8u + 12000);
    EXPECT_EQ(file[0], 'I');
    if (haveTool("tiffinfo")) {
        std::string info = capture("tiffinfo '" + dir.file("two.tif") + "' 2>&1");
        EXPECT_NE(info.find("Bits/Sample: 16"), std::string::npos) << info;
        EXPECT_NE(info.find("Samples/Pixel: 2"), std::string::npos) << info;
        EXPECT_NE(info.find("Rows/Strip: 30"), std::string::npos) << info;
        EXPECT_NE(info.find("Sample Format: unsigned integer"), std::string::npos) << info;
    }
    // The entry list, in order.
    const size_t dirAt = file[4] | (file[5] << 8) | (file[6] << 16) | (size_t(file[7]) << 24);
    ASSERT_EQ(file[dirAt] | (file[dirAt + 1] << 8), 14);
    const int tags[14] = {256, 257, 258, 259, 262, 273, 274, 277, 278, 279, 280, 281, 284, 339};  // ascending
    for (int i = 0; i < 14; ++i) EXPECT_EQ(file[dirAt + 2 + 12 * i] | (file[dirAt + 3 + 12 * i] << 8), tags[i]) << i;
    // BitsPerSample: SHORT, 2 values 16 and 16 inside the entry.
    const size_t bps = dirAt + 2 + 12 * 2;
    EXPECT_EQ(file[bps + 2], 3);
    EXPECT_EQ(file[bps + 4], 2);
    EXPECT_EQ(file[bps + 8], 16);
    EXPECT_EQ(file[bps + 10], 16);
    if (haveTool("gdal_translate")) {
        Bytes ref = gdalPixels(dir, dir.file("two.tif"));
        ASSERT_EQ(ref.size(), 2u * 30 * 100 * 2);
        for (int b = 0; b < 2; ++b)
            for (int r = 0; r < 30; ++r)
                for (int c = 0; c < 100; ++c) {
                    size_t at = ((static_cast<size_t>(b) * 30 + r) * 100 + c) * 2;
                    ASSERT_EQ(ref[at] | (ref[at + 1] << 8), b * 30000 + r * 100 + c);
                }
    }
    // Read back here.
    img = openFile(dir.file("two.tif"), &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(reinterpret_cast<const uint16_t *>(getLine(img, 29, 1, 1))[99], 30000 + 2999);
    releaseImage(img, nullptr);
}

TEST(Tiff, WrittenPaletteIsRewrittenInTheFile)
{
    TempDir dir;
    ImageDef d = defaultImageDef();
    snprintf(d.file, sizeof d.file, "%s", dir.file("pal.tif").c_str());
    d.imgid = IMG_TIFF;
    d.pixel = PIX_BYTE;
    d.nbands = 1;
    d.columns = 9;
    d.rows = 4;
    d.nindices = 256;
    for (int i = 0; i < 256; ++i) d.palette[i][0] = d.palette[i][1] = d.palette[i][2] = static_cast<uint8_t>(i);
    int err;
    RamImage *img = openWithDef(&d, nullptr, 1, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.nindices, 256);
    uint8_t row[9] = {0, 1, 2, 3, 4, 5, 6, 7, 200};
    for (int r = 0; r < 4; ++r) putByteLine(img, r, 0, 9, 0, row);
    img->def.palette[3][0] = 250, img->def.palette[3][1] = 10, img->def.palette[3][2] = 20;
    EXPECT_EQ(writeFilePalette(img), 0);
    releaseImage(img, nullptr);
    img = openFile(dir.file("pal.tif"), &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->def.palette[3][0], 250);
    EXPECT_EQ(img->def.palette[3][1], 10);
    EXPECT_EQ(img->def.palette[3][2], 20);
    EXPECT_EQ(img->def.palette[200][1], 200);
    EXPECT_EQ(lineOf(img, 2, 0)[8], 200);
    releaseImage(img, nullptr);
    if (haveTool("gdalinfo")) {
        std::string info = capture("gdalinfo '" + dir.file("pal.tif") + "' 2>&1");
        EXPECT_NE(info.find("  3: 250,10,20,255"), std::string::npos) << info;
        EXPECT_NE(info.find("Palette"), std::string::npos) << info;
    }
    if (haveTool("convert")) {
        std::string px = capture("convert '" + dir.file("pal.tif") + "' -format '%[pixel:p{3,1}]' info: 2>/dev/null");
        EXPECT_NE(px.find("250,10,20"), std::string::npos) << px;
    }
}

TEST(Tiff, WrittenRgbAndFloatOpenInGdal)
{
    if (!haveTool("gdal_translate")) GTEST_SKIP() << "GDAL missing";
    TempDir dir;
    struct Case {
        int pixel, bands, bytes;
    } cases[] = {{PIX_BYTE, 3, 1}, {PIX_FLOAT, 1, 4}, {PIX_SHORT, 4, 2}};
    for (const Case &k : cases) {
        ImageDef d = defaultImageDef();
        snprintf(d.file, sizeof d.file, "%s", dir.file("w.tif").c_str());
        remove(d.file);
        d.imgid = IMG_TIFF;
        d.pixel = k.pixel;
        d.nbands = k.bands;
        d.columns = 13;
        d.rows = 7;
        d.nindices = 0;
        int err;
        RamImage *img = openWithDef(&d, nullptr, 1, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        for (int b = 0; b < k.bands; ++b)
            for (int r = 0; r < 7; ++r) {
                std::vector<float> v(13);
                for (int c = 0; c < 13; ++c) v[c] = static_cast<float>((b * 40 + r * 13 + c) % 256) - (k.pixel == PIX_SHORT ? 100 : 0);
                putFloatLine(img, r, 0, 13, b, v.data());
            }
        flushImage(img);
        releaseImage(img, nullptr);
        img = openFile(dir.file("w.tif"), &err);
        ASSERT_NE(img, nullptr);
        expectSameAsGdal(img, gdalPixels(dir, dir.file("w.tif")), k.bytes);
        releaseImage(img, nullptr);
    }
}
