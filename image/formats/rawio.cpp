// The one line reader and writer of every raw layout (BSQ, BIL, BIP and
// bottom-up rows). Where each line lies is data (RawLayout); this file only
// moves bytes between the file and the cache slots.
//
// Reading ahead: a miss reads a window of the records that follow the missed
// one in the file (the next lines of the band for band-sequential files, the
// next band lines for line-interleaved ones, the next rows for pixel-
// interleaved ones), up to half the cache, with one system call. Streaming an
// image therefore costs one read per few hundred kilobytes, while the cache
// keeps its size and the newest half of the lines read stays in place.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int64_t kStageLimit = 1 << 20;  // bytes of pixel-interleaved rows read at once
#ifdef IOV_MAX
constexpr int kMaxIov = IOV_MAX < 1024 ? IOV_MAX : 1024;
#else
constexpr int kMaxIov = 1024;
#endif

void reportShortRead(RamImage *img)
{
    if (img->shortReadReported) return;
    img->shortReadReported = 1;
    conEprintf("Error in reading image %s: the file ends before its data; the rest reads as %d.\n",
               img->def.file, cacheFillByte(img));
}

void reportIoError(RamImage *img, const char *what, int err)
{
    if (img->ioErrorReported) return;
    img->ioErrorReported = 1;
    conEprintf("Error in %s image %s: %s\n", what, img->def.file, strerror(err));
}

// Moves the vectors whole, by position: reads until they are full or the
// file ends, writes until all is written. Returns the bytes moved, -1
// (errno set) when nothing could be moved.
ssize_t moveVectors(int fd, struct iovec *iov, int count, int64_t offset, bool write)
{
    ssize_t done = 0;
    while (count > 0) {
        ssize_t n = write ? pwritev(fd, iov, count, offset + done) : preadv(fd, iov, count, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? done : -1;
        }
        if (n == 0) break;
        done += n;
        while (count > 0 && static_cast<size_t>(n) >= iov->iov_len) {
            n -= static_cast<ssize_t>(iov->iov_len);
            ++iov;
            --count;
        }
        if (count > 0 && n > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + n;
            iov->iov_len -= static_cast<size_t>(n);
        }
    }
    return done;
}


// The cached, dirty slot holding the record that follows (line, band) in the
// file, or -1. Records follow each other band by band within a line (BIL
// group) or line by line within a band (BSQ group).
int nextDirtyRecord(RamImage *img, const RawLayout &layout, int line, int band, int64_t at, int *nextLine,
                    int *nextBand)
{
    const ImageDef &d = img->def;
    const int candidates[2][2] = {{line, band + 1}, {line + (layout.bottomUp ? -1 : 1), band}};
    for (const auto &c : candidates) {
        if (c[0] < 0 || c[0] >= d.rows || c[1] >= d.nbands) continue;
        if (recordOffset(img, layout, c[0], c[1]) != at) continue;
        const int key = c[0] * d.nbands + c[1];
        const int slot = key % img->cacheSlots;
        if (img->slotMap[slot] != key || !slotIsDirty(img, slot)) continue;
        *nextLine = c[0];
        *nextBand = c[1];
        return slot;
    }
    return -1;
}

}  // namespace

uint8_t *ensureBuffer(uint8_t *&buffer, int64_t &have, int64_t want)
{
    if (have >= want) return buffer;
    if (want > UINT32_MAX) return nullptr;
    auto *grown = static_cast<uint8_t *>(gmemAlloc(static_cast<uint32_t>(want)));
    if (!grown) return nullptr;
    gmemFree(buffer);
    buffer = grown;
    have = want;
    return buffer;
}

namespace {

int elementBytes(int pixel)
{
    switch (pixel) {
    case PIX_BYTE:
    case PIX_SBYTE: return 1;
    case PIX_SHORT:
    case PIX_USHORT: return 2;
    case PIX_LONG:
    case PIX_FLOAT: return 4;
    default: return 0;  // packed or unsettled types are not spread over bands
    }
}

// ULONG lines keep one byte a column. Records that hold whole 32-bit values
// (DICOM dose grids) give each column the low byte of its own value, as
// ULONG Tiff pages do, and such lines are not written back over the values.
bool wideUlongRecords(const ImageDef &d)
{
    return d.pixel == PIX_ULONG && d.block >= int64_t(4) * d.nbands * d.columns;
}

void spreadRow(RamImage *img, const RawLayout &layout, const uint8_t *row, uint8_t *out, int band)
{
    const ImageDef &d = img->def;
    const int nb = d.nbands;
    const int64_t lineBytes = img->lineBytes;
    if (!layout.spreadBytes && wideUlongRecords(d)) {
        const int64_t step = int64_t(4) * nb;
        const uint8_t *src = row + int64_t(4) * band + (d.msbf != 0 ? 3 : 0);
        const int64_t cols = std::min<int64_t>(d.columns, lineBytes);
        for (int64_t c = 0; c < cols; ++c) out[c] = src[c * step];
        return;
    }
    if (nb == 1) {
        int64_t n = std::min<int64_t>(lineBytes, d.block);
        memcpy(out, row, static_cast<size_t>(n));
        if (n < lineBytes) memset(out + n, cacheFillByte(img), static_cast<size_t>(lineBytes - n));
        return;
    }
    int e = layout.spreadBytes ? 1 : elementBytes(d.pixel);
    if (e == 0) {
        memset(out, cacheFillByte(img), static_cast<size_t>(lineBytes));
        return;
    }
    int64_t cols = std::min<int64_t>(d.columns, d.block / (static_cast<int64_t>(nb) * e));
    const uint8_t *src = row + static_cast<int64_t>(band) * e;
    const int64_t step = static_cast<int64_t>(nb) * e;
    switch (e) {
    case 1:
        for (int64_t c = 0; c < cols; ++c) out[c] = src[c * step];
        break;
    case 2:
        for (int64_t c = 0; c < cols; ++c) memcpy(out + 2 * c, src + c * step, 2);
        break;
    default:
        for (int64_t c = 0; c < cols; ++c) memcpy(out + 4 * c, src + c * step, 4);
        break;
    }
    if (cols * e < lineBytes) memset(out + cols * e, cacheFillByte(img), static_cast<size_t>(lineBytes - cols * e));
}

void gatherRow(RamImage *img, const RawLayout &layout, uint8_t *row, const uint8_t *in, int band, bool swap)
{
    const ImageDef &d = img->def;
    const int nb = d.nbands;
    if (!layout.spreadBytes && wideUlongRecords(d)) return;
    if (nb == 1) {
        int64_t n = std::min<int64_t>(img->lineBytes, d.block);
        memcpy(row, in, static_cast<size_t>(n));
        if (swap) swapLine(d.pixel, static_cast<int>(std::min<int64_t>(d.columns, n * 8 / std::max(1, d.bits))), row);
        return;
    }
    int e = layout.spreadBytes ? 1 : elementBytes(d.pixel);
    if (e == 0) return;
    int64_t cols = std::min<int64_t>(d.columns, d.block / (static_cast<int64_t>(nb) * e));
    uint8_t *dst = row + static_cast<int64_t>(band) * e;
    const int64_t step = static_cast<int64_t>(nb) * e;
    for (int64_t c = 0; c < cols; ++c) {
        const uint8_t *s = in + c * e;
        uint8_t *t = dst + c * step;
        if (swap && e > 1)
            for (int k = 0; k < e; ++k) t[k] = s[e - 1 - k];
        else
            memcpy(t, s, static_cast<size_t>(e));
    }
}

int loadBandLines(RamImage *img, const RawLayout &layout, int line, int band)
{
    const ImageDef &d = img->def;
    const int nb = d.nbands;
    const int64_t block = d.block;
    const int64_t lineBytes = img->lineBytes;
    const int64_t gap = block - lineBytes;
    const bool bandSequential = layout.lineStride == block;
    const int key0 = line * nb + band;

    int64_t records;
    if (bandSequential) records = std::min<int64_t>(std::max(1, img->cachedLines / 2), d.rows - line);
    else records = std::min<int64_t>(std::max(1, img->cacheSlots / 2), static_cast<int64_t>(d.rows) * nb - key0);
    records = std::min<int64_t>(records, gap > 0 ? kMaxIov / 2 : kMaxIov);
    if (gap < 0) records = 1;  // overlapping records: one at a time
    if (gap > 0 && !ensureBuffer(img->sink, img->sinkBytes, gap)) records = 1;

    auto keyOf = [&](int64_t j) { return bandSequential ? static_cast<int>((line + j) * nb + band) : static_cast<int>(key0 + j); };

    // Pass 1: the window ends before the first record already in place; dirty
    // slots in it are written back before they are reused.
    for (int64_t j = 0; j < records; ++j) {
        int key = keyOf(j);
        int slot = key % img->cacheSlots;
        if (j > 0 && img->slotMap[slot] == key) {
            records = j;
            break;
        }
        if (slotIsDirty(img, slot)) img->flushSlot(img, slot);
    }

    struct iovec iov[kMaxIov];
    int count = 0;
    for (int64_t j = 0; j < records; ++j) {
        int slot = keyOf(j) % img->cacheSlots;
        iov[count].iov_base = slotData(img, slot);
        iov[count++].iov_len = static_cast<size_t>(lineBytes);
        if (gap > 0 && j + 1 < records) {
            iov[count].iov_base = img->sink;
            iov[count++].iov_len = static_cast<size_t>(gap);
        }
    }
    ssize_t got = moveVectors(img->fileHandle, iov, count, recordOffset(img, layout, line, band), false);
    if (got < 0) {
        reportIoError(img, "reading", errno);
        got = 0;
    }
    const bool swap = needsSwap(img);
    for (int64_t j = 0; j < records; ++j) {
        int key = keyOf(j);
        int slot = key % img->cacheSlots;
        uint8_t *data = slotData(img, slot);
        int64_t have = std::clamp<int64_t>(got - j * block, 0, lineBytes);
        if (have < lineBytes) {
            memset(data + have, cacheFillByte(img), static_cast<size_t>(lineBytes - have));
            reportShortRead(img);
        }
        if (swap) swapLine(d.pixel, d.columns, data);
        img->slotMap[slot] = key;
    }
    return 0;
}

int loadRows(RamImage *img, const RawLayout &layout, int line)
{
    const ImageDef &d = img->def;
    const int nb = d.nbands;
    const int64_t block = d.block;
    int64_t rowsWanted = std::min<int64_t>(std::max(1, img->cachedLines / 2), d.rows - line);
    rowsWanted = std::max<int64_t>(1, std::min<int64_t>(rowsWanted, kStageLimit / std::max<int64_t>(block, 1)));

    // Pass 1 as for band lines; a row's bands move together.
    int64_t m = rowsWanted;
    for (int64_t j = 0; j < m; ++j) {
        for (int b = 0; b < nb; ++b) {
            int key = static_cast<int>((line + j) * nb + b);
            int slot = key % img->cacheSlots;
            if (j > 0 && img->slotMap[slot] == key) {
                m = j;
                break;
            }
            if (img->slotMap[slot] != key && slotIsDirty(img, slot)) img->flushSlot(img, slot);
        }
    }
    if (!ensureBuffer(img->stage, img->stageBytes, m * block)) {
        m = 1;
        if (!ensureBuffer(img->stage, img->stageBytes, block)) {
            conEprintf("Error of malloc in getLine.\n");
            return -1;
        }
    }
    int64_t first = layout.bottomUp ? line + m - 1 : line;  // the row lowest in the file
    ssize_t got = platform::readAt(img->fileHandle, img->stage, static_cast<size_t>(m * block),
                                   recordOffset(img, layout, static_cast<int>(first), 0));
    if (got < 0) {
        reportIoError(img, "reading", errno);
        got = 0;
    }
    if (got < m * block) {
        memset(img->stage + got, cacheFillByte(img), static_cast<size_t>(m * block - got));
        reportShortRead(img);
    }
    const bool swap = needsSwap(img);
    for (int64_t j = 0; j < m; ++j) {
        const uint8_t *row = img->stage + (layout.bottomUp ? m - 1 - j : j) * block;
        for (int b = 0; b < nb; ++b) {
            int key = static_cast<int>((line + j) * nb + b);
            int slot = key % img->cacheSlots;
            if (img->slotMap[slot] == key && slotIsDirty(img, slot)) continue;  // newer than the file
            uint8_t *data = slotData(img, slot);
            spreadRow(img, layout, row, data, b);
            if (swap) swapLine(d.pixel, d.columns, data);
            img->slotMap[slot] = key;
        }
    }
    return 0;
}

}  // namespace

RawLayout rawLayoutOf(const RamImage *img)
{
    const ImageDef &d = img->def;
    RawLayout l;
    const int64_t block = d.block;
    switch (formatRecord(d.imgid).raw) {
    case RawKind::BandSequential:
        l.lineStride = block;
        l.bandStride = block * d.rows;
        break;
    case RawKind::LineInterleaved:
        l.lineStride = block * d.nbands;
        l.bandStride = block;
        break;
    case RawKind::PixelRows:
        l.pixelInterleaved = true;
        l.lineStride = block;
        break;
    case RawKind::BottomUpRows:
        l.pixelInterleaved = true;
        l.bottomUp = true;
        l.spreadBytes = true;
        l.lineStride = block;
        break;
    case RawKind::NotRaw: return l;
    }
    l.raw = true;
    return l;
}

int64_t recordOffset(const RamImage *img, const RawLayout &layout, int line, int band)
{
    int64_t fileLine = layout.bottomUp ? static_cast<int64_t>(img->def.rows) - 1 - line : line;
    int64_t off = img->dataOffset + fileLine * layout.lineStride;
    if (!layout.pixelInterleaved) off += static_cast<int64_t>(band) * layout.bandStride;
    return off;
}

int loadRawLines(RamImage *img, const RawLayout &layout, int line, int band)
{
    return layout.pixelInterleaved ? loadRows(img, layout, line) : loadBandLines(img, layout, line, band);
}

int storeRawSlot(RamImage *img, const RawLayout &layout, int slot)
{
    const ImageDef &d = img->def;
    const int key = img->slotMap[slot];
    if (key < 0) return 0;
    const int line = key / d.nbands, band = key % d.nbands;
    const bool swap = needsSwap(img);
    if (!layout.pixelInterleaved) {
        // The dirty records that follow this one in the file go out in the
        // same call: a module writing a new file would otherwise cost one
        // system call per line.
        const size_t n = static_cast<size_t>(std::min<int64_t>(img->lineBytes, d.block));
        const int64_t start = recordOffset(img, layout, line, band);
        struct iovec iov[kMaxIov];
        int slots[kMaxIov];
        int count = 0;
        int curLine = line, curBand = band, cur = slot;
        while (true) {
            slots[count] = cur;
            iov[count].iov_base = slotData(img, cur);
            iov[count].iov_len = n;
            ++count;
            if (count == kMaxIov || static_cast<int64_t>(n) != d.block) break;
            cur = nextDirtyRecord(img, layout, curLine, curBand, start + count * d.block, &curLine, &curBand);
            if (cur < 0) break;
        }
        for (int i = 0; i < count; ++i) {
            if (i) clearSlotDirty(img, slots[i]);
            if (swap) swapLine(d.pixel, d.columns, slotData(img, slots[i]));
        }
        ssize_t put = moveVectors(img->fileHandle, iov, count, start, true);
        int err = errno;
        for (int i = 0; i < count; ++i)
            if (swap) swapLine(d.pixel, d.columns, slotData(img, slots[i]));
        if (put != static_cast<ssize_t>(n) * count) {
            // What did not reach the file stays dirty for a later attempt,
            // the line asked for included (its bit was cleared by the caller).
            for (int i = 0; i < count; ++i)
                if (static_cast<ssize_t>(n) * (i + 1) > std::max<ssize_t>(put, 0)) setSlotDirty(img, slots[i]);
            reportIoError(img, "writing", put < 0 ? err : ENOSPC);
            return -1;
        }
        return 0;
    }
    // A pixel-interleaved row is rebuilt from all of its band lines held in
    // the cache; bands not held keep what the file has.
    if (!ensureBuffer(img->rowBuf, img->rowBufBytes, d.block)) {
        conEprintf("Error of malloc in flushing image %s.\n", d.file);
        return -1;
    }
    const int nb = d.nbands;
    bool all = true;
    for (int b = 0; b < nb; ++b)
        if (img->slotMap[(line * nb + b) % img->cacheSlots] != line * nb + b) all = false;
    int e = layout.spreadBytes ? 1 : elementBytes(d.pixel);
    bool whole = all && (nb == 1 ? img->lineBytes >= d.block
                                 : e > 0 && static_cast<int64_t>(d.columns) * nb * e >= d.block);
    const int64_t off = recordOffset(img, layout, line, 0);
    if (!whole) {
        ssize_t got = platform::readAt(img->fileHandle, img->rowBuf, static_cast<size_t>(d.block), off);
        if (got < 0) got = 0;
        if (got < d.block) memset(img->rowBuf + got, 0, static_cast<size_t>(d.block - got));
    }
    for (int b = 0; b < nb; ++b) {
        int s = (line * nb + b) % img->cacheSlots;
        if (img->slotMap[s] != line * nb + b) continue;
        gatherRow(img, layout, img->rowBuf, slotData(img, s), b, swap);
        clearSlotDirty(img, s);
    }
    ssize_t put = platform::writeAt(img->fileHandle, img->rowBuf, static_cast<size_t>(d.block), off);
    if (put != d.block) {
        const int err = put < 0 ? errno : ENOSPC;
        // The row did not reach the file: its band lines stay dirty for a
        // later attempt rather than being dropped at their next eviction.
        for (int b = 0; b < nb; ++b) {
            int s = (line * nb + b) % img->cacheSlots;
            if (img->slotMap[s] == line * nb + b) setSlotDirty(img, s);
        }
        reportIoError(img, "writing", err);
        return -1;
    }
    return 0;
}

}  // namespace krel
