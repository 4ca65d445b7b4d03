// GIF reading: files built here with a real LZW coder (frames, delays,
// interlacing, transparency, broken data) and GIFs written by ImageMagick,
// whose composed frames ImageMagick reports as raw RGBA for comparison.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "image/formats/formats.h"
#include "image/registry.h"
#include "image_support.h"
#include "support.h"

using namespace krel;
using namespace krel::test;

namespace {

// LZW codes packed least significant bit first, cut into sub-blocks.
Bytes lzwData(const Bytes &pixels, int minCode)
{
    Bytes codes;
    uint32_t acc = 0;
    int have = 0;
    const int clear = 1 << minCode;
    int size = minCode + 1, next = clear + 2;
    auto emit = [&](int code) {
        acc |= static_cast<uint32_t>(code) << have;
        have += size;
        while (have >= 8) {
            codes.push_back(static_cast<uint8_t>(acc));
            acc >>= 8;
            have -= 8;
        }
    };
    std::map<std::pair<int, int>, int> dict;
    emit(clear);
    int cur = pixels.empty() ? -1 : pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        auto it = dict.find({cur, pixels[i]});
        if (it != dict.end()) {
            cur = it->second;
            continue;
        }
        emit(cur);
        dict[{cur, pixels[i]}] = next++;
        if (next > (1 << size) && size < 12) ++size;
        if (next >= 4094) {
            emit(clear);
            dict.clear();
            size = minCode + 1;
            next = clear + 2;
        }
        cur = pixels[i];
    }
    if (cur >= 0) emit(cur);
    emit(clear + 1);
    if (have > 0) codes.push_back(static_cast<uint8_t>(acc));
    Bytes out{static_cast<uint8_t>(minCode)};
    for (size_t at = 0; at < codes.size(); at += 255) {
        size_t n = std::min<size_t>(255, codes.size() - at);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), codes.begin() + static_cast<long>(at), codes.begin() + static_cast<long>(at + n));
    }
    out.push_back(0);
    return out;
}

struct GifFrame {
    int left = 0, top = 0, width = 0, height = 0;
    Bytes pixels;
    int delay = -1;  // -1: no graphic control
    int disposal = 0;
    int transparent = -1;
    bool interlaced = false;
};

Bytes gifFile(int width, int height, int tableBits, const std::vector<GifFrame> &frames, bool trailer = true,
              const char *magic = "GIF89a")
{
    Bytes b;
    putText(b, 0, magic);
    putLE(b, 6, static_cast<uint32_t>(width), 2);
    putLE(b, 8, static_cast<uint32_t>(height), 2);
    b.push_back(static_cast<uint8_t>(0x80 | (tableBits - 1)));
    b.push_back(0);
    b.push_back(0);
    for (int i = 0; i < (1 << tableBits); ++i) {
        b.push_back(static_cast<uint8_t>(i * 3));
        b.push_back(static_cast<uint8_t>(255 - i));
        b.push_back(static_cast<uint8_t>(i ^ 0x55));
    }
    for (const GifFrame &f : frames) {
        if (f.delay >= 0) {
            Bytes g = {'!', 0xF9, 4, static_cast<uint8_t>((f.disposal << 2) | (f.transparent >= 0 ? 1 : 0)),
                       static_cast<uint8_t>(f.delay), static_cast<uint8_t>(f.delay >> 8),
                       static_cast<uint8_t>(f.transparent >= 0 ? f.transparent : 0), 0};
            b.insert(b.end(), g.begin(), g.end());
        }
        size_t at = b.size();
        b.push_back(',');
        putLE(b, at + 1, static_cast<uint32_t>(f.left), 2);
        putLE(b, at + 3, static_cast<uint32_t>(f.top), 2);
        putLE(b, at + 5, static_cast<uint32_t>(f.width), 2);
        putLE(b, at + 7, static_cast<uint32_t>(f.height), 2);
        b.push_back(f.interlaced ? 0x40 : 0);
        Bytes data = lzwData(f.pixels, std::max(2, tableBits));
        b.insert(b.end(), data.begin(), data.end());
    }
    if (trailer) b.push_back(';');
    return b;
}

RamImage *openFile(const std::string &path, int *err)
{
    return getImage("", path.c_str(), nullptr, nullptr, err);
}

Bytes rowOf(RamImage *img, int r)
{
    const uint8_t *l = getLine(img, r, 0, 1);
    return l ? Bytes(l, l + img->def.columns) : Bytes();
}

bool haveConvert() { return std::system("convert -version > /dev/null 2>&1") == 0; }
int run(const std::string &command) { return std::system((command + " > /dev/null 2>&1").c_str()); }

}  // namespace

TEST(Gif, HeaderAndSinglePlainFrame)
{
    TempDir dir;
    GifFrame f;
    f.width = 7, f.height = 5;
    for (int i = 0; i < 35; ++i) f.pixels.push_back(static_cast<uint8_t>((i * 5) % 16));
    writeBytes(dir.file("a.gif"), gifFile(7, 5, 4, {f}, true, "GIF87a"));
    int err;
    RamImage *img = openFile(dir.file("a.gif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.imgid, IMG_GIF87A);
    EXPECT_EQ(img->def.pixel, PIX_BYTE);
    EXPECT_EQ(img->def.nindices, 16);
    EXPECT_EQ(img->def.offset, 13 + 48);
    EXPECT_EQ(img->def.transparent, -1);
    EXPECT_EQ(img->def.palette[3][0], 9);
    EXPECT_EQ(img->def.palette[3][1], 252);
    for (int r = 0; r < 5; ++r) EXPECT_EQ(rowOf(img, r), Bytes(f.pixels.begin() + r * 7, f.pixels.begin() + r * 7 + 7));
    releaseImage(img, nullptr);
}

TEST(Gif, LongRunsAndTwelveBitCodes)
{
    // Runs make the coder use codes defined by the code itself; varied data
    // fills the table to 12 bits and forces clear codes.
    TempDir dir;
    GifFrame f;
    f.width = 300, f.height = 200;
    uint32_t s = 12345;
    for (int i = 0; i < 300 * 200; ++i) {
        s = s * 1103515245 + 12345;
        f.pixels.push_back(i < 20000 ? 7 : static_cast<uint8_t>((s >> 16) & 0xFF));
    }
    writeBytes(dir.file("b.gif"), gifFile(300, 200, 8, {f}));
    int err;
    RamImage *img = openFile(dir.file("b.gif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    for (int r = 0; r < 200; ++r)
        ASSERT_EQ(rowOf(img, r), Bytes(f.pixels.begin() + r * 300, f.pixels.begin() + r * 300 + 300)) << r;
    releaseImage(img, nullptr);
}

TEST(Gif, DelaysAndVolumesOfThreeFrames)
{
    TempDir dir;
    std::vector<GifFrame> frames(3);
    int delays[3] = {0, 5, 10};
    for (int k = 0; k < 3; ++k) {
        frames[k].width = 4, frames[k].height = 3;
        frames[k].pixels.assign(12, static_cast<uint8_t>(k + 1));
        frames[k].delay = delays[k];
    }
    writeBytes(dir.file("c.gif"), gifFile(4, 3, 2, frames));
    int err;
    RamImage *img = openFile(dir.file("c.gif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.imgid, IMG_GIF89A);
    EXPECT_EQ(rowOf(img, 0)[0], 1);
    EXPECT_EQ(img->frameDelay, 33);
    EXPECT_EQ(selectVolume(img, 0), 2);
    EXPECT_EQ(img->frameDelay, 50);
    EXPECT_EQ(rowOf(img, 2)[3], 2);
    EXPECT_EQ(selectVolume(img, 0), 3);
    EXPECT_EQ(img->frameDelay, 100);
    EXPECT_EQ(img->def.volumes, 3);
    EXPECT_EQ(img->numVolumes, 3);
    EXPECT_EQ(rowOf(img, 1)[1], 3);
    EXPECT_EQ(selectVolume(img, 0), -2);  // after the last frame
    EXPECT_EQ(selectVolume(img, 1), 1);   // backward: rewinds
    EXPECT_EQ(rowOf(img, 0)[0], 1);
    EXPECT_EQ(img->frameDelay, 33);
    EXPECT_EQ(selectVolume(img, -1), 3);  // the last frame
    EXPECT_EQ(rowOf(img, 0)[0], 3);
    EXPECT_EQ(selectVolume(img, 2), 2);
    EXPECT_EQ(rowOf(img, 0)[0], 2);
    releaseImage(img, nullptr);
}

TEST(Gif, InterlacedRowsInFourPasses)
{
    TempDir dir;
    GifFrame f;
    f.width = 3, f.height = 10, f.interlaced = true;
    // Stored order of the rows: 0, 8, 4, 2, 6, 1, 3, 5, 7, 9; each stored
    // row holds its own row number.
    const int order[10] = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};
    for (int k : order) f.pixels.insert(f.pixels.end(), 3, static_cast<uint8_t>(k));
    writeBytes(dir.file("i.gif"), gifFile(3, 10, 4, {f}));
    int err;
    RamImage *img = openFile(dir.file("i.gif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    for (int r = 0; r < 10; ++r) EXPECT_EQ(rowOf(img, r), Bytes(3, static_cast<uint8_t>(r))) << r;
    releaseImage(img, nullptr);
}

TEST(Gif, TransparencyShowsEarlierFramesAndDisposals)
{
    TempDir dir;
    std::vector<GifFrame> frames(4);
    frames[0].width = 4, frames[0].height = 4, frames[0].pixels.assign(16, 1), frames[0].delay = 1;
    frames[0].transparent = 9;
    // Frame 2: a 2x2 patch at (1,1) with one transparent pixel; disposal 2.
    frames[1].left = 1, frames[1].top = 1, frames[1].width = 2, frames[1].height = 2;
    frames[1].pixels = {2, 9, 2, 2}, frames[1].delay = 1, frames[1].transparent = 9, frames[1].disposal = 2;
    // Frame 3 (disposal 3) over the cleared patch, then frame 4 sees it undone.
    frames[2].left = 0, frames[2].top = 0, frames[2].width = 1, frames[2].height = 1;
    frames[2].pixels = {3}, frames[2].delay = 1, frames[2].transparent = 9, frames[2].disposal = 3;
    frames[3].left = 3, frames[3].top = 3, frames[3].width = 1, frames[3].height = 1;
    frames[3].pixels = {4}, frames[3].delay = 1, frames[3].transparent = 9;
    writeBytes(dir.file("t.gif"), gifFile(4, 4, 4, frames));
    int err;
    RamImage *img = openFile(dir.file("t.gif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.transparent, 9);
    EXPECT_EQ(rowOf(img, 1), (Bytes{1, 1, 1, 1}));
    EXPECT_EQ(selectVolume(img, 2), 2);
    EXPECT_EQ(rowOf(img, 1), (Bytes{1, 2, 1, 1}));  // the transparent pixel shows frame 1
    EXPECT_EQ(rowOf(img, 2), (Bytes{1, 2, 2, 1}));
    EXPECT_EQ(selectVolume(img, 3), 3);
    EXPECT_EQ(rowOf(img, 0), (Bytes{3, 1, 1, 1}));
    EXPECT_EQ(rowOf(img, 1), (Bytes{1, 9, 9, 1}));  // frame 2's patch cleared to transparent
    EXPECT_EQ(selectVolume(img, 4), 4);
    EXPECT_EQ(rowOf(img, 0), (Bytes{1, 1, 1, 1}));  // frame 3 undone
    EXPECT_EQ(rowOf(img, 3), (Bytes{1, 1, 1, 4}));
    releaseImage(img, nullptr);
}

TEST(Gif, RewindingStartsFromTheScreenOfTheOpen)
{
    // Frame 1 covers the top-left corner only and names index 7 transparent;
    // frame 2 names 5. Going back to frame 1 must show the screen the open
    // showed, not one cleared to the transparent index of a later frame.
    TempDir dir;
    std::vector<GifFrame> frames(2);
    frames[0].width = 2, frames[0].height = 2, frames[0].pixels.assign(4, 1), frames[0].delay = 1;
    frames[0].transparent = 7;
    frames[1].left = 3, frames[1].top = 0, frames[1].width = 1, frames[1].height = 1;
    frames[1].pixels = {2}, frames[1].delay = 1, frames[1].transparent = 5;
    writeBytes(dir.file("r.gif"), gifFile(4, 4, 3, frames));
    int err;
    RamImage *img = openFile(dir.file("r.gif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.transparent, 7);
    const Bytes first0 = rowOf(img, 0), first3 = rowOf(img, 3);
    EXPECT_EQ(first0, (Bytes{1, 1, 7, 7}));
    EXPECT_EQ(first3, (Bytes{7, 7, 7, 7}));
    EXPECT_EQ(selectVolume(img, 2), 2);
    EXPECT_EQ(rowOf(img, 0), (Bytes{1, 1, 7, 2}));
    EXPECT_EQ(selectVolume(img, 1), 1);
    EXPECT_EQ(img->def.transparent, 7);
    EXPECT_EQ(rowOf(img, 0), first0);
    EXPECT_EQ(rowOf(img, 3), first3);
    releaseImage(img, nullptr);
}

TEST(Gif, HostileFilesAreReadSafely)
{
    TempDir dir;
    int err;
    {
        // A frame far outside the screen, and one larger than it.
        GifFrame a, b;
        a.left = 60000, a.top = 60000, a.width = 3, a.height = 3, a.pixels.assign(9, 5);
        b.left = 2, b.top = 1, b.width = 40, b.height = 2, b.pixels.assign(80, 6);
        a.delay = b.delay = 0;
        writeBytes(dir.file("o.gif"), gifFile(4, 3, 4, {a, b}));
        RamImage *img = openFile(dir.file("o.gif"), &err);
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(rowOf(img, 0), (Bytes{0, 0, 0, 0}));
        EXPECT_EQ(selectVolume(img, 0), 2);
        EXPECT_EQ(rowOf(img, 1), (Bytes{0, 0, 6, 6}));
        EXPECT_EQ(rowOf(img, 2), (Bytes{0, 0, 6, 6}));
        releaseImage(img, nullptr);
    }
    {
        // A code not yet defined: the frame stops there, without a crash.
        Bytes g = gifFile(4, 2, 2, {});
        g.pop_back();
        Bytes frame = {',', 0, 0, 0, 0, 4, 0, 2, 0, 0, 2, 2, 0x04 | (0x1F << 3), 0x0F, 0, ';'};
        g.insert(g.end(), frame.begin(), frame.end());
        writeBytes(dir.file("u.gif"), g);
        ConsoleCapture cap;
        RamImage *img = openFile(dir.file("u.gif"), &err);
        ASSERT_NE(img, nullptr);
        EXPECT_NE(getLine(img, 0, 0, 1), nullptr);
        EXPECT_NE(cap.err.find("not yet defined"), std::string::npos) << cap.err;
        releaseImage(img, nullptr);
    }
    {
        // Cut in the middle of the data: what was decoded stays, then the end.
        GifFrame f;
        f.width = 50, f.height = 50;
        for (int i = 0; i < 2500; ++i) f.pixels.push_back(static_cast<uint8_t>(i * 7 % 13));
        Bytes g = gifFile(50, 50, 4, {f});
        g.resize(g.size() / 2);
        writeBytes(dir.file("cut.gif"), g);
        ConsoleCapture cap;
        RamImage *img = openFile(dir.file("cut.gif"), &err);
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(rowOf(img, 0), Bytes(f.pixels.begin(), f.pixels.begin() + 50));
        EXPECT_EQ(selectVolume(img, 0), -2);
        releaseImage(img, nullptr);
    }
    {
        // A screen of 65535 x 65535 in a few bytes is refused, not allocated.
        Bytes g = gifFile(4, 4, 2, {});
        putLE(g, 6, 65535, 2);
        putLE(g, 8, 65535, 2);
        writeBytes(dir.file("big.gif"), g);
        ConsoleCapture cap;
        EXPECT_EQ(openFile(dir.file("big.gif"), &err), nullptr);
        EXPECT_EQ(err, IMGERR_UNHANDLED);
    }
    {
        // An unknown introducer and an unknown extension label.
        Bytes g = gifFile(2, 2, 2, {});
        g.back() = 'x';
        writeBytes(dir.file("x.gif"), g);
        ConsoleCapture cap;
        RamImage *img = openFile(dir.file("x.gif"), &err);
        ASSERT_NE(img, nullptr);
        EXPECT_NE(getLine(img, 0, 0, 1), nullptr);
        EXPECT_NE(cap.err.find("Unknown GIF Introducer: 0x78."), std::string::npos) << cap.err;
        releaseImage(img, nullptr);
    }
}

// A file without global colour table carries its colours in the frames: the
// first frame is decoded when the file opens, so the palette (and the frame
// counter) are right before any line has been read.
TEST(Gif, PaletteOfAFileWithOnlyLocalTablesIsKnownAtOpen)
{
    TempDir dir;
    GifFrame f;
    f.width = 6, f.height = 3;
    for (int i = 0; i < 18; ++i) f.pixels.push_back(static_cast<uint8_t>(i % 4));
    Bytes b = gifFile(6, 3, 2, {f});
    // Drop the global table (4 entries after the 13-byte header) and give
    // the frame a local one of other colours.
    b[10] = 0;
    b.erase(b.begin() + 13, b.begin() + 13 + 12);
    const size_t desc = 13;
    ASSERT_EQ(b[desc], ',');
    b[desc + 9] = 0x80 | 1;
    const Bytes local = {10, 20, 30, 40, 50, 60, 70, 80, 90, 200, 210, 220};
    b.insert(b.begin() + static_cast<long>(desc + 10), local.begin(), local.end());
    writeBytes(dir.file("local.gif"), b);
    int err;
    RamImage *img = openFile(dir.file("local.gif"), &err);
    ASSERT_NE(img, nullptr) << errorText(err);
    EXPECT_EQ(img->def.nindices, 4);
    EXPECT_EQ(img->def.palette[1][0], 40);
    EXPECT_EQ(img->def.palette[3][2], 220);
    EXPECT_EQ(img->curVolume, 1);
    EXPECT_EQ(rowOf(img, 2), Bytes(f.pixels.begin() + 12, f.pixels.end()));
    releaseImage(img, nullptr);
}

TEST(Gif, WritingIsRefused)
{
    TempDir dir;
    ImageDef d = defaultImageDef();
    snprintf(d.file, sizeof d.file, "%s", dir.file("w.gif").c_str());
    d.imgid = IMG_GIF89A;
    d.rows = d.columns = 4;
    ConsoleCapture cap;
    EXPECT_EQ(createImageFile(&d), -1);
    EXPECT_NE(cap.err.find("writeGIF has not been implemented!!!\n"), std::string::npos);
}

// GIFs written by ImageMagick open with the pixels ImageMagick composes.
TEST(Gif, ImageMagickFilesMatchItsComposedFrames)
{
    if (!haveConvert()) GTEST_SKIP() << "ImageMagick not installed";
    TempDir dir;
    struct Case {
        const char *name, *make;
        int frames;
    } cases[] = {
        {"plain.gif", "-size 37x23 gradient:red-blue", 1},
        {"big.gif", "-size 300x200 -seed 7 plasma: -colors 250", 1},
        {"inter.gif", "-size 41x29 gradient:green-yellow -interlace GIF", 1},
        {"trans.gif", "-size 30x20 xc:red -fill blue -draw 'rectangle 5,5 15,12' -transparent red", 1},
        {"anim.gif",
         "-dispose none -delay 0 -size 20x16 xc:red -dispose background -delay 5 -page +3+4 -size 10x8 xc:blue "
         "-dispose previous -delay 10 -page +8+2 -size 6x6 xc:green -dispose none -page +0+0 -size 4x4 xc:yellow "
         "+map -loop 0",
         4},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        std::string gif = dir.file(k.name);
        ASSERT_EQ(run(std::string("convert ") + k.make + " '" + gif + "'"), 0);
        ASSERT_EQ(run("convert '" + gif + "' -coalesce 'rgba:" + dir.file("f_%d.rgba") + "'"), 0);
        int err;
        RamImage *img = openFile(gif, &err);
        ASSERT_NE(img, nullptr) << errorText(err);
        const int w = img->def.columns, h = img->def.rows;
        for (int f = 0; f < k.frames; ++f) {
            if (f > 0) {
                ASSERT_EQ(selectVolume(img, 0), f + 1);
            }
            Bytes ref = readBytes(dir.file("f_" + std::to_string(f) + ".rgba"));
            ASSERT_EQ(ref.size(), static_cast<size_t>(w) * h * 4);
            for (int r = 0; r < h; ++r) {
                const uint8_t *line = getLine(img, r, 0, 1);
                ASSERT_NE(line, nullptr);
                for (int c = 0; c < w; ++c) {
                    const uint8_t *px = &ref[(static_cast<size_t>(r) * w + c) * 4];
                    if (px[3] == 0) {
                        // Cleared or transparent: the transparent index, or 0 in
                        // a file without one.
                        ASSERT_EQ(line[c], std::max(img->def.transparent, 0)) << f << " " << r << " " << c;
                        continue;
                    }
                    const uint8_t *pal = img->def.palette[line[c]];
                    ASSERT_EQ(pal[0], px[0]) << f << " " << r << " " << c;
                    ASSERT_EQ(pal[1], px[1]) << f << " " << r << " " << c;
                    ASSERT_EQ(pal[2], px[2]) << f << " " << r << " " << c;
                }
            }
        }
        if (k.frames == 4) {
            EXPECT_EQ(selectVolume(img, 0), -2);
            EXPECT_EQ(img->def.volumes, 4);
            EXPECT_EQ(selectVolume(img, 2), 2);
            EXPECT_EQ(img->frameDelay, 50);
        }
        releaseImage(img, nullptr);
    }
}
