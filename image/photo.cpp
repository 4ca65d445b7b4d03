#include "image/photo.h"

#include <cstdio>

#include "image/registry.h"

namespace krel {

RamImage *importPhoto(Tk_PhotoHandle photo, const char *tag, int *error)
{
    int ignored = IMGERR_OK;
    if (!error) error = &ignored;
    Tk_PhotoImageBlock block;
    Tk_PhotoGetImage(photo, &block);
    if (block.width <= 0 || block.height <= 0) return nullptr;
    ImageDef def = defaultImageDef();
    snprintf(def.file, sizeof def.file, "%s", tag);
    def.imgid = IMG_MBSQ;
    def.pixel = PIX_BYTE;
    def.bits = 8;
    def.nbands = 3;
    def.rows = block.height;
    def.columns = block.width;
    def.block = block.width;
    def.offset = 0;
    def.nindices = 0;
    def.transparent = -1;
    RamImage *img = getImage(tag, nullptr, &def, nullptr, error);
    if (!img) return nullptr;
    for (int band = 0; band < 3; ++band)
        for (int y = 0; y < block.height; ++y) {
            uint8_t *line = getLine(img, y, band, 0);
            if (!line) continue;
            const unsigned char *src = block.pixelPtr + static_cast<size_t>(y) * block.pitch + block.offset[band];
            for (int x = 0; x < block.width; ++x) line[x] = src[static_cast<size_t>(x) * block.pixelSize];
            markLineDirty(img, y, band);
        }
    return img;
}

}  // namespace krel
