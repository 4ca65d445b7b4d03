// What the tiff and dicom commands share: error answers, the range of
// `index ?first? ?last?`, and the opening of a file named by a script.
#pragma once

#include <string>

#include <tcl.h>

#include "platform/files.h"

namespace krel {

// Sets the text as the result and answers TCL_ERROR.
int tagFail(Tcl_Interp *interp, const std::string &text);

// "Usage: COMMAND OPTION imgid ?option?", an error.
int tagDataUsage(Tcl_Interp *interp, const char **argv);

// Entries [first, last) of n for `index ?first? ?last?`: every entry, entry
// i, or entries i..j, clipped. False on a word that is not an integer.
bool tagIndexRange(int argc, const char **argv, size_t n, size_t *first, size_t *last);

Tcl_Obj *tagStringObj(const std::string &s);
// Bytes of a file's text (ISO 8859-1, as DICOM's default character set and
// most TIFF writers have it) as a string object.
Tcl_Obj *tagTextObj(const std::string &bytes);

// Opens a regular file read-only, refusing devices and FIFOs (which would
// block or never end) without waiting on them. False when it cannot be
// opened.
bool openTagFile(const char *name, platform::FileDesc *fd);

}  // namespace krel
