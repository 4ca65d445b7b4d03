// Pieces the files of the `rimage` command share: its client data, answer
// helpers and the handlers each file defines.
#pragma once

#include <string>

#include <tcl.h>

#include "image/ramimage.h"

namespace krel {

// The command's client data: the defaults record, template of new images.
struct RimageCommand {
    ImageDef defaults;
};

using RimageHandler = int (*)(RimageCommand *cmd, Tcl_Interp *interp, int argc, const char **argv);

// "Usage: rimage SUBCOMMAND" followed by the synopsis, returning `code`.
int rimageUsage(Tcl_Interp *interp, const char **argv, const char *synopsis, int code);
// The message as the result, TCL_ERROR.
int rimageFail(Tcl_Interp *interp, const std::string &message);
// Failure after an image could not be opened: the code's text goes to the
// error information, the message to the result.
int rimageFailOpen(Tcl_Interp *interp, int code, const std::string &message);
// A registered image by tag, else by file name; null when neither.
RamImage *lookupTagThenFile(const char *name);

// Image lifecycle (rimage_lifecycle.cpp).
int rimageOpen(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageClose(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageList(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageLock(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageUnlock(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageResident(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageIsValid(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageConfigure(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageCget(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageCreate(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageCache(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageVolume(RimageCommand *, Tcl_Interp *, int, const char **);

// Pixel and colour-table operations (rimage_pixels.cpp).
int rimageGetIndices(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageSetIndices(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageUpdate(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageHist(RimageCommand *, Tcl_Interp *, int, const char **);
int rimageDraw(RimageCommand *, Tcl_Interp *, int, const char **);

}  // namespace krel
