// ELAS files (read only): a 1024-byte header in the host's byte order, one
// byte a pixel, line-interleaved records.
//
//   offset size  content
//        0    4  offset of the pixel data (int32)
//        4    4  bytes per record (block)
//        8    4  first line  -> top
//       12    4  last line   -> rows = last - first + 1
//       16    4  first element -> left
//       20    4  last element  -> columns = last - first + 1
//       24    4  nbands
//       28    4  marker, 4321
//       36    4  y0, int32
//       44    4  x0, int32
//       48    4  dy, float32
//       52    4  dx, float32
#include <climits>
#include <cstring>

#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

// A count that does not fit becomes -1, which the opener refuses.
int32_t span(int32_t first, int32_t last)
{
    int64_t n = static_cast<int64_t>(last) - first + 1;
    return n > 0 && n <= INT32_MAX ? static_cast<int32_t>(n) : -1;
}

}  // namespace

int detectElas(const FileHead &head, ImageDef *def, void ** /*aux*/)
{
    uint8_t h[1024];
    if (!head.read(h, sizeof h)) return 0;
    if (getHost<int32_t>(h + 28) != 4321) return 0;
    def->imgid = IMG_ELAS;
    def->offset = getHost<int32_t>(h + 0);
    def->block = getHost<int32_t>(h + 4);
    def->top = getHost<int32_t>(h + 8);
    def->rows = span(def->top, getHost<int32_t>(h + 12));
    def->left = getHost<int32_t>(h + 16);
    def->columns = span(def->left, getHost<int32_t>(h + 20));
    def->nbands = getHost<int32_t>(h + 24);
    def->y0 = getHost<int32_t>(h + 36);
    def->x0 = getHost<int32_t>(h + 44);
    def->dy = getHost<float>(h + 48);
    def->dx = getHost<float>(h + 52);
    def->pixel = PIX_BYTE;
    def->bits = 8;
    def->msbf = kHostMsbf;
    def->mapid = MAP_GRID;
    def->nindices = 0;
    def->transparent = -1;
    return IMG_ELAS;
}

}  // namespace krel
