// A pixmap created on first use with the holder's size and depth.
#pragma once

#include <tk.h>

namespace krel {

struct PixmapHolder {
    Display *display = nullptr;
    Drawable drawable = 0;
    Pixmap pixmap = 0;
    int depth = 0;
    int width = 0;
    int height = 0;

    // The pixmap, created now if it does not exist; 0 (with a console
    // message) when it cannot be made.
    Pixmap get();
    void release();
    ~PixmapHolder() { release(); }
};

}  // namespace krel
