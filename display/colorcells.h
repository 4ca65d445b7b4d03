// Colour cells of 8-bit displays: a grey ramp or a red-major colour cube
// allocated in the colormap, the per-channel contribution of every 8-bit
// level to the cell index and the quantisation errors used for dithering.
#pragma once

#include <cstdint>
#include <vector>

#include <X11/Xlib.h>

#include "core/options.h"

namespace krel {

struct ColorCells {
    bool grey = true;
    int dims[3] = {28, 1, 1};  // levels per dimension (grey: dims[0])
    int count = 0;             // cells in the set
    uint8_t contrib[3][256] = {};
    int16_t qerr[3][256] = {};     // v - q(v)
    int16_t scaledErr[3][256] = {};  // qerr x dithering gain, rounded
    std::vector<unsigned long> pixels;  // cell index -> pixel value
    std::vector<int> colorError;        // per cell: squared distance of the obtained colour
    std::vector<unsigned long> owned;   // pixel values to give back to the colormap
    bool truePalette = false;           // the image's own colours are allocated
    std::vector<unsigned long> truePixels;
    Display *display = nullptr;
    Colormap colormap = 0;
    // What the set was made from, to allocate again only after a change.
    PaletteSpec madeFrom{{0, 0, 0, 0}};
    int madeDither = -1;
    std::vector<uint8_t> madePalette;  // the image colours the own palette was made from
    bool valid = false;
};

// Whether a cell specification holds at most 256 cells.
bool cellSpecValid(const PaletteSpec &spec);

// Level tables of a specification (no X involved).
void computeCellLevels(ColorCells &cells, const PaletteSpec &spec);
void applyDitherGain(ColorCells &cells, double gain);

// Allocates the cells (reducing the set until the colormap can supply it);
// false when nothing could be allocated.
bool allocateCells(ColorCells &cells, Display *display, Colormap colormap, int mapEntries, PaletteSpec spec);
// The image's own colours; false (nothing kept) when they cannot be allocated.
bool allocateTruePalette(ColorCells &cells, Display *display, Colormap colormap, int mapEntries,
                         const uint8_t (*palette)[3], int count);
void freeCells(ColorCells &cells);

}  // namespace krel
