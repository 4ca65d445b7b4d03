// TIFF files: every image file directory is a page (a volume); lines are read
// on demand from uncompressed or PackBits strips and tiles.
//
//   offset size  content
//        0    2  "II" (numbers least significant byte first) or "MM"
//        2    2  42
//        4    4  offset of the first directory
//   directory:   entry count (16 bits), entries of 12 bytes, offset of the
//                next directory (32 bits, 0 for the last)
//   entry:       tag (16), type (16), count (32), value or offset (32); the
//                value lies inside the entry when count x type size <= 4
//
// Tags used: 256 ImageWidth, 257 ImageLength, 258 BitsPerSample, 259
// Compression (1 none, 32773 PackBits), 262 Photometric, 273 StripOffsets,
// 277 SamplesPerPixel, 278 RowsPerStrip, 279 StripByteCounts, 284
// PlanarConfiguration, 320 ColorMap, 322 TileWidth, 323 TileLength, 324
// TileOffsets, 325 TileByteCounts, 339 SampleFormat, 33550 ModelPixelScale,
// 33922 ModelTiepoint.
//
// Nothing read from a file is trusted: arrays must lie inside the file, the
// directory chain must not loop, and strips or tiles that point beyond the
// end read as zeros.
#include "core/texts.h"
#include "image/formats/tiff.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int kMaxPages = 65536;
constexpr int64_t kMaxEntries = int64_t(1) << 20;  // entries read over all directories
constexpr int64_t kCacheCap = int64_t(32) << 20;  // bytes of lines a cache is raised to for whole strips
constexpr uint16_t kPackBits = 32773;

enum TiffType { T_BYTE = 1, T_ASCII, T_SHORT, T_LONG, T_RATIONAL, T_SBYTE, T_UNDEFINED, T_SSHORT, T_SLONG,
                T_SRATIONAL, T_FLOAT, T_DOUBLE };

int typeSize(int type)
{
    static const int kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type >= 1 && type <= 12 ? kSizes[type] : 0;
}


// One value of an integer array: -1 when it cannot be read.
int64_t arrayValue(int fd, bool msbf, const TiffArray &a, uint32_t index, int tag)
{
    if (!a.present || index >= a.count) return -1;
    const int size = typeSize(a.type);
    uint8_t b[4];
    switch (a.type) {
    case T_BYTE:
    case T_ASCII:
    case T_SBYTE:
    case T_UNDEFINED:
    case T_SHORT:
    case T_SSHORT:
    case T_LONG:
    case T_SLONG: break;
    default:
        conEprintf("Unknown data type for array element at index: %d tagged as: %d\n", static_cast<int>(index), tag);
        return -1;
    }
    if (platform::readAt(fd, b, static_cast<size_t>(size), a.at + static_cast<int64_t>(index) * size) != size) return -1;
    switch (a.type) {
    case T_SBYTE: return static_cast<int8_t>(b[0]);
    case T_SHORT: return get16(b, msbf);
    case T_SSHORT: return static_cast<int16_t>(get16(b, msbf));
    case T_LONG: return get32(b, msbf);
    case T_SLONG: return static_cast<int32_t>(get32(b, msbf));
    default: return b[0];
    }
}

bool readDoubles(int fd, bool msbf, const TiffArray &a, double *out, int n)
{
    if (!a.present || a.type != T_DOUBLE || a.count < static_cast<uint32_t>(n)) return false;
    uint8_t b[8 * 6];
    if (platform::readAt(fd, b, static_cast<size_t>(8 * n), a.at) != 8 * n) return false;
    for (int i = 0; i < n; ++i) {
        uint64_t u = 0;
        for (int k = 0; k < 8; ++k) u |= uint64_t(b[8 * i + (msbf ? 7 - k : k)]) << (8 * k);
        memcpy(&out[i], &u, 8);
    }
    return true;
}

// Reads one directory into a page; the next directory's offset goes to *next.
// Returns the number of entries read.
int64_t readDirectory(int fd, bool msbf, int64_t fileSize, int64_t at, TiffPage *page, int64_t *next)
{
    memset(page, 0, sizeof *page);
    page->directory = at;
    page->samples = 1;
    page->sampleFormat = 1;
    page->compression = 1;
    page->planar = 1;
    page->photometric = -1;
    *next = 0;
    uint8_t cnt[2];
    if (at + 2 > fileSize || platform::readAt(fd, cnt, 2, at) != 2) return 0;
    int64_t n = get16(cnt, msbf);
    n = std::min<int64_t>(n, (fileSize - at - 2) / 12);  // a directory cut by the file's end
    std::vector<uint8_t> entries(static_cast<size_t>(n * 12 + 4));
    int64_t want = n * 12 + 4;
    ssize_t got = platform::readAt(fd, entries.data(), static_cast<size_t>(want), at + 2);
    if (got < n * 12) return 0;
    if (got == want) *next = get32(entries.data() + n * 12, msbf);
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t *e = entries.data() + i * 12;
        const int tag = get16(e, msbf), type = get16(e + 2, msbf);
        TiffArray a{};
        a.count = get32(e + 4, msbf);
        a.type = static_cast<uint16_t>(type);
        const int size = typeSize(type);
        const int64_t bytes = static_cast<int64_t>(a.count) * size;
        a.at = bytes <= 4 ? at + 2 + i * 12 + 8 : get32(e + 8, msbf);
        // An array that does not lie wholly inside the file is as good as missing.
        a.present = size > 0 && a.count > 0 && a.at + bytes <= fileSize;
        auto scalar = [&](int32_t *field) {
            int64_t v = arrayValue(fd, msbf, a, 0, tag);
            if (v >= 0 && v <= INT32_MAX) *field = static_cast<int32_t>(v);
            else *field = -1;
        };
        switch (tag) {
        case 256: scalar(&page->columns); break;
        case 257: scalar(&page->rows); break;
        case 258: {
            scalar(&page->bits);
            // Samples of different sizes cannot share one pixel type.
            for (uint32_t k = 1; k < std::min<uint32_t>(a.count, 64) && page->bits >= 0; ++k)
                if (arrayValue(fd, msbf, a, k, tag) != page->bits) page->bits = -2;
            break;
        }
        case 259: scalar(&page->compression); break;
        case 262: scalar(&page->photometric); break;
        case 273:
        case 324:
            page->offsets = a;
            if (!a.present) page->offsets.present = 2;  // named, but beyond the file
            break;
        case 277: scalar(&page->samples); break;
        case 278: {
            int64_t v = arrayValue(fd, msbf, a, 0, tag);
            page->rowsPerStrip = v > 0 ? static_cast<uint32_t>(std::min<int64_t>(v, UINT32_MAX)) : 0;
            break;
        }
        case 279:
        case 325: page->byteCounts = a; break;
        case 284: scalar(&page->planar); break;
        case 320: page->colorMap = a; break;
        case 322:
        case 323: {
            int64_t v = arrayValue(fd, msbf, a, 0, tag);
            uint32_t u = v > 0 && v <= INT32_MAX ? static_cast<uint32_t>(v) : 0;
            (tag == 322 ? page->tileWidth : page->tileLength) = v < 0 || v > INT32_MAX ? UINT32_MAX : u;
            break;
        }
        case 339: scalar(&page->sampleFormat); break;
        case 33550: page->hasScale = readDoubles(fd, msbf, a, page->scale, 3); break;
        case 33922: page->hasTiepoint = readDoubles(fd, msbf, a, page->tiepoint, 6); break;
        default: break;
        }
    }
    return n;
}

bool isTiled(const TiffPage &p) { return p.tileWidth != 0 || p.tileLength != 0; }

// Bytes of one stored row of a page (all samples), the TIFF block.
int64_t rowBytes(const TiffPage &p)
{
    switch (p.bits) {
    case 1: return (static_cast<int64_t>(p.columns) - 1) / 8 + 1;
    case 4: return (static_cast<int64_t>(p.columns) + 1) / 2;
    default: return static_cast<int64_t>(p.samples) * p.columns * (p.bits / 8);
    }
}

int64_t tileRowBytes(const TiffPage &p) { return (static_cast<int64_t>(p.tileWidth) * p.bits * p.samples + 7) / 8; }

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
    const int64_t block = rowBytes(p);
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
    int64_t first = arrayValue(fd, msbf, p.offsets, 0, 273);
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
            const int size = typeSize(cm.type);
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

TiffDirectory *directoryOf(RamImage *img)
{
    auto *dir = static_cast<TiffDirectory *>(img->formatData);
    if (dir == nullptr || memcmp(dir->magic, "TIFFDIR", 8) != 0) return nullptr;
    return dir;
}

// Sequential reading of compressed bytes inside [at, end), clipped to the file.
class LimitedSource {
public:
    LimitedSource(int fd, int64_t at, int64_t end) : fd_(fd), pos_(at), end_(end) {}
    int get()
    {
        if (i_ == n_) {
            if (pos_ >= end_) return -1;
            ssize_t got = platform::readAt(fd_, buf_, static_cast<size_t>(std::min<int64_t>(sizeof buf_, end_ - pos_)), pos_);
            if (got <= 0) {
                end_ = pos_;
                return -1;
            }
            pos_ += got;
            n_ = static_cast<size_t>(got);
            i_ = 0;
        }
        return buf_[i_++];
    }

private:
    int fd_;
    int64_t pos_, end_;
    size_t i_ = 0, n_ = 0;
    uint8_t buf_[8192];
};

// PackBits expansion, resumable across rows.
class PackBits {
public:
    PackBits(int fd, int64_t at, int64_t end) : src_(fd, at, end) {}
    // Produces n bytes; what the data does not cover is zero. False when the
    // data ended before.
    bool read(uint8_t *out, int64_t n)
    {
        int64_t done = 0;
        while (done < n) {
            if (literal_ > 0) {
                int c = src_.get();
                if (c < 0) break;
                out[done++] = static_cast<uint8_t>(c);
                --literal_;
            } else if (repeat_ > 0) {
                int64_t k = std::min<int64_t>(repeat_, n - done);
                memset(out + done, value_, static_cast<size_t>(k));
                done += k;
                repeat_ -= static_cast<int>(k);
            } else {
                int c = src_.get();
                if (c < 0) break;
                int8_t count = static_cast<int8_t>(c);
                if (count >= 0) {
                    literal_ = count + 1;
                } else if (count != -128) {
                    int v = src_.get();
                    if (v < 0) break;
                    value_ = static_cast<uint8_t>(v);
                    repeat_ = 1 - count;
                }
            }
        }
        if (done < n) memset(out + done, 0, static_cast<size_t>(n - done));
        return done == n;
    }

private:
    LimitedSource src_;
    int literal_ = 0, repeat_ = 0;
    uint8_t value_ = 0;
};

void reportShort(RamImage *img)
{
    if (img->shortReadReported) return;
    img->shortReadReported = 1;
    conEprintf("Error in reading image %s: the file ends before its data; the rest reads as 0.\n", img->def.file);
}

// A run of bytes of one stored row in the file.
struct Piece {
    int64_t file;  // -1: nowhere (reads as zero, is not written)
    int64_t at;    // offset within the row
    int64_t len;
};

// Where the bytes of one row of an uncompressed page lie.
void rowPieces(RamImage *img, const TiffDirectory *dir, int row, std::vector<Piece> &out)
{
    out.clear();
    const int64_t block = img->def.block;
    if (dir == nullptr) {
        out.push_back({img->dataOffset + row * block, 0, block});
        return;
    }
    const TiffPage &p = dir->pages[dir->current];
    const bool msbf = dir->msbf != 0;
    const int fd = img->fileHandle;
    if (!isTiled(p)) {
        if (p.offsets.count > 1) {
            const uint32_t rps = p.rowsPerStrip == 0 ? static_cast<uint32_t>(p.rows) : p.rowsPerStrip;
            const uint32_t k = static_cast<uint32_t>(row) / rps;
            int64_t base = arrayValue(fd, msbf, p.offsets, k, 273);
            out.push_back({base < 0 ? -1 : base + static_cast<int64_t>(row - static_cast<int64_t>(k) * rps) * block, 0, block});
        } else {
            int64_t base = arrayValue(fd, msbf, p.offsets, 0, 273);
            out.push_back({base < 0 ? -1 : base + row * block, 0, block});
        }
        return;
    }
    const int64_t trb = tileRowBytes(p);
    const uint32_t across = (static_cast<uint32_t>(p.columns) - 1) / p.tileWidth + 1;
    const uint32_t k = static_cast<uint32_t>(row) / p.tileLength;
    const int64_t inTile = row - static_cast<int64_t>(k) * p.tileLength;
    for (uint32_t j = 0; j < across; ++j) {
        int64_t at = j * trb;
        if (at >= block) break;
        int64_t base = arrayValue(fd, msbf, p.offsets, k * across + j, 324);
        out.push_back({base < 0 ? -1 : base + inTile * trb, at, std::min(trb, block - at)});
    }
}

// Reads rows [first, last) of an uncompressed page into the stage.
void readPlainRows(RamImage *img, const TiffDirectory *dir, int first, int last, uint8_t *stage)
{
    const int64_t block = img->def.block;
    std::vector<Piece> pieces;
    for (int r = first; r < last; ++r) {
        uint8_t *row = stage + (r - first) * block;
        rowPieces(img, dir, r, pieces);
        for (const Piece &pc : pieces) {
            ssize_t got = pc.file < 0 ? 0 : platform::readAt(img->fileHandle, row + pc.at, static_cast<size_t>(pc.len), pc.file);
            if (got < 0) got = 0;
            if (got < pc.len) {
                memset(row + pc.at + got, 0, static_cast<size_t>(pc.len - got));
                reportShort(img);
            }
        }
    }
}

int64_t stripEnd(int fd, bool msbf, const TiffPage &p, uint32_t index, int64_t start, int64_t fileSize, int tag)
{
    int64_t count = arrayValue(fd, msbf, p.byteCounts, index, tag);
    if (count < 0) return fileSize;  // no byte count: the data may run to the end
    return std::min(fileSize, start + count);
}

// Expands rows [first, last) of a PackBits page into the stage.
void readPackBitsRows(RamImage *img, const TiffDirectory *dir, int first, int last, uint8_t *stage)
{
    const TiffPage &p = dir->pages[dir->current];
    const bool msbf = dir->msbf != 0;
    const int fd = img->fileHandle;
    const int64_t block = img->def.block;
    const int64_t fileSize = dir->fileSize;
    std::vector<uint8_t> skip;
    if (!isTiled(p)) {
        const uint32_t rps = p.offsets.count > 1 ? (p.rowsPerStrip == 0 ? static_cast<uint32_t>(p.rows) : p.rowsPerStrip)
                                                 : static_cast<uint32_t>(p.rows);
        int r = first;
        while (r < last) {
            const uint32_t k = static_cast<uint32_t>(r) / rps;
            const int64_t stripFirst = static_cast<int64_t>(k) * rps;
            const int stop = static_cast<int>(std::min<int64_t>(last, stripFirst + rps));
            int64_t start = arrayValue(fd, msbf, p.offsets, k, 273);
            if (start < 0 || start >= fileSize) {
                memset(stage + (r - first) * block, 0, static_cast<size_t>((stop - r) * block));
                reportShort(img);
                r = stop;
                continue;
            }
            PackBits in(fd, start, stripEnd(fd, msbf, p, k, start, fileSize, 279));
            skip.resize(static_cast<size_t>(block));
            bool ok = true;
            for (int64_t s = stripFirst; s < r && ok; ++s) ok = in.read(skip.data(), block);
            for (; r < stop; ++r) {
                if (!in.read(stage + (r - first) * block, block) && ok) {
                    ok = false;
                    reportShort(img);
                }
            }
        }
        return;
    }
    const int64_t trb = tileRowBytes(p);
    const uint32_t across = (static_cast<uint32_t>(p.columns) - 1) / p.tileWidth + 1;
    std::vector<uint8_t> tileRow(static_cast<size_t>(trb));
    int r = first;
    while (r < last) {
        const uint32_t k = static_cast<uint32_t>(r) / p.tileLength;
        const int64_t tileFirst = static_cast<int64_t>(k) * p.tileLength;
        const int stop = static_cast<int>(std::min<int64_t>(last, tileFirst + p.tileLength));
        for (uint32_t j = 0; j < across; ++j) {
            const int64_t at = j * trb;
            if (at >= block) break;
            const int64_t len = std::min(trb, block - at);
            int64_t start = arrayValue(fd, msbf, p.offsets, k * across + j, 324);
            bool ok = start >= 0 && start < fileSize;
            if (!ok) reportShort(img);
            PackBits in(fd, ok ? start : 0, ok ? stripEnd(fd, msbf, p, k * across + j, start, fileSize, 325) : 0);
            for (int64_t s = tileFirst; s < stop; ++s) {
                bool got = in.read(tileRow.data(), trb);
                if (!got && ok) {
                    ok = false;
                    reportShort(img);
                }
                if (s >= r) memcpy(stage + (s - first) * block + at, tileRow.data(), static_cast<size_t>(len));
            }
        }
        r = stop;
    }
}

int elementSize(int pixel)
{
    switch (pixel) {
    case PIX_SHORT:
    case PIX_USHORT: return 2;
    case PIX_LONG:
    case PIX_ULONG:
    case PIX_FLOAT: return 4;
    default: return 1;
    }
}

// A stored row (all samples) into one band line and back. ULONG lines hold
// one byte a column: only the low byte of each value fits, and such lines
// are not written back.
void spreadBand(const RamImage *img, const uint8_t *row, uint8_t *line, int band)
{
    const ImageDef &d = img->def;
    const int64_t lineBytes = img->lineBytes;
    const bool narrow = d.pixel == PIX_ULONG;
    if (d.nbands == 1 && !narrow) {
        int64_t n = std::min<int64_t>(lineBytes, d.block);
        memcpy(line, row, static_cast<size_t>(n));
        if (n < lineBytes) memset(line + n, 0, static_cast<size_t>(lineBytes - n));
        return;
    }
    const int e = elementSize(d.pixel);
    const int64_t step = static_cast<int64_t>(d.nbands) * e;
    const uint8_t *src = row + static_cast<int64_t>(band) * e;
    for (int64_t c = 0; c < d.columns; ++c) {
        if (narrow) line[c] = src[c * step + (d.msbf != 0 ? e - 1 : 0)];
        else memcpy(line + c * e, src + c * step, static_cast<size_t>(e));
    }
}

void gatherBand(const RamImage *img, uint8_t *row, const uint8_t *line, int band)
{
    const ImageDef &d = img->def;
    if (d.pixel == PIX_ULONG) return;
    if (d.nbands == 1) {
        memcpy(row, line, static_cast<size_t>(std::min<int64_t>(img->lineBytes, d.block)));
        return;
    }
    const int e = elementSize(d.pixel);
    const int64_t step = static_cast<int64_t>(d.nbands) * e;
    uint8_t *dst = row + static_cast<int64_t>(band) * e;
    for (int64_t c = 0; c < d.columns; ++c) memcpy(dst + c * step, line + c * e, static_cast<size_t>(e));
}

int tiffLoadLine(RamImage *img, int line, int /*band*/, int /*load*/)
{
    const ImageDef &d = img->def;
    TiffDirectory *dir = directoryOf(img);
    const TiffPage *p = dir ? &dir->pages[dir->current] : nullptr;
    const int64_t block = d.block;
    // The rows delivered: from the start of the strip or tile row that holds
    // the line, as many as the cache holds, always including the line.
    int64_t blockFirst = line, blockRows = img->cachedLines;
    if (p && isTiled(*p)) {
        blockFirst = static_cast<int64_t>(line / p->tileLength) * p->tileLength;
        blockRows = p->tileLength;
    } else if (p && p->offsets.count > 1) {
        const int64_t rps = p->rowsPerStrip == 0 ? d.rows : p->rowsPerStrip;
        blockFirst = line / rps * rps;
        blockRows = rps;
    }
    const int64_t blockLast = std::min<int64_t>(d.rows, blockFirst + blockRows);
    int64_t first = std::max<int64_t>(blockFirst, std::min<int64_t>(line, blockLast - img->cachedLines));
    int64_t last = std::min<int64_t>(blockLast, first + img->cachedLines);
    if (last <= line) last = line + 1;
    // A miss delivers about a megabyte of rows around the line rather than a
    // whole cache's worth, so reading lines far apart (or a file whose strip
    // claims far more rows than it holds) costs what is read, not what the
    // strip declares. Compressed strips are still decoded from their start.
    const int64_t most =
        std::max<int64_t>(1, std::min<int64_t>(img->cachedLines, (int64_t(1) << 20) / std::max<int64_t>(1, block)));
    if (last - first > most) {
        first = std::max<int64_t>(first, std::min<int64_t>(line, last - most));
        last = std::min<int64_t>(last, first + most);
    }
    if (!ensureBuffer(img->stage, img->stageBytes, (last - first) * block)) {
        first = line;
        last = line + 1;
        if (!ensureBuffer(img->stage, img->stageBytes, block)) {
            conEprintf("Error of malloc in getLine.\n");
            return -1;
        }
    }
    if (p && p->compression == kPackBits) readPackBitsRows(img, dir, static_cast<int>(first), static_cast<int>(last), img->stage);
    else readPlainRows(img, dir, static_cast<int>(first), static_cast<int>(last), img->stage);
    const bool swap = needsSwap(img);
    const int nb = d.nbands;
    for (int64_t r = first; r < last; ++r) {
        for (int b = 0; b < nb; ++b) {
            const int key = static_cast<int>(r * nb + b);
            const int slot = key % img->cacheSlots;
            if (img->slotMap[slot] == key && slotIsDirty(img, slot)) continue;  // newer than the file
            if (slotIsDirty(img, slot)) img->flushSlot(img, slot);
            uint8_t *data = slotData(img, slot);
            spreadBand(img, img->stage + (r - first) * block, data, b);
            if (swap) swapLine(d.pixel, d.columns, data);
            img->slotMap[slot] = key;
        }
    }
    return 0;
}

int tiffStoreSlot(RamImage *img, int slot)
{
    const ImageDef &d = img->def;
    const int key = img->slotMap[slot];
    if (key < 0) return 0;
    TiffDirectory *dir = directoryOf(img);
    if (dir && dir->pages[dir->current].compression == kPackBits) {
        if (!img->ioErrorReported) conEprintf("Error in writing image %s: compressed Tiff data can't be rewritten.\n", d.file);
        img->ioErrorReported = 1;
        return -1;
    }
    const int line = key / d.nbands;
    if (!ensureBuffer(img->rowBuf, img->rowBufBytes, d.block)) {
        conEprintf("Error of malloc in flushing image %s.\n", d.file);
        return -1;
    }
    readPlainRows(img, dir, line, line + 1, img->rowBuf);
    const bool swap = needsSwap(img);
    for (int b = 0; b < d.nbands; ++b) {
        const int k = line * d.nbands + b, s = k % img->cacheSlots;
        if (img->slotMap[s] != k) continue;
        uint8_t *data = slotData(img, s);
        if (swap) swapLine(d.pixel, d.columns, data);
        gatherBand(img, img->rowBuf, data, b);
        if (swap) swapLine(d.pixel, d.columns, data);
        clearSlotDirty(img, s);
    }
    std::vector<Piece> pieces;
    rowPieces(img, dir, line, pieces);
    for (const Piece &pc : pieces) {
        if (pc.file < 0) continue;
        if (platform::writeAt(img->fileHandle, img->rowBuf + pc.at, static_cast<size_t>(pc.len), pc.file) != pc.len) {
            if (!img->ioErrorReported) conEprintf("Error in writing image %s.\n", d.file);
            img->ioErrorReported = 1;
            return -1;
        }
    }
    return 0;
}

int tiffCacheLines(RamImage *img, int wanted)
{
    const ImageDef &d = img->def;
    TiffDirectory *dir = directoryOf(img);
    if (img->fileHandle < 0) return d.rows;
    int64_t unit = 1;
    if (dir) {
        const TiffPage &p = dir->pages[dir->current];
        if (isTiled(p)) unit = p.tileLength;
        else if (p.offsets.count > 1) unit = p.rowsPerStrip == 0 ? d.rows : p.rowsPerStrip;
    }
    unit = std::clamp<int64_t>(unit, 1, d.rows);
    int64_t n = (std::max(wanted, 1) + unit - 1) / unit * unit;
    n = std::max(n, 2 * unit);
    if (n > d.rows) n = d.rows;
    // Strips longer than a sensible cache are delivered in parts.
    const int64_t perLine = std::max<int64_t>(1, static_cast<int64_t>(img->lineBytes) * d.nbands);
    n = std::min(n, std::max<int64_t>(wanted, kCacheCap / perLine));
    return static_cast<int>(std::clamp<int64_t>(n, 1, d.rows));
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
    bool msbf;
    if (h[0] == 'I' && h[1] == 'I') msbf = false;
    else if (h[0] == 'M' && h[1] == 'M') msbf = true;
    else return 0;
    const unsigned magic = get16(h + 2, msbf);
    if (magic == 43) {
        conEprintf("Can't read BigTIFF files.\n");
        return -1;
    }
    if (magic != 42) return 0;
    const int64_t fileSize = platform::fileSize(fd);
    std::vector<TiffPage> pages;
    std::set<int64_t> seen;
    // Overlapping directories could make a small file read as many huge
    // ones: the pages end where the entry budget does.
    int64_t entries = 0;
    for (int64_t at = get32(h + 4, msbf); at != 0 && pages.size() < kMaxPages && entries < kMaxEntries;) {
        if (!seen.insert(at).second) break;  // a directory chain that loops ends where it closes
        if (at < 8 || at + 2 > fileSize) break;
        int64_t next;
        pages.emplace_back();
        entries += readDirectory(fd, msbf, fileSize, at, &pages.back(), &next) + 1;
        at = next;
    }
    if (pages.empty()) {
        conEprintf("Error in reading Tiff: no image directory.\n");
        return -1;
    }
    const size_t bytes = offsetof(TiffDirectory, pages) + pages.size() * sizeof(TiffPage);
    auto *dir = static_cast<TiffDirectory *>(gmemAlloc(static_cast<uint32_t>(bytes)));
    if (dir == nullptr) {
        conEprintf("Error of malloc in reading Tiff.\n");
        return -1;
    }
    memset(dir, 0, bytes);
    memcpy(dir->magic, "TIFFDIR", 8);
    dir->msbf = msbf;
    dir->pageCount = static_cast<int32_t>(pages.size());
    dir->fileSize = fileSize;
    memcpy(dir->pages, pages.data(), pages.size() * sizeof(TiffPage));
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

int writeTiffHeader(int fd, int checkSpace, ImageDef *def)
{
    const int nb = def->nbands;
    const int bits = pixelBits(def->pixel);
    if (bits <= 0 || nb < 1 || nb > 4096 || def->rows < 1 || def->columns < 1) return -1;
    if (bits < 8 && nb != 1) return -1;
    const int64_t perRow = bits >= 8 ? static_cast<int64_t>(def->columns) * nb * bits / 8
                                     : (static_cast<int64_t>(def->columns) * bits + 7) / 8;
    const int64_t dataSize = perRow * def->rows;
    if (perRow > INT32_MAX || dataSize > UINT32_MAX - 65536 - 12 * nb) {
        conEprintf("Error in writing Tiff %s: %lld bytes of data are too many for a Tiff file.\n", def->file,
                   static_cast<long long>(dataSize));
        return -1;
    }
    if (checkSpace) {
        double requested = 8.0 + static_cast<double>(dataSize);
        double available = platform::freeDiskSpace(def->file);
        if (available >= 0 && requested > available) {
            conEprintf("Insufficient disk space.  Requested:%.f Available:%.f\n", requested, available);
            return -1;
        }
    }
    const bool msbf = kHostMsbf != 0;
    int sampleFormat;
    switch (def->pixel) {
    case PIX_SHORT:
    case PIX_LONG:
    case PIX_SBYTE: sampleFormat = 2; break;
    case PIX_FLOAT: sampleFormat = 3; break;
    default: sampleFormat = 1; break;
    }
    const bool palette = nb == 1 && def->nindices > 0 && bits <= 8;
    // A colour map has 2^bits entries of each colour: 256 for bytes. Values
    // are 16-bit: v x 257 maps 255 to 65535, and both v x 257 / 257 (GDAL,
    // ImageMagick) and v x 257 >> 8 (this reader) give v back.
    const int mapEntries = palette ? 1 << bits : 0;

    // The extra area after the data, each array on a word boundary.
    int64_t at = (8 + dataSize + 1) & ~int64_t(1);
    const int64_t bitsAt = nb > 2 ? at : 0;
    if (nb > 2) at += 2 * nb;
    const int64_t formatAt = nb > 2 ? at : 0;
    if (nb > 2) at += 2 * nb;
    const int64_t mapAt = palette ? at : 0;
    at += 6 * mapEntries;
    const int64_t dirAt = at;
    std::vector<uint8_t> extra(static_cast<size_t>(dirAt - ((8 + dataSize + 1) & ~int64_t(1))));
    const int64_t extraAt = (8 + dataSize + 1) & ~int64_t(1);
    for (int b = 0; b < nb && nb > 2; ++b) {
        put16(extra.data() + (bitsAt - extraAt) + 2 * b, static_cast<unsigned>(bits), msbf);
        put16(extra.data() + (formatAt - extraAt) + 2 * b, static_cast<unsigned>(sampleFormat), msbf);
    }
    for (int c = 0; c < 3 && palette; ++c)
        for (int i = 0; i < mapEntries; ++i)
            put16(extra.data() + (mapAt - extraAt) + 2 * (c * mapEntries + i), def->palette[i][c] * 257u, msbf);

    const int count = palette ? 15 : 14;
    std::vector<uint8_t> d(static_cast<size_t>(2 + 12 * count + 4), 0);
    put16(d.data(), static_cast<unsigned>(count), msbf);
    uint8_t *e = d.data() + 2;
    auto entry = [&](int tag, int type, uint32_t n) {
        put16(e, static_cast<unsigned>(tag), msbf);
        put16(e + 2, static_cast<unsigned>(type), msbf);
        put32(e + 4, n, msbf);
        e += 12;
        return e - 4;  // the value field
    };
    auto longEntry = [&](int tag, uint32_t v) { put32(entry(tag, T_LONG, 1), v, msbf); };
    auto shortEntry = [&](int tag, unsigned v) { put16(entry(tag, T_SHORT, 1), v, msbf); };
    auto perSample = [&](int tag, unsigned v, int64_t arrayAt) {
        if (nb == 1) longEntry(tag, v);
        else if (nb == 2) {
            uint8_t *f = entry(tag, T_SHORT, 2);
            put16(f, v, msbf);
            put16(f + 2, v, msbf);
        } else {
            put32(entry(tag, T_SHORT, static_cast<uint32_t>(nb)), static_cast<uint32_t>(arrayAt), msbf);
        }
    };
    longEntry(256, static_cast<uint32_t>(def->columns));
    longEntry(257, static_cast<uint32_t>(def->rows));
    perSample(258, static_cast<unsigned>(bits), bitsAt);
    longEntry(259, 1);
    longEntry(262, palette ? 3 : nb == 3 ? 2 : 1);
    longEntry(273, 8);
    shortEntry(274, 1);
    shortEntry(277, static_cast<unsigned>(nb));
    longEntry(278, static_cast<uint32_t>(def->rows));
    longEntry(279, static_cast<uint32_t>(dataSize));
    longEntry(280, 0);
    longEntry(281, 255);
    shortEntry(284, 1);
    if (palette) put32(entry(320, T_SHORT, static_cast<uint32_t>(3 * mapEntries)), static_cast<uint32_t>(mapAt), msbf);
    // Readers expect the entries in ascending tag order.
    perSample(339, static_cast<unsigned>(sampleFormat), formatAt);

    uint8_t h[8] = {static_cast<uint8_t>(msbf ? 'M' : 'I'), static_cast<uint8_t>(msbf ? 'M' : 'I')};
    put16(h + 2, 42, msbf);
    put32(h + 4, static_cast<uint32_t>(dirAt), msbf);
    if (platform::writeAt(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return -1;
    if (!extra.empty() && platform::writeAt(fd, extra.data(), extra.size(), extraAt) != static_cast<ssize_t>(extra.size()))
        return -1;
    if (platform::writeAt(fd, d.data(), d.size(), dirAt) != static_cast<ssize_t>(d.size())) return -1;
    def->offset = 8;
    def->block = static_cast<int32_t>(perRow);
    def->msbf = bits < 8 ? 1 : kHostMsbf;
    def->bits = bits;
    return 8;
}

}  // namespace krel
