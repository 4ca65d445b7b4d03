// Binary PGM ("P5", one band) and PPM ("P6", three bands, pixel-interleaved)
// files with 8-bit samples:
//
//   "P5" | "P6"  whitespace  width  whitespace  height  whitespace  maxval
//   exactly one whitespace byte, then rows x width x bands bytes
//
// Tokens are separated by blanks and line feeds; a "#" at the start of a
// token comments out the rest of its line. Headers written elsewhere carry
// comments of any length (image editors sign their files), so the header is
// looked for in the first 4096 bytes. The pixel data are a raw
// pixel-interleaved layout the generic reader serves (rawLayoutOf).
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/conio.h"
#include "image/formats/formats.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int kHeaderWindow = 4096;

bool isBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A decimal number of at most 9 digits (so it fits int32), or -1.
long number(const uint8_t *p, size_t n)
{
    if (n == 0 || n > 9) return -1;
    long v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!isdigit(p[i])) return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

}  // namespace

int detectPPM(const FileHead &head, ImageDef *def, void ** /*aux*/)
{
    const char *fileName = head.fileName;
    uint8_t buf[kHeaderWindow];
    ssize_t got = head.copy(buf, sizeof buf);
    if (got < 2 || buf[0] != 'P' || (buf[1] != '5' && buf[1] != '6')) return 0;
    const size_t n = static_cast<size_t>(got);
    size_t start[4], length[4];
    size_t at = 0;
    int tokens = 0;
    while (tokens < 4) {
        while (at < n && (isBlank(buf[at]) || buf[at] == '#')) {
            if (buf[at] == '#')
                while (at < n && buf[at] != '\n') ++at;
            else
                ++at;
        }
        if (at >= n) return 0;
        start[tokens] = at;
        while (at < n && !isBlank(buf[at])) ++at;
        length[tokens] = at - start[tokens];
        ++tokens;
    }
    // One whitespace byte ends the header; without it there is no data.
    if (at >= n || !isBlank(buf[at])) return 0;
    const size_t dataAt = at + 1;
    if (length[0] != 2) return 0;
    const long width = number(buf + start[1], length[1]);
    const long height = number(buf + start[2], length[2]);
    const long maxval = number(buf + start[3], length[3]);
    if (width < 0 || height < 0 || maxval < 0) return 0;  // not "%s %d %d %d"
    const char *name = fileName ? fileName : "";
    if (width == 0 || height == 0) {
        conEprintf("Error in readPPM: %s has no pixels (%ld x %ld).\n", name, width, height);
        return -1;
    }
    if (maxval == 0 || maxval > 255) {
        conEprintf("Error in readPPM: %s has the maximum value %ld; only 8-bit samples (1 to 255) are read.\n", name,
                   maxval);
        return -1;
    }
    const int nbands = buf[1] == '6' ? 3 : 1;
    const int64_t block = static_cast<int64_t>(width) * nbands;
    if (block > INT32_MAX / 2) {
        conEprintf("Error in readPPM: %s has rows too wide.\n", name);
        return -1;
    }
    def->imgid = IMG_PPM;
    def->mapid = MAP_GRID;
    def->pixel = PIX_BYTE;
    def->bits = 8;
    def->nbands = nbands;
    def->rows = static_cast<int32_t>(height);
    def->columns = static_cast<int32_t>(width);
    def->block = static_cast<int32_t>(block);
    def->offset = static_cast<int32_t>(dataAt);
    def->top = def->left = 0;
    def->msbf = 0;
    def->nindices = 0;
    def->transparent = -1;
    def->x0 = def->y0 = 0.0;
    def->dx = def->dy = 1.0;
    return IMG_PPM;
}

// PGM and PPM hold one grey or three colour bands of bytes, no palette, and
// the header is sized by the writer.
const char *settlePPMDef(ImageDef *d)
{
    if (d->nbands != 1 && d->nbands != 3) return "Illegal bands for a PPM image.";
    d->offset = 0;
    return nullptr;
}

int writePPMHeader(int fd, int /*checkSpace*/, ImageDef *def)
{
    if (def->nbands != 1 && def->nbands != 3) return -1;
    if (def->rows <= 0 || def->columns <= 0) return -1;
    const int64_t block = static_cast<int64_t>(def->columns) * def->nbands;
    if (block > INT32_MAX) return -1;
    char size[64];
    int n = snprintf(size, sizeof size, "%s\n%d %d\n", def->nbands == 3 ? "P6" : "P5", def->columns, def->rows);
    const int headerLength = n + 4;  // "255\n"
    // A header asked to fill a larger offset gets blanks before the maximum
    // value, where the format allows them (the one byte after it must stay
    // the last of the header). A positive offset too small for the header
    // would put it over the pixels: refused.
    int length = headerLength;
    if (def->offset > headerLength) length = def->offset;
    else if (def->offset > 0 && def->offset < headerLength) return -1;
    if (length > (1 << 20)) return -1;
    std::string header(size, static_cast<size_t>(n));
    header.append(static_cast<size_t>(length - headerLength), ' ');
    header += "255\n";
    if (platform::writeAt(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) return -1;
    def->pixel = PIX_BYTE;
    def->bits = 8;
    def->imgid = IMG_PPM;
    def->block = static_cast<int32_t>(block);
    def->nindices = 0;
    def->msbf = 0;
    def->offset = length;
    return length;
}

}  // namespace krel
