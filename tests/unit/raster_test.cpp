#include "image/raster.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string cells(void (*fn)(const double *, int, int, int, const krel::RasterSpan &), std::vector<double> xy,
                  int columns, int rows)
{
    std::set<std::pair<int, int>> seen;
    fn(xy.data(), static_cast<int>(xy.size() / 2), columns, rows, [&](int y, int x0, int x1) {
        for (int x = x0; x <= x1; ++x) seen.insert({y, x});
    });
    std::string grid;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < columns; ++x) grid += seen.count({y, x}) ? '#' : '.';
        grid += '\n';
    }
    return grid;
}

}  // namespace

TEST(Raster, LinesStepAlongTheLongerAxisAndClipToTheGrid)
{
    // A shallow line rounds to the nearest row at each column; one point is one pixel.
    EXPECT_EQ(cells(krel::rasterPolyline, {0, 0, 5, 2}, 6, 3), "##....\n..##..\n....##\n");
    EXPECT_EQ(cells(krel::rasterPolyline, {2, 1}, 4, 3), "....\n..#.\n....\n");
    // A segment from far outside crosses the grid on the same pixels as its visible part.
    EXPECT_EQ(cells(krel::rasterPolyline, {-1e9, 1, 1e9, 1}, 4, 3), "....\n####\n....\n");
    // A fractional length ends short of the last point: 2.6 steps are two.
    EXPECT_EQ(cells(krel::rasterPolyline, {0, 0, 2.6, 0}, 4, 1), "###.\n");
}

TEST(Raster, PolygonsFillPixelCentresEvenOdd)
{
    EXPECT_EQ(cells(krel::rasterPolygon, {1, 1, 4, 1, 4, 4, 1, 4}, 5, 5), ".....\n.###.\n.###.\n.###.\n.....\n");
    // A triangle: the row through y = 3.5 spans x 1.75 .. 2.25 and holds no pixel centre.
    EXPECT_EQ(cells(krel::rasterPolygon, {0, 0, 4, 0, 2, 4}, 4, 4), "####\n.##.\n.##.\n....\n");
    // Two points make no polygon.
    EXPECT_EQ(cells(krel::rasterPolygon, {0, 0, 3, 3}, 3, 3), "...\n...\n...\n");
}
