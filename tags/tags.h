// The tag commands: `tiff` lists the directory entries of TIFF files and
// `dicom` the elements of DICOM files, each with names from a dictionary
// that scripts fill. Each entry creates its command in an interpreter.
#pragma once

#include <tcl.h>

#include "core/export.h"

KREL_API int Tiff_Init(Tcl_Interp *interp);
KREL_API int Dicom_Init(Tcl_Interp *interp);
