// The line cache: where lines lie, reading ahead, eviction with write-back,
// partial writes, truncated files, byte order, volumes, packed bitmaps and
// memory resident images.
#include <gtest/gtest.h>

#include <random>
#include <unistd.h>

#include "image/formats/formats.h"
#include "image/module_util.h"
#include "image/registry.h"
#include "image_support.h"
#include "platform/files.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

// A raw file described by `def` (opened without header detection), filled
// with a byte pattern that names each byte's position.
RamImage *rawImage(const TempDir &dir, ImageDef def, int64_t fileBytes, Bytes *content = nullptr)
{
    std::string path = dir.file("raw.dat");
    Bytes bytes(static_cast<size_t>(fileBytes));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 131 + i / 251) & 0xFF);
    writeBytes(path, bytes);
    if (content) *content = bytes;
    strcpy(def.file, path.c_str());
    int err = -1;
    RamImage *img = openImageFile(path.c_str(), &def, nullptr, &err);
    EXPECT_EQ(err, 0);
    return img;
}

ImageDef rawDef(int imgid, int pixel, int nbands, int rows, int columns, int block, int offset)
{
    ImageDef d = defaultImageDef();
    d.imgid = imgid;
    d.pixel = pixel;
    d.nbands = nbands;
    d.rows = rows;
    d.columns = columns;
    d.block = block;
    d.offset = offset;
    d.msbf = 0;
    return d;
}

}  // namespace

TEST(LineCache, BilLinePlacement)
{
    TempDir dir;
    // 3 bands, records of 20 bytes holding 16 columns: line 10 of band 2 is
    // the record at (10 x 3 + 2) x block + offset = 704, whose pattern bytes
    // are these.
    RamImage *img = rawImage(dir, rawDef(IMG_BIL, PIX_BYTE, 3, 40, 16, 20, 64), 64 + 40 * 3 * 20);
    ASSERT_NE(img, nullptr);
    const uint8_t *line = getLine(img, 10, 2, 1);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(Bytes(line, line + 16),
              (Bytes{66, 197, 72, 203, 78, 209, 84, 215, 90, 221, 96, 227, 102, 233, 108, 239}));
    destroyImage(img);
}

TEST(LineCache, BsqAndBipPlacement)
{
    TempDir dir;
    RamImage *img = rawImage(dir, rawDef(IMG_BSQ, PIX_BYTE, 3, 40, 16, 16, 10), 10 + 40 * 3 * 16);
    ASSERT_NE(img, nullptr);
    // Line 7 of band 2 at (2 x 40 + 7) x 16 + 10 = 1402.
    const uint8_t *bsq = getLine(img, 7, 2, 1);
    EXPECT_EQ(Bytes(bsq, bsq + 16), (Bytes{115, 246, 121, 252, 127, 2, 133, 8, 139, 14, 145, 20, 151, 26, 157, 32}));
    destroyImage(img);

    // BIP SHORT: value of band b at column c is element c x nbands + b of the
    // row; row 5 starts at 4 + 5 x 48 = 244 and holds these pattern values.
    img = rawImage(dir, rawDef(IMG_BIP, PIX_SHORT, 3, 20, 8, 48, 4), 4 + 20 * 48);
    ASSERT_NE(img, nullptr);
    const int16_t row5[3][8] = {{24540, 29422, -31743, -27117, -22491, -17865, -13239, -8613},
                                {26082, 30965, -30201, -25575, -20949, -16323, -11697, -7071},
                                {27624, 32507, -28659, -24033, -19407, -14781, -10155, -5529}};
    for (int b = 0; b < 3; ++b) {
        const uint8_t *line = getLine(img, 5, b, 1);
        for (int c = 0; c < 8; ++c) {
            int16_t v;
            memcpy(&v, line + 2 * c, 2);
            EXPECT_EQ(v, row5[b][c]) << b << " " << c;
        }
    }
    destroyImage(img);
}

// Random reads and partial writes against a model of the file, for every
// raw layout, with records wider than their lines and big-endian values.
TEST(LineCache, RandomAccessMatchesModel)
{
    struct Case {
        int imgid, pixel, nbands, rows, columns, block, msbf;
    } cases[] = {
        {IMG_BIL, PIX_BYTE, 3, 300, 100, 100, 0},   {IMG_BIL, PIX_SHORT, 2, 257, 61, 130, 1},
        {IMG_BSQ, PIX_BYTE, 4, 211, 37, 40, 0},     {IMG_BSQ, PIX_FLOAT, 3, 190, 50, 200, 1},
        {IMG_BIP, PIX_USHORT, 3, 173, 45, 270, 1},  {IMG_BIP, PIX_BYTE, 1, 500, 300, 300, 0},
        {IMG_E74BSQ, PIX_LONG, 2, 150, 33, 132, 0}, {IMG_ELAS, PIX_BYTE, 5, 120, 2000, 2048, 0},
    };
    std::mt19937 rng(12345);
    for (const Case &k : cases) {
        SCOPED_TRACE(imageFormatName(k.imgid));
        TempDir dir;
        const int offset = 77;
        ImageDef def = rawDef(k.imgid, k.pixel, k.nbands, k.rows, k.columns, k.block, offset);
        def.msbf = k.msbf;
        const bool bip = k.imgid == IMG_BIP;
        int64_t size = offset + static_cast<int64_t>(k.block) * k.rows * (bip ? 1 : k.nbands);
        Bytes model;
        RamImage *img = rawImage(dir, def, size, &model);
        ASSERT_NE(img, nullptr);
        const int e = pixelBits(k.pixel) / 8;
        auto fileAt = [&](int line, int band, int c) -> int64_t {
            switch (k.imgid) {
            case IMG_BIL:
            case IMG_ELAS: return offset + (int64_t(line) * k.nbands + band) * k.block + c * e;
            case IMG_BIP: return offset + int64_t(line) * k.block + (int64_t(c) * k.nbands + band) * e;
            default: return offset + (int64_t(band) * k.rows + line) * k.block + c * e;
            }
        };
        auto expectValue = [&](const uint8_t *line, int r, int b, int c) {
            for (int i = 0; i < e; ++i) {
                uint8_t fileByte = model[fileAt(r, b, c) + (k.msbf ? e - 1 - i : i)];
                ASSERT_EQ(line[c * e + i], fileByte) << "line " << r << " band " << b << " col " << c;
            }
        };
        for (int step = 0; step < 4000; ++step) {
            int r, b;
            if (step % 3 == 0) {  // sequential stretches as well as jumps
                r = (step / 3) % k.rows;
                b = (step / 3) % k.nbands;
            } else {
                r = static_cast<int>(rng() % k.rows);
                b = static_cast<int>(rng() % k.nbands);
            }
            if (rng() % 5 == 0) {
                int first = static_cast<int>(rng() % k.columns);
                int count = 1 + static_cast<int>(rng() % 5);
                std::vector<float> v(count);
                for (int i = 0; i < count; ++i) v[i] = static_cast<float>(rng() % 200);
                int n = putFloatLine(img, r, first, count, b, v.data());
                for (int i = 0; i < n; ++i) {
                    uint8_t native[4];
                    if (e == 1) native[0] = static_cast<uint8_t>(v[i]);
                    else if (k.pixel == PIX_FLOAT) memcpy(native, &v[i], 4);
                    else if (e == 2) {
                        uint16_t s = static_cast<uint16_t>(v[i]);
                        memcpy(native, &s, 2);
                    } else {
                        int32_t s = static_cast<int32_t>(v[i]);
                        memcpy(native, &s, 4);
                    }
                    for (int j = 0; j < e; ++j) model[fileAt(r, b, first + i) + (k.msbf ? e - 1 - j : j)] = native[j];
                }
            } else {
                const uint8_t *line = getLine(img, r, b, 1);
                ASSERT_NE(line, nullptr);
                for (int c = 0; c < k.columns; c += 7) expectValue(line, r, b, c);
            }
        }
        ASSERT_EQ(flushImage(img), 0);
        destroyImage(img);
        EXPECT_TRUE(readBytes(dir.file("raw.dat")) == model);
    }
}

TEST(LineCache, EvictionWritesDirtyLinesBack)
{
    TempDir dir;
    Bytes file;
    RamImage *img = rawImage(dir, rawDef(IMG_BIL, PIX_BYTE, 2, 1000, 64, 64, 0), 2 * 1000 * 64, &file);
    ASSERT_NE(img, nullptr);
    std::vector<uint8_t> ones(64, 0xAB);
    ASSERT_EQ(putByteLine(img, 3, 0, 64, 1, ones.data()), 64);
    for (int r = 100; r < 1000; ++r) getLine(img, r, 0, 1);  // pushes line 3 out, no flush asked
    Bytes now = readBytes(dir.file("raw.dat"));
    EXPECT_EQ(0, memcmp(now.data() + 448, ones.data(), 64));  // record 3 x 2 + 1
    destroyImage(img);
}

TEST(LineCache, PartialWriteKeepsTheRestOfTheLine)
{
    TempDir dir;
    for (int imgid : {IMG_BSQ, IMG_BIL, IMG_E74}) {
        Bytes file;
        RamImage *img = rawImage(dir, rawDef(imgid, PIX_BYTE, 2, 50, 32, 32, 0), 2 * 50 * 32, &file);
        ASSERT_NE(img, nullptr);
        for (int r = 0; r < 50; ++r) getLine(img, r, 0, 1);  // the slot of line 1 band 1 holds another line
        uint8_t v[3] = {1, 2, 3};
        ASSERT_EQ(putByteLine(img, 1, 5, 3, 1, v), 3);
        flushImage(img);
        destroyImage(img);
        Bytes now = readBytes(dir.file("raw.dat"));
        int64_t at = imgid == IMG_BSQ ? (1 * 50 + 1) * 32 : (1 * 2 + 1) * 32;
        for (int c = 0; c < 32; ++c) {
            uint8_t want = c >= 5 && c < 8 ? static_cast<uint8_t>(c - 4) : file[at + c];
            EXPECT_EQ(now[at + c], want) << imageFormatName(imgid) << " col " << c;
        }
    }
}

// A write-back that fails (a full disk, a file that stopped taking writes)
// must leave every line it did not write dirty: a later flush reports the
// failure again and writes the lines once the file takes them.
TEST(LineCache, FailedWriteBackKeepsTheLinesDirty)
{
    ConsoleCapture cap;
    TempDir dir;
    // Two consecutive BSQ lines go out in one call; a BIP row is rebuilt from its bands.
    for (int imgid : {IMG_BSQ, IMG_BIP}) {
        const bool bip = imgid == IMG_BIP;
        RamImage *img = rawImage(dir, rawDef(imgid, PIX_BYTE, bip ? 2 : 1, 20, 16, bip ? 32 : 16, 0), 20 * 32);
        ASSERT_NE(img, nullptr);
        std::vector<uint8_t> a(16, 0xA1), b(16, 0xB2);
        ASSERT_EQ(putByteLine(img, 3, 0, 16, 0, a.data()), 16);
        ASSERT_EQ(putByteLine(img, bip ? 3 : 4, 0, 16, bip ? 1 : 0, b.data()), 16);
        const std::string path = dir.file("raw.dat");
        {
            platform::FileDesc readOnly = platform::openFile(path.c_str(), platform::OpenMode::Read);
            ASSERT_GE(dup2(readOnly.get(), img->fileHandle), 0);
        }
        EXPECT_EQ(flushImage(img), -1) << imageFormatName(imgid);
        EXPECT_EQ(flushImage(img), -1) << imageFormatName(imgid) << ": unwritten lines were taken as written";
        {
            platform::FileDesc readWrite = platform::openFile(path.c_str(), platform::OpenMode::ReadWrite);
            ASSERT_GE(dup2(readWrite.get(), img->fileHandle), 0);
        }
        EXPECT_EQ(flushImage(img), 0);
        destroyImage(img);
        Bytes now = readBytes(path);
        for (int c = 0; c < 16; ++c) {
            EXPECT_EQ(now[bip ? 3 * 32 + 2 * c : 3 * 16 + c], 0xA1) << imageFormatName(imgid) << " col " << c;
            EXPECT_EQ(now[bip ? 3 * 32 + 2 * c + 1 : 4 * 16 + c], 0xB2) << imageFormatName(imgid) << " col " << c;
        }
    }
}

TEST(LineCache, TruncatedFileReadsTransparentAndReportsOnce)
{
    ConsoleCapture cap;
    TempDir dir;
    ImageDef def = rawDef(IMG_BIL, PIX_BYTE, 1, 100, 40, 40, 0);
    def.transparent = 9;
    Bytes file;
    RamImage *img = rawImage(dir, def, 40 * 10 + 15, &file);  // 10 lines and a bit
    ASSERT_NE(img, nullptr);
    const uint8_t *line = getLine(img, 10, 0, 1);
    EXPECT_EQ(0, memcmp(line, file.data() + 400, 15));
    for (int c = 15; c < 40; ++c) EXPECT_EQ(line[c], 9);
    for (int r = 11; r < 100; ++r) {
        line = getLine(img, r, 0, 1);
        for (int c = 0; c < 40; ++c) ASSERT_EQ(line[c], 9);
    }
    size_t first = cap.err.find("Error in reading image");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(cap.err.find("Error in reading image", first + 1), std::string::npos);
    destroyImage(img);
}

TEST(LineCache, MsbfShortValuesAreSwapped)
{
    TempDir dir;
    Bytes file(2 * 4 * 2);
    for (int i = 0; i < 8; ++i) putBE(file, 2 * i, static_cast<uint16_t>(-300 + i), 2);
    writeBytes(dir.file("s.raw"), file);
    ImageDef def = rawDef(IMG_BSQ, PIX_SHORT, 1, 2, 4, 8, 0);
    def.msbf = 1;
    int err;
    RamImage *img = openImageFile(dir.file("s.raw").c_str(), &def, nullptr, &err);
    ASSERT_NE(img, nullptr);
    int16_t v;
    memcpy(&v, getLine(img, 1, 0, 1) + 2, 2);
    EXPECT_EQ(v, -295);
    destroyImage(img);
}

TEST(LineCache, ByteImagesNeverSwap)
{
    TempDir dir;
    Bytes file;
    ImageDef def = rawDef(IMG_BIL, PIX_BYTE, 1, 4, 4, 4, 0);
    def.msbf = 1;
    RamImage *img = rawImage(dir, def, 16, &file);
    uint8_t v[4] = {1, 2, 3, 4};
    putByteLine(img, 2, 0, 4, 0, v);
    flushImage(img);
    destroyImage(img);
    Bytes now = readBytes(dir.file("raw.dat"));
    EXPECT_EQ(0, memcmp(now.data() + 8, v, 4));
}

TEST(LineCache, VolumesStepToTheEnd)
{
    TempDir dir;
    // Three volumes of a one-band BSQ file, each 4 lines of 8 bytes.
    Bytes file(3 * 32);
    for (int k = 0; k < 3; ++k) memset(file.data() + k * 32, 10 * (k + 1), 32);
    writeBytes(dir.file("v.raw"), file);
    ImageDef def = rawDef(IMG_BSQ, PIX_BYTE, 1, 4, 8, 8, 0);
    def.volumes = 3;
    int err;
    RamImage *img = openImageFile(dir.file("v.raw").c_str(), &def, nullptr, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(selectVolume(img, 0), 1);
    EXPECT_EQ(getLine(img, 2, 0, 1)[0], 10);
    EXPECT_EQ(selectVolume(img, 0), 2);
    EXPECT_EQ(getLine(img, 2, 0, 1)[0], 20);
    EXPECT_EQ(selectVolume(img, 0), 3);
    EXPECT_EQ(getLine(img, 2, 0, 1)[0], 30);
    EXPECT_EQ(selectVolume(img, 0), -2);
    EXPECT_EQ(selectVolume(img, 1), 1);
    EXPECT_EQ(getLine(img, 0, 0, 1)[0], 10);
    EXPECT_EQ(selectVolume(img, -1), 3);
    EXPECT_EQ(selectVolume(img, 99), 3);
    destroyImage(img);

    def.volumes = 1;
    img = openImageFile(dir.file("v.raw").c_str(), &def, nullptr, &err);
    EXPECT_EQ(selectVolume(img, 0), -2);
    EXPECT_EQ(img->curVolume, 1);
    EXPECT_EQ(img->numVolumes, 1);
    destroyImage(img);
}

TEST(LineCache, VolumeChangeWritesDirtyLinesToTheirVolume)
{
    TempDir dir;
    writeBytes(dir.file("v.raw"), Bytes(2 * 2 * 4 * 8, 0));
    ImageDef def = rawDef(IMG_BIL, PIX_BYTE, 2, 4, 8, 8, 0);
    def.volumes = 2;
    int err;
    RamImage *img = openImageFile(dir.file("v.raw").c_str(), &def, nullptr, &err);
    ASSERT_EQ(selectVolume(img, 1), 1);
    uint8_t v[8] = {5, 5, 5, 5, 5, 5, 5, 5};
    putByteLine(img, 3, 0, 8, 1, v);
    ASSERT_EQ(selectVolume(img, 2), 2);
    EXPECT_EQ(getLine(img, 3, 1, 1)[0], 0);  // volume 2 starts after all bands of volume 1
    destroyImage(img);
    Bytes now = readBytes(dir.file("v.raw"));
    EXPECT_EQ(now[(3 * 2 + 1) * 8], 5);
    EXPECT_EQ(now[64 + (3 * 2 + 1) * 8], 0);
}

TEST(MemoryImage, LinesAreReachedWithoutCopying)
{
    ImageDef def = rawDef(IMG_MBIL, PIX_SHORT, 3, 50, 20, 0, 0);
    int err;
    RamImage *img = createImage(&def, nullptr, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->cachedLines, 50);
    uint8_t *first = getLine(img, 0, 0, 1);
    for (int r = 0; r < 50; ++r)
        for (int b = 0; b < 3; ++b) ASSERT_EQ(getLine(img, r, b, 1), first + (r * 3 + b) * 40);
    float v = 1234;
    putFloatLine(img, 49, 19, 1, 2, &v);
    invalidateCache(img);  // the slots are the pixels: nothing is forgotten
    int16_t s;
    memcpy(&s, getLine(img, 49, 2, 1) + 38, 2);
    EXPECT_EQ(s, 1234);
    destroyImage(img);

    def.imgid = IMG_MBSQ;
    def.transparent = 7;
    img = createImage(&def, nullptr, &err);
    first = getLine(img, 0, 0, 1);
    EXPECT_EQ(getLine(img, 5, 2, 1), first + 4200);  // line (50 x 2 + 5) of 40 bytes
    EXPECT_EQ(first[0], 7);
    destroyImage(img);

    def.imgid = IMG_MBIP;
    def.block = 1;
    img = createImage(&def, nullptr, &err);
    EXPECT_EQ(img->def.block, 120);  // raised to a whole row of all bands
    destroyImage(img);
}

TEST(MemoryImage, PackedBitmaps)
{
    int err;
    ImageDef def = rawDef(IMG_MRGB565, PIX_BYTE, 3, 4, 5, 0, 0);
    RamImage *img = createImage(&def, nullptr, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_GE(img->def.block, 12);  // a narrower record would overflow the bitmap
    uint8_t red[5] = {0xFF, 0xFF, 0x08, 0, 0}, green[5] = {0, 0xFF, 0, 0x04, 0}, blue[5] = {0, 0, 0, 0, 0xF8};
    putByteLine(img, 2, 0, 5, 0, red);
    putByteLine(img, 2, 0, 5, 1, green);
    putByteLine(img, 2, 0, 5, 2, blue);
    flushImage(img);
    const uint8_t *row = img->bitmap + 2 * img->def.block;
    auto pix = [&](int c) { return row[2 * c] | (row[2 * c + 1] << 8); };
    EXPECT_EQ(pix(0), 0xF800);
    EXPECT_EQ(pix(1), 0xFFE0);
    EXPECT_EQ(pix(2), 0x0800);
    EXPECT_EQ(pix(3), 0x0020);
    EXPECT_EQ(pix(4), 0x001F);
    // Read back after forgetting the slots: unpacked again from the bitmap.
    invalidateCache(img);
    EXPECT_EQ(getLine(img, 2, 1, 1)[1], 0xFC);
    EXPECT_EQ(getLine(img, 2, 0, 1)[0], 0xF8);
    destroyImage(img);

    def = rawDef(IMG_MRGB555, PIX_BYTE, 3, 2, 2, 0, 0);
    img = createImage(&def, nullptr, &err);
    uint8_t g[2] = {0xFF, 0x08};
    putByteLine(img, 1, 0, 2, 1, g);
    flushImage(img);
    row = img->bitmap + img->def.block;
    EXPECT_EQ(row[0] | (row[1] << 8), 0x03E0);
    EXPECT_EQ(row[2] | (row[3] << 8), 0x0020);
    destroyImage(img);

    def = rawDef(IMG_MRGB24, PIX_BYTE, 3, 2, 3, 0, 0);
    img = createImage(&def, nullptr, &err);
    EXPECT_EQ(img->def.block, 12);
    uint8_t b2[3] = {1, 2, 3};
    putByteLine(img, 1, 0, 3, 2, b2);
    flushImage(img);
    EXPECT_EQ(img->bitmap[12 + 2], 1);
    EXPECT_EQ(img->bitmap[12 + 5], 2);
    destroyImage(img);

    def = rawDef(IMG_MRGB8, PIX_BYTE, 1, 3, 6, 8, 0);
    img = createImage(&def, nullptr, &err);
    EXPECT_EQ(getLine(img, 2, 0, 1), img->bitmap + 16);
    destroyImage(img);
}

// Offsets beyond 4 GiB: a sparse 5 GiB file, written and read at its end.
TEST(LargeFile, FiveGigabyteBsqAndBil)
{
    for (int imgid : {IMG_BSQ, IMG_BIL}) {
        TempDir dir;
        ImageDef def = rawDef(imgid, PIX_BYTE, 2, 40000, 65536, 65536, 0);
        std::string path = dir.file("big.img");
        strcpy(def.file, path.c_str());
        def.offset = 860;
        {
            platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
            ASSERT_EQ(writeHeader(fd.get(), 0, &def), 860);
            ASSERT_EQ(ftruncate(fd.get(), 860 + int64_t(2) * 40000 * 65536), 0);
        }
        int err;
        RamImage *img = getImage("", path.c_str(), nullptr, nullptr, &err);
        ASSERT_NE(img, nullptr) << err;
        std::vector<uint8_t> pattern(65536);
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 13 + 1);
        ASSERT_EQ(putByteLine(img, 39999, 0, 65536, 1, pattern.data()), 65536);
        const uint8_t zero = 0;
        ASSERT_EQ(putByteLine(img, 39998, 100, 1, 1, &zero), 1);
        releaseImage(img, nullptr);

        // Line 39999 of band 1 is record 1 x 40000 + 39999 in BSQ and 39999 x 2 + 1
        // in BIL: record 79999 either way, after the 860 header bytes.
        const int64_t at = 5242815324;
        platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::Read);
        std::vector<uint8_t> back(65536);
        ASSERT_EQ(platform::readAt(fd.get(), back.data(), back.size(), at), 65536);
        EXPECT_TRUE(back == pattern);

        img = getImage("", path.c_str(), nullptr, nullptr, &err);
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(getLine(img, 39999, 1, 1)[65535], 244);  // the pattern at 65535
        EXPECT_EQ(getLine(img, 39998, 1, 1)[100], 0);
        EXPECT_EQ(getLine(img, 39998, 1, 1)[101], 0);  // the rest of that line stays as the file had it
        releaseImage(img, nullptr);
    }
}

TEST(ModuleLines, AMissingLineReadsAsZeros)
{
    // Modules write what they read: a line that cannot be had must not pass
    // on whatever the caller's buffer held.
    ImageDef def = rawDef(IMG_MBSQ, PIX_SHORT, 1, 4, 6, 0, 0);
    int err;
    RamImage *img = createImage(&def, nullptr, &err);
    ASSERT_NE(img, nullptr);
    float values[6];
    uint8_t bytes[6];
    std::fill(values, values + 6, 99.0f);
    std::fill(bytes, bytes + 6, 99);
    EXPECT_FALSE(readLineValues(img, 7, 0, 0, 6, 1, values));
    EXPECT_FALSE(readLineBytes(img, 0, 3, 0, 6, 1, bytes));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(values[i], 0.0f);
        EXPECT_EQ(bytes[i], 0);
    }
    destroyImage(img);
}
