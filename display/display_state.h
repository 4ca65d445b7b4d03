// The display state of the process: the display the first Tk interpreter
// showed its main window on, and the colours `gimg palette` allocated there.
#pragma once

#include <vector>

#include <tcl.h>
#include <tk.h>

namespace krel {

struct DisplayState {
    Display *display = nullptr;
    Screen *screen = nullptr;
    int screenNumber = 0;
    Colormap colormap = 0;
    Visual *visual = nullptr;
    int depth = 0;
    int rgb24 = 0;                            // render through 24-bit images on deep displays
    std::vector<unsigned long> paletteTable;  // colours allocated by `gimg palette`
};
DisplayState &displayState();

// Records the display of the interpreter's main window, once per process;
// an interpreter without Tk leaves the record empty.
void recordDisplayContext(Tcl_Interp *interp);
// Creates the `gimg` command in the interpreter.
int createGimgCommand(Tcl_Interp *interp);
// Drops the table of allocated colours without freeing them (process exit:
// the X server reclaims them and Tk may already have closed the display).
void forgetPalette();
void releasePalette(bool report);

// Shared level rule of colour cubes and grey ramps: k levels over 0..255.
int paletteLevel(int j, int k);
// Builds the default (6x6x6 + greys), PSEUDO (8x8x4) or BW n table; returns
// false when the table would exceed 256 entries or n is out of range.
struct PaletteColor {
    unsigned char r, g, b;
};
bool buildPaletteTable(const char *kind, int n, std::vector<PaletteColor> *out);

}  // namespace krel
