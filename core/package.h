// Package entry: the process-wide record of the extension core, the entry
// points and the registration sequence.
#pragma once

#include <vector>

#include <tcl.h>
#include <tk.h>

#include "core/export.h"

#define KREL_VERSION "3.4"

KREL_API int Krel_Init(Tcl_Interp *interp);
KREL_API int Console_Init(Tcl_Interp *interp);
KREL_API int Calc_Init(Tcl_Interp *interp);

namespace krel {

// Display of the first interpreter initialised with a Tk main window.
struct DisplayContext {
    Display *display = nullptr;
    Screen *screen = nullptr;
    int screenNumber = 0;
    Colormap colormap = 0;
    Visual *visual = nullptr;
    int depth = 0;
    int rgb24 = 0;  // render through 24-bit images on deep displays
};

struct PackageState {
    DisplayContext dc;
    std::vector<unsigned long> paletteTable;  // colours allocated by `gimg palette`
    int initDone = 0;
    int winmsgRunning = 0;
};
PackageState &packageState();

// Initialises the stubs tables for an entry point. Tk's table is set up when
// the interpreter has Tk; `hasTk` tells whether it did.
int initStubs(Tcl_Interp *interp, bool *hasTk = nullptr);
bool interpHasTk(Tcl_Interp *interp);

const char *getHomeDir(Tcl_Interp *interp);
void setAppScriptVars(Tcl_Interp *source, Tcl_Interp *target);
int initPackageCore(Tcl_Interp *interp);
int registerSubsystems(Tcl_Interp *interp);
int initApplication(Tcl_Interp *interp);
int reclassTkChild(Tcl_Interp *interp);
int patchConsole(Tcl_Interp *interp);
void packageExitHandler(ClientData);
void consolePanic(const char *format, ...);

// The `gimg` command (palette management, names, rgb24, version).
int gimgCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv);
void gimgCommandDeleted(ClientData);
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
