// JPEG files through the JPEG library (libjpeg-turbo, the IJG 6b interface).
//
//   offset size  content
//        0    3  FF D8 FF: start of image and the first marker
//        ...     markers; the frame header gives width, height and the
//                number of colour components (the bands)
//
// The image is decoded whole into the line cache (all rows x bands lines) on
// the first access and written back whole. `block` holds the quality used
// when writing (90 for a file read here). The library calls sit behind the
// C-only guard of jpeg_guard.c, so its fatal errors never jump over a C++
// frame.
#include <algorithm>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "core/conio.h"
#include "image/formats/formats.h"
#include "image/formats/jpeg_guard.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int kDefaultQuality = 90;
constexpr int kMessageBytes = 200;  // the library's longest message

int qualityOf(int block) { return block < 0 ? kDefaultQuality : std::min(block, 100); }

bool wholeCacheHeld(const RamImage *img)
{
    return img->cacheBuffer && img->cachedLines >= img->def.rows &&
           img->cacheSlots >= img->def.rows * img->def.nbands;
}

struct DecodeTarget {
    RamImage *img;
};

void jpegRowSink(void *context, int row, const unsigned char *pixels) noexcept
{
    RamImage *img = static_cast<DecodeTarget *>(context)->img;
    const int nb = img->def.nbands, cols = img->def.columns;
    if (row < 0 || row >= img->def.rows) return;
    for (int b = 0; b < nb; ++b) {
        const int key = row * nb + b;
        // A line changed here and not yet written keeps its pixels.
        if (img->slotMap[key] == key && slotIsDirty(img, key)) continue;
        uint8_t *line = slotData(img, key);
        for (int c = 0; c < cols; ++c) line[c] = pixels[c * nb + b];
        img->slotMap[key] = key;
    }
}

struct EncodeSource {
    RamImage *img;
    int columns, nbands;
};

void jpegRowSource(void *context, int row, unsigned char *pixels) noexcept
{
    auto *s = static_cast<EncodeSource *>(context);
    const int nb = s->nbands, cols = s->columns;
    for (int b = 0; b < nb; ++b) {
        const int key = row * nb + b;
        const uint8_t *line = s->img && s->img->slotMap[key] == key ? slotData(s->img, key) : nullptr;
        for (int c = 0; c < cols; ++c) pixels[c * nb + b] = line ? line[c] : 0;
    }
}

int jpegLoadLine(RamImage *img, int /*line*/, int /*band*/, int /*load*/)
{
    ImageDef &d = img->def;
    if (!wholeCacheHeld(img)) {
        conEprintf("Error of malloc in readJPEG.\n");
        return -1;
    }
    DecodeTarget target{img};
    char message[kMessageBytes], warning[kMessageBytes];
    int rows = 0;
    int ok = krelJpegDecode(img->fileHandle, d.nbands, jpegRowSink, &target, &rows, message, sizeof message, warning,
                            sizeof warning);
    if (!ok && rows == 0) conEprintf("not a jpeg file...\n");
    if (!ok) conEprintf("Error in readJPEG: %s: %s; the rows not decoded read as %d.\n", d.file, message, cacheFillByte(img));
    else if (warning[0]) conEprintf("Warning in readJPEG: %s: %s\n", d.file, warning);
    // Rows the file could not give read as the fill byte: every line is in
    // place after one decode, so nothing decodes again line by line.
    for (int key = 0; key < d.rows * d.nbands; ++key) {
        if (img->slotMap[key] == key) continue;
        memset(slotData(img, key), cacheFillByte(img), static_cast<size_t>(img->lineBytes));
        img->slotMap[key] = key;
    }
    return 0;
}

int jpegStoreSlot(RamImage *img, int /*slot*/)
{
    // Any dirty line rewrites the whole file. The cache is then clean and
    // empty: the next access reads what the file now holds (the compression
    // is lossy, so the pixels change). The new file replaces the old one only
    // once it is complete: a full disk must not leave half a JPEG behind.
    int rc = platform::replaceWholeFile(img->fileHandle, [img](int fd) { return writeJPEG(fd, &img->def, img); });
    memset(img->dirtyBits, 0, static_cast<size_t>(img->cacheSlots / 8 + 1));
    if (rc < 0) return -1;  // the cache keeps the edits as long as the image lives
    for (int i = 0; i < img->cacheSlots; ++i) img->slotMap[i] = -1;
    return 0;
}

int jpegCacheLines(RamImage *img, int /*wanted*/) { return img->def.rows; }

const FormatIO kJpegIO = {jpegLoadLine, jpegStoreSlot, jpegCacheLines, nullptr};

}  // namespace

const FormatIO *jpegFormatIO() { return &kJpegIO; }

int detectJPEG(const FileHead &head, ImageDef *def, void ** /*aux*/)
{
    const int fd = head.fd;
    const char *fileName = head.fileName;
    uint8_t magic[3];
    if (!head.read(magic, 3) || magic[0] != 0xFF || magic[1] != 0xD8 || magic[2] != 0xFF) return 0;
    const char *name = fileName ? fileName : "";
    KrelJpegInfo info{};
    char message[kMessageBytes];
    if (!krelJpegReadInfo(fd, &info, message, sizeof message)) {
        conEprintf("Error in reading JPEG header of %s: %s\n", name, message);
        return -1;
    }
    if (info.width <= 0 || info.height <= 0 || info.components < 1) {
        conEprintf("Error in reading JPEG header of %s: no pixels.\n", name);
        return -1;
    }
    // The whole image is held in memory, so its size must be one the file
    // can back: Huffman-coded data spend at least one bit on every 8 x 8
    // block (its DC value); arithmetic coding is allowed 64 blocks a byte.
    const int64_t fileSize = platform::fileSize(fd);
    const int64_t perByte = info.arithmetic ? 64 : 8;
    if (fileSize <= 0 || info.blocks > fileSize * perByte) {
        conEprintf("Error in reading JPEG header of %s: %d x %d pixels in %d components cannot come from %lld bytes.\n",
                   name, info.width, info.height, info.components, static_cast<long long>(fileSize));
        return -1;
    }
    def->imgid = IMG_JPEG;
    def->mapid = MAP_GRID;
    def->pixel = PIX_BYTE;
    def->bits = 8;
    def->offset = 0;
    def->rows = info.height;
    def->columns = info.width;
    def->nbands = info.components;
    def->block = kDefaultQuality;
    def->top = def->left = 0;
    def->msbf = kHostMsbf;
    def->nindices = 0;
    def->transparent = -1;
    def->x0 = def->y0 = 0.0;
    def->dx = def->dy = 1.0;
    return IMG_JPEG;
}

// Grey or colour bytes only, written whole without a header block.
const char *settleJPEGDef(ImageDef *d)
{
    if (d->nbands != 1 && d->nbands != 3) return "Illegal bands for a JPEG image.";
    d->offset = 0;
    return nullptr;
}

int writeJPEG(int fd, ImageDef *def, RamImage *img)
{
    if (def->rows <= 0 || def->columns <= 0 || def->nbands < 1 || def->nbands > 10 || def->columns > 65500 ||
        def->rows > 65500) {
        conEprintf("Error in writeJPEG: %s: %d x %d pixels in %d bands cannot be written as JPEG.\n", def->file,
                   def->columns, def->rows, def->nbands);
        return -1;
    }
    def->pixel = PIX_BYTE;
    def->bits = 8;
    def->offset = 0;
    if (img && !wholeCacheHeld(img)) img = nullptr;
    EncodeSource source{img, def->columns, def->nbands};
    char message[kMessageBytes];
    long long bytes = 0;
    if (!krelJpegEncode(fd, def->columns, def->rows, def->nbands, qualityOf(def->block), jpegRowSource, &source, &bytes,
                        message, sizeof message)) {
        conEprintf("Error in writeJPEG: %s: %s\n", def->file, message);
        return -1;
    }
    // The file is recreated: the tail of an earlier, longer file goes.
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        conEprintf("Error in writeJPEG: %s: cannot set the file length.\n", def->file);
        return -1;
    }
    return 0;
}

}  // namespace krel
