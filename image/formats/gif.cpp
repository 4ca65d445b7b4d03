// GIF87a and GIF89a files: a screen of colour indices built up frame by
// frame. Little-endian numbers.
//
//   offset size  content
//        0    6  "GIF87a" (format 10) or "GIF89a" (format 11)
//        6    2  screen width
//        8    2  screen height
//       10    1  packed: 0x80 global colour table, its bits (packed & 7) + 1
//       11    1  background index
//       12    1  aspect ratio
//       13 3x2^n global colour table (with 0x80): red, green, blue
//   then blocks, each starting with one byte:
//     '!'  extension: label, then sub-blocks; 0xF9 graphic control holds
//          packed (disposal (packed & 28) >> 2, transparency packed & 1),
//          delay (16 bits, hundredths of a second), transparent index
//     ','  image: left, top, width, height (16 bits each), packed (0x80
//          local colour table, 0x40 interlaced, (packed & 7) + 1 table bits),
//          local colour table, LZW code size byte, sub-blocks of codes
//     ';'  trailer
//   A sub-block is a length byte and that many bytes; length 0 ends them.
//
// The frames are composed on a screen buffer kept by the reader (the
// formatData); the line cache, which holds every row, is filled from it. The
// cache can therefore be rebuilt at any time without decoding again.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int kScreenHeader = 13;
// A screen this large must be backed by data: LZW codes yield at most a few
// thousand pixels a byte, so a larger screen in a small file is a lie.
constexpr int64_t kTrustedPixels = int64_t(1) << 24;
constexpr int64_t kPixelsPerByte = 4096;

// Buffered reading from a position of a file.
class ByteSource {
public:
    ByteSource(int fd, int64_t position) : fd_(fd), start_(position), size_(platform::fileSize(fd)) {}
    int get()
    {
        if (at_ == len_ && !fill()) return -1;
        return buf_[at_++];
    }
    bool read(uint8_t *out, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            int c = get();
            if (c < 0) return false;
            out[i] = static_cast<uint8_t>(c);
        }
        return true;
    }
    // Moves forward; false when that passes the end of the file.
    bool skip(size_t n)
    {
        size_t inBuffer = std::min(n, len_ - at_);
        at_ += inBuffer;
        n -= inBuffer;
        if (n > 0) {
            start_ += static_cast<int64_t>(len_) + static_cast<int64_t>(n);
            len_ = at_ = 0;
        }
        return tell() <= size_;
    }
    int64_t tell() const { return start_ + static_cast<int64_t>(at_); }

private:
    bool fill()
    {
        start_ += static_cast<int64_t>(len_);
        at_ = len_ = 0;
        ssize_t n = platform::readAt(fd_, buf_, sizeof buf_, start_);
        if (n <= 0) return false;
        len_ = static_cast<size_t>(n);
        return true;
    }
    int fd_;
    int64_t start_;
    int64_t size_;
    size_t len_ = 0, at_ = 0;
    uint8_t buf_[16384];
};


// Skips sub-blocks up to and including the zero-length one; false at the end
// of the file.
bool skipSubBlocks(ByteSource &src, bool report)
{
    for (;;) {
        int n = src.get();
        if (n < 0) {
            if (report) conEprintf("Error in read GIF Block Size.\n");
            return false;
        }
        if (n == 0) return true;
        if (!src.skip(static_cast<size_t>(n))) {
            if (report) conEprintf("Error in read GIF Block Data.\n");
            return false;
        }
    }
}

struct GifState {
    std::vector<uint8_t> screen;  // rows x columns colour indices
    std::vector<uint8_t> saved;   // the screen before a frame to be restored (disposal 3)
    uint8_t globalPalette[256][3] = {};
    int globalIndices = 0;
    int64_t next = 0;        // position of the next block
    int frames = 0;          // frames decoded so far
    int total = -1;          // frames in the file, once the trailer was seen
    bool ended = false;      // no further frame
    // Graphic control for the frame about to be read.
    int transparent = -1;
    int disposal = 0;
    // The last frame drawn: its rectangle and what is to be done with it.
    int lastDisposal = 0;
    int lastLeft = 0, lastTop = 0, lastWidth = 0, lastHeight = 0;
    int lastTransparent = -1;
    int openTransparent = -1;  // the transparent index the header gave: the screen's first fill
    bool writeRefused = false;
};

GifState *stateOf(RamImage *img) { return static_cast<GifState *>(img->formatData); }

uint8_t screenFill(const RamImage *img) { return cacheFillByte(img); }

void fillRect(RamImage *img, GifState &st, int left, int top, int width, int height, uint8_t value)
{
    const int cols = img->def.columns, rows = img->def.rows;
    int x0 = std::max(left, 0), x1 = std::min<int64_t>(static_cast<int64_t>(left) + width, cols);
    int y0 = std::max(top, 0), y1 = std::min<int64_t>(static_cast<int64_t>(top) + height, rows);
    for (int y = y0; y < y1; ++y)
        if (x1 > x0) memset(st.screen.data() + static_cast<int64_t>(y) * cols + x0, value, static_cast<size_t>(x1 - x0));
}

// LZW codes packed least significant bit first across sub-blocks.
class CodeReader {
public:
    explicit CodeReader(ByteSource &src) : src_(src) {}
    int read(int size)
    {
        while (have_ < size) {
            if (left_ == 0) {
                if (finished_) return -1;
                int n = src_.get();
                if (n <= 0) {
                    finished_ = true;
                    eof_ = n < 0;
                    return -1;
                }
                left_ = n;
            }
            int c = src_.get();
            if (c < 0) {
                finished_ = eof_ = true;
                return -1;
            }
            --left_;
            acc_ |= static_cast<uint32_t>(c) << have_;
            have_ += 8;
        }
        int code = static_cast<int>(acc_ & ((1u << size) - 1));
        acc_ >>= size;
        have_ -= size;
        return code;
    }
    // Skips what is left of the frame's data; false at the end of the file.
    bool drain()
    {
        if (eof_) return false;
        if (left_ > 0) src_.skip(static_cast<size_t>(left_));
        left_ = 0;
        if (finished_) return true;
        finished_ = true;
        return skipSubBlocks(src_, true);
    }

private:
    ByteSource &src_;
    uint32_t acc_ = 0;
    int have_ = 0;
    int left_ = 0;
    bool finished_ = false;  // the zero-length sub-block (or the file's end) was reached
    bool eof_ = false;
};

// Where decoded pixels of one frame go: rows in file order or in the four
// interlace passes, clipped to the screen.
class FramePlacer {
public:
    FramePlacer(RamImage *img, GifState &st, int left, int top, int width, int height, bool interlaced, int transparent)
        : st_(st), cols_(img->def.columns), rows_(img->def.rows), left_(left), top_(top), width_(width),
          height_(height), interlaced_(interlaced), transparent_(transparent)
    {
        done_ = width <= 0 || height <= 0;
    }
    bool done() const { return done_; }
    void put(uint8_t p)
    {
        if (done_) return;
        int x = left_ + col_, y = top_ + row_;
        if (x < cols_ && y < rows_ && (transparent_ < 0 || p != transparent_))
            st_.screen[static_cast<int64_t>(y) * cols_ + x] = p;
        if (++col_ < width_) return;
        col_ = 0;
        if (!interlaced_) {
            if (++row_ >= height_) done_ = true;
            return;
        }
        static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
        row_ += kStep[pass_];
        while (row_ >= height_) {
            if (++pass_ > 3) {
                done_ = true;
                return;
            }
            row_ = kStart[pass_];
        }
    }

private:
    GifState &st_;
    int cols_, rows_, left_, top_, width_, height_;
    bool interlaced_;
    int transparent_;
    int col_ = 0, row_ = 0, pass_ = 0;
    bool done_;
};

// Decodes the LZW data of one frame into the placer. False when the file
// ended inside the frame.
bool decodeLZW(ByteSource &src, FramePlacer &out)
{
    int minSize = src.get();
    if (minSize < 0) return false;
    CodeReader codes(src);
    if (minSize < 1 || minSize > 8) {
        conEprintf("Error in GIF data: LZW code size %d.\n", minSize);
        return codes.drain();
    }
    const int clear = 1 << minSize, end = clear + 1;
    uint16_t prefix[4096];
    uint8_t suffix[4096];
    uint8_t stack[4097];
    int size = minSize + 1, next = clear + 2, prev = -1;
    uint8_t first = 0;
    for (int i = 0; i < clear; ++i) {
        prefix[i] = 0;
        suffix[i] = static_cast<uint8_t>(i);
    }
    while (!out.done()) {
        int code = codes.read(size);
        if (code < 0) break;
        if (code == clear) {
            size = minSize + 1;
            next = clear + 2;
            prev = -1;
            continue;
        }
        if (code == end) break;
        if (prev < 0) {
            if (code > clear) {
                conEprintf("Error in GIF data: LZW code %d not yet defined.\n", code);
                break;
            }
            out.put(static_cast<uint8_t>(code));
            prev = code;
            first = static_cast<uint8_t>(code);
            continue;
        }
        int sp = 0, c;
        if (code < next) {
            c = code;
        } else if (code == next) {
            // The code being defined: the previous string and its own first byte.
            stack[sp++] = first;
            c = prev;
        } else {
            conEprintf("Error in GIF data: LZW code %d not yet defined.\n", code);
            break;
        }
        bool circular = false;
        while (c >= clear) {
            if (sp >= 4096 || prefix[c] == c) {
                conEprintf("circular table entry BIG ERROR: %d\n", c);
                circular = true;
                break;
            }
            stack[sp++] = suffix[c];
            c = prefix[c];
        }
        if (circular) break;
        stack[sp++] = static_cast<uint8_t>(c);
        first = static_cast<uint8_t>(c);
        while (sp > 0) out.put(stack[--sp]);
        if (next < 4096) {
            prefix[next] = static_cast<uint16_t>(prev);
            suffix[next] = first;
            ++next;
            if (next == (1 << size) && size < 12) ++size;
        }
        prev = code;
    }
    return codes.drain();
}

enum FrameResult { FRAME_FAIL = -1, FRAME_END = 0, FRAME_OK = 1 };

// Reads blocks from the remembered position up to and including the next
// frame, composing it on the screen.
int readFrame(RamImage *img, GifState &st)
{
    if (st.ended) return FRAME_END;
    ImageDef &d = img->def;
    ByteSource src(img->fileHandle, st.next);
    for (;;) {
        int intro = src.get();
        if (intro < 0) {
            conEprintf("Unexpected GIF EOF\n");
            st.ended = true;
            if (st.total < 0) st.total = st.frames;
            return FRAME_END;
        }
        if (intro == ';') {
            st.ended = true;
            st.total = st.frames;
            return FRAME_END;
        }
        if (intro == '!') {
            int label = src.get();
            if (label < 0) {
                conEprintf("Error in read GIF label\n");
                return FRAME_FAIL;
            }
            if (label == 0xF9) {
                int n = src.get();
                uint8_t gce[256];
                if (n < 0 || !src.read(gce, static_cast<size_t>(n))) {
                    conEprintf("Error in read GIF Block Data.\n");
                    return FRAME_FAIL;
                }
                if (n >= 4) {
                    st.disposal = (gce[0] & 28) >> 2;
                    int delay = static_cast<int>(getLE16(gce + 1)) * 10;
                    img->frameDelay = delay == 0 ? 33 : delay;
                    st.transparent = (gce[0] & 1) ? gce[3] : -1;
                }
                if (n > 0 && !skipSubBlocks(src, true)) return FRAME_FAIL;
            } else if (label == 0x01 || label == 0xFE || label == 0xFF) {
                if (!skipSubBlocks(src, true)) return FRAME_FAIL;
            } else {
                conEprintf("    Unknown label in extension block\n");
                return FRAME_FAIL;
            }
            continue;
        }
        if (intro != ',') {
            conEprintf("Unknown GIF Introducer: 0x%x.\n", intro);
            return FRAME_FAIL;
        }
        uint8_t desc[9];
        if (!src.read(desc, sizeof desc)) {
            conEprintf("    Error in getGIFImgDes\n");
            return FRAME_FAIL;
        }
        const int left = static_cast<int>(getLE16(desc)), top = static_cast<int>(getLE16(desc + 2));
        const int width = static_cast<int>(getLE16(desc + 4)), height = static_cast<int>(getLE16(desc + 6));
        const int packed = desc[8];
        if (packed & 0x80) {
            int n = 1 << ((packed & 7) + 1);
            uint8_t table[256][3];
            if (!src.read(&table[0][0], static_cast<size_t>(3 * n))) {
                conEprintf("    Error in getGIFImgDes\n");
                return FRAME_FAIL;
            }
            memcpy(d.palette, table, static_cast<size_t>(3 * n));
            d.nindices = n;
        } else {
            memcpy(d.palette, st.globalPalette, sizeof st.globalPalette);
            d.nindices = st.globalIndices;
        }
        // What the previous frame left behind goes now, before this one is drawn.
        if (st.lastDisposal == 2) {
            int fill = st.lastTransparent >= 0 ? st.lastTransparent : screenFill(img);
            fillRect(img, st, st.lastLeft, st.lastTop, st.lastWidth, st.lastHeight, static_cast<uint8_t>(fill));
        } else if (st.lastDisposal == 3 && st.saved.size() == st.screen.size()) {
            st.screen.swap(st.saved);
        }
        if (st.disposal == 3) st.saved = st.screen;
        else std::vector<uint8_t>().swap(st.saved);
        if (st.transparent >= 0) d.transparent = st.transparent;

        FramePlacer placer(img, st, left, top, width, height, (packed & 0x40) != 0, st.transparent);
        bool more = decodeLZW(src, placer);
        ++st.frames;
        st.lastDisposal = st.disposal;
        st.lastLeft = left, st.lastTop = top, st.lastWidth = width, st.lastHeight = height;
        st.lastTransparent = st.transparent;
        st.disposal = 0;
        st.transparent = -1;
        st.next = src.tell();
        if (!more) {
            st.ended = true;
            st.total = st.frames;
        } else {
            int peek = src.get();
            if (peek == ';' || peek < 0) {
                st.ended = true;
                st.total = st.frames;
            }
        }
        return FRAME_OK;
    }
}

// Starts over from the first block after the global colour table.
void rewind(RamImage *img, GifState &st)
{
    st.next = img->def.offset;
    st.frames = 0;
    st.ended = false;
    st.disposal = st.lastDisposal = 0;
    st.transparent = st.lastTransparent = -1;
    std::vector<uint8_t>().swap(st.saved);
    // Later frames may have named other transparent indices; the screen
    // starts over as the open found it.
    img->def.transparent = st.openTransparent;
    std::fill(st.screen.begin(), st.screen.end(), screenFill(img));
}

bool ensureScreen(RamImage *img, GifState &st)
{
    const size_t need = static_cast<size_t>(img->def.rows) * static_cast<size_t>(img->def.columns);
    if (st.screen.size() == need) return true;
    try {
        st.screen.assign(need, screenFill(img));
    } catch (const std::bad_alloc &) {
        conEprintf("Error of malloc in readGIF.\n");
        return false;
    }
    return true;
}

void copyScreenToCache(RamImage *img, GifState &st, int line)
{
    const ImageDef &d = img->def;
    int first = 0, count = d.rows;
    if (img->cachedLines < d.rows) {
        first = std::max(0, std::min(line, d.rows - img->cachedLines));
        count = img->cachedLines;
    }
    const size_t n = static_cast<size_t>(std::min<int64_t>(img->lineBytes, d.columns));
    for (int r = first; r < first + count; ++r) {
        int slot = r % img->cacheSlots;
        if (img->slotMap[slot] == r && slotIsDirty(img, slot)) continue;
        if (slotIsDirty(img, slot)) img->flushSlot(img, slot);
        memcpy(slotData(img, slot), st.screen.data() + static_cast<int64_t>(r) * d.columns, n);
        img->slotMap[slot] = r;
    }
}

int gifLoadLine(RamImage *img, int line, int /*band*/, int /*load*/)
{
    GifState *st = stateOf(img);
    if (st == nullptr || !ensureScreen(img, *st)) return -1;
    if (st->frames == 0 && !st->ended) {
        if (readFrame(img, *st) == FRAME_OK) img->curVolume = st->frames;
        if (st->total >= 0) img->numVolumes = img->def.volumes = st->total;
    }
    copyScreenToCache(img, *st, line);
    return 0;
}

int gifStoreSlot(RamImage *img, int /*slot*/)
{
    GifState *st = stateOf(img);
    if (st && st->writeRefused) return -1;
    if (st) st->writeRefused = true;
    conEprintf("writeGIF has not been implemented!!!\n");
    return -1;
}

int gifSeek(RamImage *img, int volume)
{
    GifState *st = stateOf(img);
    if (st == nullptr || !ensureScreen(img, *st)) return -1;
    const int before = st->frames;
    int target;
    if (volume == 0) target = before + 1;
    else if (volume < 0) target = INT_MAX;
    else target = volume;
    if (target <= before && !(target == before && before > 0)) {
        if (img->fileHandle < 0) {
            conEprintf("Can't rewind %s\n", img->def.file);
            return -1;
        }
        rewind(img, *st);
    } else if (target == before) {
        img->curVolume = before;
        return before;
    }
    const int start = st->frames;
    int rc = FRAME_OK;
    while (st->frames < target && (rc = readFrame(img, *st)) == FRAME_OK) {
    }
    if (st->total >= 0) img->numVolumes = img->def.volumes = st->total;
    if (volume == 0 && st->frames == start) return -2;
    if (st->frames == 0) return rc == FRAME_FAIL ? -1 : -2;
    // The cache is refilled from the new screen on the next access.
    for (int i = 0; i < img->cacheSlots; ++i)
        if (!slotIsDirty(img, i)) img->slotMap[i] = -1;
    resetBandStats(img);
    img->curVolume = st->frames;
    return st->frames;
}

void gifFree(RamImage *img)
{
    delete stateOf(img);
    img->formatData = nullptr;
}

int gifOpenSetup(RamImage *img)
{
    auto *st = new (std::nothrow) GifState;
    if (st == nullptr) {
        conEprintf("Error of malloc in readGIF.\n");
        return -1;
    }
    gmemFree(img->formatData);
    img->formatData = st;
    img->freeHook = gifFree;
    img->seekHook = gifSeek;
    memcpy(st->globalPalette, img->def.palette, sizeof st->globalPalette);
    st->globalIndices = img->def.nindices;
    st->openTransparent = img->def.transparent;
    st->next = img->def.offset;
    // Without a global colour table the colours come with the frames: the
    // first one is decoded now, so that the palette is known to whoever asks
    // for it before reading a line (a display building its colours).
    if (img->def.nindices == 0) gifLoadLine(img, 0, 0, 1);
    return 0;
}

int gifCacheLines(RamImage *img, int /*wanted*/) { return img->def.rows; }

const FormatIO kGifIO = {gifLoadLine, gifStoreSlot, gifCacheLines, gifOpenSetup};

}  // namespace

int detectGif(const FileHead &head, ImageDef *def, void ** /*aux*/)
{
    const int fd = head.fd;
    uint8_t h[kScreenHeader];
    if (!head.read(h, sizeof h)) return 0;
    int imgid;
    if (memcmp(h, "GIF87a", 6) == 0) imgid = IMG_GIF87A;
    else if (memcmp(h, "GIF89a", 6) == 0) imgid = IMG_GIF89A;
    else return 0;
    const int columns = static_cast<int>(getLE16(h + 6)), rows = static_cast<int>(getLE16(h + 8));
    const int64_t size = platform::fileSize(fd);
    const int64_t pixels = static_cast<int64_t>(rows) * columns;
    if (pixels > kTrustedPixels && pixels / kPixelsPerByte > size) {
        conEprintf("Error in reading GIF: a screen of %d x %d is more than its %lld bytes can fill.\n", columns, rows,
                   static_cast<long long>(size));
        return -1;
    }
    memset(def->palette, 0, sizeof def->palette);
    const int packed = h[10];
    int offset = kScreenHeader;
    if (packed & 0x80) {
        const int n = 1 << ((packed & 7) + 1);
        uint8_t table[256][3];
        if (platform::readAt(fd, table, static_cast<size_t>(3 * n), kScreenHeader) != 3 * n) return 0;
        memcpy(def->palette, table, static_cast<size_t>(3 * n));
        def->nindices = n;
        offset += 3 * n;
    } else {
        def->nindices = 0;
    }
    // The first graphic control before the first frame names the transparent index.
    def->transparent = -1;
    ByteSource src(fd, offset);
    for (int intro = src.get(); intro == '!'; intro = src.get()) {
        int label = src.get();
        if (label == 0xF9) {
            int n = src.get();
            uint8_t gce[256];
            if (n < 0 || !src.read(gce, static_cast<size_t>(n))) break;
            if (n >= 4 && (gce[0] & 1)) def->transparent = gce[3];
            break;
        }
        if (label < 0 || !skipSubBlocks(src, false)) break;
    }
    def->imgid = imgid;
    def->pixel = PIX_BYTE;
    def->bits = 8;
    def->nbands = 1;
    def->rows = rows;
    def->columns = columns;
    def->block = 0;
    def->offset = offset;
    def->top = def->left = 0;
    def->mapid = MAP_GRID;
    def->msbf = kHostMsbf;
    def->x0 = def->y0 = 0.0;
    def->dx = def->dy = 1.0;
    return imgid;
}

const FormatIO *gifFormatIO() { return &kGifIO; }

int refuseGifWrite(int /*fd*/, int /*checkSpace*/, ImageDef * /*def*/)
{
    conEprintf("writeGIF has not been implemented!!!\n");
    return -1;
}

}  // namespace krel
