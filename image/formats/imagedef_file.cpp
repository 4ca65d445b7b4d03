// IMAGEDEF files (formats BSQ, BIL, BIP): the system's own multi-band raster
// with a self-describing header. Numbers are 32-bit integers and IEEE
// doubles in the byte order the magic names.
//
//   offset size  content
//        0   16  "IMAGEDEF_MSBF" or "IMAGEDEF_MSBL", NUL-terminated, zero padded
//       16    4  msbf of the pixel data
//       20    4  imgid: 1 BSQ, 2 BIL, 3 BIP (anything else: not an IMAGEDEF file)
//       24    4  mapid
//       28    4  offset of the pixel data, at least 860
//       32    4  pixel type
//       36    4  nbands
//       40    4  rows
//       44    4  columns
//       48    4  top
//       52    4  left
//       56    8  x0
//       64    8  y0
//       72    8  dx
//       80    8  dy
//       88    4  nindices
//       92  3 n  palette triplets red, green, blue
//     rest       zero up to offset
//
// `block` is not stored: ceil(columns x bits / 8), times nbands for BIP.
#include <algorithm>
#include <climits>
#include <cstring>

#include "core/conio.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int kHeaderBytes = 860;
const char kMagicMsbf[] = "IMAGEDEF_MSBF";
const char kMagicLsbf[] = "IMAGEDEF_MSBL";

void reverse(uint8_t *p, int n) { std::reverse(p, p + n); }

// The stored record length; -1 when it does not fit the definition's field.
int32_t imageDefBlock(const ImageDef *def)
{
    int64_t bits = pixelBits(def->pixel);
    int64_t block = (static_cast<int64_t>(def->columns) * bits - 1) / 8 + 1;
    if (def->imgid == IMG_BIP) block *= def->nbands;
    return block > 0 && block <= INT32_MAX ? static_cast<int32_t>(block) : -1;
}

}  // namespace

int detectImageDef(const FileHead &head, ImageDef *def, void ** /*aux*/)
{
    uint8_t h[kHeaderBytes];
    if (!head.read(h, sizeof h)) return 0;
    bool fileMsbf;
    if (memcmp(h, kMagicMsbf, sizeof kMagicMsbf) == 0) fileMsbf = true;
    else if (memcmp(h, kMagicLsbf, sizeof kMagicLsbf) == 0) fileMsbf = false;
    else return 0;
    if (fileMsbf != (kHostMsbf != 0)) {
        for (int off = 16; off <= 52; off += 4) reverse(h + off, 4);
        for (int off = 56; off <= 80; off += 8) reverse(h + off, 8);
        reverse(h + 88, 4);
    }
    int32_t imgid = getHost<int32_t>(h + 20);
    if (imgid != IMG_BSQ && imgid != IMG_BIL && imgid != IMG_BIP) return 0;
    // The header block is at least 860 bytes: data said to start inside it
    // would be the header itself, and writing pixels would destroy it.
    if (getHost<int32_t>(h + 28) < kHeaderBytes) return 0;
    def->imgid = imgid;
    def->msbf = getHost<int32_t>(h + 16);
    def->mapid = getHost<int32_t>(h + 24);
    def->offset = getHost<int32_t>(h + 28);
    def->pixel = getHost<int32_t>(h + 32);
    def->nbands = getHost<int32_t>(h + 36);
    def->rows = getHost<int32_t>(h + 40);
    def->columns = getHost<int32_t>(h + 44);
    def->top = getHost<int32_t>(h + 48);
    def->left = getHost<int32_t>(h + 52);
    def->x0 = getHost<double>(h + 56);
    def->y0 = getHost<double>(h + 64);
    def->dx = getHost<double>(h + 72);
    def->dy = getHost<double>(h + 80);
    def->nindices = getHost<int32_t>(h + 88);
    def->bits = pixelBits(def->pixel);
    def->transparent = -1;
    def->block = imageDefBlock(def);
    memset(def->palette, 0, sizeof def->palette);
    int n = std::clamp(def->nindices, 0, 256);
    memcpy(def->palette, h + 92, static_cast<size_t>(n) * 3);
    return imgid;
}

int writeImageDefHeader(int fd, int /*checkSpace*/, ImageDef *def)
{
    uint8_t h[kHeaderBytes] = {};
    memcpy(h, kHostMsbf ? kMagicMsbf : kMagicLsbf, sizeof kMagicLsbf);
    const bool headerless = def->offset <= 0;
    const int32_t size = std::max(def->offset, kHeaderBytes);
    putHost<int32_t>(h + 16, def->msbf);
    putHost<int32_t>(h + 20, def->imgid);
    putHost<int32_t>(h + 24, def->mapid);
    putHost<int32_t>(h + 28, size);
    putHost<int32_t>(h + 32, def->pixel);
    putHost<int32_t>(h + 36, def->nbands);
    putHost<int32_t>(h + 40, def->rows);
    putHost<int32_t>(h + 44, def->columns);
    putHost<int32_t>(h + 48, def->top);
    putHost<int32_t>(h + 52, def->left);
    putHost<double>(h + 56, def->x0);
    putHost<double>(h + 64, def->y0);
    putHost<double>(h + 72, def->dx);
    putHost<double>(h + 80, def->dy);
    putHost<int32_t>(h + 88, def->nindices);
    int n = std::clamp(def->nindices, 0, 256);
    memcpy(h + 92, def->palette, static_cast<size_t>(n) * 3);
    if (platform::writeAt(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return -1;
    // Padding up to a larger offset goes out in pieces, never as one block.
    static const uint8_t zeros[8192] = {};
    for (int64_t at = kHeaderBytes; at < size;) {
        size_t piece = static_cast<size_t>(std::min<int64_t>(sizeof zeros, size - at));
        if (platform::writeAt(fd, zeros, piece, at) != static_cast<ssize_t>(piece)) return -1;
        at += static_cast<int64_t>(piece);
    }
    def->offset = headerless ? 0 : size;
    def->block = imageDefBlock(def);
    return size;
}

// Rewrites the palette triplets of an open IMAGEDEF file from the image's
// palette, as many entries as the header declares. A headerless image has
// nowhere to keep one and is left alone.
int writeImageDefPalette(RamImage *img)
{
    uint8_t h[92];
    if (img->def.offset <= 0) return 0;
    if (platform::readAt(img->fileHandle, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return -1;
    bool fileMsbf;
    if (memcmp(h, kMagicMsbf, sizeof kMagicMsbf) == 0) fileMsbf = true;
    else if (memcmp(h, kMagicLsbf, sizeof kMagicLsbf) == 0) fileMsbf = false;
    else return -1;
    if (fileMsbf != (kHostMsbf != 0)) reverse(h + 88, 4);
    const int n = std::clamp(getHost<int32_t>(h + 88), 0, 256);
    if (n == 0) return 0;
    const size_t bytes = static_cast<size_t>(n) * 3;
    if (platform::writeAt(img->fileHandle, img->def.palette, bytes, 92) != static_cast<ssize_t>(bytes)) {
        conEprintf("Error in writing the palette of %s.\n", img->def.file);
        return -1;
    }
    return 0;
}

}  // namespace krel
