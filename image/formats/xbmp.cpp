// X bitmaps (XBMP, ".xbm"): C source text holding a 1-bit image.
//
//   #define NAME_width W
//   #define NAME_height H
//   static char NAME_bits[] = {
//    0x00, 0x01, ... (12 a line) ... 0xff};
//
// Rows of (W + 7) div 8 bytes follow each other; within a byte the first
// pixel is the least significant bit. A set bit is black: the palette is
// white, black. The image is decoded whole into the line cache on the first
// access and written back whole.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int kDetectWindow = 4096;

// The number after the first occurrence of `key`, or -1.
long numberAfter(const char *text, size_t n, const char *key)
{
    const void *hit = memmem(text, n, key, strlen(key));
    if (!hit) return -1;
    size_t at = static_cast<size_t>(static_cast<const char *>(hit) - text) + strlen(key);
    while (at < n && (text[at] == ' ' || text[at] == '\t')) ++at;
    long v = 0;
    size_t digits = 0;
    while (at < n && isdigit(static_cast<unsigned char>(text[at])) && digits < 10) {
        v = v * 10 + (text[at++] - '0');
        ++digits;
    }
    if (digits == 0 || digits == 10 || v > INT32_MAX) return -1;
    return v;
}

// Sequential reading of the file through a small buffer.
class TextStream {
public:
    explicit TextStream(int fd) : fd_(fd) {}
    int next()  // the next byte, -1 at the end
    {
        if (at_ == have_) {
            ssize_t got = platform::readAt(fd_, buf_, sizeof buf_, offset_);
            if (got <= 0) return -1;
            offset_ += got;
            have_ = static_cast<size_t>(got);
            at_ = 0;
        }
        return buf_[at_++];
    }
    void back() { --at_; }  // only right after a next() that returned a byte

private:
    int fd_;
    int64_t offset_ = 0;
    uint8_t buf_[65536];
    size_t at_ = 0, have_ = 0;
};

// Decodes the bytes after "{" into `out` (capacity n). Returns the bytes
// decoded; a token that is no number ends the data early.
int64_t decodeValues(int fd, uint8_t *out, int64_t n, bool *bad)
{
    TextStream in(fd);
    int c;
    while ((c = in.next()) >= 0 && c != '{') {
    }
    int64_t count = 0;
    *bad = false;
    while (count < n) {
        c = in.next();
        while (c >= 0 && (isspace(c) || c == ',')) c = in.next();
        if (c < 0 || c == '}') break;
        // One number in C notation: 0x hexadecimal, a leading 0 octal.
        int base = 10;
        unsigned long v = 0;
        if (c == '0') {
            c = in.next();
            if (c == 'x' || c == 'X') {
                base = 16;
                c = in.next();
            } else {
                base = 8;
            }
        } else if (!isdigit(c)) {
            *bad = true;
            break;
        }
        int digits = 0;
        for (;; c = in.next(), ++digits) {
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else break;
            if (d >= base) break;
            if (v < 0x10000) v = v * base + static_cast<unsigned>(d);
        }
        if (base == 16 && digits == 0) {
            *bad = true;
            break;
        }
        out[count++] = static_cast<uint8_t>(v);
        if (c >= 0) in.back();
    }
    return count;
}

int wholeCacheMissing(RamImage *img)
{
    if (img->cachedLines < img->def.rows || img->cacheSlots < img->def.rows * img->def.nbands) {
        conEprintf("Error of malloc in readXBMP.\n");
        return 1;
    }
    return 0;
}

int xbmpLoadLine(RamImage *img, int /*line*/, int /*band*/, int /*load*/)
{
    if (wholeCacheMissing(img)) return -1;
    const ImageDef &d = img->def;
    const int64_t bytes = static_cast<int64_t>(d.rows) * img->lineBytes;
    if (bytes > UINT32_MAX) {
        conEprintf("Error of malloc in readXBMP.\n");
        return -1;
    }
    // The file's rows arrive in one run; they are decoded into a scratch
    // block and then placed, so lines changed and not yet written keep theirs.
    uint8_t *all = static_cast<uint8_t *>(gmemAlloc(static_cast<uint32_t>(std::max<int64_t>(bytes, 1))));
    if (!all) {
        conEprintf("Error of malloc in readXBMP.\n");
        return -1;
    }
    memset(all, 0, static_cast<size_t>(bytes));
    bool bad = false;
    int64_t got = decodeValues(img->fileHandle, all, bytes, &bad);
    if (bad || got < bytes)
        conEprintf("Error in readXBMP: %s holds %lld of its %lld bytes%s; the rest reads as 0.\n", d.file,
                   static_cast<long long>(got), static_cast<long long>(bytes), bad ? " before a bad value" : "");
    for (int r = 0; r < d.rows; ++r) {
        if (img->slotMap[r] == r && slotIsDirty(img, r)) continue;
        memcpy(slotData(img, r), all + static_cast<int64_t>(r) * img->lineBytes, static_cast<size_t>(img->lineBytes));
        img->slotMap[r] = r;
    }
    gmemFree(all);
    return 0;
}

int xbmpCacheLines(RamImage *img, int /*wanted*/) { return img->def.rows; }

int writeXBMPFile(int fd, ImageDef *def, RamImage *img);

int xbmpStoreSlot(RamImage *img, int /*slot*/)
{
    // One dirty line rewrites the whole file; every line is then clean. The
    // new text replaces the old file only once it is complete.
    int rc = platform::replaceWholeFile(img->fileHandle, [img](int fd) { return writeXBMPFile(fd, &img->def, img); });
    memset(img->dirtyBits, 0, static_cast<size_t>(img->cacheSlots / 8 + 1));
    return rc < 0 ? -1 : 0;
}

const FormatIO kXbmpIO = {xbmpLoadLine, xbmpStoreSlot, xbmpCacheLines, nullptr};

}  // namespace

const FormatIO *xbmpFormatIO() { return &kXbmpIO; }

int detectXBMP(const FileHead &file, ImageDef *def, void ** /*aux*/)
{
    const int fd = file.fd;
    const char *fileName = file.fileName;
    char text[kDetectWindow];
    ssize_t got = file.copy(text, sizeof text);
    if (got <= 0) return 0;
    const size_t n = static_cast<size_t>(got);
    const long width = numberAfter(text, n, "_width");
    const long height = numberAfter(text, n, "_height");
    if (width < 0 || height < 0) return 0;
    const char *name = fileName ? fileName : "";
    if (width == 0 || height == 0) {
        conEprintf("Error in readXBMP: %s has no pixels (%ld x %ld).\n", name, width, height);
        return -1;
    }
    // The X10 layout (16-bit "short" values) packs rows differently.
    const void *brace = memchr(text, '{', n);
    size_t head = brace ? static_cast<size_t>(static_cast<const char *>(brace) - text) : n;
    if (memmem(text, head, "short", 5)) {
        conEprintf("Error in readXBMP: %s is an X10 bitmap (16-bit values); only X11 bitmaps are read.\n", name);
        return -1;
    }
    const int64_t block = (static_cast<int64_t>(width) + 7) / 8;
    // Every data byte takes at least two characters of the file: a header
    // that promises more rows than the text can hold is not believed (the
    // whole image is held in memory).
    const int64_t fileSize = platform::fileSize(fd);
    if (block > INT32_MAX / 2 || block * height > fileSize / 2 + 1) {
        conEprintf("Error in readXBMP: %s declares %ld x %ld pixels, more than its %lld bytes can hold.\n", name,
                   width, height, static_cast<long long>(fileSize));
        return -1;
    }
    def->imgid = IMG_XBMP;
    def->mapid = MAP_GRID;
    def->pixel = PIX_1BIT;
    def->bits = 1;
    def->nbands = 1;
    def->rows = static_cast<int32_t>(height);
    def->columns = static_cast<int32_t>(width);
    def->block = static_cast<int32_t>(block);
    def->offset = 0;
    def->top = def->left = 0;
    def->msbf = 0;
    def->nindices = 2;
    def->transparent = -1;
    memset(def->palette, 0, sizeof def->palette);
    memset(def->palette[0], 255, 3);  // white, then black
    def->x0 = def->y0 = 0.0;
    def->dx = def->dy = 1.0;
    return IMG_XBMP;
}

namespace {

int writeXBMPFile(int fd, ImageDef *def, RamImage *img)
{
    if (def->rows <= 0 || def->columns <= 0) return -1;
    def->pixel = PIX_1BIT;
    def->bits = 1;
    def->nbands = 1;
    def->msbf = 0;
    def->offset = 0;
    def->block = (def->columns + 7) / 8;
    def->nindices = 2;
    memset(def->palette[0], 255, 3);
    memset(def->palette[1], 0, 3);
    const int64_t rowBytes = def->block;
    const int64_t total = rowBytes * def->rows;
    std::string text;
    char piece[64];
    snprintf(piece, sizeof piece, "#define xbmp_width %d\n#define xbmp_height %d\n", def->columns, def->rows);
    text = piece;
    text += "static char xbmp_bits[] = {\n";
    int64_t at = 0;
    auto flush = [&]() {
        ssize_t put = platform::writeAt(fd, text.data(), text.size(), at);
        if (put != static_cast<ssize_t>(text.size())) return false;
        at += put;
        text.clear();
        return true;
    };
    const bool cached = img && img->cacheBuffer && img->cachedLines >= def->rows;
    bool ok = true;
    int64_t k = 0;
    for (int r = 0; r < def->rows; ++r) {
        const uint8_t *row = cached && img->slotMap[r] == r ? slotData(img, r) : nullptr;
        for (int64_t c = 0; c < rowBytes; ++c, ++k) {
            snprintf(piece, sizeof piece, k + 1 == total ? " 0x%02x};\n" : " 0x%02x,", row ? row[c] : 0);
            text += piece;
            if ((k + 1) % 12 == 0 && k + 1 < total) text += '\n';
        }
        if (text.size() > 60000 && !(ok = flush())) break;
    }
    if (ok && !text.empty()) ok = flush();
    if (!ok) {
        conEprintf("Error in writing XBMP file %s.\n", def->file);
        return -1;
    }
    // The file is recreated: text of an earlier, larger image must not remain.
    if (ftruncate(fd, at) != 0) {
        conEprintf("Error in writing XBMP file %s.\n", def->file);
        return -1;
    }
    return 0;
}

}  // namespace

int writeXBMP(int fd, ImageDef *def, RamImage *img) { return writeXBMPFile(fd, def, img); }

}  // namespace krel
