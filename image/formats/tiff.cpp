// TIFF files: the format entry. Every image file directory is a page (a
// volume); detection reads the directory chain (tiff_dir.cpp) and turns the
// first page into an image definition, the volume seek another; lines are
// read by tiff_decode.cpp and headers written by tiff_write.cpp.
//
// Tags used: 256 ImageWidth, 257 ImageLength, 258 BitsPerSample, 259
// Compression (1 none, 32773 PackBits), 262 Photometric, 273 StripOffsets,
// 277 SamplesPerPixel, 278 RowsPerStrip, 279 StripByteCounts, 284
// PlanarConfiguration, 320 ColorMap, 322 TileWidth, 323 TileLength, 324
// TileOffsets, 325 TileByteCounts, 339 SampleFormat, 33550 ModelPixelScale,
// 33922 ModelTiepoint.
#include "core/texts.h"
#include "image/formats/tiff.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

// Fills a definition from a page; false (with the reason printed) when the
// page cannot be read.
bool pageToDef(int fd, const TiffDirectory &dir, int index, ImageDef *def)
{
    const TiffPage &p = dir.pages[index];
    const bool msbf = dir.msbf != 0;
    if (p.columns < 1 || p.rows < 1) {
        conEprintf("Error in reading Tiff: page %d has %d columns and %d rows.\n", index + 1, p.columns, p.rows);
        return false;
    }
    if (p.compression != 0 && p.compression != 1 && p.compression != kPackBits) {
        conEprintf(texts::kTiffCompression, p.compression);
        return false;
    }
    if (p.offsets.present != 1) {
        conEprintf("Fail to find Tiff strip offset.\n");
        return false;
    }
    if (p.samples < 1 || p.samples > 4096) {
        conEprintf("Error in reading Tiff: %d samples per pixel.\n", p.samples);
        return false;
    }
    if (p.samples > 1 && p.planar == 2) {
        conEprintf("Can't read Tiff with separate sample planes.\n");
        return false;
    }
    int pixel;
    switch (p.bits) {
    case 1:
    case 4:
        pixel = p.bits == 1 ? PIX_1BIT : PIX_4BITS;
        if (p.samples != 1) {
            conEprintf("Can't read Tiff with %d samples of %d bits.\n", p.samples, p.bits);
            return false;
        }
        break;
    case 8: pixel = p.sampleFormat == 2 ? PIX_SBYTE : p.sampleFormat == 1 ? PIX_BYTE : -1; break;
    case 16: pixel = p.sampleFormat == 2 ? PIX_SHORT : p.sampleFormat == 1 ? PIX_USHORT : -1; break;
    case 32: pixel = p.sampleFormat == 1 ? PIX_ULONG : p.sampleFormat == 2 ? PIX_LONG : p.sampleFormat == 3 ? PIX_FLOAT : -1; break;
    default:
        conEprintf("Can't read Tiff with %d bits per sample.\n", p.bits);
        return false;
    }
    if (pixel < 0) {
        conEprintf("Can't read Tiff with sample format %d for %d bits.\n", p.sampleFormat, p.bits);
        return false;
    }
    const int64_t block = tiffRowBytes(p);
    if (block <= 0 || block > INT32_MAX / 2 || lineBytesFor(pixel, p.columns) > INT32_MAX / 2 ||
        static_cast<int64_t>(p.rows) * p.samples > INT32_MAX) {
        conEprintf("Error in reading Tiff: page %d is too large.\n", index + 1);
        return false;
    }
    // A row must be backed by the file: uncompressed rows lie in it, PackBits
    // rows shrink to no less than 2 bytes in 128. A larger row is a lie that
    // would only cost memory.
    const int64_t backing = p.compression == kPackBits ? dir.fileSize * 64 + 4096 : dir.fileSize;
    if (block > backing) {
        conEprintf("Error in reading Tiff: rows of %lld bytes in a file of %lld bytes.\n", static_cast<long long>(block),
                   static_cast<long long>(dir.fileSize));
        return false;
    }
    if (isTiled(p)) {
        if (p.tileWidth == 0 || p.tileLength == 0 || p.tileWidth == UINT32_MAX || p.tileLength == UINT32_MAX ||
            (static_cast<int64_t>(p.tileWidth) * p.bits * p.samples) % 8 != 0 || tileRowBytes(p) > 2 * block + 65536) {
            conEprintf("Error in reading Tiff: tiles of %u x %u.\n", p.tileWidth, p.tileLength);
            return false;
        }
    }
    def->imgid = IMG_TIFF;
    def->pixel = pixel;
    def->bits = pixelBits(pixel);
    def->mapid = MAP_GRID;
    def->nbands = p.samples;
    def->rows = p.rows;
    def->columns = p.columns;
    def->block = static_cast<int32_t>(block);
    def->top = def->left = 0;
    def->msbf = msbf || p.bits < 8 ? 1 : 0;
    def->transparent = -1;
    def->volumes = dir.pageCount;
    int64_t first = tiffArrayValue(fd, msbf, p.offsets, 0, 273);
    def->offset = static_cast<int32_t>(std::clamp<int64_t>(first, 0, dir.fileSize));
    memset(def->palette, 0, sizeof def->palette);
    def->nindices = 0;
    if (p.colorMap.present && p.bits <= 16) {
        const TiffArray &cm = p.colorMap;
        if (cm.type != T_BYTE && cm.type != T_SHORT && cm.type != T_LONG) {
            conEprintf("Unknown data type for ColorMap\n");
        } else if (cm.count >= 3) {
            const uint32_t per = cm.count / 3;
            const int n = static_cast<int>(std::min<uint32_t>({per, 256u, 1u << p.bits}));
            const int size = tiffTypeSize(cm.type);
            std::vector<uint8_t> raw(static_cast<size_t>(cm.count) * size);
            if (platform::readAt(fd, raw.data(), raw.size(), cm.at) == static_cast<ssize_t>(raw.size())) {
                for (int c = 0; c < 3; ++c)
                    for (int i = 0; i < n; ++i) {
                        const uint8_t *v = raw.data() + (static_cast<size_t>(c) * per + i) * size;
                        uint32_t value = cm.type == T_BYTE ? *v : cm.type == T_SHORT ? get16(v, msbf) >> 8 : get32(v, msbf) >> 8;
                        def->palette[i][c] = static_cast<uint8_t>(value);
                    }
                def->nindices = n;
            }
        }
    }
    if (def->nindices == 0 && p.bits == 1) {
        // White then black, as for Photometric 0; a BlackIsZero page the other way round.
        uint8_t first = p.photometric == 1 ? 0 : 255;
        memset(def->palette[0], first, 3);
        memset(def->palette[1], 255 - first, 3);
        def->nindices = 2;
    }
    def->x0 = def->y0 = 0.0;
    def->dx = def->dy = 1.0;
    if (p.hasScale) {
        def->dx = p.scale[0];
        def->dy = p.scale[1];
    }
    if (p.hasTiepoint) {
        def->x0 = p.tiepoint[3] - p.tiepoint[0] * def->dx;
        def->y0 = p.tiepoint[4] - p.tiepoint[1] * def->dy;
    }
    return true;
}

int defaultCacheLines(const RamImage *img)
{
    const int64_t nb = img->def.nbands;
    int n = 4;
    while (n < 127 && nb * n * (img->lineBytes + 4) + (nb * n) / 8 + 1 < 262144) ++n;
    return n;
}

int tiffSeek(RamImage *img, int volume)
{
    TiffDirectory *dir = directoryOf(img);
    if (dir == nullptr || dir->pageCount < 2) {
        img->curVolume = img->numVolumes = 1;
        return -2;
    }
    const int pages = dir->pageCount;
    img->numVolumes = pages;
    int target;
    if (volume < 0 || volume > pages) target = pages;
    else if (volume == 0) {
        if (img->curVolume >= pages) return -2;
        target = img->curVolume + 1;
    } else target = volume;
    if (target - 1 != dir->current) {
        ImageDef next = img->def;
        if (!pageToDef(img->fileHandle, *dir, target - 1, &next)) return -1;
        flushImage(img);
        const int previous = dir->current;
        const ImageDef keep = img->def;
        dir->current = target - 1;
        img->def = next;
        img->lineBytes = static_cast<int32_t>(lineBytesFor(next.pixel, next.columns));
        img->dataOffset = next.offset;
        discardBandStats(img);
        if (setRAMImageBuf(img, defaultCacheLines(img)) == 0) {
            dir->current = previous;
            img->def = keep;
            img->lineBytes = static_cast<int32_t>(lineBytesFor(keep.pixel, keep.columns));
            img->dataOffset = keep.offset;
            invalidateCache(img);
            return -1;
        }
    }
    img->curVolume = target;
    return target;
}

int tiffOpenSetup(RamImage *img)
{
    img->seekHook = tiffSeek;
    return 0;
}

const FormatIO kTiffIO = {tiffLoadLine, tiffStoreSlot, tiffCacheLines, tiffOpenSetup};

}  // namespace

TiffDirectory *directoryOf(RamImage *img)
{
    auto *dir = static_cast<TiffDirectory *>(img->formatData);
    if (dir == nullptr || memcmp(dir->magic, "TIFFDIR", 8) != 0) return nullptr;
    return dir;
}


// Rewrites the ColorMap of the page in use from the image's palette.
int writeTiffPalette(RamImage *img)
{
    TiffDirectory *dir = directoryOf(img);
    const TiffPage *p = dir ? &dir->pages[dir->current] : nullptr;
    if (p == nullptr || !p->colorMap.present || p->colorMap.type != T_SHORT || p->colorMap.count < 3) {
        conEprintf("Error in writing the palette of %s: the Tiff file has no colour map.\n", img->def.file);
        return -1;
    }
    const bool msbf = dir->msbf != 0;
    const uint32_t per = p->colorMap.count / 3;
    const int n = static_cast<int>(std::min<uint32_t>(per, 256));
    std::vector<uint8_t> raw(static_cast<size_t>(p->colorMap.count) * 2);
    if (platform::readAt(img->fileHandle, raw.data(), raw.size(), p->colorMap.at) != static_cast<ssize_t>(raw.size()))
        return -1;
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < n; ++i) put16(raw.data() + (static_cast<size_t>(c) * per + i) * 2, img->def.palette[i][c] * 257u, msbf);
    if (platform::writeAt(img->fileHandle, raw.data(), raw.size(), p->colorMap.at) != static_cast<ssize_t>(raw.size())) {
        conEprintf("Error in writing the palette of %s.\n", img->def.file);
        return -1;
    }
    return 0;
}

// A one-band Tiff of 1, 4 or 8 bits is an index image with a full table.
const char *settleTiffDef(ImageDef *d)
{
    if (d->nbands == 1)
        d->nindices = (d->pixel == PIX_1BIT || d->pixel == PIX_4BITS || d->pixel == PIX_BYTE) ? paletteSizeOf(d->pixel) : 0;
    return nullptr;
}

int detectTiff(const FileHead &head, ImageDef *def, void **aux)
{
    const int fd = head.fd;
    uint8_t h[8];
    if (!head.read(h, sizeof h)) return 0;
    int status;
    TiffDirectory *dir = readTiffChain(fd, h, &status);
    if (dir == nullptr) return status;
    if (!pageToDef(fd, *dir, 0, def)) {
        gmemFree(dir);
        return -1;
    }
    if (aux) {
        gmemFree(*aux);
        *aux = dir;
    } else {
        gmemFree(dir);
    }
    return IMG_TIFF;
}

const FormatIO *tiffFormatIO() { return &kTiffIO; }

}  // namespace krel
