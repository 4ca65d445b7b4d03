// TIFF files: the directory walker. Reads the header and the chain of image
// file directories (pages) into a TiffDirectory, and the values of entries.
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
// Nothing read from a file is trusted: arrays must lie inside the file, and
// the directory chain must not loop nor grow past a budget of entries.
#include "image/formats/tiff.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>
#include <vector>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int kMaxPages = 65536;
constexpr int64_t kMaxEntries = int64_t(1) << 20;  // entries read over all directories

// Whether values of the type are read as integers; says so when not.
bool integerType(int type, uint32_t index, int tag)
{
    switch (type) {
    case T_BYTE:
    case T_ASCII:
    case T_SBYTE:
    case T_UNDEFINED:
    case T_SHORT:
    case T_SSHORT:
    case T_LONG:
    case T_SLONG: return true;
    default:
        conEprintf("Unknown data type for array element at index: %d tagged as: %d\n", static_cast<int>(index), tag);
        return false;
    }
}

// One integer value of the type at b, in the file's byte order.
int64_t integerAt(const uint8_t *b, int type, bool msbf)
{
    switch (type) {
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

// Reads one directory into a page, its entries into `entries`; the next
// directory's offset goes to *next. Returns the number of entries read.
int64_t readDirectory(int fd, bool msbf, int64_t fileSize, int64_t at, TiffPage *page, int64_t *next,
                      std::vector<TiffEntry> &entries)
{
    memset(page, 0, sizeof *page);
    page->directory = at;
    page->samples = 1;
    page->sampleFormat = 1;
    page->compression = 1;
    page->planar = 1;
    page->photometric = -1;
    if (!readTiffEntries(fd, msbf, fileSize, at, &entries, next)) return 0;
    const int64_t n = static_cast<int64_t>(entries.size());
    for (const TiffEntry &entry : entries) {
        const int tag = entry.tag, type = entry.type;
        TiffArray a{};
        a.count = entry.count;
        a.type = static_cast<uint16_t>(type);
        const int size = tiffTypeSize(type);
        const int64_t bytes = static_cast<int64_t>(a.count) * size;
        a.at = bytes <= 4 ? entry.fieldAt : get32(entry.field, msbf);
        // An array that does not lie wholly inside the file is as good as missing.
        a.present = size > 0 && a.count > 0 && a.at + bytes <= fileSize;
        // Values inside the entry come from the bytes already read.
        auto value = [&](uint32_t k) -> int64_t {
            if (bytes > 4) return tiffArrayValue(fd, msbf, a, k, tag);
            if (!a.present || k >= a.count || !integerType(a.type, k, tag)) return -1;
            return integerAt(entry.field + static_cast<size_t>(k) * size, a.type, msbf);
        };
        auto scalar = [&](int32_t *field) {
            int64_t v = value(0);
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
                if (value(k) != page->bits) page->bits = -2;
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
            int64_t v = value(0);
            page->rowsPerStrip = v > 0 ? static_cast<uint32_t>(std::min<int64_t>(v, UINT32_MAX)) : 0;
            break;
        }
        case 279:
        case 325: page->byteCounts = a; break;
        case 284: scalar(&page->planar); break;
        case 320: page->colorMap = a; break;
        case 322:
        case 323: {
            int64_t v = value(0);
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

}  // namespace

bool readTiffEntries(int fd, bool msbf, int64_t fileSize, int64_t at, std::vector<TiffEntry> *out, int64_t *next)
{
    out->clear();
    *next = 0;
    if (at < 0 || at + 2 > fileSize) return false;
    // One read for the count and the entries of a directory of usual size.
    uint8_t first[2 + 12 * 40 + 4];
    const ssize_t head = platform::readAt(fd, first, static_cast<size_t>(std::min<int64_t>(sizeof first, fileSize - at)), at);
    if (head < 2) return false;
    int64_t n = get16(first, msbf);
    n = std::min<int64_t>(n, (fileSize - at - 2) / 12);  // a directory cut by the file's end
    const int64_t want = n * 12 + 4;
    std::vector<uint8_t> raw(static_cast<size_t>(want));
    ssize_t got = std::min<ssize_t>(head - 2, static_cast<ssize_t>(want));
    memcpy(raw.data(), first + 2, static_cast<size_t>(got));
    if (got < want) {
        const ssize_t more = platform::readAt(fd, raw.data() + got, static_cast<size_t>(want - got), at + 2 + got);
        if (more > 0) got += more;
    }
    if (got < n * 12) return false;
    if (got == want) *next = get32(raw.data() + n * 12, msbf);
    out->resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t *e = raw.data() + i * 12;
        TiffEntry &t = (*out)[static_cast<size_t>(i)];
        t.tag = get16(e, msbf);
        t.type = get16(e + 2, msbf);
        t.count = get32(e + 4, msbf);
        memcpy(t.field, e + 8, 4);
        t.fieldAt = at + 2 + i * 12 + 8;
    }
    return true;
}

int tiffTypeSize(int type)
{
    static const int kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type >= 1 && type <= 12 ? kSizes[type] : 0;
}

int64_t tiffArrayValue(int fd, bool msbf, const TiffArray &a, uint32_t index, int tag)
{
    if (!a.present || index >= a.count || !integerType(a.type, index, tag)) return -1;
    const int size = tiffTypeSize(a.type);
    uint8_t b[4];
    if (platform::readAt(fd, b, static_cast<size_t>(size), a.at + static_cast<int64_t>(index) * size) != size) return -1;
    return integerAt(b, a.type, msbf);
}

TiffDirectory *readTiffChain(int fd, const uint8_t h[8], int *status, TiffPageEntries *kept)
{
    *status = 0;
    bool msbf;
    if (h[0] == 'I' && h[1] == 'I') msbf = false;
    else if (h[0] == 'M' && h[1] == 'M') msbf = true;
    else return nullptr;
    const unsigned magic = get16(h + 2, msbf);
    if (magic == 43) {
        conEprintf("Can't read BigTIFF files.\n");
        *status = -1;
        return nullptr;
    }
    if (magic != 42) return nullptr;
    *status = -1;
    const int64_t fileSize = platform::fileSize(fd);
    std::vector<TiffPage> pages;
    std::set<int64_t> seen;
    // Overlapping directories could make a small file read as many huge
    // ones: the pages end where the entry budget does.
    int64_t entries = 0;
    std::vector<TiffEntry> read;
    for (int64_t at = get32(h + 4, msbf); at != 0 && pages.size() < kMaxPages && entries < kMaxEntries;) {
        if (!seen.insert(at).second) break;  // a directory chain that loops ends where it closes
        if (at < 8 || at + 2 > fileSize) break;
        int64_t next;
        pages.emplace_back();
        entries += readDirectory(fd, msbf, fileSize, at, &pages.back(), &next, read) + 1;
        if (kept) kept->push_back(read);
        at = next;
    }
    if (pages.empty()) {
        conEprintf("Error in reading Tiff: no image directory.\n");
        return nullptr;
    }
    const size_t bytes = offsetof(TiffDirectory, pages) + pages.size() * sizeof(TiffPage);
    auto *dir = static_cast<TiffDirectory *>(gmemAlloc(static_cast<uint32_t>(bytes)));
    if (dir == nullptr) {
        conEprintf("Error of malloc in reading Tiff.\n");
        return nullptr;
    }
    memset(dir, 0, bytes);
    memcpy(dir->magic, "TIFFDIR", 8);
    dir->msbf = msbf;
    dir->pageCount = static_cast<int32_t>(pages.size());
    dir->fileSize = fileSize;
    memcpy(dir->pages, pages.data(), pages.size() * sizeof(TiffPage));
    *status = 1;
    return dir;
}

int64_t tiffRowBytes(const TiffPage &p)
{
    switch (p.bits) {
    case 1: return (static_cast<int64_t>(p.columns) - 1) / 8 + 1;
    case 4: return (static_cast<int64_t>(p.columns) + 1) / 2;
    default: return static_cast<int64_t>(p.samples) * p.columns * (p.bits / 8);
    }
}

}  // namespace krel
