// Native image file formats: headers byte for byte against buffers built by
// hand, detection, new files and the module-level helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <unistd.h>

#include "image/formats/formats.h"
#include "image/imagedef.h"
#include "image/ramimage.h"
#include "image/registry.h"
#include "image_support.h"
#include "platform/files.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

int openRead(const std::string &path) { return ::open(path.c_str(), O_RDWR); }

// An IMAGEDEF header written by a most-significant-first machine.
Bytes imageDefMsbf(int imgid, int pixel, int nbands, int rows, int columns, int msbf, int offset)
{
    Bytes h(static_cast<size_t>(offset), 0);
    putText(h, 0, "IMAGEDEF_MSBF");
    putBE(h, 16, msbf, 4);
    putBE(h, 20, imgid, 4);
    putBE(h, 24, MAP_UTM1 + 9, 4);
    putBE(h, 28, offset, 4);
    putBE(h, 32, pixel, 4);
    putBE(h, 36, nbands, 4);
    putBE(h, 40, rows, 4);
    putBE(h, 44, columns, 4);
    putBE(h, 48, 7, 4);
    putBE(h, 52, 11, 4);
    putBE(h, 56, bitsOf(100.5), 8);
    putBE(h, 64, bitsOf(-200.25), 8);
    putBE(h, 72, bitsOf(30.0), 8);
    putBE(h, 80, bitsOf(15.0), 8);
    putBE(h, 88, 2, 4);
    h[92] = 1, h[93] = 2, h[94] = 3, h[95] = 4, h[96] = 5, h[97] = 6;
    return h;
}

}  // namespace

TEST(ImageDefFile, MsbfHeaderAndPixelsReadOnLittleEndianHost)
{
    TempDir dir;
    std::string path = dir.file("big.img");
    Bytes file = imageDefMsbf(IMG_BIL, PIX_SHORT, 2, 3, 4, 1, 900);
    // Line r of band b holds value 1000 x b + 10 x r + c - 300, big-endian.
    for (int r = 0; r < 3; ++r)
        for (int b = 0; b < 2; ++b)
            for (int c = 0; c < 4; ++c)
                putBE(file, 900 + ((r * 2 + b) * 4 + c) * 2, static_cast<uint16_t>(1000 * b + 10 * r + c - 300), 2);
    writeBytes(path, file);

    int fd = openRead(path);
    ImageDef def = defaultImageDef();
    void *aux = nullptr;
    ASSERT_EQ(detectFormat(fd, path.c_str(), &def, &aux), IMG_BIL);
    close(fd);
    EXPECT_EQ(def.msbf, 1);
    EXPECT_EQ(def.mapid, MAP_UTM1 + 9);
    EXPECT_EQ(def.offset, 900);
    EXPECT_EQ(def.pixel, PIX_SHORT);
    EXPECT_EQ(def.bits, 16);
    EXPECT_EQ(def.nbands, 2);
    EXPECT_EQ(def.rows, 3);
    EXPECT_EQ(def.columns, 4);
    EXPECT_EQ(def.top, 7);
    EXPECT_EQ(def.left, 11);
    EXPECT_EQ(def.x0, 100.5);
    EXPECT_EQ(def.y0, -200.25);
    EXPECT_EQ(def.dx, 30.0);
    EXPECT_EQ(def.dy, 15.0);
    EXPECT_EQ(def.nindices, 2);
    EXPECT_EQ(def.block, 8);
    EXPECT_EQ(def.transparent, -1);
    EXPECT_EQ(def.palette[1][2], 6);
    EXPECT_EQ(def.dataFd, -1);

    int err = -1;
    RamImage *img = openImageFile(path.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(err, 0);
    for (int r = 0; r < 3; ++r)
        for (int b = 0; b < 2; ++b) {
            const uint8_t *line = getLine(img, r, b, 1);
            ASSERT_NE(line, nullptr);
            for (int c = 0; c < 4; ++c) {
                int16_t v;
                memcpy(&v, line + 2 * c, 2);
                EXPECT_EQ(v, 1000 * b + 10 * r + c - 300);
            }
        }
    // Written values go back big-endian.
    float v = -2.0f;
    putFloatLine(img, 1, 2, 1, 1, &v);
    flushImage(img);
    destroyImage(img);
    Bytes back = readBytes(path);
    size_t at = 900 + ((1 * 2 + 1) * 4 + 2) * 2;
    EXPECT_EQ(back[at], 0xFF);
    EXPECT_EQ(back[at + 1], 0xFE);
}

TEST(ImageDefFile, WriterLayoutByteForByte)
{
    TempDir dir;
    std::string path = dir.file("w.img");
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
    ImageDef def = defaultImageDef();
    def.imgid = IMG_BIP;
    def.pixel = PIX_USHORT;
    def.mapid = MAP_POLAR;
    def.offset = 100;  // below the header size: raised to 860
    def.nbands = 3;
    def.rows = 5;
    def.columns = 7;
    def.top = -2;
    def.left = 9;
    def.x0 = 1.5;
    def.y0 = 2.5;
    def.dx = 0.25;
    def.dy = 4.0;
    def.msbf = 1;
    def.nindices = 3;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) def.palette[i][k] = static_cast<uint8_t>(10 * i + k);
    ASSERT_EQ(writeHeader(fd.get(), 0, &def), 860);
    EXPECT_EQ(def.offset, 860);
    EXPECT_EQ(def.block, 42);

    Bytes want(860, 0);
    putText(want, 0, "IMAGEDEF_MSBL");
    putLE(want, 16, 1, 4);
    putLE(want, 20, IMG_BIP, 4);
    putLE(want, 24, MAP_POLAR, 4);
    putLE(want, 28, 860, 4);
    putLE(want, 32, PIX_USHORT, 4);
    putLE(want, 36, 3, 4);
    putLE(want, 40, 5, 4);
    putLE(want, 44, 7, 4);
    putLE(want, 48, static_cast<uint32_t>(-2), 4);
    putLE(want, 52, 9, 4);
    putLE(want, 56, bitsOf(1.5), 8);
    putLE(want, 64, bitsOf(2.5), 8);
    putLE(want, 72, bitsOf(0.25), 8);
    putLE(want, 80, bitsOf(4.0), 8);
    putLE(want, 88, 3, 4);
    for (int i = 0; i < 9; ++i) want[92 + i] = static_cast<uint8_t>(10 * (i / 3) + i % 3);
    EXPECT_EQ(readBytes(path), want);

    // Read back: the same definition.
    ImageDef got = defaultImageDef();
    void *aux = nullptr;
    ASSERT_EQ(detectFormat(fd.get(), path.c_str(), &got, &aux), IMG_BIP);
    EXPECT_EQ(got.offset, 860);
    EXPECT_EQ(got.block, 42);
    EXPECT_EQ(got.top, -2);
    EXPECT_EQ(got.mapid, MAP_POLAR);
    EXPECT_EQ(memcmp(got.palette, def.palette, 9), 0);
}

TEST(ImageDefFile, LargerOffsetIsPaddedWithZeros)
{
    TempDir dir;
    std::string path = dir.file("pad.img");
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
    ImageDef def = defaultImageDef();
    def.imgid = IMG_BSQ;
    def.offset = 20000;
    ASSERT_EQ(writeHeader(fd.get(), 0, &def), 20000);
    Bytes b = readBytes(path);
    ASSERT_EQ(b.size(), 20000u);
    for (size_t i = 860; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(ImageDefFile, StoredFormatOutsideBsqBilBipIsNotImageDef)
{
    TempDir dir;
    for (int stored : {0, 4}) {
        std::string path = dir.file("x" + std::to_string(stored));
        writeBytes(path, imageDefMsbf(stored, PIX_BYTE, 1, 2, 2, 0, 900));
        int fd = openRead(path);
        ImageDef def = defaultImageDef();
        void *aux = nullptr;
        EXPECT_EQ(detectWith(detectImageDef, fd, path.c_str(), &def, &aux), 0);
        EXPECT_EQ(detectFormat(fd, path.c_str(), &def, &aux), 0);
        close(fd);
        int err = 0;
        EXPECT_EQ(openImageFile(path.c_str(), nullptr, nullptr, &err), nullptr);
        EXPECT_EQ(err, IMGERR_UNKNOWN);
    }
}

TEST(ImageDefFile, DataInsideTheHeaderBlockIsRefused)
{
    // Pixels written to such a file would overwrite its own header.
    TempDir dir;
    std::string path = dir.file("short-header");
    Bytes bytes = imageDefMsbf(IMG_BSQ, PIX_BYTE, 1, 2, 2, 0, 100);
    bytes.resize(1000);
    writeBytes(path, bytes);
    int err = 0;
    EXPECT_EQ(openImageFile(path.c_str(), nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(err, IMGERR_UNKNOWN);
}

TEST(ErdasFile, ReaderVariants)
{
    TempDir dir;
    struct Case {
        const char *magic;
        int pack, pixel, imgid, msbf, bits, block;  // block: bytes of 33 packed values
    } cases[] = {{"HEAD74", 0, PIX_BYTE, IMG_E74, 0, 8, 33},       {"HEAD74", 1, PIX_4BITS, IMG_E74, 1, 4, 17},
                 {"HEAD74", 2, PIX_USHORT, IMG_E74, 0, 16, 66},    {"E74BSQ", 3, PIX_LONG, IMG_E74BSQ, 0, 32, 132},
                 {"E74BSQ", 4, PIX_FLOAT, IMG_E74BSQ, 0, 32, 132}, {"HEADER", 5, PIX_SHORT, IMG_E73, 0, 16, 66}};
    for (const Case &k : cases) {
        std::string path = dir.file("e.lan");
        Bytes h = erdasHeader(k.magic, k.pack, 3, 33, 21, 240, 351);
        putLE(h, 112, bitsOf(500.5f), 4);
        putLE(h, 116, bitsOf(-7.25f), 4);
        putLE(h, 120, bitsOf(30.0f), 4);
        putLE(h, 124, bitsOf(2.5f), 4);
        writeBytes(path, h);
        int fd = openRead(path);
        ImageDef def = defaultImageDef();
        void *aux = nullptr;
        ASSERT_EQ(detectFormat(fd, path.c_str(), &def, &aux), k.imgid) << k.magic << k.pack;
        close(fd);
        EXPECT_EQ(def.pixel, k.pixel);
        EXPECT_EQ(def.bits, k.bits);
        EXPECT_EQ(def.msbf, k.msbf);
        EXPECT_EQ(def.offset, 128);
        EXPECT_EQ(def.nbands, 3);
        EXPECT_EQ(def.columns, 33);
        EXPECT_EQ(def.rows, 21);
        EXPECT_EQ(def.left, 240);
        EXPECT_EQ(def.top, 351);
        EXPECT_EQ(def.x0, 500.5);
        EXPECT_EQ(def.y0, -7.25);
        EXPECT_EQ(def.dx, 30.0);
        EXPECT_EQ(def.dy, 2.5);
        EXPECT_EQ(def.mapid, MAP_GRID);
        EXPECT_EQ(def.block, k.block);
    }
}

TEST(ErdasFile, Header73FloatSizesTruncateAndStartIsInt32)
{
    TempDir dir;
    std::string path = dir.file("old.lan");
    Bytes h = erdasHeader("HEADER", 0, 1, 4, 4, 0, 0);
    putLE(h, 20, bitsOf(512.9f), 4);
    putLE(h, 16, bitsOf(100.2f), 4);
    putLE(h, 24, 77, 4);  // int32, not float
    putLE(h, 28, 88, 4);
    writeBytes(path, h);
    int fd = openRead(path);
    ImageDef def = defaultImageDef();
    void *aux = nullptr;
    ASSERT_EQ(detectWith(detectErdas, fd, path.c_str(), &def, &aux), IMG_E73);
    close(fd);
    EXPECT_EQ(def.rows, 512);
    EXPECT_EQ(def.columns, 100);
    EXPECT_EQ(def.left, 77);
    EXPECT_EQ(def.top, 88);
}

TEST(ErdasFile, PackCodeSixIsNotErdas)
{
    TempDir dir;
    std::string path = dir.file("p6.lan");
    writeBytes(path, erdasHeader("HEAD74", 6, 1, 4, 4));
    int fd = openRead(path);
    ImageDef def = defaultImageDef();
    void *aux = nullptr;
    EXPECT_EQ(detectFormat(fd, path.c_str(), &def, &aux), 0);
    close(fd);
}

TEST(ErdasFile, WriterLayoutByteForByte)
{
    TempDir dir;
    struct Case {
        int imgid, pixel, pack;
        const char *magic;
        int block;
    } cases[] = {{IMG_E74, PIX_SHORT, 5, "HEAD74", 20}, {IMG_E73, PIX_BYTE, 0, "HEADER", 10},
                 {IMG_E74BSQ, PIX_FLOAT, 4, "E74BSQ", 40}, {IMG_E74, PIX_4BITS, 1, "HEAD74", 5},
                 {IMG_E74, PIX_USHORT, 2, "HEAD74", 20},   {IMG_E74, PIX_LONG, 3, "HEAD74", 40}};
    for (const Case &k : cases) {
        std::string path = dir.file("out.lan");
        platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
        ImageDef def = defaultImageDef();
        strcpy(def.file, path.c_str());
        def.imgid = k.imgid;
        def.pixel = k.pixel;
        def.nbands = 3;
        def.columns = 10;
        def.rows = 7;
        def.left = 5;
        def.top = 9;
        def.x0 = 100.5;
        def.y0 = 200.25;
        def.dx = 30;
        def.dy = 2;
        def.offset = 0;
        ASSERT_EQ(writeHeader(fd.get(), 1, &def), 128);
        EXPECT_EQ(def.offset, 128);
        EXPECT_EQ(def.block, k.block);
        EXPECT_EQ(def.msbf, 0);
        Bytes want = erdasHeader(k.magic, k.pack, 3, 10, 7, 5, 9);
        putLE(want, 112, bitsOf(100.5f), 4);
        putLE(want, 116, bitsOf(200.25f), 4);
        putLE(want, 120, bitsOf(30.0f), 4);
        putLE(want, 124, bitsOf(2.0f), 4);
        EXPECT_EQ(readBytes(path), want) << k.magic << " pack " << k.pack;
    }
    ImageDef def = defaultImageDef();
    def.pixel = PIX_ULONG;
    platform::FileDesc fd = platform::openFile(dir.file("u.lan").c_str(), platform::OpenMode::CreateTruncate);
    EXPECT_EQ(writeErdasHeader(fd.get(), 0, &def), -1);
    EXPECT_EQ(writeHeader(fd.get(), 0, &(def.imgid = IMG_ELAS, def)), -2);
}

TEST(ErdasFile, InsufficientSpaceIsReported)
{
    ConsoleCapture cap;
    TempDir dir;
    ImageDef def = defaultImageDef();
    std::string path = dir.file("huge.lan");
    strcpy(def.file, path.c_str());
    def.columns = 1 << 30;
    def.rows = 1 << 30;
    def.nbands = 8;
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
    EXPECT_EQ(writeErdasHeader(fd.get(), 1, &def), -1);
    EXPECT_NE(cap.err.find("Insufficient disk space. Requested:"), std::string::npos) << cap.err;
}

TEST(ElasFile, HeaderFields)
{
    TempDir dir;
    std::string path = dir.file("e.elas");
    Bytes h(1024 + 480 * 2 * 640, 0);
    putLE(h, 0, 1024, 4);
    putLE(h, 4, 640, 4);
    putLE(h, 8, 1, 4);
    putLE(h, 12, 480, 4);
    putLE(h, 16, 3, 4);
    putLE(h, 20, 642, 4);
    putLE(h, 24, 2, 4);
    putLE(h, 28, 4321, 4);
    putLE(h, 36, static_cast<uint32_t>(-50), 4);
    putLE(h, 44, 70, 4);
    putLE(h, 48, bitsOf(0.5f), 4);
    putLE(h, 52, bitsOf(0.75f), 4);
    h[1024 + (5 * 2 + 1) * 640 + 7] = 99;
    writeBytes(path, h);
    int err = -1;
    RamImage *img = openImageFile(path.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr) << err;
    EXPECT_EQ(img->def.imgid, IMG_ELAS);
    EXPECT_EQ(img->def.rows, 480);
    EXPECT_EQ(img->def.top, 1);
    EXPECT_EQ(img->def.columns, 640);
    EXPECT_EQ(img->def.left, 3);
    EXPECT_EQ(img->def.nbands, 2);
    EXPECT_EQ(img->def.y0, -50.0);
    EXPECT_EQ(img->def.x0, 70.0);
    EXPECT_EQ(img->def.dy, 0.5);
    EXPECT_EQ(img->def.dx, 0.75);
    EXPECT_EQ(img->def.pixel, PIX_BYTE);
    EXPECT_EQ(getLine(img, 5, 1, 1)[7], 99);
    destroyImage(img);
}

TEST(FFTFile, NewHeaderSizesAndFile)
{
    TempDir dir;
    FFTHeader head;
    initFFTHeader(&head, "source-image-name", 2, 300, 200, FFT_SFRI);
    EXPECT_EQ(head.rows, 512);
    EXPECT_EQ(head.columns, 256);
    EXPECT_TRUE(std::isinf(head.maxReal) && head.maxReal < 0);
    EXPECT_TRUE(std::isinf(head.minReal) && head.minReal > 0);
    EXPECT_TRUE(std::isinf(head.maxImag) && head.maxImag < 0);
    EXPECT_TRUE(std::isinf(head.minImag) && head.minImag > 0);

    std::string path = dir.file("f.fft");
    int fd = createFFTFile(path.c_str(), &head);
    ASSERT_GE(fd, 0);
    Bytes raw = readBytes(path);
    ASSERT_EQ(raw.size(), 1024u + 512u * 256u * 8u);  // the samples are there (zero) from the start
    EXPECT_EQ(std::string(reinterpret_cast<char *>(raw.data())), "FFT IMAGE FILE");
    EXPECT_EQ(raw[16], 's');
    Bytes word(raw.begin() + 84, raw.begin() + 88);
    EXPECT_EQ(word, (Bytes{0, 2, 0, 0}));

    std::vector<float> rows(static_cast<size_t>(head.rows) * head.columns * 2);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i % 1000) - 500.0f;
    ASSERT_EQ(PutFFTFileBlock(&head, fd, rows.data(), 0, head.rows, 1), 0);
    finishFFTStats(&head);
    ASSERT_EQ(PutFFTHead(&head, fd), 0);
    EXPECT_EQ(platform::fileSize(fd), 1049600);  // 1024 header bytes, 512 x 256 complex singles

    std::vector<float> block(static_cast<size_t>(3) * head.columns * 2);
    ASSERT_NE(GetFFTFileBlock(&head, fd, block.data(), 10, 3), nullptr);
    EXPECT_EQ(0, memcmp(block.data(), rows.data() + 10 * head.columns * 2, block.size() * 4));
    std::vector<float> seg(static_cast<size_t>(head.rows) * 4 * 2);
    ASSERT_NE(GetFFTFileSeg(&head, fd, seg.data(), 100, 4), nullptr);
    for (int r = 0; r < head.rows; ++r)
        ASSERT_EQ(0, memcmp(seg.data() + r * 8, rows.data() + (r * head.columns + 100) * 2, 32)) << r;

    // A segment write lands in every row at its columns.
    for (float &v : seg) v = 7.0f;
    ASSERT_EQ(PutFFTFileSeg(&head, fd, seg.data(), 100, 4, 0), 0);
    ASSERT_NE(GetFFTFileBlock(&head, fd, block.data(), 511, 1), nullptr);
    EXPECT_EQ(block[200], 7.0f);
    EXPECT_EQ(block[199], 331.0f);  // row 511 column 99 imaginary, untouched
    close(fd);

    // As a RAM image: two FLOAT bands, pixel-interleaved, statistics from the header.
    int err = 0;
    RamImage *img = openImageFile(path.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->def.imgid, IMG_FFT);
    EXPECT_EQ(img->def.nbands, 2);
    EXPECT_EQ(img->def.block, 2048);
    EXPECT_EQ(img->def.offset, 1024);
    float re, im;
    memcpy(&re, getLine(img, 3, 0, 1) + 4 * 5, 4);
    memcpy(&im, getLine(img, 3, 1, 1) + 4 * 5, 4);
    EXPECT_EQ(re, 46.0f);  // row 3 column 5
    EXPECT_EQ(im, 47.0f);
    ASSERT_EQ(computeBandStats(img, STATS_RECOMPUTE, 1, 1), 0);
    EXPECT_EQ(img->bandStats[0].max, head.maxReal);
    EXPECT_EQ(img->bandStats[1].min, head.minImag);
    EXPECT_EQ(img->bandStats[0].stdDev, head.sqReal);
    destroyImage(img);

    FFTHeader back;
    int fd2 = openFFTFile(path.c_str(), &back);
    ASSERT_GE(fd2, 0);
    EXPECT_EQ(back.count, 131072.0);
    close(fd2);
}

TEST(FFTFile, StatisticsFoldRows)
{
    FFTHeader head;
    initFFTHeader(&head, "x", 1, 4, 4, FFT_INIT);
    float row[] = {-5, 1, 3, 2, 1, 3};
    updateFFTStats(&head, 3, row);
    EXPECT_EQ(head.maxReal, 3);
    EXPECT_EQ(head.minReal, -5);
    EXPECT_EQ(head.maxImag, 3);
    EXPECT_EQ(head.minImag, 1);
    EXPECT_DOUBLE_EQ(head.meanReal, -1.0 / 3);
    EXPECT_DOUBLE_EQ(head.sqReal, 35.0 / 3);
    float more[] = {2, 0};
    updateFFTStats(&head, 1, more);
    EXPECT_EQ(head.count, 4);
    EXPECT_DOUBLE_EQ(head.meanReal, 1.0 / 4);
    EXPECT_DOUBLE_EQ(head.meanImag, 6.0 / 4);
    finishFFTStats(&head);
    EXPECT_DOUBLE_EQ(head.sqReal, 3.112474899497183);  // reals -5 3 1 2: sqrt(9.75 - 0.0625)
}

TEST(FFTFile, WrongMagicAndMissingFile)
{
    ConsoleCapture cap;
    TempDir dir;
    std::string path = dir.file("no.fft");
    writeBytes(path, Bytes(1024, 'x'));
    FFTHeader head;
    EXPECT_EQ(openFFTFile(path.c_str(), &head), -1);
    EXPECT_NE(cap.err.find("Not an FFT image file!\n"), std::string::npos);
    EXPECT_EQ(openFFTFile(dir.file("missing").c_str(), &head), -1);
    EXPECT_NE(cap.err.find("missing: No such file"), std::string::npos) << cap.err;
}

TEST(ModuleLevel, ErdasFunctions)
{
    ConsoleCapture cap;
    TempDir dir;
    std::string path = dir.file("m.lan");
    Bytes f = erdasHeader("HEADER", 2, 2, 5, 3, 0, 0);
    putLE(f, 24, bitsOf(12.7f), 4);  // module level converts all four fields
    for (int k = 0; k < 2 * 3 * 5; ++k) putLE(f, 128 + 2 * k, static_cast<uint16_t>(k * 100), 2);
    writeBytes(path, f);
    unsigned char head[128];
    int fd = openErdasFile(path.c_str(), head);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(memcmp(head, "HEAD74", 6), 0);
    uint32_t cols;
    memcpy(&cols, head + 16, 4);
    EXPECT_EQ(cols, 5u);
    int32_t left;
    memcpy(&left, head + 24, 4);
    EXPECT_EQ(left, 12);
    EXPECT_EQ(erdasBits(head), 16);
    uint16_t line[5];
    ASSERT_EQ(GetErdasLine(head, fd, 1, 2, line), 0);
    EXPECT_EQ(line[0], 2500);  // position 128 + size x (band + nbands x row)
    EXPECT_EQ(line[4], 2900);
    EXPECT_EQ(GetErdasLine(head, fd, 1, 3, line), -1);  // past the end
    EXPECT_NE(cap.out.find("position 198 request bytes 10\n"), std::string::npos) << cap.out;
    EXPECT_NE(cap.err.find("read in GetErdasLine"), std::string::npos);
    close(fd);

    head[6] = 5;
    EXPECT_EQ(erdasBits(head), -1);
    EXPECT_NE(cap.err.find("Unsupported NPACK 5\n"), std::string::npos);

    writeBytes(path, erdasHeader("E74BSQ", 0, 1, 2, 2));
    EXPECT_EQ(openErdasFile(path.c_str(), head), -1);
    EXPECT_NE(cap.err.find("Not an ERDAS file.\n"), std::string::npos);
}

TEST(ModuleLevel, ChunkedTransfersAndNumberLists)
{
    ConsoleCapture cap;
    TempDir dir;
    std::string path = dir.file("data");
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
    Bytes big(100000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(putFileData(fd.get(), big.data(), 100000, 10, 0), 100000);
    EXPECT_EQ(putFileData(fd.get(), big.data(), 5, -1, 0), 5);  // current position
    EXPECT_EQ(platform::fileSize(fd.get()), 100015);
    Bytes back(100000);
    EXPECT_EQ(getFileData(fd.get(), back.data(), 100000, 10, 1), 100000);
    EXPECT_EQ(back, big);
    EXPECT_EQ(getFileData(fd.get(), back.data(), 0, 0, 1), 0);
    EXPECT_EQ(getFileData(fd.get(), back.data(), 100, 100000, 0), 15);  // short, not fatal
    EXPECT_EQ(getFileData(fd.get(), back.data(), 100, 100000, 1), -1);  // short, fatal
    EXPECT_NE(cap.err.find("read in getFileData"), std::string::npos);

    int32_t longs[2] = {0, 0};
    EXPECT_EQ(passLongs("1,2,3,4", longs, 2), 4);
    EXPECT_EQ(longs[0], 1);
    EXPECT_EQ(longs[1], 2);
    EXPECT_EQ(passLongs(nullptr, longs, 2), 0);
    float floats[3];
    EXPECT_EQ(passFloats("1.5,-2,3e2", floats, 3), 3);
    EXPECT_EQ(floats[1], -2.0f);
    EXPECT_EQ(floats[2], 300.0f);
}

TEST(SwapLine, ByType)
{
    uint8_t s[4] = {1, 2, 3, 4};
    swapLine(PIX_SHORT, 2, s);
    EXPECT_EQ(s[0], 2);
    EXPECT_EQ(s[3], 3);
    uint8_t l[4] = {1, 2, 3, 4};
    swapLine(PIX_FLOAT, 1, l);
    EXPECT_EQ(l[0], 4);
    EXPECT_EQ(l[1], 3);
    uint8_t b[4] = {1, 2, 3, 4};
    for (int t : {PIX_BYTE, PIX_1BIT, PIX_4BITS, PIX_ULONG, PIX_SBYTE}) swapLine(t, 4, b);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[3], 4);
}

TEST(NewFiles, CreateImageFileSizesAndHeaderlessDump)
{
    TempDir dir;
    ImageDef def = defaultImageDef();
    std::string path = dir.file("bil.img");
    strcpy(def.file, path.c_str());
    def.imgid = IMG_BIL;
    def.pixel = PIX_SHORT;
    def.nbands = 3;
    def.rows = 10;
    def.columns = 9;
    def.offset = 0;
    EXPECT_EQ(createImageFile(&def), 0);  // no header asked: none kept
    EXPECT_EQ(readBytes(path).size(), 540u);

    def.offset = 128;
    EXPECT_EQ(createImageFile(&def), 860);
    EXPECT_EQ(readBytes(path).size(), 1400u);

    def.imgid = IMG_BIP;
    EXPECT_EQ(createImageFile(&def), 860);
    EXPECT_EQ(readBytes(path).size(), 1400u);

    def.imgid = IMG_E74BSQ;
    EXPECT_EQ(createImageFile(&def), 128);
    EXPECT_EQ(readBytes(path).size(), 668u);

    def.imgid = IMG_GIF87A;  // its header writer refuses
    EXPECT_EQ(createImageFile(&def), -1);
    strcpy(def.file, "/nonexistent-dir/x.lan");
    def.imgid = IMG_E74;
    EXPECT_EQ(createImageFile(&def), -1);
}

TEST(NewFiles, FormatWithoutHeaderWriterGetsItsDataArea)
{
    // ELAS has no header writer: writeHeader answers -2, which is not a
    // failure. The data area is still reserved at the definition's offset.
    TempDir dir;
    ImageDef def = defaultImageDef();
    std::string path = dir.file("x.elas");
    strcpy(def.file, path.c_str());
    def.imgid = IMG_ELAS;
    def.pixel = PIX_BYTE;
    def.nbands = 2;
    def.rows = 3;
    def.columns = 5;
    def.block = 5;
    def.offset = 0;
    EXPECT_EQ(createImageFile(&def), 0);
    EXPECT_EQ(readBytes(path), Bytes(5 * 3 * 2, 0));

    def.offset = 64;
    EXPECT_EQ(createImageFile(&def), 64);
    EXPECT_EQ(readBytes(path), Bytes(64 + 5 * 3 * 2, 0));
}
