// Windows device-independent bitmaps (DIB, ".bmp"), little-endian:
//
//   offset size  content
//        0    2  "BM"
//        2    4  file size
//        6    4  two reserved 16-bit words
//       10    4  bfOffBits: file offset of the pixel data
//       14    4  biSize: info header size, 40 (or larger for the V4/V5 headers)
//       18    4  width, int32
//       22    4  height, int32 (negative: a top-down bitmap)
//       26    2  planes
//       28    2  bit count: 1, 4, 8 or 24 are read
//       30    4  compression: 0 (none) is read
//       34   20  image size, resolution, colours used (at 46), colours important
//  14+biSize     colour table of 4-byte entries blue, green, red, reserved
//  bfOffBits     rows of ((bitCount x width + 31) div 32) x 4 bytes, bottom-up
//
// Rows are stored bottom-up: image row r is file row (rows - 1 - r). The
// generic raw reader serves them (rawLayoutOf knows the DIB layout); this
// file only reads and writes headers and colour tables. 24-bit pixels are
// stored blue, green, red, so band 1 holds blue.
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

constexpr int kFileHeader = 14;
constexpr int kInfoHeader = 40;
constexpr int kDataOffset = 1078;  // 14 + 40 + a 256-entry colour table


// What a file's header says about its colour table.
struct TableSpan {
    int64_t at = 0;    // file offset of the first entry
    int entries = 0;   // entries present in the file
};

TableSpan colourTable(const uint8_t *h, int64_t fileSize)
{
    TableSpan t;
    const uint32_t offBits = getLE32(h + 10), biSize = getLE32(h + 14);
    const int bits = getLE16(h + 28);
    if (bits != 1 && bits != 4 && bits != 8) return t;
    t.at = kFileHeader + static_cast<int64_t>(biSize);
    // The table lies between the info header and the pixels; it never holds
    // more entries than the bit count can index.
    int64_t room = (std::min<int64_t>(offBits, fileSize) - t.at) / 4;
    int64_t wanted = int64_t(1) << bits;
    uint32_t used = getLE32(h + 46);
    if (used > 0 && used < wanted) wanted = used;
    t.entries = static_cast<int>(std::clamp<int64_t>(std::min(room, wanted), 0, 256));
    return t;
}

int refuse(const char *fileName, const char *why)
{
    conEprintf("Error in initDIB_Bi: %s: %s\n", fileName ? fileName : "", why);
    return -1;
}

}  // namespace

int detectDIB(const FileHead &head, ImageDef *def, void ** /*aux*/)
{
    const int fd = head.fd;
    const char *fileName = head.fileName;
    uint8_t h[kFileHeader + kInfoHeader];
    if (!head.read(h, sizeof h)) return 0;
    if (getLE16(h) != 0x4D42) return 0;  // "BM"
    const int bits = getLE16(h + 28);
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24) {
        conEprintf("Error in initDIB_Bi: invalid BitCount.\n");
        return 0;
    }
    const int64_t fileSize = platform::fileSize(fd);
    const uint32_t offBits = getLE32(h + 10), biSize = getLE32(h + 14);
    const int32_t width = static_cast<int32_t>(getLE32(h + 18));
    const int32_t height = static_cast<int32_t>(getLE32(h + 22));
    const uint32_t compression = getLE32(h + 30);
    // Every number below comes from a file written elsewhere: each is checked
    // before it decides a size, an offset or a loop.
    if (biSize < kInfoHeader) return refuse(fileName, "not a Windows bitmap info header (OS/2 bitmaps are not read).");
    if (compression != 0) return refuse(fileName, "compressed bitmaps are not read.");
    if (width <= 0) return refuse(fileName, "invalid width.");
    if (height == 0) return refuse(fileName, "invalid height.");
    if (height < 0) return refuse(fileName, "top-down bitmaps (negative height) are not read.");
    if (offBits < kFileHeader + static_cast<int64_t>(biSize) || static_cast<int64_t>(offBits) >= fileSize)
        return refuse(fileName, "the pixel data offset lies outside the file.");
    const int64_t block = (static_cast<int64_t>(bits) * width + 31) / 32 * 4;
    if (block > INT32_MAX / 2) return refuse(fileName, "rows too wide.");

    def->imgid = IMG_DIB;
    def->mapid = MAP_GRID;
    def->offset = static_cast<int32_t>(offBits);
    def->block = static_cast<int32_t>(block);
    def->top = def->left = 0;
    def->rows = height;
    def->columns = width;
    def->nbands = bits == 24 ? 3 : 1;
    def->pixel = bits == 1 ? PIX_1BIT : bits == 4 ? PIX_4BITS : PIX_BYTE;
    def->bits = pixelBits(def->pixel);
    def->msbf = bits < 8 ? 1 : 0;
    def->transparent = -1;
    def->x0 = def->y0 = 0.0;
    def->dx = def->dy = 1.0;
    memset(def->palette, 0, sizeof def->palette);
    def->nindices = bits == 24 ? 0 : 1 << bits;
    TableSpan t = colourTable(h, fileSize);
    if (t.entries > 0) {
        uint8_t table[256 * 4];
        ssize_t got = platform::readAt(fd, table, static_cast<size_t>(t.entries) * 4, t.at);
        int n = got > 0 ? static_cast<int>(got / 4) : 0;
        for (int i = 0; i < n; ++i) {
            def->palette[i][0] = table[4 * i + 2];
            def->palette[i][1] = table[4 * i + 1];
            def->palette[i][2] = table[4 * i];
        }
    }
    return IMG_DIB;
}

int writeDIBHeader(int fd, int checkSpace, ImageDef *def)
{
    int bits;
    if (def->pixel == PIX_1BIT && def->nbands == 1) bits = 1;
    else if (def->pixel == PIX_4BITS && def->nbands == 1) bits = 4;
    else if (def->pixel == PIX_BYTE && def->nbands == 1) bits = 8;
    else if (def->pixel == PIX_BYTE && def->nbands == 3) bits = 24;
    else return -1;
    if (def->columns <= 0 || def->rows <= 0) return -1;
    const int64_t rowSize = (static_cast<int64_t>(bits) * def->columns + 31) / 32 * 4;
    const int64_t fileSize = rowSize * def->rows + kDataOffset;
    if (rowSize > INT32_MAX / 2 || fileSize > UINT32_MAX) return -1;  // the size field is 32 bits
    if (checkSpace) {
        double available = platform::freeDiskSpace(def->file);
        if (available >= 0 && static_cast<double>(fileSize) > available) {
            conEprintf("Insufficient disk space. Request:%ld Available:%.f\n", static_cast<long>(fileSize), available);
            return -1;
        }
    }
    uint8_t h[kDataOffset] = {};
    h[0] = 'B';
    h[1] = 'M';
    putLE32(h + 2, static_cast<uint32_t>(fileSize));
    putLE32(h + 10, kDataOffset);
    putLE32(h + 14, kInfoHeader);
    putLE32(h + 18, static_cast<uint32_t>(def->columns));
    putLE32(h + 22, static_cast<uint32_t>(def->rows));
    putLE16(h + 26, 1);
    putLE16(h + 28, static_cast<unsigned>(bits));
    const int n = bits == 24 ? 0 : std::clamp(def->nindices, 0, std::min(256, 1 << bits));
    for (int i = 0; i < n; ++i) {
        uint8_t *e = h + kFileHeader + kInfoHeader + 4 * i;
        e[0] = def->palette[i][2];
        e[1] = def->palette[i][1];
        e[2] = def->palette[i][0];
    }
    if (platform::writeAt(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return -1;
    def->block = static_cast<int32_t>(rowSize);
    def->offset = kDataOffset;
    // The order the reader gives these files: 1- and 4-bit pixels first in
    // the high bits, bytes as they are.
    def->msbf = bits < 8 ? 1 : 0;
    return kDataOffset;
}

// Rewrites the colour table of an open DIB file from the image's palette,
// as many entries as the file's table holds.
int writeDIBPalette(RamImage *img)
{
    uint8_t h[kFileHeader + kInfoHeader];
    if (platform::readAt(img->fileHandle, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h) || getLE16(h) != 0x4D42)
        return -1;
    TableSpan t = colourTable(h, INT64_MAX);
    // A file that declares fewer used colours still has room for them all
    // when its pixels start after a full table.
    const int bits = getLE16(h + 28);
    if (bits == 1 || bits == 4 || bits == 8) {
        int64_t room = (static_cast<int64_t>(getLE32(h + 10)) - t.at) / 4;
        t.entries = static_cast<int>(std::clamp<int64_t>(std::min<int64_t>(room, int64_t(1) << bits), 0, 256));
    }
    if (t.entries == 0) return 0;
    uint8_t table[256 * 4] = {};
    for (int i = 0; i < t.entries; ++i) {
        table[4 * i] = img->def.palette[i][2];
        table[4 * i + 1] = img->def.palette[i][1];
        table[4 * i + 2] = img->def.palette[i][0];
    }
    const size_t bytes = static_cast<size_t>(t.entries) * 4;
    if (platform::writeAt(img->fileHandle, table, bytes, t.at) != static_cast<ssize_t>(bytes)) {
        conEprintf("Error in writing the colour table of %s.\n", img->def.file);
        return -1;
    }
    // "Colours used" must not hide the entries just written.
    if (getLE32(h + 46) != 0 && getLE32(h + 46) < static_cast<uint32_t>(t.entries)) {
        uint8_t used[4];
        putLE32(used, static_cast<uint32_t>(t.entries));
        if (platform::writeAt(img->fileHandle, used, 4, 46) != 4) return -1;
    }
    return 1;
}

// One band of 1, 4 or 8 bits is an index image with a full table; three
// bands are 24-bit colour; nothing else has a DIB form.
const char *settleDIBDef(ImageDef *d)
{
    if (d->nbands == 1) {
        if (d->pixel != PIX_1BIT && d->pixel != PIX_4BITS && d->pixel != PIX_BYTE) return "Illegal pixel for a DIB image.";
        d->nindices = paletteSizeOf(d->pixel);
    } else if (d->nbands == 3) {
        if (d->pixel != PIX_BYTE) return "Illegal pixel for a 24-BIT DIB image.";
    } else {
        return "Illegal bands for a DIB image.";
    }
    return nullptr;
}

}  // namespace krel
