// Pixels read back from an X server as a RAM image.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "image/ramimage.h"

namespace krel {

// Makes (or redefines) the memory resident image `tag` from an XImage:
// TrueColor and DirectColor pixels are decoded by the visual's masks into
// three BYTE bands in DIB order (blue, green, red); an 8-bit colormapped
// visual gives one band of cell numbers with the colormap's colours as
// palette. The image is held once by the caller; null on failure (*error
// gets the code).
RamImage *ximageToImage(Display *display, Colormap colormap, const Visual *visual, XImage *xi, const char *tag,
                        int *error);

}  // namespace krel
