// Kernels of calc, gdem, trans and rotate that the module tests cannot reach
// exactly: guards and parameter rules, the slope constants, component lists
// and the segment arithmetic of the quarter turns.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/calc.h"
#include "analysis/gdem.h"
#include "analysis/rotate.h"
#include "analysis/trans.h"

using namespace krel;

TEST(Calc, GuardDefaultsAndDevWeights)
{
    CalcRequest r;
    r.function = "dev";
    r.inBands = 2;
    r.outBandCount = 2;
    r.rows = 10;
    r.columns = 20;
    CalcSetup s;
    ASSERT_TRUE(setupCalc(r, &s));
    // p0 doubled, centre at the middle of the image.
    EXPECT_FLOAT_EQ(s.par[0], 4.0f);
    EXPECT_FLOAT_EQ(s.par[6], 10.0f);
    EXPECT_FLOAT_EQ(s.par[7], 5.0f);
    EXPECT_EQ(s.outBands, (std::vector<int>{0, 1}));
    // At the centre rho = 1: the bands pass unchanged.
    float a[20], b[20], o0[20], o1[20];
    for (int j = 0; j < 20; ++j) a[j] = 100.0f, b[j] = 50.0f;
    const float *in[] = {a, b};
    float *out[] = {o0, o1, nullptr};
    calcRow(s, 5, 20, in, out);
    EXPECT_FLOAT_EQ(o0[10], 100.0f);
    EXPECT_GT(o0[0], 100.0f);  // brightened towards the edge

    r.function = "ratio";
    r.par = "2";
    ASSERT_TRUE(setupCalc(r, &s));
    float z[20] = {};
    const float *pair[] = {a, z};
    calcRow(s, 0, 20, pair, out);
    EXPECT_FLOAT_EQ(o0[0], 2e32f);  // 100 / 1e-30 * 2
    r.par = nullptr;
    r.function = "dratio";
    r.bands = "1,2,1,2";
    r.par = "3";  // none or both
    EXPECT_FALSE(setupCalc(r, &s));
}

TEST(Gdem, SlopeOfOneAndModels)
{
    ShadeParams p;
    p.columns = 3;
    p.rows = 2;
    p.dx = 2;
    p.dy = 2;
    p.va = p.vva = static_cast<float>(M_PI / 2);
    p.model = SHADE_TANG;
    // z rises by dx per column: a slope of 1.
    const float row[3] = {0, 2, 4};
    float shade[3];
    ShadeKernel(p).shadeRow(0, row, row, shade);
    EXPECT_FLOAT_EQ(shade[1], 255.0f);
    EXPECT_FLOAT_EQ(shade[0], shade[1]);
    int model;
    float angle;
    EXPECT_TRUE(shadeModel("HLE30", &model, &angle));
    EXPECT_EQ(model, SHADE_HLE);
    EXPECT_FLOAT_EQ(angle, 30.0f);
    EXPECT_FALSE(shadeModel("lambert", &model, &angle));
}

TEST(Trans, ComponentLists)
{
    std::vector<int> c;
    ASSERT_TRUE(parseComponents("2-3;1", 4, &c));
    EXPECT_EQ(c, (std::vector<int>{1, 2, 0}));
    for (const char *bad : {"", "0", "3-2", "5", "1-5", "2x", "-"}) EXPECT_FALSE(parseComponents(bad, 4, &c)) << bad;
}

TEST(Rotate, SegmentsHoldAtLeastOneColumn)
{
    EXPECT_EQ(rotateSegmentColumns(4096, 6, 1), 170);
    EXPECT_EQ(rotateSegmentColumns(8192, 1, 4), 128);
    EXPECT_EQ(rotateSegmentColumns(1100000, 1, 4), 1);
    const uint8_t src[3] = {1, 2, 3};
    uint8_t dst[6] = {};
    scatterSegmentRow(src, 3, 1, 0, 2, true, dst);  // row 0 of 2 goes to the last position
    EXPECT_EQ(dst[1], 1);
    EXPECT_EQ(dst[3], 2);
    EXPECT_EQ(dst[5], 3);
    EXPECT_EQ(rotateDirection("XYFLIP"), ROTATE_XYFLIP);
    EXPECT_EQ(rotateDirection("left"), -1);
}
