// ERDAS files: E73 ("HEADER"), E74 ("HEAD74"), both line-interleaved, and
// E74BSQ ("E74BSQ"), band-sequential. A 128-byte header, numbers least
// significant byte first whatever the host, pixel data from offset 128.
//
//   offset size  content
//        0    6  magic "HEADER", "HEAD74" or "E74BSQ" (no NUL)
//        6    2  pack code int16: 0 BYTE, 1 4BITS, 2 USHORT, 3 LONG, 4 FLOAT, 5 SHORT
//        8    2  nbands int16
//       10    6  unused, zero
//       16    4  columns: int32, float32 in "HEADER" files
//       20    4  rows: int32, float32 in "HEADER" files
//       24    4  left (start column), int32 in every variant
//       28    4  top (start row), int32 in every variant
//       32   80  unused here, zero when written
//      112    4  x0 float32
//      116    4  y0 float32
//      120    4  dx float32
//      124    4  dy float32
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "core/conio.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int kErdasHeader = 128;

// ERDAS headers are little-endian; counts are signed 16-bit.
int16_t getI16(const uint8_t *p) { return static_cast<int16_t>(getLE16(p)); }
int32_t getI32(const uint8_t *p) { return static_cast<int32_t>(getLE32(p)); }

// Float sizes of "HEADER" files are truncated; values no int32 can hold
// make the definition invalid (-1) instead of undefined.
int32_t truncated(float f)
{
    if (!(f > -2147483648.0f && f < 2147483648.0f)) return -1;
    return static_cast<int32_t>(f);
}

void reportSystemError(const char *text) { conEprintf("%s: %s\n", text, strerror(errno)); }

}  // namespace

int detectErdas(const FileHead &head, ImageDef *def, void ** /*aux*/)
{
    uint8_t h[kErdasHeader];
    if (!head.read(h, sizeof h)) return 0;
    int imgid;
    if (memcmp(h, "HEADER", 6) == 0) imgid = IMG_E73;
    else if (memcmp(h, "HEAD74", 6) == 0) imgid = IMG_E74;
    else if (memcmp(h, "E74BSQ", 6) == 0) imgid = IMG_E74BSQ;
    else return 0;
    static const int kPackPixel[6] = {PIX_BYTE, PIX_4BITS, PIX_USHORT, PIX_LONG, PIX_FLOAT, PIX_SHORT};
    int pack = getI16(h + 6);
    if (pack < 0 || pack > 5) return 0;
    def->imgid = imgid;
    def->pixel = kPackPixel[pack];
    def->bits = pixelBits(def->pixel);
    def->msbf = def->pixel == PIX_4BITS ? 1 : kHostMsbf;
    def->offset = kErdasHeader;
    def->nbands = getI16(h + 8);
    if (imgid == IMG_E73) {
        def->columns = truncated(getLEFloat(h + 16));
        def->rows = truncated(getLEFloat(h + 20));
    } else {
        def->columns = getI32(h + 16);
        def->rows = getI32(h + 20);
    }
    def->left = getI32(h + 24);
    def->top = getI32(h + 28);
    def->x0 = getLEFloat(h + 112);
    def->y0 = getLEFloat(h + 116);
    def->dx = getLEFloat(h + 120);
    def->dy = getLEFloat(h + 124);
    def->mapid = MAP_GRID;
    def->nindices = 0;
    def->transparent = -1;
    int64_t block = (static_cast<int64_t>(def->columns) * def->bits - 1) / 8 + 1;
    def->block = block > 0 && block <= INT32_MAX ? static_cast<int32_t>(block) : -1;
    return imgid;
}

int writeErdasHeader(int fd, int checkSpace, ImageDef *def)
{
    uint8_t h[kErdasHeader] = {};
    const int64_t cols = def->columns;
    int pack;
    int64_t block;
    switch (def->pixel) {
    case PIX_4BITS: pack = 1, block = (4 * cols + 4) / 8; break;
    case PIX_BYTE: pack = 0, block = cols; break;
    case PIX_SHORT: pack = 5, block = 2 * cols; break;
    case PIX_LONG: pack = 3, block = 4 * cols; break;
    case PIX_FLOAT: pack = 4, block = 4 * cols; break;
    case PIX_USHORT: pack = 2, block = 2 * cols; break;
    default: return -1;
    }
    // The band count is an int16 in the header: more bands cannot be recorded.
    if (block <= 0 || block > INT32_MAX || def->nbands < 1 || def->nbands > 32767 || def->rows < 1) return -1;
    def->block = static_cast<int32_t>(block);
    if (checkSpace) {
        // In double: the product of three 32-bit sizes may not fit 64 bits.
        double requested = static_cast<double>(block) * def->nbands * def->rows + kErdasHeader;
        double available = platform::freeDiskSpace(def->file);
        if (available >= 0 && requested > available) {
            conEprintf("Insufficient disk space. Requested:%.f Available:%.f\n", requested, available);
            return -1;
        }
    }
    putLE32(h + 28, static_cast<uint32_t>(def->top));
    putLE32(h + 24, static_cast<uint32_t>(def->left));
    if (def->imgid == IMG_E73) {
        putLEFloat(h + 20, static_cast<float>(def->rows));
        putLEFloat(h + 16, static_cast<float>(def->columns));
        memcpy(h, "HEADER", 6);
    } else {
        putLE32(h + 20, static_cast<uint32_t>(def->rows));
        putLE32(h + 16, static_cast<uint32_t>(def->columns));
        memcpy(h, def->imgid == IMG_E74 ? "HEAD74" : "E74BSQ", 6);
    }
    putLE16(h + 6, pack);
    putLE16(h + 8, def->nbands);
    putLEFloat(h + 112, static_cast<float>(def->x0));
    putLEFloat(h + 116, static_cast<float>(def->y0));
    putLEFloat(h + 120, static_cast<float>(def->dx));
    putLEFloat(h + 124, static_cast<float>(def->dy));
    def->msbf = kHostMsbf;
    def->offset = kErdasHeader;
    if (platform::writeAt(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return -1;
    return kErdasHeader;
}

// ---- Module level -------------------------------------------------------------

int openErdasFile(const char *name, unsigned char head[128])
{
    platform::FileDesc fd = platform::openFile(name, platform::OpenMode::ReadWrite);
    if (!fd) {
        reportSystemError(name);
        return -1;
    }
    if (platform::readAt(fd.get(), head, kErdasHeader, 0) != kErdasHeader) {
        reportSystemError(name);
        return -1;
    }
    if (memcmp(head, "HEADER", 6) == 0) {
        for (int off = 16; off <= 28; off += 4) putLE32(head + off, static_cast<uint32_t>(truncated(getLEFloat(head + off))));
        memcpy(head, "HEAD74", 6);
    } else if (memcmp(head, "HEAD74", 6) != 0) {
        conEprintf("Not an ERDAS file.\n");
        return -1;
    }
    lseek(fd.get(), 0, SEEK_SET);
    return fd.release();
}

int erdasBits(const unsigned char head[128])
{
    long pack = getI16(head + 6);
    switch (pack) {
    case 0: return 8;
    case 1: return 4;
    case 2: return 16;
    case 3:
    case 4: return 32;
    default: conEprintf("Unsupported NPACK %ld\n", pack); return -1;
    }
}

int GetErdasLine(const unsigned char head[128], int fd, int band, int row, void *buffer)
{
    int bits = erdasBits(head);
    if (bits < 0) return -1;
    const int64_t columns = getI32(head + 16);
    const int64_t nbands = getI16(head + 8);
    const int64_t lineSize = (columns * bits + 4) / 8;
    if (lineSize <= 0 || lineSize > INT32_MAX) return -1;
    const int64_t position = kErdasHeader + lineSize * (band + nbands * row);
    if (position < 0 || lseek(fd, position, SEEK_SET) < 0) {
        reportSystemError("lseek in GetErdasLine");
        return -1;
    }
    ssize_t got = platform::readAll(fd, buffer, static_cast<size_t>(lineSize));
    if (got != lineSize) {
        int err = got < 0 ? errno : 0;
        conPrintf("headsize %d ", kErdasHeader);
        conPrintf("blocksize %lld headUnionSize %d ", static_cast<long long>(row * nbands * lineSize), kErdasHeader);
        conPrintf("position %lld request bytes %d\n", static_cast<long long>(position), static_cast<int>(lineSize));
        errno = err;
        reportSystemError("read in GetErdasLine");
        if (err == EFAULT) conPrintf("Errno EFAULT\n");
        return -1;
    }
    return 0;
}

}  // namespace krel
