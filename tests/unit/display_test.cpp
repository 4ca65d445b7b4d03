// The display's pure computations: tone curves, output ranges, enhancement
// tables, sampling maps and lines, the line filter and colour cell levels.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "display/colorcells.h"
#include "display/enhance.h"
#include "display/filter.h"
#include "display/gimg.h"
#include "display/sampling.h"
#include "image/imagedef.h"

using namespace krel;

TEST(DisplayTables, OutputRangeEnds)
{
    int lo, hi;
    outputRange(1.0, 0.5, &lo, &hi);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 255);
    outputRange(0.0, 0.5, &lo, &hi);
    EXPECT_EQ(lo, 128);
    EXPECT_EQ(hi, 127);
    outputRange(-1.0, 0.5, &lo, &hi);
    EXPECT_EQ(lo, 255);
    EXPECT_EQ(hi, 0);
    outputRange(1.0, 1.0, &lo, &hi);  // both move by 256 before clamping
    EXPECT_EQ(lo, 255);
    EXPECT_EQ(hi, 255);
    outputRange(5.0, NAN, &lo, &hi);
    EXPECT_GE(lo, 0);
    EXPECT_LE(hi, 255);
}

TEST(DisplayTables, ToneCurves)
{
    EXPECT_DOUBLE_EQ(toneCurve(0.0, 2.0, 0), 0.0);
    EXPECT_NEAR(toneCurve(0.5, 2.0, 0), 0.25, 1e-9);
    EXPECT_NEAR(toneCurve(0.25, 2.0, 1), 0.125, 1e-9);
    EXPECT_NEAR(toneCurve(0.75, 2.0, 1), 0.875, 1e-9);
    EXPECT_DOUBLE_EQ(toneCurve(0.3, 2.0, 5), 0.3);
}

TEST(DisplayTables, NoneIsIdentityAndLinearUsesTheRange)
{
    uint8_t t[256];
    EnhanceParams p;
    buildEnhanceTable(p, nullptr, t);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(t[i], i);
    ChannelStats st;
    st.present = true;
    st.bins.assign(256, 0.0);
    for (int v = 100; v <= 150; ++v) st.bins[v] = 10;
    st.mean = 125;
    st.stdDev = 10;
    st.min = 100;
    st.max = 150;
    p.func = FUNC_LINEAR;
    p.range = RANGE_MEAN;
    p.k = 1.0;
    buildEnhanceTable(p, &st, t);
    // [115, 135]: 115 and below give 0, 135 and above 255.
    EXPECT_EQ(t[115], 0);
    EXPECT_EQ(t[135], 255);
    EXPECT_EQ(t[125], 127);  // the middle of the range
}

TEST(DisplayTables, HistEqAllInOneBinDoesNotDivideByZero)
{
    uint8_t t[256];
    EnhanceParams p;
    p.func = FUNC_HISTEQ;
    ChannelStats st;
    st.present = true;
    st.bins.assign(256, 0.0);
    st.bins[7] = 50;
    st.bins[9] = 1;
    st.mean = 7.04;
    st.stdDev = 0.27;
    st.min = 7;
    st.max = 9;
    buildEnhanceTable(p, &st, t);
    for (int i = 1; i < 256; ++i) EXPECT_GE(t[i], t[i - 1]);
}

TEST(DisplayTables, SixteenBitRangeComesFromTheStatistics)
{
    uint8_t t[256];
    EnhanceParams p;
    p.func = FUNC_LINEAR;
    p.range = RANGE_MEAN;
    p.k = 2.0;
    ChannelStats st;
    st.present = true;
    st.mean = 1000;
    st.stdDev = 100;
    st.min = 0;
    st.max = 5000;
    buildEnhanceTable(p, &st, t);
    EXPECT_DOUBLE_EQ(p.low, 800);
    EXPECT_DOUBLE_EQ(p.high, 1200);
}

TEST(DisplaySampling, MapsAndFlips)
{
    SampleMap m;
    EXPECT_TRUE(m.update(5, 3, 0, 2.0));
    EXPECT_EQ(m.index, (std::vector<int32_t>{3, 3, 4, 4, 5}));
    EXPECT_FALSE(m.update(5, 3, 0, 2.0));  // unchanged: not rebuilt
    EXPECT_TRUE(m.update(5, 3, 1, 2.0));
    EXPECT_EQ(m.index, (std::vector<int32_t>{5, 4, 4, 3, 3}));
    int a, b;
    validRange(m, 5, &a, &b);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 5);
}

TEST(DisplaySampling, ScaledTypesClampAndNaN)
{
    RangeScale s(10, 10);
    EXPECT_EQ(s(9.99), 0);
    EXPECT_EQ(s(10.0), 255);
    EXPECT_EQ(s(1e30), 255);
    RangeScale r(0, 100);
    EXPECT_EQ(r(NAN), 0);
    EXPECT_EQ(r(50), 127);  // 127.5 exactly by hand, a hair below it with the scale 255 / 100 in doubles
}

TEST(DisplaySampling, FourBitNibbles)
{
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i);
    const uint8_t line[2] = {0x21, 0x43};
    const int32_t map[4] = {0, 1, 2, 3};
    uint8_t out[4];
    LineSampler s;
    s.pixel = PIX_4BITS;
    s.table = table;
    sampleLine(s, line, map, 4, 0, 4, out);
    EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{1, 2, 3, 4}));
    s.msbf = 1;
    sampleLine(s, line, map, 4, 0, 4, out);
    EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{2, 1, 4, 3}));
    sampleLine(s, line, map, 4, 1, 3, out);  // outside the valid part: entry 0
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[3], 0);
}

TEST(DisplayFilter, EmbossAndSharpen)
{
    uint8_t cur[3] = {10, 20, 30};
    uint8_t up[3] = {10, 20, 30};
    LineFilter f{1.0, -1, 0};
    filterLine(f, cur, up, 3);
    // column 1: 3*20 - 10 - 10 - 20 = 20 -> 20 + 192
    EXPECT_EQ(cur[1], 212);
    EXPECT_EQ(up[1], 20);  // the unfiltered value moves up
    uint8_t c2[2] = {100, 100};
    uint8_t u2[2] = {0, 0};
    LineFilter g{0.5, 0, 3};
    filterLine(g, c2, u2, 2);
    EXPECT_EQ(c2[0], 250);  // 100 + trunc(100 * 1.5 + 0.5)
    uint8_t c3[1] = {200};
    uint8_t u3[1] = {0};
    filterLine(g, c3, u3, 1);
    EXPECT_EQ(c3[0], 255);  // clamped
}

TEST(DisplayCells, LevelsAndRefusal)
{
    PaletteSpec six{{0, 6, 6, 6}}, seven{{0, 7, 7, 7}};
    EXPECT_TRUE(cellSpecValid(six));
    EXPECT_FALSE(cellSpecValid(seven));
    ColorCells cc;
    computeCellLevels(cc, six);
    EXPECT_EQ(cc.count, 216);
    EXPECT_EQ(cc.contrib[0][255], 180);  // level 5 x 36
    EXPECT_EQ(cc.contrib[1][255], 30);   // level 5 x 6
    EXPECT_EQ(cc.contrib[2][255], 5);
    EXPECT_EQ(cc.qerr[2][60], 9);  // 60 shown as level 51
    computeCellLevels(cc, PaletteSpec{{256, 0, 0, 0}});
    EXPECT_EQ(cc.contrib[0][77], 77);
    EXPECT_EQ(cc.qerr[0][77], 0);
}
