#include "display/pixmap.h"

#include "core/conio.h"

namespace krel {

Pixmap PixmapHolder::get()
{
    if (pixmap) return pixmap;
    if (display && drawable && width > 0 && height > 0 && depth > 0)
        pixmap = Tk_GetPixmap(display, drawable, width, height, depth);
    if (!pixmap)
        conEprintf("Error in Tk_GetPixmap - fail to create a pixmap of %dx%dx%d\n", width, height, depth);
    return pixmap;
}

void PixmapHolder::release()
{
    if (pixmap) Tk_FreePixmap(display, pixmap);
    pixmap = 0;
}

}  // namespace krel
