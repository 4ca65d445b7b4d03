// Control-point fits, parameter files and the input windows of georef blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analysis/georesample.h"
#include "image/geopoly.h"
#include "image/goerechd.h"

using namespace krel;

namespace {

TEST(GeoFit, ExactSingularAndCheckpoints)
{
    // Three points fix an affine map exactly; a fourth, unselected, keeps
    // its residual and stays out of the RMS.
    std::vector<Gcp> g = {{1, 1, 500000, 4100000, 10, 20, 0, 0},
                          {1, 2, 500100, 4100000, 110, 20, 0, 0},
                          {1, 3, 500000, 4100100, 10, -80, 0, 0},
                          {0, 4, 500050, 4100050, 61, -30, 0, 0}};
    GeoFit fit = fitGcps(g, 1);
    ASSERT_EQ(fit.status, FitStatus::Ok);
    EXPECT_EQ(fit.selected, 3);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(g[k].dx, 0, 1e-9);
    EXPECT_NEAR(g[3].dx, 1, 1e-9);
    EXPECT_NEAR(g[3].dy, 0, 1e-9);
    EXPECT_NEAR(fit.rms, 0, 1e-9);
    double x, y;
    fit.poly.apply(500050, 4100050, &x, &y);
    EXPECT_NEAR(x, 60, 1e-9);
    EXPECT_NEAR(y, -30, 1e-9);

    // Order 0 is the bilinear form and needs four points.
    EXPECT_EQ(geoTermCount(0), 4);
    EXPECT_EQ(geoTermCount(2), 6);
    EXPECT_EQ(geoTermCount(kMaxGeoOrder), kMaxGeoTerms);
    EXPECT_EQ(fitGcps(g, 0).status, FitStatus::NotEnough);

    // Collinear points, and a point given twice, leave no unique fit.
    std::vector<Gcp> line = {{1, 1, 0, 0, 0, 0, 0, 0}, {1, 2, 1, 1, 1, 1, 0, 0}, {1, 3, 2, 2, 2, 2, 0, 0},
                             {1, 4, 3, 3, 3, 3, 0, 0}};
    EXPECT_EQ(fitGcps(line, 1).status, FitStatus::Singular);
    std::vector<Gcp> twice = {{1, 1, 0, 0, 0, 0, 0, 0}, {1, 2, 10, 0, 1, 0, 0, 0}, {1, 3, 10, 0, 1, 0, 0, 0}};
    EXPECT_EQ(fitGcps(twice, 1).status, FitStatus::Singular);
}

TEST(GeoFile, RoundTripAndHostileFiles)
{
    GeoPoly p;
    p.order = 2;
    p.meanX1 = 500000;
    p.meanY1 = 4100000;
    p.J = {1, 2, 3, 4, 5, 6};
    p.I = {-1, -2, -3, -4, -5, -6};
    std::vector<uint8_t> bytes = encodeGeoFile(p);
    ASSERT_EQ(bytes.size(), 144u);
    GeoPoly q;
    ASSERT_EQ(decodeGeoFile(bytes.data(), bytes.size(), &q), GeoFileError::Good);
    EXPECT_EQ(q.J, p.J);
    EXPECT_EQ(q.I, p.I);
    EXPECT_EQ(q.meanY1, 4100000);

    auto withInt = [&](size_t at, int32_t v) {
        std::vector<uint8_t> b = bytes;
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
        return decodeGeoFile(b.data(), b.size(), &q);
    };
    EXPECT_EQ(withInt(40, 7), GeoFileError::Invalid) << "T other than the order's term count";
    EXPECT_EQ(withInt(44, -1), GeoFileError::Invalid);
    EXPECT_EQ(withInt(40, 0x7fffffff), GeoFileError::Invalid);
    EXPECT_EQ(decodeGeoFile(bytes.data(), bytes.size() - 1, &q), GeoFileError::Invalid);
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_EQ(decodeGeoFile(longer.data(), longer.size(), &q), GeoFileError::Invalid);
    EXPECT_EQ(decodeGeoFile(bytes.data(), 20, &q), GeoFileError::Truncated);
    std::vector<uint8_t> nan = bytes;
    const double bad = std::numeric_limits<double>::quiet_NaN();
    memcpy(&nan[48 + 8 * 7], &bad, 8);
    EXPECT_EQ(decodeGeoFile(nan.data(), nan.size(), &q), GeoFileError::Invalid);
    std::vector<uint8_t> other = bytes;
    other[0] = 'X';
    EXPECT_EQ(decodeGeoFile(other.data(), other.size(), &q), GeoFileError::WrongId);
    EXPECT_EQ(q.J, p.J) << "a refused file leaves the polynomial alone";
}

// The window of every block holds the nearest and the bilinear neighbours
// of all its source positions, also where an order-2 or order-3 polynomial
// bulges between the block's corners.
TEST(GeoWindow, BlocksHoldEverySource)
{
    for (int order : {2, 3}) {
        GeoSampler s;
        s.poly.order = order;
        const int t = geoTermCount(order);
        s.poly.J.assign(t, 0.0);
        s.poly.I.assign(t, 0.0);
        // x = 100 + u + 0.02 u^2 - 0.06 v^2 (+ 0.0004 u^3), y = 100 + v - 0.03 u v about the centre.
        s.poly.J[0] = 100;
        s.poly.J[1] = 1;
        s.poly.J[3] = 0.02;
        s.poly.J[5] = -0.06;
        s.poly.I[0] = 100;
        s.poly.I[2] = 1;
        s.poly.I[4] = -0.03;
        if (order == 3) s.poly.J[6] = 0.0004;
        // Extremes in the middle of blocks, not on their edges.
        s.au = -87;
        s.av = -93;
        s.inCols = 260;
        s.inRows = 230;
        auto blocks = planBlocks(s, 0, 0, 200, 200, 1, 3000);
        ASSERT_GT(blocks.size(), 8u);
        long pixels = 0;
        for (const OutputBlock &b : blocks) {
            EXPECT_LE(b.window.samples(), 3000u);
            pixels += static_cast<long>(b.rows) * b.cols;
            for (int r = b.r0; r < b.r0 + b.rows; ++r)
                for (int c = b.c0; c < b.c0 + b.cols; ++c) {
                    double x, y;
                    s.poly.apply(s.au + c, s.av + r, &x, &y);
                    if (!(x >= -0.5 && x < s.inCols - 0.5 && y >= -0.5 && y < s.inRows - 0.5)) continue;
                    const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
                    ASSERT_GE(std::max(x0, 0), b.window.x0) << order << " " << r << " " << c;
                    ASSERT_LE(std::min(x0 + 1, s.inCols - 1), b.window.x0 + b.window.cols - 1);
                    ASSERT_GE(std::max(y0, 0), b.window.y0);
                    ASSERT_LE(std::min(y0 + 1, s.inRows - 1), b.window.y0 + b.window.rows - 1);
                }
        }
        EXPECT_EQ(pixels, 200L * 200L) << "the blocks tile the region";
    }
}

}  // namespace
