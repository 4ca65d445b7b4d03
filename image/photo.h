// Tk photo images as RAM images.
#pragma once

#include <tk.h>

#include "image/ramimage.h"

namespace krel {

// A memory resident three-band BYTE image (MBSQ) holding a photo's pixels,
// created under `tag` and held once by the caller. Null when the photo is
// empty or the image cannot be made (*error gets the code when given).
RamImage *importPhoto(Tk_PhotoHandle photo, const char *tag, int *error);

}  // namespace krel
