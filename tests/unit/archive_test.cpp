#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include <zlib.h>

#include "display/display_state.h"
#include "script/archive.h"
#include "core/prng.h"

using namespace krel;

namespace {

TEST(ScrambleTable, IsAPermutationAndModesUndoEachOther)
{
    std::set<int> seen(archive::kScrambleTable, archive::kScrambleTable + 256);
    EXPECT_EQ(seen.size(), 256u);
    unsigned char buf[256];
    for (int i = 0; i < 256; ++i) buf[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(archive::substitute(buf, 256, 0), 1);
    EXPECT_EQ(buf[7], archive::kScrambleTable[7]);
    EXPECT_EQ(archive::substitute(buf, 256, 1), 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(buf[i], i);
    EXPECT_EQ(archive::substitute(buf, 256, 5), 5);
    EXPECT_EQ(buf[200], 200);
}

TEST(ArchiveFormat, HeaderLayoutIsByteExact)
{
    std::vector<unsigned char> file = archive::build("puts hi");
    ASSERT_GT(file.size(), archive::kHeaderSize);
    EXPECT_EQ(memcmp(file.data(), "SCRBCOMP", 8), 0);
    EXPECT_EQ(file[8], 1) << "writers store the inverse mode";
    long long z = static_cast<long long>(file.size() - archive::kHeaderSize);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&file[9])), std::to_string(z));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&file[21])), "8") << "length counts the NUL";

    // The body is a zlib stream once the substitution is undone.
    std::vector<unsigned char> body(file.begin() + archive::kHeaderSize, file.end());
    archive::substitute(body.data(), body.size(), 1);
    char text[16];
    uLongf n = sizeof text;
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef *>(text), &n, body.data(), body.size()), Z_OK);
    EXPECT_EQ(n, 8u);
    EXPECT_STREQ(text, "puts hi");
}

TEST(ArchiveFormat, EmptyTextStoresLengthOne)
{
    std::vector<unsigned char> file = archive::build("");
    archive::Header h = archive::parseHeader(file.data());
    EXPECT_EQ(h.textLength, 1);
    std::vector<unsigned char> body(file.begin() + archive::kHeaderSize, file.end());
    std::string text = "x";
    int z = 0;
    EXPECT_EQ(archive::decode(h, body, &text, &z), archive::DecodeStatus::Ok);
    EXPECT_EQ(text, "");
}

TEST(ArchiveFormat, LengthFieldsReadLikeDecimalNumbers)
{
    const unsigned char a[12] = {' ', ' ', '4', '2', 'x', '9', 0};
    EXPECT_EQ(archive::readLength(a, 12), 42);
    const unsigned char b[12] = {'-', '7', 0};
    EXPECT_EQ(archive::readLength(b, 12), -7);
    unsigned char full[12];
    memset(full, '9', 12);
    EXPECT_EQ(archive::readLength(full, 12), 999999999999LL) << "never reads past the field";
}

archive::DecodeStatus decodeWith(const std::string &text, long long claimedLength, int mode, int *z)
{
    std::vector<unsigned char> file = archive::build(text);
    archive::Header h = archive::parseHeader(file.data());
    h.textLength = claimedLength;
    std::vector<unsigned char> body(file.begin() + archive::kHeaderSize, file.end());
    if (mode != 1) {
        archive::substitute(body.data(), body.size(), 1);  // back to plain zlib data
        h.mode = mode;
    }
    std::string out;
    return archive::decode(h, body, &out, z);
}

TEST(ArchiveFormat, HostileHeadersFailCleanly)
{
    int z = 0;
    // L too small: the body inflates to more than L.
    EXPECT_EQ(decodeWith("set a 1; set b 2", 4, 1, &z), archive::DecodeStatus::Corrupt);
    EXPECT_EQ(z, Z_BUF_ERROR);
    // A huge L is not allocated for: the true text still loads.
    EXPECT_EQ(decodeWith("set a 1", 900000000000LL, 1, &z), archive::DecodeStatus::Ok);
    // A mode byte other than 0/1: the body is taken as it stands.
    EXPECT_EQ(decodeWith("set a 1", 8, 7, &z), archive::DecodeStatus::Ok);
    // Garbage body.
    archive::Header h;
    h.textLength = 100;
    std::vector<unsigned char> junk(50, 0xAB);
    std::string out;
    EXPECT_EQ(archive::decode(h, junk, &out, &z), archive::DecodeStatus::Corrupt);
    // Truncated body.
    std::vector<unsigned char> file = archive::build(std::string(5000, 'k') + "tail");
    archive::Header t = archive::parseHeader(file.data());
    std::vector<unsigned char> half(file.begin() + archive::kHeaderSize, file.begin() + archive::kHeaderSize + 10);
    EXPECT_EQ(archive::decode(t, half, &out, &z), archive::DecodeStatus::Corrupt);
    // A text without a NUL within L.
    std::string noNul = "abcdef";
    uLongf room = compressBound(6);
    std::vector<unsigned char> packed(room);
    compress(packed.data(), &room, reinterpret_cast<const Bytef *>(noNul.data()), 6);
    packed.resize(room);
    archive::Header n;
    n.mode = 9;
    n.textLength = 6;
    EXPECT_EQ(archive::decode(n, packed, &out, &z), archive::DecodeStatus::Corrupt);
}

TEST(SharedGenerator, IsTheDocumentedCongruentialGenerator)
{
    Prng p;
    EXPECT_EQ(p.next(), 346);  // state 1 -> 22695478, whose bits 16..30 are 346
    p.seed(1);
    int a = p.next(), b = p.next();
    p.seed(1);
    EXPECT_EQ(p.next(), a);
    EXPECT_EQ(p.next(), b);
    for (int i = 0; i < 1000; ++i) {
        int v = p.next();
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
    }
}

TEST(PaletteLevels, RoundHalvesAwayAndCap)
{
    int six[6];
    for (int j = 0; j < 6; ++j) six[j] = paletteLevel(j, 6);
    EXPECT_EQ(std::vector<int>(six, six + 6), (std::vector<int>{0, 51, 102, 154, 205, 255}));
    EXPECT_EQ(paletteLevel(0, 1), 0);
    std::vector<PaletteColor> t;
    ASSERT_TRUE(buildPaletteTable("default", 0, &t));
    ASSERT_EQ(t.size(), 256u);
    EXPECT_EQ(t[215].r, 255);
    EXPECT_EQ(t[216].r, 0);
    EXPECT_EQ(t[255].g, 255);
    EXPECT_EQ(t[236].b, 131);  // 20 of the 39 grey steps: 130.8 rounded
    ASSERT_TRUE(buildPaletteTable("PSEUDO", 0, &t));
    EXPECT_EQ(t.size(), 256u);
    EXPECT_EQ(t[1].b, 85);  // blue fastest, 4 levels
    EXPECT_FALSE(buildPaletteTable("BW", 300, &t));
    EXPECT_FALSE(buildPaletteTable("BW", 0, &t));
    ASSERT_TRUE(buildPaletteTable("BW", 2, &t));
    EXPECT_EQ(t[1].r, 255);
}

}  // namespace
