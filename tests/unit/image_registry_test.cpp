// The image registry: tags, counting, locking, clients, creation and opening
// refusals, module outputs and band statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <sys/stat.h>

#include "image/formats/formats.h"
#include "image/registry.h"
#include "image_support.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

ImageDef memDef(int rows = 4, int columns = 5, int nbands = 1, int pixel = PIX_BYTE)
{
    ImageDef d = defaultImageDef();
    d.imgid = IMG_MBIL;
    d.rows = rows;
    d.columns = columns;
    d.nbands = nbands;
    d.pixel = pixel;
    return d;
}

std::string erdasFile(const TempDir &dir, const char *name, int rows = 6, int columns = 7)
{
    Bytes f = erdasHeader("HEAD74", 0, 1, columns, rows);
    f.resize(128 + rows * columns);
    for (int i = 0; i < rows * columns; ++i) f[128 + i] = static_cast<uint8_t>(i);
    writeBytes(dir.file(name), f);
    return dir.file(name);
}

int calls[2];
void onConfig(void *data) { calls[0] += *static_cast<int *>(data); }
void onData(void *data) { calls[1] += *static_cast<int *>(data); }

}  // namespace

TEST(Registry, GeneratedTagsFollowTheSerialCounter)
{
    int serial = imageStore().serial;
    ImageDef def = memDef();
    int err;
    RamImage *a = getImage("", nullptr, &def, nullptr, &err);
    RamImage *b = getImage("mine", nullptr, &def, nullptr, &err);
    RamImage *c = getImage(nullptr, nullptr, &def, nullptr, &err);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(std::string(a->tag), "rimg" + std::to_string(serial));
    EXPECT_EQ(std::string(b->tag), "mine");
    EXPECT_EQ(std::string(c->tag), "rimg" + std::to_string(serial + 2));  // a given tag advances it too
    EXPECT_EQ(imageStore().head, c);  // newest first
    EXPECT_EQ(c->next, b);
    EXPECT_EQ(findByTag("mine"), b);
    for (RamImage *img : {a, b, c}) EXPECT_EQ(releaseImage(img, nullptr), 0);
    EXPECT_EQ(findByTag("mine"), nullptr);
    EXPECT_EQ(findByTag(nullptr), nullptr);
    EXPECT_EQ(findByFile(nullptr), nullptr);
}

TEST(Registry, TwoOpensShareOneImage)
{
    TempDir dir;
    std::string path = erdasFile(dir, "a.lan");
    int err;
    // As `rimage open` does: look up, drop the lookup's reference, count the open.
    auto open = [&]() {
        RamImage *img = getImage(path.c_str(), path.c_str(), nullptr, nullptr, &err);
        if (img) {
            --img->refCount;
            ++img->openCount;
        }
        return img;
    };
    RamImage *first = open();
    ASSERT_NE(first, nullptr) << err;
    RamImage *second = open();
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->openCount, 2);
    EXPECT_EQ(first->refCount, 0);
    --first->openCount;  // the first close
    releaseImage(first, nullptr);
    EXPECT_EQ(findByFile(path.c_str()), first);
    --first->openCount;
    releaseImage(first, nullptr);
    EXPECT_EQ(findByFile(path.c_str()), nullptr);
}

TEST(Registry, HoldersAndLocking)
{
    TempDir dir;
    std::string path = erdasFile(dir, "b.lan");
    int err;
    RamImage *img = getImage("held", path.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(getImage("held", path.c_str(), nullptr, nullptr, &err), img);
    EXPECT_EQ(img->refCount, 2);
    EXPECT_EQ(releaseImage(img, nullptr), 1);
    EXPECT_EQ(setImageFlags(img, 1), 0);
    EXPECT_EQ(releaseImage(img, nullptr), 0);
    EXPECT_EQ(findByTag("held"), img);  // locked: survives without holders
    // A locked image is not redefined.
    ImageDef def = memDef();
    EXPECT_EQ(getImage("held", nullptr, &def, nullptr, &err), nullptr);
    EXPECT_EQ(err, IMGERR_SYSTEM);
    EXPECT_STREQ(errorText(err), "Error in modifying a system RAMIMG");
    EXPECT_EQ(setImageFlags(img, 0), 1);
    EXPECT_EQ(releaseImage(img, nullptr), 0);
    EXPECT_EQ(findByTag("held"), nullptr);
}

TEST(Registry, ImagesWithFilesAreNotRedefined)
{
    TempDir dir;
    std::string path = erdasFile(dir, "c.lan");
    int err;
    RamImage *img = getImage("filed", path.c_str(), nullptr, nullptr, &err);
    ImageDef def = memDef();
    EXPECT_EQ(getImage("filed", nullptr, &def, nullptr, &err), nullptr);
    EXPECT_EQ(err, IMGERR_SYSTEM);
    EXPECT_EQ(img->def.rows, 6);
    releaseImage(img, nullptr);
}

TEST(Registry, ClientsKeepImagesAliveAndAreNotified)
{
    ImageDef def = memDef();
    int err;
    int one = 1, ten = 10;
    RimageClient a{onConfig, onData, 1, &one, nullptr};
    RimageClient b{onConfig, nullptr, 2, &ten, nullptr};
    RamImage *img = getImage("shown", nullptr, &def, &a, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->refCount, 0);  // held through the client list
    EXPECT_EQ(getImage("shown", nullptr, nullptr, &b, &err), img);
    EXPECT_EQ(getImage("shown", nullptr, nullptr, &b, &err), img);  // already bound: counted once
    EXPECT_EQ(img->refCount, 1);
    EXPECT_EQ(img->clients, &b);
    calls[0] = calls[1] = 0;
    notifyClients(img, 2, NOTIFY_CONFIG | NOTIFY_DATA);
    EXPECT_EQ(calls[0], 1);
    EXPECT_EQ(calls[1], 1);
    notifyClients(img, 0, NOTIFY_CONFIG);
    EXPECT_EQ(calls[0], 12);
    EXPECT_EQ(calls[1], 1);

    // Binding a client to another image moves it.
    RamImage *other = getImage("other", nullptr, &def, &a, &err);
    EXPECT_EQ(img->clients, &b);
    EXPECT_EQ(b.next, nullptr);
    EXPECT_EQ(other->clients, &a);

    EXPECT_EQ(releaseImage(img, nullptr), 0);
    EXPECT_EQ(findByTag("shown"), img);  // b still bound
    EXPECT_EQ(releaseImage(img, &b), 0);
    EXPECT_EQ(findByTag("shown"), nullptr);
    releaseImage(other, &a);
    EXPECT_EQ(findByTag("other"), nullptr);
}

TEST(Registry, RedefiningKeepsIdentity)
{
    ImageDef def = memDef(4, 5);
    int err;
    RamImage *img = getImage("redef", nullptr, &def, nullptr, &err);
    img->openCount = 1;
    ImageDef bigger = memDef(40, 50, 3, PIX_FLOAT);
    EXPECT_EQ(getImage("redef", nullptr, &bigger, nullptr, &err), img);
    EXPECT_EQ(img->def.rows, 40);
    EXPECT_EQ(img->lineBytes, 200);
    EXPECT_EQ(img->openCount, 1);
    EXPECT_EQ(img->refCount, 2);
    EXPECT_STREQ(img->tag, "redef");
    EXPECT_NE(getLine(img, 39, 2, 1), nullptr);
    img->openCount = 0;
    releaseImage(img, nullptr);
    releaseImage(img, nullptr);
    EXPECT_EQ(findByTag("redef"), nullptr);
}

TEST(Registry, RefusedDefinitionsAndFiles)
{
    ConsoleCapture cap;
    TempDir dir;
    int err;
    struct Bad {
        ImageDef def;
        int code;
    };
    std::vector<Bad> bad;
    ImageDef d = memDef();
    d.rows = 0;
    bad.push_back({d, IMGERR_UNHANDLED});
    d = memDef();
    d.columns = -5;
    bad.push_back({d, IMGERR_UNHANDLED});
    d = memDef();
    d.nbands = 0;
    bad.push_back({d, IMGERR_UNHANDLED});
    d = memDef();
    d.pixel = 12;
    bad.push_back({d, IMGERR_UNKNOWN});
    d = memDef();
    d.imgid = 40;
    bad.push_back({d, IMGERR_UNKNOWN});
    d = memDef(2147483647, 2147483647, 2147483647, PIX_FLOAT);
    bad.push_back({d, IMGERR_UNHANDLED});
    d = memDef(1, 1 << 30, 1, PIX_FLOAT);
    bad.push_back({d, IMGERR_UNHANDLED});
    d = memDef(1 << 20, 1 << 20, 4, PIX_FLOAT);  // fits the numbers, not one memory block
    bad.push_back({d, IMGERR_MEMORY});
    for (Bad &k : bad) {
        EXPECT_EQ(createImage(&k.def, nullptr, &err), nullptr);
        EXPECT_EQ(err, k.code) << k.def.rows << " " << k.def.columns;
    }
    EXPECT_STREQ(errorText(IMGERR_UNHANDLED), "Unable to handle the image");
    EXPECT_STREQ(errorText(7), "");

    // Files: missing, unknown, and headers no image could have.
    EXPECT_EQ(openImageFile(dir.file("none").c_str(), nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(err, IMGERR_OPEN);
    writeBytes(dir.file("text"), Bytes(2000, 'a'));
    EXPECT_EQ(openImageFile(dir.file("text").c_str(), nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(err, IMGERR_UNKNOWN);
    struct BadHeader {
        int nbands, columns, rows;
    } headers[] = {{0, 10, 10}, {1, -10, 10}, {1, 10, -3}, {1, 0x7FFFFFFF, 0x7FFFFFFF}, {3, 1 << 28, 1 << 20}};
    for (const BadHeader &h : headers) {
        Bytes f = erdasHeader("HEAD74", 4, h.nbands, h.columns, h.rows);
        f.resize(1000);
        writeBytes(dir.file("bad.lan"), f);
        EXPECT_EQ(openImageFile(dir.file("bad.lan").c_str(), nullptr, nullptr, &err), nullptr) << h.columns;
        EXPECT_EQ(err, IMGERR_UNHANDLED);
    }
    Bytes elas(1024, 0);
    putLE(elas, 0, 1 << 30, 4);  // data beyond the file
    putLE(elas, 4, 10, 4);
    putLE(elas, 12, 9, 4);
    putLE(elas, 20, 9, 4);
    putLE(elas, 24, 1, 4);
    putLE(elas, 28, 4321, 4);
    writeBytes(dir.file("e.elas"), elas);
    EXPECT_EQ(openImageFile(dir.file("e.elas").c_str(), nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(err, IMGERR_UNHANDLED);
}

TEST(Registry, ModuleOutputs)
{
    TempDir dir;
    int err;
    ImageDef def = defaultImageDef();
    std::string path = dir.file("out.lan");
    strcpy(def.file, path.c_str());
    def.rows = 8;
    def.columns = 9;
    def.nbands = 2;
    def.pixel = PIX_USHORT;
    RamImage *img = openWithDef(&def, nullptr, 0, &err);
    ASSERT_NE(img, nullptr) << err;
    EXPECT_EQ(img->def.imgid, IMG_E74);  // read back from the header written
    EXPECT_EQ(img->def.pixel, PIX_USHORT);
    EXPECT_EQ(img->refCount, 1);
    float v = 65000;
    putFloatLine(img, 7, 8, 1, 1, &v);
    releaseImage(img, nullptr);
    Bytes f = readBytes(path);
    ASSERT_EQ(f.size(), 128u + 8 * 2 * 18);
    EXPECT_EQ(f[128 + (7 * 2 + 1) * 18 + 16], 65000 & 0xFF);

    EXPECT_EQ(openWithDef(&def, nullptr, 0, &err), nullptr);
    EXPECT_EQ(err, IMGERR_EXISTS);
    strcpy(def.file, "/nonexistent-dir/out.lan");
    EXPECT_EQ(openWithDef(&def, nullptr, 1, &err), nullptr);
    EXPECT_EQ(err, IMGERR_CREATE);

    // Without header (offset 0) the definition is used as it is.
    ImageDef raw = defaultImageDef();
    strcpy(raw.file, dir.file("dump.bsq").c_str());
    raw.imgid = IMG_BSQ;
    raw.offset = 0;
    raw.rows = 3;
    raw.columns = 4;
    img = openWithDef(&raw, nullptr, 0, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->def.offset, 0);
    EXPECT_EQ(img->def.imgid, IMG_BSQ);
    releaseImage(img, nullptr);
    EXPECT_EQ(readBytes(dir.file("dump.bsq")).size(), 12u);
}

TEST(BandStatistics, ComputedFromLines)
{
    ImageDef def = memDef(3, 4, 2, PIX_SHORT);
    int err;
    RamImage *img = createImage(&def, nullptr, &err);
    float band0[] = {-5, -3, -1, -7}, band1[] = {1, 2, 3, 4};
    for (int r = 0; r < 3; ++r) {
        putFloatLine(img, r, 0, 4, 0, band0);
        putFloatLine(img, r, 0, 4, 1, band1);
    }
    ASSERT_EQ(computeBandStats(img, STATS_REUSE, 1, 1), 0);
    const BandStats &s = img->bandStats[0];
    EXPECT_EQ(s.count, 12);
    EXPECT_EQ(s.min, -7);
    EXPECT_EQ(s.max, -1);  // a band of negative values has a negative maximum
    EXPECT_DOUBLE_EQ(s.mean, -4);
    EXPECT_DOUBLE_EQ(s.stdDev, std::sqrt(5.0));
    EXPECT_EQ(s.nbins, 0);
    EXPECT_EQ(img->bandStats[1].max, 4);
    // Reused until asked to recompute; column and row steps thin the sample.
    float again[] = {100, 100, 100, 100};
    putFloatLine(img, 0, 0, 4, 1, again);
    computeBandStats(img, STATS_REUSE, 1, 1);
    EXPECT_EQ(img->bandStats[1].max, 4);
    computeBandStats(img, STATS_RECOMPUTE, 2, 2);
    EXPECT_EQ(img->bandStats[1].count, 4);
    EXPECT_EQ(img->bandStats[1].max, 100);
    destroyImage(img);

    ImageDef bits = memDef(2, 10, 1, PIX_4BITS);
    img = createImage(&bits, nullptr, &err);
    float v[10] = {0, 1, 2, 3, 15, 15, 15, 4, 4, 4};
    putFloatLine(img, 1, 0, 10, 0, v);
    computeBandStats(img, STATS_RECOMPUTE, 1, 1);
    EXPECT_EQ(img->bandStats[0].nbins, 16);
    EXPECT_EQ(img->bandStats[0].bins[15], 3u);
    EXPECT_EQ(img->bandStats[0].bins[0], 11u);
    EXPECT_EQ(img->bandStats[0].max, 15);
    destroyImage(img);
}
