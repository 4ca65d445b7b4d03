// The pixels a drawn line or a filled polygon covers on a grid of `columns` x
// `rows` pixels, clipped to it. Pure geometry: the caller decides what a pixel
// is. Coordinates are pixel units with pixel centres at whole numbers for
// lines and at half numbers for fills, as `rimage draw` draws them.
#pragma once

#include <functional>

namespace krel {

// Receives the covered pixels of row y from column x0 to x1 (x0 <= x1).
using RasterSpan = std::function<void(int y, int x0, int x1)>;

// The polyline through npts points (xy holds x0 y0 x1 y1 ...), one pixel per
// step along the longer axis of each segment; one point draws one pixel.
// A pixel shared by consecutive segments is reported once per segment.
void rasterPolyline(const double *xy, int npts, int columns, int rows, const RasterSpan &span);

// The even-odd fill of the closed polygon through npts >= 3 points, through
// pixel centres.
void rasterPolygon(const double *xy, int npts, int columns, int rows, const RasterSpan &span);

}  // namespace krel
