// TIFF files: reading and writing back the lines of the page in use, from
// uncompressed or PackBits strips and tiles. Strips or tiles that point
// beyond the end of the file read as zeros.
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

constexpr int64_t kCacheCap = int64_t(32) << 20;  // bytes of lines a cache is raised to for whole strips

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
            int64_t base = tiffArrayValue(fd, msbf, p.offsets, k, 273);
            out.push_back({base < 0 ? -1 : base + static_cast<int64_t>(row - static_cast<int64_t>(k) * rps) * block, 0, block});
        } else {
            int64_t base = tiffArrayValue(fd, msbf, p.offsets, 0, 273);
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
        int64_t base = tiffArrayValue(fd, msbf, p.offsets, k * across + j, 324);
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
    int64_t count = tiffArrayValue(fd, msbf, p.byteCounts, index, tag);
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
            int64_t start = tiffArrayValue(fd, msbf, p.offsets, k, 273);
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
            int64_t start = tiffArrayValue(fd, msbf, p.offsets, k * across + j, 324);
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

}  // namespace

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

}  // namespace krel
