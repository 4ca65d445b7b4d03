#include "display/colorcells.h"

#include <algorithm>
#include <cmath>

#include "core/conio.h"
#include "display/display_state.h"

namespace krel {

bool cellSpecValid(const PaletteSpec &spec)
{
    if (spec.v[0] == -1) return true;
    if (spec.v[0] > 0) return spec.v[0] <= 256;
    for (int i = 1; i < 4; ++i)
        if (spec.v[i] < 1 || spec.v[i] > 256) return false;
    return static_cast<long>(spec.v[1]) * spec.v[2] * spec.v[3] <= 256;
}

namespace {

void dimensionTables(int n, int weight, uint8_t contrib[256], int16_t err[256])
{
    for (int v = 0; v < 256; ++v) {
        int level, q;
        if (n >= 256) {
            level = v;
            q = v;
        } else if (n <= 1) {
            level = 0;
            q = 0;
        } else {
            const double step = 256.0 / (n - 1);
            level = static_cast<int>(std::trunc((v + step / 2) / step));
            q = std::min(255, static_cast<int>(std::round(level * step)));
        }
        contrib[v] = static_cast<uint8_t>(std::min(255, level * weight));
        err[v] = static_cast<int16_t>(v - q);
    }
}

std::vector<XColor> readColormap(Display *display, Colormap colormap, int entries)
{
    std::vector<XColor> cells(static_cast<size_t>(std::clamp(entries, 0, 256)));
    for (size_t i = 0; i < cells.size(); ++i) {
        cells[i].pixel = i;
        cells[i].flags = DoRed | DoGreen | DoBlue;
    }
    if (!cells.empty()) XQueryColors(display, colormap, cells.data(), static_cast<int>(cells.size()));
    return cells;
}

// Allocates one colour, or the nearest one the colormap holds; false when
// neither can be had.
bool allocOne(Display *display, Colormap colormap, int entries, std::vector<XColor> &current, int r, int g, int b,
              unsigned long *pixel, int *distance)
{
    XColor want{};
    want.red = static_cast<unsigned short>(r * 257);
    want.green = static_cast<unsigned short>(g * 257);
    want.blue = static_cast<unsigned short>(b * 257);
    want.flags = DoRed | DoGreen | DoBlue;
    if (XAllocColor(display, colormap, &want)) {
        *pixel = want.pixel;
        const int dr = (want.red >> 8) - r, dg = (want.green >> 8) - g, db = (want.blue >> 8) - b;
        *distance = dr * dr + dg * dg + db * db;
        return true;
    }
    if (current.empty()) current = readColormap(display, colormap, entries);
    long best = -1;
    const XColor *nearest = nullptr;
    for (const XColor &c : current) {
        const long dr = (c.red >> 8) - r, dg = (c.green >> 8) - g, db = (c.blue >> 8) - b;
        const long d = dr * dr + dg * dg + db * db;
        if (best < 0 || d < best) {
            best = d;
            nearest = &c;
        }
    }
    if (!nearest) return false;
    XColor got = *nearest;
    got.flags = DoRed | DoGreen | DoBlue;
    if (!XAllocColor(display, colormap, &got)) return false;
    *pixel = got.pixel;
    *distance = static_cast<int>(best);
    return true;
}

void releaseOwned(ColorCells &cells)
{
    if (!cells.owned.empty() && cells.display)
        XFreeColors(cells.display, cells.colormap, cells.owned.data(), static_cast<int>(cells.owned.size()), 0);
    cells.owned.clear();
}

}  // namespace

void computeCellLevels(ColorCells &cells, const PaletteSpec &specIn)
{
    PaletteSpec spec = specIn;
    if (spec.v[0] == -1) spec = PaletteSpec{{28, 0, 0, 0}};
    if (spec.v[0] > 0) {
        cells.grey = true;
        cells.dims[0] = std::min(spec.v[0], 256);
        cells.dims[1] = cells.dims[2] = 1;
        cells.count = cells.dims[0];
        dimensionTables(cells.dims[0], 1, cells.contrib[0], cells.qerr[0]);
        for (int c = 1; c < 3; ++c) dimensionTables(1, 0, cells.contrib[c], cells.qerr[c]);
    } else {
        cells.grey = false;
        for (int c = 0; c < 3; ++c) cells.dims[c] = spec.v[c + 1];
        cells.count = cells.dims[0] * cells.dims[1] * cells.dims[2];
        const int weights[3] = {cells.dims[1] * cells.dims[2], cells.dims[2], 1};
        for (int c = 0; c < 3; ++c) dimensionTables(cells.dims[c], weights[c], cells.contrib[c], cells.qerr[c]);
    }
}

void applyDitherGain(ColorCells &cells, double gain)
{
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) {
            double e = std::round(cells.qerr[c][v] * gain);
            cells.scaledErr[c][v] = static_cast<int16_t>(std::clamp(e, -1024.0, 1024.0));
        }
}

void freeCells(ColorCells &cells)
{
    releaseOwned(cells);
    cells.pixels.clear();
    cells.colorError.clear();
    cells.truePixels.clear();
    cells.truePalette = false;
    cells.valid = false;
}

bool allocateCells(ColorCells &cells, Display *display, Colormap colormap, int mapEntries, PaletteSpec spec)
{
    releaseOwned(cells);
    cells.pixels.clear();
    cells.colorError.clear();
    cells.display = display;
    cells.colormap = colormap;
    if (spec.v[0] == -1) spec = PaletteSpec{{28, 0, 0, 0}};
    if (!cellSpecValid(spec)) return false;
    while (true) {
        computeCellLevels(cells, spec);
        std::vector<XColor> current;
        bool ok = true;
        for (int i = 0; i < cells.count && ok; ++i) {
            int r, g, b;
            if (cells.grey) {
                r = g = b = paletteLevel(i, cells.dims[0]);
            } else {
                const int nb = cells.dims[2], ng = cells.dims[1];
                r = paletteLevel(i / (ng * nb), cells.dims[0]);
                g = paletteLevel((i / nb) % ng, cells.dims[1]);
                b = paletteLevel(i % nb, cells.dims[2]);
            }
            unsigned long pixel = 0;
            int distance = 0;
            ok = allocOne(display, colormap, mapEntries, current, r, g, b, &pixel, &distance);
            if (ok) {
                cells.owned.push_back(pixel);
                cells.pixels.push_back(pixel);
                cells.colorError.push_back(distance);
            }
        }
        if (ok) {
            cells.valid = true;
            return true;
        }
        releaseOwned(cells);
        cells.pixels.clear();
        cells.colorError.clear();
        // Shrink the largest of the numbers and try a smaller set.
        int *largest = nullptr;
        int *candidates[4] = {&spec.v[0], &spec.v[1], &spec.v[2], &spec.v[3]};
        for (int *p : candidates)
            if (!largest || *p > *largest) largest = p;
        if (*largest <= 1) return false;
        *largest = *largest < 33 ? *largest - 1 : *largest / 2;
    }
}

bool allocateTruePalette(ColorCells &cells, Display *display, Colormap colormap, int mapEntries,
                         const uint8_t (*palette)[3], int count)
{
    cells.display = display;
    cells.colormap = colormap;
    std::vector<unsigned long> got;
    std::vector<XColor> current;
    for (int i = 0; i < count; ++i) {
        unsigned long pixel = 0;
        int distance = 0;
        if (!allocOne(display, colormap, mapEntries, current, palette[i][0], palette[i][1], palette[i][2], &pixel,
                      &distance)) {
            if (!got.empty()) XFreeColors(display, colormap, got.data(), static_cast<int>(got.size()), 0);
            return false;
        }
        got.push_back(pixel);
    }
    cells.owned.insert(cells.owned.end(), got.begin(), got.end());
    cells.truePixels = got;
    cells.truePalette = true;
    return true;
}

}  // namespace krel
