// The package's process-wide record, its version, the stubs set-up of an
// interpreter and the script variables every interpreter of the package gets
// (home directory, application and console scripts). The entry points and
// the registration sequence are in package/package.h.
#pragma once

#include <string>
#include <vector>

#include <tcl.h>
#include <tk.h>

#include "core/export.h"

#define KREL_VERSION "3.4"

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

// The home directory: $gimgHome, else $env(GHOME), $krelHome, $env(KREL),
// else the working directory; whichever is found is stored in gimgHome.
const char *getHomeDir(Tcl_Interp *interp);

// The script variables of an interpreter: gimgHome, krelAppScripts and
// krelConScripts, with their defaults where a variable is unset.
struct ScriptVars {
    std::string home, apps, cons;
};
ScriptVars readScriptVars(Tcl_Interp *source);
void applyScriptVars(const ScriptVars &vars, Tcl_Interp *target);
// Both at once; the source and the target may be the same interpreter.
void setAppScriptVars(Tcl_Interp *source, Tcl_Interp *target);

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
