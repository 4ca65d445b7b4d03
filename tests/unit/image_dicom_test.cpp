// DICOM reading: data sets built here (with and without preamble and file
// meta group, implicit and explicit VR, sequences, broken lengths) and files
// made by dcmtk, compared with dcmtk's own decode into PGM/PPM.
#include <gtest/gtest.h>

#include <cstdlib>

#include "image/formats/dicom.h"
#include "image/formats/formats.h"
#include "image/registry.h"
#include "image_support.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

// One element; vr null writes implicit VR.
void elem(Bytes &b, unsigned group, unsigned element, const char *vr, const Bytes &value, uint32_t length = 0xFFFFFFFEu)
{
    const uint32_t n = length == 0xFFFFFFFEu ? static_cast<uint32_t>(value.size()) : length;
    size_t at = b.size();
    putLE(b, at, group, 2);
    putLE(b, at + 2, element, 2);
    if (vr == nullptr || group == 0xFFFE) {
        putLE(b, at + 4, n, 4);
    } else {
        putText(b, at + 4, vr);
        std::string v(vr);
        if (v == "OB" || v == "OW" || v == "SQ" || v == "UN" || v == "UT") {
            putLE(b, at + 6, 0, 2);
            putLE(b, at + 8, n, 4);
        } else {
            putLE(b, at + 6, n, 2);
        }
    }
    b.insert(b.end(), value.begin(), value.end());
}
Bytes us(unsigned v) { return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
Bytes text(const std::string &s)
{
    Bytes b(s.begin(), s.end());
    if (b.size() & 1) b.push_back(' ');
    return b;
}

struct ImageSpec {
    int rows = 3, columns = 4, bits = 16, signedValues = 1, samples = 1, frames = 2;
    const char *spacing = "0.5\\0.25";
    const char *compression = nullptr;
};

// The image elements and the pixel data of a data set.
void imageElements(Bytes &b, const ImageSpec &s, const char *vr16, const char *vrIS, const char *vrDS,
                   const Bytes &pixels)
{
    elem(b, 0x0028, 0x0002, vr16, us(static_cast<unsigned>(s.samples)));
    elem(b, 0x0028, 0x0008, vrIS, text(std::to_string(s.frames)));
    elem(b, 0x0028, 0x0010, vr16, us(static_cast<unsigned>(s.rows)));
    elem(b, 0x0028, 0x0011, vr16, us(static_cast<unsigned>(s.columns)));
    elem(b, 0x0028, 0x0030, vrDS, text(s.spacing));
    if (s.compression) elem(b, 0x0028, 0x0060, vrIS ? "CS" : nullptr, text(s.compression));
    elem(b, 0x0028, 0x0100, vr16, us(static_cast<unsigned>(s.bits)));
    elem(b, 0x0028, 0x0103, vr16, us(static_cast<unsigned>(s.signedValues)));
    elem(b, 0x7FE0, 0x0010, vrIS ? "OW" : nullptr, pixels);
}

Bytes pixels16(const ImageSpec &s)
{
    Bytes p;
    for (int f = 0; f < s.frames; ++f)
        for (int i = 0; i < s.rows * s.columns; ++i) putLE(p, p.size(), static_cast<uint16_t>(f * 1000 - i), 2);
    return p;
}

// A file with preamble, "DICM" and file meta group naming the syntax.
Bytes withMeta(const char *syntax, const Bytes &dataSet)
{
    Bytes b(128, 0);
    putText(b, 128, "DICM");
    Bytes meta;
    elem(meta, 0x0002, 0x0001, "OB", Bytes{0, 1});
    elem(meta, 0x0002, 0x0010, "UI", [&] {
        Bytes u(syntax, syntax + strlen(syntax));
        if (u.size() & 1) u.push_back(0);
        return u;
    }());
    Bytes group;
    elem(group, 0x0002, 0x0000, "UL", Bytes{static_cast<uint8_t>(meta.size()), 0, 0, 0});
    b.insert(b.end(), group.begin(), group.end());
    b.insert(b.end(), meta.begin(), meta.end());
    b.insert(b.end(), dataSet.begin(), dataSet.end());
    return b;
}

RamImage *openFile(const std::string &path, int *err) { return getImage("", path.c_str(), nullptr, nullptr, err); }

void expectImage(RamImage *img, const ImageSpec &s)
{
    EXPECT_EQ(img->def.imgid, IMG_BIP);
    EXPECT_EQ(img->def.mapid, MAP_DICOM);
    EXPECT_EQ(img->def.pixel, PIX_SHORT);
    EXPECT_EQ(img->def.rows, s.rows);
    EXPECT_EQ(img->def.columns, s.columns);
    EXPECT_EQ(img->def.volumes, s.frames);
    EXPECT_EQ(img->def.block, s.columns * 2);
    EXPECT_DOUBLE_EQ(img->def.dx, 0.5);
    EXPECT_DOUBLE_EQ(img->def.dy, 0.25);
    const int16_t *v = reinterpret_cast<const int16_t *>(getLine(img, 2, 0, 1));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v[3], -11);
    ASSERT_EQ(selectVolume(img, 2), 2);
    v = reinterpret_cast<const int16_t *>(getLine(img, 0, 0, 1));
    EXPECT_EQ(v[1], 999);
    auto *table = static_cast<const DicomTable *>(img->formatData);
    ASSERT_NE(table, nullptr);
    const DicomElement *rows = findDicomElement(table, 0x00280010);
    ASSERT_NE(rows, nullptr);
    const char *value = dicomValue(table, rows);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(static_cast<uint8_t>(value[0]), s.rows);
}

bool haveDcmtk() { return std::system("command -v img2dcm > /dev/null 2>&1 && command -v dcm2pnm > /dev/null 2>&1") == 0; }
int run(const std::string &command) { return std::system((command + " > /dev/null 2>&1").c_str()); }

}  // namespace

TEST(Dicom, ElementsWithoutPreambleImplicitVR)
{
    TempDir dir;
    ImageSpec s;
    Bytes b;
    elem(b, 0x0008, 0x0016, nullptr, text("1.2.840.10008.5.1.4.1.1.7"));
    imageElements(b, s, nullptr, nullptr, nullptr, pixels16(s));
    writeBytes(dir.file("old.dcm"), b);
    int err;
    RamImage *img = openFile(dir.file("old.dcm"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    expectImage(img, s);
    releaseImage(img, nullptr);
}

TEST(Dicom, FileMetaGroupThenExplicitOrImplicitLittleEndian)
{
    TempDir dir;
    ImageSpec s;
    Bytes ex, im;
    elem(ex, 0x0008, 0x0060, "CS", text("OT"));
    // A sequence of undefined length whose item holds a Rows element that
    // must not be taken for the image's.
    elem(ex, 0x0008, 0x1140, "SQ", {}, 0xFFFFFFFFu);
    elem(ex, 0xFFFE, 0xE000, nullptr, {}, 0xFFFFFFFFu);
    elem(ex, 0x0028, 0x0010, "US", us(999));
    elem(ex, 0xFFFE, 0xE00D, nullptr, {});
    elem(ex, 0xFFFE, 0xE0DD, nullptr, {});
    imageElements(ex, s, "US", "IS", "DS", pixels16(s));
    elem(im, 0x0008, 0x0060, nullptr, text("OT"));
    elem(im, 0x0008, 0x1140, nullptr, {}, 0xFFFFFFFFu);
    Bytes item;
    elem(item, 0x0028, 0x0010, nullptr, us(999));
    elem(im, 0xFFFE, 0xE000, nullptr, item);  // an item of defined length
    elem(im, 0xFFFE, 0xE0DD, nullptr, {});
    imageElements(im, s, nullptr, nullptr, nullptr, pixels16(s));
    writeBytes(dir.file("ex.dcm"), withMeta("1.2.840.10008.1.2.1", ex));
    writeBytes(dir.file("im.dcm"), withMeta("1.2.840.10008.1.2", im));
    for (const char *name : {"ex.dcm", "im.dcm"}) {
        SCOPED_TRACE(name);
        int err;
        RamImage *img = openFile(dir.file(name), &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        expectImage(img, s);
        releaseImage(img, nullptr);
    }
}

TEST(Dicom, CompressionIsRefused)
{
    TempDir dir;
    ImageSpec s;
    s.compression = "RLE";
    Bytes b;
    elem(b, 0x0008, 0x0060, nullptr, text("OT"));
    imageElements(b, s, nullptr, nullptr, nullptr, pixels16(s));
    writeBytes(dir.file("rle.dcm"), b);
    ImageSpec plain;
    Bytes ds;
    imageElements(ds, plain, "US", "IS", "DS", pixels16(plain));
    writeBytes(dir.file("jpeg.dcm"), withMeta("1.2.840.10008.1.2.4.50", ds));
    // Encapsulated pixel data: undefined length.
    Bytes enc;
    elem(enc, 0x0008, 0x0060, nullptr, text("OT"));
    elem(enc, 0x7FE0, 0x0010, nullptr, {}, 0xFFFFFFFFu);
    writeBytes(dir.file("enc.dcm"), enc);
    ImageSpec none;
    none.compression = "NONE";
    Bytes ok;
    elem(ok, 0x0008, 0x0060, nullptr, text("OT"));
    imageElements(ok, none, nullptr, nullptr, nullptr, pixels16(none));
    writeBytes(dir.file("none.dcm"), ok);
    for (const char *name : {"rle.dcm", "jpeg.dcm", "enc.dcm"}) {
        SCOPED_TRACE(name);
        ConsoleCapture cap;
        int err;
        EXPECT_EQ(openFile(dir.file(name), &err), nullptr);
        EXPECT_NE(cap.err.find("Unable to read compressed DICOM image.\n"), std::string::npos) << cap.err;
    }
    int err;
    RamImage *img = openFile(dir.file("none.dcm"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    releaseImage(img, nullptr);
}

// 32-bit unsigned pixels (dose grids) are ULONG, whose lines keep one byte
// a column: each column shows the low byte of its own value, frame by frame,
// as for ULONG Tiff pages, and such lines are never written over the values.
TEST(Dicom, UnsignedThirtyTwoBitColumnsShowTheirOwnLowBytes)
{
    TempDir dir;
    ImageSpec s;
    s.bits = 32;
    s.signedValues = 0;
    Bytes px;
    for (int f = 0; f < s.frames; ++f)
        for (int i = 0; i < s.rows * s.columns; ++i) putLE(px, px.size(), 0x01020300u + f * 0x40 + i, 4);
    Bytes b;
    elem(b, 0x0008, 0x0060, nullptr, text("RTDOSE"));
    imageElements(b, s, nullptr, nullptr, nullptr, px);
    const std::string path = dir.file("dose.dcm");
    writeBytes(path, b);
    int err;
    RamImage *img = openFile(path, &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.pixel, PIX_ULONG);
    EXPECT_EQ(img->lineBytes, s.columns);
    const uint8_t *l = getLine(img, 2, 0, 1);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(Bytes(l, l + 4), (Bytes{8, 9, 10, 11}));
    ASSERT_EQ(selectVolume(img, 2), 2);
    uint8_t *w = getLine(img, 1, 0, 1);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(Bytes(w, w + 4), (Bytes{0x44, 0x45, 0x46, 0x47}));
    memset(w, 0xEE, 4);
    markLineDirty(img, 1, 0);
    flushImage(img);
    releaseImage(img, nullptr);
    EXPECT_EQ(readBytes(path), b);
}

TEST(Dicom, BrokenLengthsAreRefused)
{
    TempDir dir;
    ImageSpec s;
    struct Case {
        const char *name;
        uint32_t length;
        const char *message;
    } cases[] = {{"past.dcm", 0x7FFFFFF0u, "runs past the end"}, {"odd.dcm", 3, "odd length 3"}};
    for (const Case &k : cases) {
        Bytes ds;
        elem(ds, 0x0008, 0x0060, "CS", text("OT"));
        elem(ds, 0x0009, 0x0010, "UT", Bytes(4, 'x'), k.length);
        imageElements(ds, s, "US", "IS", "DS", pixels16(s));
        writeBytes(dir.file(k.name), withMeta("1.2.840.10008.1.2.1", ds));
        ConsoleCapture cap;
        int err;
        EXPECT_EQ(openFile(dir.file(k.name), &err), nullptr) << k.name;
        EXPECT_NE(cap.err.find(k.message), std::string::npos) << cap.err;
    }
    // Pixel data cut short: the missing part reads as zeros.
    Bytes ds;
    imageElements(ds, s, "US", "IS", "DS", pixels16(s));
    ds.resize(ds.size() - 30);
    writeBytes(dir.file("cut.dcm"), withMeta("1.2.840.10008.1.2.1", ds));
    ConsoleCapture cap;
    int err;
    RamImage *img = openFile(dir.file("cut.dcm"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    ASSERT_EQ(selectVolume(img, 2), 2);
    EXPECT_EQ(reinterpret_cast<const int16_t *>(getLine(img, 2, 0, 1))[3], 0);
    releaseImage(img, nullptr);
    // Not DICOM at all: a file starting with group 8 bytes that lead nowhere.
    writeBytes(dir.file("raw.bin"), Bytes{8, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3});
    EXPECT_EQ(openFile(dir.file("raw.bin"), &err), nullptr);
    EXPECT_EQ(err, IMGERR_UNKNOWN);
}

// Files converted by dcmtk into implicit and explicit VR little-endian open
// with the pixels dcm2pnm decodes.
TEST(Dicom, DcmtkFilesMatchItsDecode)
{
    if (!haveDcmtk() || std::system("convert -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "dcmtk or ImageMagick missing";
    TempDir dir;
    ASSERT_EQ(run("convert -size 23x17 gradient:red-blue BMP3:'" + dir.file("rgb.bmp") + "'"), 0);
    ASSERT_EQ(run("img2dcm -i BMP '" + dir.file("rgb.bmp") + "' '" + dir.file("rgb.dcm") + "'"), 0);
    ASSERT_EQ(run("convert -size 29x13 gradient:white-black -type grayscale '" + dir.file("g.jpg") + "'"), 0);
    ASSERT_EQ(run("img2dcm '" + dir.file("g.jpg") + "' '" + dir.file("gj.dcm") + "'"), 0);
    {
        // As img2dcm writes it, JPEG inside: refused.
        ConsoleCapture cap;
        int err;
        EXPECT_EQ(openFile(dir.file("gj.dcm"), &err), nullptr);
        EXPECT_NE(cap.err.find("Unable to read compressed DICOM image.\n"), std::string::npos) << cap.err;
    }
    ASSERT_EQ(run("dcmdjpeg '" + dir.file("gj.dcm") + "' '" + dir.file("g.dcm") + "'"), 0);
    for (const char *base : {"rgb", "g"}) {
        for (const char *opt : {"+ti", "+te"}) {
            SCOPED_TRACE(std::string(base) + opt);
            std::string conv = dir.file(std::string(base) + opt + ".dcm");
            ASSERT_EQ(run(std::string("dcmconv ") + opt + " '" + dir.file(std::string(base) + ".dcm") + "' '" + conv + "'"), 0);
            ASSERT_EQ(run("dcm2pnm --write-raw-pnm '" + conv + "' '" + dir.file("ref.pnm") + "'"), 0);
            Bytes ref = readBytes(dir.file("ref.pnm"));
            int err;
            RamImage *img = openFile(conv, &err);
            ASSERT_NE(img, nullptr) << errorText(err);
            const ImageDef &d = img->def;
            EXPECT_EQ(d.mapid, MAP_DICOM);
            EXPECT_EQ(d.pixel, PIX_BYTE);
            char header[64];
            int n = snprintf(header, sizeof header, "%s\n%d %d\n255\n", d.nbands == 3 ? "P6" : "P5", d.columns, d.rows);
            ASSERT_EQ(ref.size(), static_cast<size_t>(n) + static_cast<size_t>(d.columns) * d.rows * d.nbands);
            ASSERT_EQ(0, memcmp(ref.data(), header, static_cast<size_t>(n)));
            for (int r = 0; r < d.rows; ++r)
                for (int b = 0; b < d.nbands; ++b) {
                    const uint8_t *l = getLine(img, r, b, 1);
                    ASSERT_NE(l, nullptr);
                    for (int c = 0; c < d.columns; ++c)
                        ASSERT_EQ(l[c], ref[n + (static_cast<size_t>(r) * d.columns + c) * d.nbands + b]) << r << " " << c;
                }
            releaseImage(img, nullptr);
        }
    }
}
