#include "tags/tiff_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/runtime.h"
#include "image/formats/byteorder.h"
#include "image/formats/tiff.h"
#include "tags/tagcmd.h"
#include "tags/tagdict.h"

namespace krel {

namespace {

std::string number(int64_t v)
{
    char b[24];
    return std::string(b, std::to_chars(b, b + sizeof b, v).ptr);
}

std::string real(double v)
{
    char b[512];
    snprintf(b, sizeof b, "%f", v);
    return b;
}

float floatOf(uint32_t u)
{
    float f;
    memcpy(&f, &u, 4);
    return f;
}

double doubleOf(const uint8_t *p, bool msbf)
{
    uint64_t u = 0;
    for (int k = 0; k < 8; ++k) u |= uint64_t(p[msbf ? 7 - k : k]) << (8 * k);
    double d;
    memcpy(&d, &u, 8);
    return d;
}

// One value of a type at p (in the file's byte order), as text.
std::string valueText(int type, const uint8_t *p, bool msbf)
{
    switch (type) {
    case T_BYTE:
    case T_UNDEFINED: return number(p[0]);
    case T_SBYTE: return number(static_cast<int8_t>(p[0]));
    case T_SHORT: return number(get16(p, msbf));
    case T_SSHORT: return number(static_cast<int16_t>(get16(p, msbf)));
    case T_LONG: return number(get32(p, msbf));
    case T_SLONG: return number(static_cast<int32_t>(get32(p, msbf)));
    case T_RATIONAL: return number(get32(p, msbf)) + " " + number(get32(p + 4, msbf));
    case T_SRATIONAL:
        return number(static_cast<int32_t>(get32(p, msbf))) + " " + number(static_cast<int32_t>(get32(p + 4, msbf)));
    case T_FLOAT: return real(floatOf(get32(p, msbf)));
    case T_DOUBLE: return real(doubleOf(p, msbf));
    default: return std::string();
    }
}

constexpr uint32_t kMaxListedValues = 1u << 20;

bool fits(const TiffEntry &e)
{
    const int size = tiffTypeSize(e.type);
    return size > 0 && static_cast<uint64_t>(e.count) * size <= 4;
}

// The entries of a page: the kept ones, or read into `scratch`. Null when
// the directory cannot be read.
const std::vector<TiffEntry> *pageEntries(const TiffFile &file, int page, std::vector<TiffEntry> *scratch)
{
    if (page < 0 || page >= file.pageCount()) return nullptr;
    if (file.entries) return &(*file.entries)[static_cast<size_t>(page)];
    int64_t next;
    if (file.fd < 0 ||
        !readTiffEntries(file.fd, file.msbf, file.fileSize, (*file.pages)[static_cast<size_t>(page)], scratch, &next))
        return nullptr;
    return scratch;
}

constexpr size_t kKeptEntries = size_t(1) << 18;  // entries kept of the last file read by name

bool sameFile(const TiffChainCache &c, const struct stat &st)
{
    return c.valid && c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size &&
           c.mtim.tv_sec == st.st_mtim.tv_sec && c.mtim.tv_nsec == st.st_mtim.tv_nsec &&
           c.ctim.tv_sec == st.st_ctim.tv_sec && c.ctim.tv_nsec == st.st_ctim.tv_nsec;
}

}  // namespace

void tiffFileFrom(int fd, const TiffDirectory &dir, TiffFile *out)
{
    out->fd = fd;
    out->msbf = dir.msbf != 0;
    out->fileSize = dir.fileSize;
    auto pages = std::make_shared<std::vector<int64_t>>(static_cast<size_t>(dir.pageCount));
    for (int i = 0; i < dir.pageCount; ++i) (*pages)[static_cast<size_t>(i)] = dir.pages[i].directory;
    out->pages = std::move(pages);
}

int openTiffFile(const char *name, bool needDescriptor, platform::FileDesc *fd, TiffFile *out)
{
    struct stat st;
    if (stat(name, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    TagState &s = tagState();
    bool kept = false;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        const TiffChainCache &c = s.lastTiff;
        if (sameFile(c, st)) {
            out->fd = -1;
            out->fileSize = st.st_size;
            out->msbf = c.msbf;
            out->pages = c.pages;
            out->entries = c.entries;
            kept = true;
        }
    }
    if (kept && !needDescriptor && out->entries) return 0;
    if (!openTagFile(name, fd) || fstat(fd->get(), &st) != 0) return -1;
    out->fd = fd->get();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (kept && sameFile(s.lastTiff, st)) return 0;  // unchanged since the look at its name
    }
    out->fileSize = st.st_size;
    out->entries.reset();
    uint8_t h[8];
    if (platform::readAt(fd->get(), h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return -2;
    int status;
    // The entries of every page are kept unless there are too many.
    auto entries = std::make_shared<TiffPageEntries>();
    TiffDirectory *dir = readTiffChain(fd->get(), h, &status, entries.get());
    if (dir == nullptr) return -2;
    tiffFileFrom(fd->get(), *dir, out);
    gmemFree(dir);
    size_t total = 0;
    for (const auto &page : *entries) total += page.size();
    if (total > kKeptEntries || entries->size() != out->pages->size()) entries.reset();
    out->entries = entries;
    std::lock_guard<std::mutex> hold(s.lock);
    TiffChainCache &c = s.lastTiff;
    c.valid = true;
    c.dev = st.st_dev;
    c.ino = st.st_ino;
    c.size = st.st_size;
    c.mtim = st.st_mtim;
    c.ctim = st.st_ctim;
    c.msbf = out->msbf;
    c.pages = out->pages;
    c.entries = out->entries;
    return 0;
}

std::vector<TiffListed> listTiffPage(const TiffFile &file, int page)
{
    std::vector<TiffListed> out;
    std::vector<TiffEntry> scratch;
    const std::vector<TiffEntry> *entries = pageEntries(file, page, &scratch);
    if (entries == nullptr) return out;
    out.reserve(entries->size());
    for (const TiffEntry &e : *entries) {
        TiffListed l{e.tag, e.type, e.count, std::string()};
        if (!fits(e)) {
            // Unknown types, and values that do not fit: the field as it is,
            // an offset for the known types.
            l.value = number(get32(e.field, file.msbf));
        } else {
            switch (e.type) {
            case T_BYTE:
            case T_ASCII:
            case T_UNDEFINED: l.value = number(e.field[0]); break;
            case T_FLOAT: l.value = number(get32(e.field, file.msbf)); break;
            default: l.value = valueText(e.type, e.field, file.msbf); break;
            }
        }
        out.push_back(std::move(l));
    }
    return out;
}

int tiffTagValues(const TiffFile &file, int page, unsigned tag, std::vector<std::string> *values, std::string *error)
{
    values->clear();
    std::vector<TiffEntry> scratch;
    const std::vector<TiffEntry> *entries = pageEntries(file, page, &scratch);
    if (entries == nullptr) return 0;
    auto it = std::find_if(entries->begin(), entries->end(), [tag](const TiffEntry &e) { return e.tag == tag; });
    if (it == entries->end()) return 0;
    const TiffEntry &e = *it;
    const int size = tiffTypeSize(e.type);
    if (size == 0) return 1;  // a type this reader does not know: no values
    const bool msbf = file.msbf;
    if (fits(e)) {
        if (e.type == T_ASCII) {
            const char *t = reinterpret_cast<const char *>(e.field);
            values->emplace_back(t, strnlen(t, e.count));
        } else {
            for (uint32_t i = 0; i < e.count; ++i) values->push_back(valueText(e.type, e.field + i * size, msbf));
        }
        return 1;
    }
    const int64_t at = get32(e.field, msbf);
    const int64_t bytes = static_cast<int64_t>(e.count) * size;
    if (at + bytes > file.fileSize) {
        char b[200];
        snprintf(b, sizeof b, "Tiff tag %u: %u values at offset %" PRId64 " run past the end of the file (%" PRId64 " bytes)",
                 tag, e.count, at, file.fileSize);
        *error = b;
        return -1;
    }
    // A count the file can hold may still be more values than a listing can
    // hand out (every value becomes a string of the answer): refused, with
    // the count, rather than exhausting memory.
    if (e.count > kMaxListedValues) {
        char b[200];
        snprintf(b, sizeof b, "Tiff tag %u: %u values are more than can be listed (at most %u)", tag, e.count,
                 kMaxListedValues);
        *error = b;
        return -1;
    }
    // Read in pieces: the count is bounded by the file, not by memory.
    constexpr int64_t kPiece = 65536;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min(bytes, kPiece)));
    std::string text;
    for (int64_t done = 0; done < bytes;) {
        const int64_t n = std::min(bytes - done, kPiece);
        if (platform::readAt(file.fd, buf.data(), static_cast<size_t>(n), at + done) != n) {
            *error = "Tiff tag " + std::to_string(tag) + ": the file could not be read";
            return -1;
        }
        if (e.type == T_ASCII) {
            const void *nul = memchr(buf.data(), 0, static_cast<size_t>(n));
            text.append(reinterpret_cast<const char *>(buf.data()),
                        nul ? static_cast<const uint8_t *>(nul) - buf.data() : static_cast<size_t>(n));
            if (nul) break;
        } else {
            for (int64_t k = 0; k < n; k += size) values->push_back(valueText(e.type, buf.data() + k, msbf));
        }
        done += n;
    }
    if (e.type == T_ASCII) values->push_back(text);
    return 1;
}

}  // namespace krel
