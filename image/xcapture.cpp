#include "image/xcapture.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "image/registry.h"

namespace krel {

namespace {

struct Channel {
    unsigned long mask = 0;
    int shift = 0, bits = 0;
    explicit Channel(unsigned long m) : mask(m)
    {
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        while (shift + bits < 64 && ((m >> (shift + bits)) & 1)) ++bits;
    }
    // The channel's value scaled to 0..255.
    uint8_t operator()(unsigned long pixel) const
    {
        if (!bits) return 0;
        const unsigned long v = (pixel & mask) >> shift;
        if (bits >= 8) return static_cast<uint8_t>(v >> (bits - 8));
        const unsigned long top = (1UL << bits) - 1;
        return static_cast<uint8_t>((v * 255 + top / 2) / top);
    }
};

}  // namespace

RamImage *ximageToImage(Display *display, Colormap colormap, const Visual *visual, XImage *xi, const char *tag,
                        int *error)
{
    int dummy;
    if (!error) error = &dummy;
    *error = IMGERR_OK;
    if (!xi || xi->width <= 0 || xi->height <= 0 || !visual) {
        *error = IMGERR_UNHANDLED;
        return nullptr;
    }
    const bool trueColour = visual->c_class == TrueColor || visual->c_class == DirectColor;
    if (!trueColour && xi->depth > 8) {
        *error = IMGERR_UNHANDLED;
        return nullptr;
    }
    ImageDef def = defaultImageDef();
    snprintf(def.file, sizeof def.file, "%s", tag);
    def.imgid = IMG_MBSQ;
    def.pixel = PIX_BYTE;
    def.bits = 8;
    def.offset = 0;
    def.block = 0;
    def.top = def.left = 0;
    def.rows = xi->height;
    def.columns = xi->width;
    def.nbands = trueColour ? 3 : 1;
    def.msbf = 0;
    def.transparent = -1;
    def.mapid = MAP_GRID;
    def.x0 = def.y0 = 0;
    def.dx = def.dy = 1.0;
    def.volumes = 1;
    def.dataFd = -1;
    memset(def.palette, 0, sizeof def.palette);
    def.nindices = 0;
    if (!trueColour) {
        // The colours of the cells, as the colormap holds them now.
        const int n = 1 << xi->depth;
        std::vector<XColor> cells(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            cells[static_cast<size_t>(i)].pixel = static_cast<unsigned long>(i);
            cells[static_cast<size_t>(i)].flags = DoRed | DoGreen | DoBlue;
        }
        XQueryColors(display, colormap, cells.data(), n);
        for (int i = 0; i < n && i < 256; ++i) {
            def.palette[i][0] = static_cast<uint8_t>(cells[static_cast<size_t>(i)].red >> 8);
            def.palette[i][1] = static_cast<uint8_t>(cells[static_cast<size_t>(i)].green >> 8);
            def.palette[i][2] = static_cast<uint8_t>(cells[static_cast<size_t>(i)].blue >> 8);
        }
        def.nindices = 256;
    }
    RamImage *img = getImage(tag, nullptr, &def, nullptr, error);
    if (!img) return nullptr;
    snprintf(img->def.file, sizeof img->def.file, "%s", img->tag);
    const Channel red(visual->red_mask), green(visual->green_mask), blue(visual->blue_mask);
    for (int y = 0; y < xi->height; ++y) {
        uint8_t *b = img->getLine(img, y, 0, 0);
        uint8_t *g = trueColour ? img->getLine(img, y, 1, 0) : nullptr;
        uint8_t *r = trueColour ? img->getLine(img, y, 2, 0) : nullptr;
        if (!b || (trueColour && (!g || !r))) continue;
        for (int x = 0; x < xi->width; ++x) {
            const unsigned long p = XGetPixel(xi, x, y);
            if (trueColour) {
                b[x] = blue(p);
                g[x] = green(p);
                r[x] = red(p);
            } else {
                b[x] = static_cast<uint8_t>(p);
            }
        }
        for (int band = 0; band < def.nbands; ++band) markLineDirty(img, y, band);
    }
    return img;
}

}  // namespace krel
