// DIB, XBMP, PGM/PPM and JPEG: files written by ImageMagick and libjpeg's
// cjpeg open here with the pixels those tools report; files written here open
// in ImageMagick, GDAL and djpeg with the same pixels and palette; and broken
// or lying headers are refused or read with a zero-filled rest.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "image/formats/formats.h"
#include "image/module_util.h"
#include "image/modules.h"
#include "image/registry.h"
#include "image_support.h"
#include "platform/files.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

bool have(const char *tool) { return std::system((std::string("command -v ") + tool + " > /dev/null 2>&1").c_str()) == 0; }
int run(const std::string &command) { return std::system((command + " > /dev/null 2>&1").c_str()); }

#define NEED(tool) \
    if (!have(tool)) GTEST_SKIP() << tool " not installed"

// A test picture: smooth ramps with a few sharp edges, as P6 bytes.
Bytes picture(int columns, int rows, bool smooth = false)
{
    Bytes rgb(static_cast<size_t>(columns) * rows * 3);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            uint8_t *p = &rgb[(static_cast<size_t>(r) * columns + c) * 3];
            p[0] = static_cast<uint8_t>(c * 255 / std::max(1, columns - 1));
            p[1] = static_cast<uint8_t>(r * 255 / std::max(1, rows - 1));
            p[2] = static_cast<uint8_t>(smooth ? (r + c) * 2 : ((r / 4 + c / 5) & 1) ? 200 : 30);
        }
    return rgb;
}

void writePnm(const std::string &path, const char *magic, int columns, int rows, const Bytes &data,
              const char *comment = nullptr)
{
    std::string head = std::string(magic) + "\n";
    if (comment) head += std::string("# ") + comment + "\n";
    head += std::to_string(columns) + " " + std::to_string(rows) + "\n255\n";
    Bytes file(head.begin(), head.end());
    file.insert(file.end(), data.begin(), data.end());
    writeBytes(path, file);
}

// What ImageMagick reads from a file, as interleaved 8-bit RGB.
Bytes magickRGB(const TempDir &dir, const std::string &file)
{
    std::string out = dir.file("magick.rgb");
    if (run("convert '" + file + "' -depth 8 rgb:'" + out + "'") != 0) return {};
    return readBytes(out);
}

RamImage *openFile(const std::string &path, int *err)
{
    return getImage("", path.c_str(), nullptr, nullptr, err);
}

struct Held {
    RamImage *img;
    explicit Held(RamImage *i) : img(i) {}
    ~Held()
    {
        if (img) releaseImage(img, nullptr);
    }
    RamImage *operator->() const { return img; }
};

// The value of an indexed pixel from a band line, by the file's bit order.
int indexAt(const RamImage *img, const uint8_t *line, int c)
{
    const bool msbf = img->def.msbf != 0;
    switch (img->def.pixel) {
    case PIX_1BIT: return msbf ? (line[c >> 3] >> (7 - (c & 7))) & 1 : (line[c >> 3] >> (c & 7)) & 1;
    case PIX_4BITS: return msbf ? ((c & 1) ? line[c >> 1] & 15 : line[c >> 1] >> 4) : ((c & 1) ? line[c >> 1] >> 4 : line[c >> 1] & 15);
    default: return line[c];
    }
}

// Every pixel of an image opened here against an RGB reference: indexed
// images through their palette, three-band DIBs as blue, green, red.
void expectPixels(RamImage *img, const Bytes &rgb, bool bgr)
{
    const ImageDef &d = img->def;
    ASSERT_EQ(rgb.size(), static_cast<size_t>(d.rows) * d.columns * 3);
    for (int r = 0; r < d.rows; ++r) {
        for (int c = 0; c < d.columns; ++c) {
            const uint8_t *want = &rgb[(static_cast<size_t>(r) * d.columns + c) * 3];
            uint8_t got[3];
            if (d.nbands == 1 && d.nindices > 0) {
                int i = indexAt(img, getLine(img, r, 0, 1), c);
                memcpy(got, d.palette[i], 3);
            } else if (d.nbands == 1) {
                got[0] = got[1] = got[2] = getLine(img, r, 0, 1)[c];
            } else {
                for (int b = 0; b < 3; ++b) got[bgr ? 2 - b : b] = getLine(img, r, b, 1)[c];
            }
            ASSERT_TRUE(memcmp(got, want, 3) == 0) << "row " << r << " column " << c << ": " << int(got[0]) << ","
                                                   << int(got[1]) << "," << int(got[2]) << " want " << int(want[0])
                                                   << "," << int(want[1]) << "," << int(want[2]);
        }
    }
}

// A DIB header by hand, for the refusals.
Bytes dibHeader(int width, int height, int bits, uint32_t offBits, uint32_t compression = 0, uint32_t biSize = 40)
{
    Bytes h(54, 0);
    putText(h, 0, "BM");
    putLE(h, 10, offBits, 4);
    putLE(h, 14, biSize, 4);
    putLE(h, 18, static_cast<uint32_t>(width), 4);
    putLE(h, 22, static_cast<uint32_t>(height), 4);
    putLE(h, 26, 1, 2);
    putLE(h, 28, static_cast<uint32_t>(bits), 2);
    putLE(h, 30, compression, 4);
    return h;
}

}  // namespace

// ---- DIB ----------------------------------------------------------------------

TEST(ForeignDIB, BitmapsWrittenByImageMagickOpenHere)
{
    NEED("convert");
    TempDir dir;
    const int columns = 37, rows = 23;  // rows padded to 4 bytes at every depth
    std::string src = dir.file("src.ppm");
    writePnm(src, "P6", columns, rows, picture(columns, rows));
    struct Case {
        const char *options;
        int bits, pixel, nbands, nindices, stride;  // stride: 37 columns padded to 4 bytes
    } cases[] = {
        {"-colors 2 -type Palette -compress None BMP3:", 1, PIX_1BIT, 1, 2, 8},
        {"-colors 16 -type Palette -compress None BMP3:", 4, PIX_4BITS, 1, 16, 20},
        {"-colors 200 -type Palette -compress None BMP3:", 8, PIX_BYTE, 1, 256, 40},
        {"-type TrueColor BMP3:", 24, PIX_BYTE, 3, 0, 112},
        {"-type TrueColor ", 24, PIX_BYTE, 3, 0, 112},  // a V5 info header of 124 bytes
        {"-colors 16 -type Palette -compress None ", 4, PIX_4BITS, 1, 16, 20},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.options);
        std::string bmp = dir.file("im.bmp");
        ASSERT_EQ(run("convert '" + src + "' " + k.options + "'" + bmp + "'"), 0);
        Bytes file = readBytes(bmp);
        ASSERT_EQ(file[28], k.bits) << "ImageMagick wrote another depth";
        int err;
        Held img(openFile(bmp, &err));
        ASSERT_NE(img.img, nullptr) << errorText(err);
        EXPECT_EQ(img->def.imgid, IMG_DIB);
        EXPECT_EQ(img->def.pixel, k.pixel);
        EXPECT_EQ(img->def.nbands, k.nbands);
        EXPECT_EQ(img->def.nindices, k.nindices);
        EXPECT_EQ(img->def.rows, rows);
        EXPECT_EQ(img->def.columns, columns);
        EXPECT_EQ(img->def.block, k.stride);
        EXPECT_EQ(img->def.offset, static_cast<int>(file[10] | file[11] << 8));
        EXPECT_EQ(img->def.msbf, k.bits < 8 ? 1 : 0);
        expectPixels(img.img, magickRGB(dir, bmp), true);
        releaseImage(img.img, nullptr);
        img.img = nullptr;
    }
}

TEST(ForeignDIB, TwentyFourBitsShowBlueAsBandOne)
{
    TempDir dir;
    // 2 x 2 pixels, bottom-up: the first stored row is image row 1.
    Bytes f = dibHeader(2, 2, 24, 54);
    const uint8_t rowsInFile[2][8] = {{1, 2, 3, 4, 5, 6, 0, 0}, {11, 12, 13, 14, 15, 16, 0, 0}};
    for (auto &row : rowsInFile) f.insert(f.end(), row, row + 8);
    std::string path = dir.file("bgr.bmp");
    writeBytes(path, f);
    int err;
    Held img(openFile(path, &err));
    ASSERT_NE(img.img, nullptr) << errorText(err);
    EXPECT_EQ(getLine(img.img, 0, 0, 1)[0], 11);  // blue of the top-left pixel
    EXPECT_EQ(getLine(img.img, 0, 2, 1)[0], 13);  // its red
    EXPECT_EQ(getLine(img.img, 1, 0, 1)[1], 4);
    EXPECT_EQ(getLine(img.img, 1, 1, 1)[1], 5);
}

TEST(ForeignDIB, WrittenHereOpenInImageMagickAndGdal)
{
    NEED("convert");
    for (int depth : {1, 4, 8, 24}) {
        SCOPED_TRACE(depth);
        TempDir dir;
        ImageDef def = defaultImageDef();
        std::string path = dir.file("ours.bmp");
        snprintf(def.file, sizeof def.file, "%s", path.c_str());
        def.imgid = IMG_DIB;
        def.rows = 13;
        def.columns = 29;
        def.nbands = depth == 24 ? 3 : 1;
        def.pixel = depth == 1 ? PIX_1BIT : depth == 4 ? PIX_4BITS : PIX_BYTE;
        def.nindices = depth == 24 ? 0 : 1 << depth;
        for (int i = 0; i < 256; ++i) {
            def.palette[i][0] = static_cast<uint8_t>(i * 7);
            def.palette[i][1] = static_cast<uint8_t>(255 - i);
            def.palette[i][2] = static_cast<uint8_t>(i * 3 + 1);
        }
        def.offset = 1;
        int err;
        RamImage *img = openWithDef(&def, nullptr, 0, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        EXPECT_EQ(img->def.offset, 1078);
        const int most = depth == 24 ? 256 : 1 << depth;
        Bytes want(static_cast<size_t>(13) * 29 * 3);
        for (int r = 0; r < 13; ++r) {
            for (int b = 0; b < def.nbands; ++b) {
                std::vector<float> v(29);
                for (int c = 0; c < 29; ++c) {
                    int value = (r * 5 + c * 3 + b * 40) % most;
                    v[c] = static_cast<float>(value);
                    uint8_t *p = &want[(static_cast<size_t>(r) * 29 + c) * 3];
                    if (depth == 24) p[2 - b] = static_cast<uint8_t>(value);  // band 1 is blue
                    else memcpy(p, def.palette[value], 3);
                }
                ASSERT_EQ(putFloatLine(img, r, 0, 29, b, v.data()), 29);
            }
        }
        ASSERT_EQ(flushImage(img), 0);
        releaseImage(img, nullptr);
        EXPECT_EQ(magickRGB(dir, path), want);
        if (depth == 8 && have("gdal_translate")) {
            // GDAL gives the indices and the colour table.
            std::string raw = dir.file("gdal.raw");
            ASSERT_EQ(run("gdal_translate -q -of ENVI '" + path + "' '" + raw + "'"), 0);
            Bytes idx = readBytes(raw);
            ASSERT_EQ(idx.size(), 13u * 29);
            for (int r = 0; r < 13; ++r)
                for (int c = 0; c < 29; ++c) ASSERT_EQ(idx[r * 29 + c], (r * 5 + c * 3) % 256);
            FILE *p = popen(("gdalinfo '" + path + "' | grep -E '^ +7: '").c_str(), "r");
            char line[128] = {};
            ASSERT_NE(p, nullptr);
            if (!fgets(line, sizeof line, p)) line[0] = 0;
            pclose(p);
            EXPECT_NE(std::string(line).find("49,248,22"), std::string::npos) << line;
        }
    }
}

TEST(ForeignDIB, PaletteRewrittenInTheFile)
{
    NEED("convert");
    TempDir dir;
    std::string src = dir.file("src.ppm"), bmp = dir.file("pal.bmp");
    writePnm(src, "P6", 16, 4, picture(16, 4));
    ASSERT_EQ(run("convert '" + src + "' -colors 16 -type Palette -compress None BMP3:'" + bmp + "'"), 0);
    int err;
    RamImage *img = openFile(bmp, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    for (int i = 0; i < img->def.nindices; ++i) {
        img->def.palette[i][0] = static_cast<uint8_t>(i);
        img->def.palette[i][1] = static_cast<uint8_t>(100 + i);
        img->def.palette[i][2] = static_cast<uint8_t>(200 + i);
    }
    EXPECT_EQ(writeFilePalette(img), 1);
    Bytes indices;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 16; ++c) indices.push_back(static_cast<uint8_t>(indexAt(img, getLine(img, r, 0, 1), c)));
    releaseImage(img, nullptr);
    Bytes rgb = magickRGB(dir, bmp);
    ASSERT_EQ(rgb.size(), 16u * 4 * 3);
    for (size_t k = 0; k < indices.size(); ++k) {
        EXPECT_EQ(rgb[3 * k], indices[k]);
        EXPECT_EQ(rgb[3 * k + 1], 100 + indices[k]);
        EXPECT_EQ(rgb[3 * k + 2], 200 + indices[k]);
    }
    img = openFile(bmp, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->def.palette[5][1], 105);
    releaseImage(img, nullptr);
}

TEST(ForeignDIB, BrokenHeadersAreRefusedWithTheirReason)
{
    TempDir dir;
    struct Case {
        const char *what;
        Bytes file;
        const char *message;
    };
    Bytes pixels(64, 7);
    auto with = [&](Bytes h) {
        h.insert(h.end(), pixels.begin(), pixels.end());
        return h;
    };
    Case cases[] = {
        {"16 bits", with(dibHeader(4, 4, 16, 54)), "Error in initDIB_Bi: invalid BitCount.\n"},
        {"negative height", with(dibHeader(4, -4, 8, 54)), "top-down"},
        {"zero width", with(dibHeader(0, 4, 8, 54)), "invalid width"},
        {"offset past the end", with(dibHeader(4, 4, 8, 5000)), "outside the file"},
        {"offset inside the header", with(dibHeader(4, 4, 8, 20)), "outside the file"},
        {"RLE8", with(dibHeader(4, 4, 8, 54, 1)), "compressed"},
        {"OS/2 header", with(dibHeader(4, 4, 8, 54, 0, 12)), "OS/2"},
        {"huge width", with(dibHeader(0x7FFFFFF0, 1, 24, 54)), ""},
        {"width past the file", with(dibHeader(100000, 1, 24, 54)), ""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string path = dir.file("bad.bmp");
        writeBytes(path, k.file);
        ConsoleCapture cap;
        int err = 0;
        RamImage *img = openFile(path, &err);
        EXPECT_EQ(img, nullptr);
        if (img) releaseImage(img, nullptr);
        EXPECT_NE(err, IMGERR_OK);
        EXPECT_NE(cap.err.find(k.message), std::string::npos) << cap.err;
    }
}

TEST(ForeignDIB, TruncatedDataReadsAsZero)
{
    TempDir dir;
    Bytes f = dibHeader(8, 10, 8, 54 + 1024);
    f.resize(54 + 1024, 0);
    for (int r = 0; r < 3; ++r) f.insert(f.end(), 8, static_cast<uint8_t>(r + 1));  // image rows 9, 8, 7
    std::string path = dir.file("short.bmp");
    writeBytes(path, f);
    ConsoleCapture cap;
    int err;
    Held img(openFile(path, &err));
    ASSERT_NE(img.img, nullptr) << errorText(err);
    EXPECT_EQ(getLine(img.img, 9, 0, 1)[0], 1);
    EXPECT_EQ(getLine(img.img, 7, 0, 1)[7], 3);
    for (int r = 0; r < 7; ++r) EXPECT_EQ(getLine(img.img, r, 0, 1)[0], 0) << r;
    EXPECT_NE(cap.err.find("the file ends before its data"), std::string::npos);
}

// Found by fuzzing: a 1-bit DIB of 19 columns declaring 822083595 rows in a
// 106-byte file. It opens with the rows the file has at the bottom and zeros
// above, and the cache stays at its usual size whatever the header says.
TEST(ForeignDIB, HugeRowCountFromATinyFileKeepsTheCacheSmall)
{
    TempDir dir;
    Bytes f = dibHeader(19, 0x3100000b, 1, 62);
    putLE(f, 46, 2, 4);
    putLE(f, 54, 0x00FFFFFF, 4);  // white, black
    putLE(f, 58, 0, 4);
    for (int i = 0; i < 44; ++i) f.push_back(static_cast<uint8_t>(0xF0 | i));
    std::string path = dir.file("tall.bmp");
    writeBytes(path, f);
    ConsoleCapture cap;
    int err;
    Held img(openFile(path, &err));
    ASSERT_NE(img.img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.rows, 0x3100000b);
    EXPECT_LE(img->cachedLines, 127);
    const int last = img->def.rows - 1;
    EXPECT_EQ(getLine(img.img, last, 0, 1)[0], 0xF0);  // the first row in the file
    EXPECT_EQ(getLine(img.img, last - 1, 0, 1)[0], 0xF4);
    EXPECT_EQ(getLine(img.img, 0, 0, 1)[0], 0);
    EXPECT_EQ(getLine(img.img, last / 2, 0, 1)[2], 0);
}

TEST(ForeignFormats, DetectorsLeaveTheFilePositionAlone)
{
    NEED("convert");
    TempDir dir;
    std::string src = dir.file("src.ppm");
    writePnm(src, "P6", 8, 8, picture(8, 8));
    for (const char *ext : {"bmp", "xbm", "jpg", "pgm"}) {
        std::string path = dir.file(std::string("x.") + ext);
        ASSERT_EQ(run("convert '" + src + "' '" + path + "'"), 0);
        platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::Read);
        ASSERT_TRUE(fd);
        for (DetectFn fn : {detectDIB, detectXBMP, detectJPEG, detectPPM}) {
            lseek(fd.get(), 5, SEEK_SET);
            ImageDef def = defaultImageDef();
            detectWith(fn, fd.get(), path.c_str(), &def, nullptr);
            EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 5) << ext;
        }
        ImageDef def = defaultImageDef();
        int code = detectFormat(fd.get(), path.c_str(), &def, nullptr);
        const int want = ext[0] == 'b' ? IMG_DIB : ext[0] == 'x' ? IMG_XBMP : ext[0] == 'j' ? IMG_JPEG : IMG_PPM;
        EXPECT_EQ(code, want) << ext;
    }
}

// ---- XBMP ---------------------------------------------------------------------

TEST(ForeignXBMP, BitmapFromImageMagickOpensHere)
{
    NEED("convert");
    TempDir dir;
    std::string src = dir.file("src.ppm"), xbm = dir.file("im.xbm");
    writePnm(src, "P6", 21, 9, picture(21, 9));
    ASSERT_EQ(run("convert '" + src + "' -threshold 50% '" + xbm + "'"), 0);
    int err;
    Held img(openFile(xbm, &err));
    ASSERT_NE(img.img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.imgid, IMG_XBMP);
    EXPECT_EQ(img->def.pixel, PIX_1BIT);
    EXPECT_EQ(img->def.block, 3);
    EXPECT_EQ(img->def.offset, 0);
    EXPECT_EQ(img->def.nindices, 2);
    EXPECT_EQ(img->def.palette[0][0], 255);
    EXPECT_EQ(img->def.palette[1][0], 0);
    expectPixels(img.img, magickRGB(dir, xbm), false);
}

TEST(ForeignXBMP, WrittenWholeInTheTextLayoutAndReadByImageMagick)
{
    NEED("convert");
    TempDir dir;
    ImageDef def = defaultImageDef();
    std::string path = dir.file("ours.xbm");
    snprintf(def.file, sizeof def.file, "%s", path.c_str());
    def.imgid = IMG_XBMP;
    def.pixel = PIX_BYTE;  // the writer makes it one band of bits
    def.rows = 5;
    def.columns = 20;
    def.offset = 1;
    int err;
    RamImage *img = openWithDef(&def, nullptr, 0, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.pixel, PIX_1BIT);
    EXPECT_EQ(img->def.block, 3);
    std::vector<float> v(20);
    for (int r = 0; r < 5; ++r) {
        for (int c = 0; c < 20; ++c) v[c] = static_cast<float>((r + c) % 3 == 0);
        putFloatLine(img, r, 0, 20, 0, v.data());
    }
    ASSERT_EQ(flushImage(img), 0);
    releaseImage(img, nullptr);
    Bytes text = readBytes(path);
    std::string s(text.begin(), text.end());
    const std::string head = "#define xbmp_width 20\n#define xbmp_height 5\nstatic char xbmp_bits[] = {\n";
    EXPECT_EQ(s.substr(0, head.size()), head);
    // 15 bytes: twelve on the first line, the last closing the array.
    EXPECT_EQ(s.substr(head.size(), 12 * 6 + 1), " 0x49, 0x92, 0x04, 0x24, 0x49, 0x02, 0x92, 0x24, 0x09, 0x49, 0x92, 0x04,\n");
    EXPECT_EQ(s.size(), head.size() + 15 * 6 + 1 + 2);
    EXPECT_NE(s.find(" 0x"), std::string::npos);
    EXPECT_EQ(s.substr(s.size() - 3), "};\n");
    Bytes rgb = magickRGB(dir, path);
    ASSERT_EQ(rgb.size(), 5u * 20 * 3);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 20; ++c) EXPECT_EQ(rgb[(r * 20 + c) * 3], (r + c) % 3 == 0 ? 0 : 255) << r << " " << c;
}

TEST(ForeignXBMP, LiesAndShortDataAreHandled)
{
    TempDir dir;
    std::string path = dir.file("x.xbm");
    ConsoleCapture cap;
    int err;
    writeBytes(path, Bytes{});
    {
        std::string lie = "#define a_width 100000\n#define a_height 100000\nstatic char a_bits[] = {0x01};\n";
        writeBytes(path, Bytes(lie.begin(), lie.end()));
        EXPECT_EQ(openFile(path, &err), nullptr);
        EXPECT_EQ(err, IMGERR_UNHANDLED);
        EXPECT_NE(cap.err.find("declares"), std::string::npos);
    }
    {
        std::string shortData = "#define a_width 16\n#define a_height 4\nstatic unsigned char a_bits[] = {\n"
                                "0x01, 0X80, 7, 010,\n   0xff";
        shortData.append(200, ' ');  // room the declared bytes could take
        writeBytes(path, Bytes(shortData.begin(), shortData.end()));
        Held img(openFile(path, &err));
        ASSERT_NE(img.img, nullptr) << errorText(err);
        const uint8_t *l0 = getLine(img.img, 0, 0, 1), *l1 = getLine(img.img, 1, 0, 1), *l2 = getLine(img.img, 2, 0, 1);
        EXPECT_EQ(l0[0], 1);
        EXPECT_EQ(l0[1], 0x80);
        EXPECT_EQ(l1[0], 7);
        EXPECT_EQ(l1[1], 8);
        EXPECT_EQ(l2[0], 0xff);
        EXPECT_EQ(l2[1], 0);
        EXPECT_EQ(getLine(img.img, 3, 0, 1)[0], 0);
        EXPECT_NE(cap.err.find("the rest reads as 0"), std::string::npos);
    }
}

// ---- PGM/PPM ------------------------------------------------------------------

TEST(ForeignPPM, CommentedHeaderReadsAsFourByTwo)
{
    TempDir dir;
    std::string path = dir.file("c.ppm");
    std::string head = "P6 #a comment line longer than thirty-two characters of header\n4 2 255\n";
    Bytes file(head.begin(), head.end());
    for (int i = 0; i < 24; ++i) file.push_back(static_cast<uint8_t>(i * 10));
    writeBytes(path, file);
    int err;
    Held img(openFile(path, &err));
    ASSERT_NE(img.img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.imgid, IMG_PPM);
    EXPECT_EQ(img->def.columns, 4);
    EXPECT_EQ(img->def.rows, 2);
    EXPECT_EQ(img->def.nbands, 3);
    EXPECT_EQ(img->def.block, 12);
    EXPECT_EQ(img->def.offset, static_cast<int>(head.size()));
    EXPECT_EQ(getLine(img.img, 1, 2, 1)[3], 230);  // row 1, column 3, blue
}

TEST(ForeignPPM, FilesFromImageMagickWithCommentsOpenHere)
{
    NEED("convert");
    TempDir dir;
    std::string src = dir.file("src.ppm");
    writePnm(src, "P6", 31, 17, picture(31, 17));
    for (const char *ext : {"ppm", "pgm"}) {
        std::string path = dir.file(std::string("im.") + ext);
        ASSERT_EQ(run("convert '" + src + "' -set comment 'made elsewhere' '" + path + "'"), 0);
        Bytes file = readBytes(path);
        ASSERT_NE(std::string(file.begin(), file.begin() + 40).find('#'), std::string::npos) << "no comment written";
        int err;
        Held img(openFile(path, &err));
        ASSERT_NE(img.img, nullptr) << errorText(err);
        EXPECT_EQ(img->def.nbands, ext[1] == 'p' ? 3 : 1);
        expectPixels(img.img, magickRGB(dir, path), false);
    }
}

TEST(ForeignPPM, WrittenHereOpenInImageMagick)
{
    NEED("convert");
    for (int bands : {1, 3}) {
        TempDir dir;
        ImageDef def = defaultImageDef();
        std::string path = dir.file("ours.ppm");
        snprintf(def.file, sizeof def.file, "%s", path.c_str());
        def.imgid = IMG_PPM;
        def.rows = 6;
        def.columns = 11;
        def.nbands = bands;
        def.offset = 0;
        int err;
        RamImage *img = openWithDef(&def, nullptr, 0, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        Bytes want(6 * 11 * 3);
        for (int r = 0; r < 6; ++r)
            for (int b = 0; b < bands; ++b) {
                Bytes line(11);
                for (int c = 0; c < 11; ++c) {
                    line[c] = static_cast<uint8_t>(r * 40 + c * 3 + b * 7);
                    for (int k = 0; k < 3; ++k)
                        if (bands == 3 ? k == b : true) want[(r * 11 + c) * 3 + k] = line[c];
                }
                putByteLine(img, r, 0, 11, b, line.data());
            }
        releaseImage(img, nullptr);
        Bytes file = readBytes(path);
        std::string head = bands == 3 ? "P6\n11 6\n255\n" : "P5\n11 6\n255\n";
        EXPECT_EQ(std::string(file.begin(), file.begin() + head.size()), head);
        EXPECT_EQ(magickRGB(dir, path), want);
    }
}

TEST(ForeignPPM, HeaderWriterPadsOrRefuses)
{
    TempDir dir;
    std::string path = dir.file("h.ppm");
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
    ImageDef def = defaultImageDef();
    def.rows = 2;
    def.columns = 4;
    def.nbands = 3;
    def.imgid = IMG_PPM;
    def.offset = 40;
    ASSERT_EQ(writePPMHeader(fd.get(), 0, &def), 40);
    Bytes f = readBytes(path);
    EXPECT_EQ(f.size(), 40u);
    EXPECT_EQ(f[39], '\n');
    EXPECT_EQ(std::string(f.begin() + 36, f.end()), "255\n");
    ImageDef back = defaultImageDef();
    f.resize(40 + 24, 1);
    writeBytes(path, f);
    fd = platform::openFile(path.c_str(), platform::OpenMode::Read);
    EXPECT_EQ(detectWith(detectPPM, fd.get(), path.c_str(), &back, nullptr), IMG_PPM);
    EXPECT_EQ(back.offset, 40);
    def.offset = 5;
    EXPECT_EQ(writePPMHeader(fd.get(), 0, &def), -1);
    def.nbands = 2;
    def.offset = 0;
    EXPECT_EQ(writePPMHeader(fd.get(), 0, &def), -1);
}

TEST(ForeignPPM, SixteenBitAndBrokenHeadersAreRefused)
{
    TempDir dir;
    std::string path = dir.file("b.pgm");
    struct Case {
        const char *head;
        int err;
        const char *message;
    } cases[] = {
        {"P5\n4 2\n65535\n", IMGERR_UNHANDLED, "maximum value 65535"},
        {"P5\n4 2\n0\n", IMGERR_UNHANDLED, "maximum value 0"},
        {"P5\n0 2\n255\n", IMGERR_UNHANDLED, "no pixels"},
        {"P5\n4 x\n255\n", IMGERR_UNKNOWN, ""},
        {"P5\n4 2 255", IMGERR_UNKNOWN, ""},
        {"P5\n99999999 1\n255\n", IMGERR_UNHANDLED, ""},  // wider than the file
        {"P5\n4 2\n1234567890123\n", IMGERR_UNKNOWN, ""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.head);
        std::string head = k.head;
        Bytes f(head.begin(), head.end());
        f.resize(f.size() + 16, 'A');
        writeBytes(path, f);
        ConsoleCapture cap;
        int err;
        EXPECT_EQ(openFile(path, &err), nullptr);
        EXPECT_EQ(err, k.err);
        EXPECT_NE(cap.err.find(k.message), std::string::npos) << cap.err;
    }
}

// ---- JPEG ---------------------------------------------------------------------

namespace {

// djpeg's decode of a JPEG as PNM: header skipped, the pixel bytes.
Bytes djpegPixels(const TempDir &dir, const std::string &jpg)
{
    std::string out = dir.file("dj.pnm");
    if (run("djpeg -pnm -outfile '" + out + "' '" + jpg + "'") != 0) return {};
    Bytes f = readBytes(out);
    int newlines = 0;
    size_t at = 0;
    while (at < f.size() && newlines < 3)
        if (f[at++] == '\n') ++newlines;
    return Bytes(f.begin() + static_cast<long>(at), f.end());
}

void expectSameAsInterleaved(RamImage *img, const Bytes &pixels)
{
    const ImageDef &d = img->def;
    ASSERT_EQ(pixels.size(), static_cast<size_t>(d.rows) * d.columns * d.nbands);
    for (int r = 0; r < d.rows; ++r)
        for (int b = 0; b < d.nbands; ++b) {
            const uint8_t *line = getLine(img, r, b, 1);
            ASSERT_NE(line, nullptr);
            for (int c = 0; c < d.columns; ++c)
                ASSERT_EQ(line[c], pixels[(static_cast<size_t>(r) * d.columns + c) * d.nbands + b])
                    << "row " << r << " band " << b << " column " << c;
        }
}

}  // namespace

TEST(ForeignJPEG, FilesFromCjpegMatchDjpeg)
{
    NEED("cjpeg");
    NEED("djpeg");
    TempDir dir;
    std::string src = dir.file("src.ppm");
    writePnm(src, "P6", 45, 29, picture(45, 29));
    struct Case {
        const char *options;
        int bands;
    } cases[] = {{"-quality 85", 3}, {"-grayscale", 1}, {"-progressive -quality 60", 3},
                 {"-sample 1x1 -quality 95", 3}, {"-arithmetic", 3}, {"-restart 1 -optimize", 3}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.options);
        std::string jpg = dir.file("c.jpg");
        ASSERT_EQ(run(std::string("cjpeg ") + k.options + " -outfile '" + jpg + "' '" + src + "'"), 0);
        int err;
        RamImage *img = openFile(jpg, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        EXPECT_EQ(img->def.imgid, IMG_JPEG);
        EXPECT_EQ(img->def.nbands, k.bands);
        EXPECT_EQ(img->def.rows, 29);
        EXPECT_EQ(img->def.columns, 45);
        EXPECT_EQ(img->def.block, 90);
        EXPECT_EQ(img->def.offset, 0);
        EXPECT_EQ(img->cachedLines, 29);
        expectSameAsInterleaved(img, djpegPixels(dir, jpg));
        releaseImage(img, nullptr);
    }
}

TEST(ForeignJPEG, WrittenHereWithTheQualityInBlock)
{
    NEED("djpeg");
    TempDir dir;
    long sizes[2] = {};
    int qualities[2] = {20, 95};
    for (int q = 0; q < 2; ++q) {
        ImageDef def = defaultImageDef();
        std::string path = dir.file("ours" + std::to_string(q) + ".jpg");
        snprintf(def.file, sizeof def.file, "%s", path.c_str());
        def.imgid = IMG_JPEG;
        def.rows = 24;
        def.columns = 40;
        def.nbands = 3;
        def.offset = 0;
        int err;
        RamImage *img = openWithDef(&def, nullptr, 0, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        img->def.block = qualities[q];
        Bytes src = picture(40, 24, true);
        for (int r = 0; r < 24; ++r)
            for (int b = 0; b < 3; ++b) {
                Bytes line(40);
                for (int c = 0; c < 40; ++c) line[c] = src[(r * 40 + c) * 3 + b];
                putByteLine(img, r, 0, 40, b, line.data());
            }
        ASSERT_EQ(flushImage(img), 0);
        // Written back whole; the cache then reads what the file holds.
        EXPECT_EQ(img->slotMap[0], -1);
        expectSameAsInterleaved(img, djpegPixels(dir, path));
        releaseImage(img, nullptr);
        sizes[q] = static_cast<long>(readBytes(path).size());
        if (have("identify")) {
            FILE *p = popen(("identify -format %Q '" + path + "'").c_str(), "r");
            char text[32] = {};
            if (p && !fgets(text, sizeof text, p)) text[0] = 0;
            if (p) pclose(p);
            EXPECT_EQ(atoi(text), qualities[q]);
        }
        Bytes magick = have("convert") ? magickRGB(dir, path) : Bytes{};
        if (!magick.empty()) {
            // ImageMagick sees the picture written, within what the quality loses.
            ASSERT_EQ(magick.size(), src.size());
            double error = 0;
            for (size_t i = 0; i < magick.size(); ++i) error += std::abs(magick[i] - src[i]);
            EXPECT_LT(error / src.size(), q == 0 ? 16.0 : 4.0);
        }
    }
    EXPECT_LT(sizes[0], sizes[1]);
}

// `block` of a JPEG holds the quality, not a row length: a file wider than 90
// columns opens with 90 like a narrow one and is written back at 90.
TEST(ForeignJPEG, WideFileKeepsQualityNinety)
{
    NEED("cjpeg");
    NEED("identify");
    TempDir dir;
    std::string src = dir.file("src.ppm"), jpg = dir.file("wide.jpg");
    writePnm(src, "P6", 200, 16, picture(200, 16, true));
    ASSERT_EQ(run("cjpeg -quality 60 -outfile '" + jpg + "' '" + src + "'"), 0);
    int err;
    RamImage *img = openFile(jpg, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.block, 90);
    Bytes line(200, 77);
    ASSERT_EQ(putByteLine(img, 3, 0, 200, 0, line.data()), 200);
    ASSERT_EQ(flushImage(img), 0);
    releaseImage(img, nullptr);
    FILE *p = popen(("identify -format %Q '" + jpg + "'").c_str(), "r");
    char text[32] = {};
    if (p && !fgets(text, sizeof text, p)) text[0] = 0;
    if (p) pclose(p);
    EXPECT_EQ(atoi(text), 90);
}

// Files rewritten whole (JPEG, XBM) survive a write-back that fails midway:
// the old file stays as it was, with no half-written file beside it. A small
// file-size limit makes every write past it fail.
TEST(WholeFileWriteBack, AFailedRewriteLeavesTheFileIntact)
{
    NEED("cjpeg");
    NEED("convert");
    TempDir dir;
    std::string src = dir.file("src.ppm");
    writePnm(src, "P6", 120, 90, picture(120, 90));
    const std::string jpg = dir.file("a.jpg"), xbm = dir.file("a.xbm");
    ASSERT_EQ(run("cjpeg -outfile '" + jpg + "' '" + src + "'"), 0);
    ASSERT_EQ(run("convert '" + src + "' -threshold 50% '" + xbm + "'"), 0);
    for (const std::string &path : {jpg, xbm}) {
        const Bytes before = readBytes(path);
        ASSERT_GT(before.size(), 600u);
        int err;
        RamImage *img = openFile(path, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        Bytes line(120, 1);
        ASSERT_EQ(putByteLine(img, 5, 0, 120, 0, line.data()), 120);

        int rc;
        {
            FileSizeLimit full(500);
            ASSERT_TRUE(full.active);
            ConsoleCapture cap;
            rc = flushImage(img);
        }
        EXPECT_EQ(rc, -1) << path;
        EXPECT_EQ(readBytes(path), before) << path;

        // With room again the rewrite goes through, and later write-backs
        // reach the new file through the image's descriptor.
        ASSERT_EQ(putByteLine(img, 6, 0, 120, 0, line.data()), 120);
        EXPECT_EQ(flushImage(img), 0) << path;
        ASSERT_EQ(putByteLine(img, 7, 0, 120, 0, line.data()), 120);
        EXPECT_EQ(flushImage(img), 0) << path;
        releaseImage(img, nullptr);
        RamImage *again = openFile(path, &err);
        ASSERT_NE(again, nullptr) << errorText(err);
        EXPECT_EQ(again->def.columns, 120);
        EXPECT_EQ(again->def.rows, 90);
        releaseImage(again, nullptr);
    }
    int entries = 0;
    if (DIR *d = opendir(dir.path.c_str())) {
        while (dirent *e = readdir(d)) entries += e->d_name[0] != '.';
        closedir(d);
    }
    EXPECT_EQ(entries, 3);  // src.ppm, a.jpg, a.xbm: no temporary left behind
}

TEST(ForeignJPEG, BrokenFilesNeverCrash)
{
    NEED("cjpeg");
    TempDir dir;
    std::string src = dir.file("src.ppm"), jpg = dir.file("c.jpg");
    writePnm(src, "P6", 64, 48, picture(64, 48));
    ASSERT_EQ(run("cjpeg -outfile '" + jpg + "' '" + src + "'"), 0);
    Bytes good = readBytes(jpg);
    std::string path = dir.file("bad.jpg");
    int err;
    {
        // Cut in the middle of the data: the library warns, the rest is filled.
        writeBytes(path, Bytes(good.begin(), good.begin() + static_cast<long>(good.size() * 2 / 3)));
        ConsoleCapture cap;
        Held img(openFile(path, &err));
        ASSERT_NE(img.img, nullptr) << errorText(err);
        for (int r = 0; r < 48; ++r) ASSERT_NE(getLine(img.img, r, 0, 1), nullptr);
        EXPECT_NE(cap.err.find("Warning in readJPEG"), std::string::npos) << cap.err;
    }
    {
        // The start of image and then nothing a JPEG has.
        Bytes junk = {0xFF, 0xD8, 0xFF, 0x00, 1, 2, 3};
        writeBytes(path, junk);
        ConsoleCapture cap;
        EXPECT_EQ(openFile(path, &err), nullptr);
        EXPECT_EQ(err, IMGERR_UNHANDLED);
        EXPECT_NE(cap.err.find("Error in reading JPEG header"), std::string::npos);
    }
    {
        // A frame header claiming 60000 x 60000 pixels in a small file.
        Bytes lie = good;
        for (size_t i = 2; i + 9 < lie.size(); ++i)
            if (lie[i] == 0xFF && lie[i + 1] == 0xC0) {
                putBE(lie, i + 5, 60000, 2);
                putBE(lie, i + 7, 60000, 2);
                break;
            }
        writeBytes(path, lie);
        ConsoleCapture cap;
        EXPECT_EQ(openFile(path, &err), nullptr);
        EXPECT_EQ(err, IMGERR_UNHANDLED);
        EXPECT_NE(cap.err.find("cannot come from"), std::string::npos) << cap.err;
    }
}
