// The format table: one record per storage format, indexed by its code, and
// the detection chain. Everything the image store does differently from one
// format to the next is read from here.
#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "image/formats/formats.h"
#include "platform/files.h"

namespace krel {

namespace {

// BSQ, BIL, BIP and the memory layouts keep 1-bit images as two-colour
// index images.
const char *settleOneBitIndexed(ImageDef *d)
{
    if (d->pixel == PIX_1BIT) d->nindices = 2;
    return nullptr;
}

constexpr BitmapShape kNoBitmap = {0, 0, PIX_UNKNOWN, -1};

// Packed bitmaps have two shapes that differ on purpose. The definition side
// (fixedBands, fixedPixel, fixedIndices) describes the stored pixel, as a
// definition of a file would: MRGB565 is one USHORT value a column, MRGB4 a
// 16-entry index image; that is what `rimage configure` reports and what the
// record size is checked against. The bitmap side is what a resident image
// made by `rimage open` hands out: the cache unpacks every bitmap row into
// band lines, so MRGB565 and MRGB555 become three BYTE bands, and MRGB4
// records the 4 indices resident images have always reported.
const FormatRecord kFormats[kImageFormatCount] = {
    // header writer, whole-file writer, line I/O, palette writer,
    // raw layout, row records, block rule, fixed bands, pixel, indices, settle,
    // cache lines, resident bitmap shape
    /* UNKNOWN */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::BandLine, 0, PIX_UNKNOWN, -1,
                   nullptr, kCacheAsAsked, kNoBitmap},
    /* BSQ */ {writeImageDefHeader, nullptr, nullptr, writeImageDefPalette, RawKind::BandSequential, false, BlockRule::BandLine, 0,
               PIX_UNKNOWN, -1, settleOneBitIndexed, kCacheAsAsked, kNoBitmap},
    /* BIL */ {writeImageDefHeader, nullptr, nullptr, writeImageDefPalette, RawKind::LineInterleaved, false, BlockRule::BandLine, 0,
               PIX_UNKNOWN, -1, settleOneBitIndexed, kCacheAsAsked, kNoBitmap},
    /* BIP */ {writeImageDefHeader, nullptr, nullptr, writeImageDefPalette, RawKind::PixelRows, true, BlockRule::WordRow, 0,
               PIX_UNKNOWN, -1, settleOneBitIndexed, kCacheAsAsked, kNoBitmap},
    /* E73 */ {writeErdasHeader, nullptr, nullptr, nullptr, RawKind::LineInterleaved, false, BlockRule::BandLine, 0,
               PIX_UNKNOWN, -1, nullptr, kCacheAsAsked, kNoBitmap},
    /* E74 */ {writeErdasHeader, nullptr, nullptr, nullptr, RawKind::LineInterleaved, false, BlockRule::BandLine, 0,
               PIX_UNKNOWN, -1, nullptr, kCacheAsAsked, kNoBitmap},
    /* ELAS */ {nullptr, nullptr, nullptr, nullptr, RawKind::LineInterleaved, false, BlockRule::BandLine, 0,
                PIX_UNKNOWN, -1, nullptr, kCacheAsAsked, kNoBitmap},
    /* DIB */ {writeDIBHeader, nullptr, nullptr, writeDIBPalette, RawKind::BottomUpRows, true, BlockRule::WordRow, 0,
               PIX_UNKNOWN, -1, settleDIBDef, kCacheAsAsked, kNoBitmap},
    /* XBMP */ {nullptr, writeXBMP, xbmpFormatIO, nullptr, RawKind::NotRaw, false, BlockRule::BandLine, 0, PIX_UNKNOWN,
                -1, nullptr, kCacheAsAsked, kNoBitmap},
    /* TIFF */ {writeTiffHeader, nullptr, tiffFormatIO, writeTiffPalette, RawKind::NotRaw, true, BlockRule::PixelRow, 0,
                PIX_UNKNOWN, -1, settleTiffDef, kCacheAsAsked, kNoBitmap},
    /* GIF87A */ {refuseGifWrite, nullptr, gifFormatIO, nullptr, RawKind::NotRaw, false, BlockRule::BandLine, 0,
                  PIX_UNKNOWN, -1, nullptr, kCacheAllRows, kNoBitmap},
    /* GIF89A */ {refuseGifWrite, nullptr, gifFormatIO, nullptr, RawKind::NotRaw, false, BlockRule::BandLine, 0,
                  PIX_UNKNOWN, -1, nullptr, kCacheAllRows, kNoBitmap},
    /* FFT */ {nullptr, nullptr, nullptr, nullptr, RawKind::PixelRows, false, BlockRule::PixelRow, 2, PIX_FLOAT, -1,
               nullptr, kCacheAsAsked, kNoBitmap},
    /* PPM */ {writePPMHeader, nullptr, nullptr, nullptr, RawKind::PixelRows, false, BlockRule::PixelRow, 0, PIX_BYTE,
               0, settlePPMDef, kCacheAsAsked, kNoBitmap},
    /* JPEG */ {nullptr, writeJPEG, jpegFormatIO, nullptr, RawKind::NotRaw, false, BlockRule::BandLine, 0, PIX_BYTE, 0,
                settleJPEGDef, kCacheAllRows, kNoBitmap},
    /* E74BSQ */ {writeErdasHeader, nullptr, nullptr, nullptr, RawKind::BandSequential, false, BlockRule::BandLine, 0,
                  PIX_UNKNOWN, -1, nullptr, kCacheAsAsked, kNoBitmap},
    /* MBSQ */ {nullptr, nullptr, nullptr, nullptr, RawKind::BandSequential, false, BlockRule::BandLine, 0,
                PIX_UNKNOWN, -1, settleOneBitIndexed, kCacheAsAsked, kNoBitmap},
    /* MBIL */ {nullptr, nullptr, nullptr, nullptr, RawKind::LineInterleaved, false, BlockRule::BandLine, 0,
                PIX_UNKNOWN, -1, settleOneBitIndexed, kCacheAsAsked, kNoBitmap},
    /* MBIP */ {nullptr, nullptr, nullptr, nullptr, RawKind::PixelRows, false, BlockRule::WordRow, 0, PIX_UNKNOWN, -1,
                settleOneBitIndexed, kCacheAsAsked, kNoBitmap},
    /* MPEG */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::BandLine, 0, PIX_UNKNOWN, -1,
                nullptr, kCacheAsAsked, kNoBitmap},
    /* MRGB32 */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::WordRow, 4, PIX_BYTE, -1,
                  nullptr, 3, {32, 4, PIX_BYTE, -1}},
    /* MRGB24 */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::WordRow, 3, PIX_BYTE, -1,
                  nullptr, 3, {24, 3, PIX_BYTE, -1}},
    /* MRGB565 */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::WordRow, 1, PIX_USHORT, -1,
                   nullptr, 3, {16, 3, PIX_BYTE, -1}},
    /* MRGB555 */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::WordRow, 1, PIX_SHORT, -1,
                   nullptr, 3, {16, 3, PIX_BYTE, -1}},
    /* MRGB8 */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::WordRow, 1, PIX_BYTE, 256,
                 nullptr, 1, {8, 1, PIX_BYTE, 256}},
    /* MRGB4 */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::WordRow, 1, PIX_4BITS, 16,
                 nullptr, 1, {4, 1, PIX_4BITS, 4}},
    /* MRGB1 */ {nullptr, nullptr, nullptr, nullptr, RawKind::NotRaw, false, BlockRule::WordRow, 1, PIX_1BIT, 2,
                 nullptr, 1, {1, 1, PIX_1BIT, 2}},
};

// The detection chain, in the order it is tried: the first detector that
// accepts decides. A negative answer (a TIFF whose directories cannot be
// read) ends detection. MPEG files have no reader in this library.
const DetectFn kDetectionChain[] = {
    detectDicom,     // DICOM: read as BIP (or BSQ) with projection DICOM
    detectDIB,       // DIB
    detectXBMP,      // XBMP
    detectErdas,     // ERDAS: E73, E74, E74BSQ
    detectGif,       // GIF87a, GIF89a
    detectFFT,       // FFT
    detectElas,      // ELAS
    detectTiff,      // TIFF
    detectJPEG,      // JPEG
    detectImageDef,  // IMAGEDEF: BSQ, BIL, BIP
    detectPPM,       // PPM: P5, P6
};

}  // namespace

const FormatRecord &formatRecord(int imgid)
{
    return kFormats[imgid >= 0 && imgid < kImageFormatCount ? imgid : IMG_UNKNOWN];
}

const FormatIO *formatIO(int imgid)
{
    const FormatRecord &f = formatRecord(imgid);
    return f.io ? f.io() : nullptr;
}

void settleResidentBitmap(ImageDef *d)
{
    const BitmapShape &shape = formatRecord(d->imgid).bitmap;
    if (shape.bitsPerPixel == 0) return;
    const int64_t bits = static_cast<int64_t>(shape.bitsPerPixel) * (d->columns > 0 ? d->columns : 0);
    d->nbands = shape.bands;
    d->pixel = shape.pixel;
    if (shape.indices >= 0) d->nindices = shape.indices;
    d->block = static_cast<int32_t>(4 * ((bits + 31) / 32));
    d->bits = pixelBits(d->pixel);
}

void readFileHead(int fd, const char *fileName, FileHead *head)
{
    head->fd = fd;
    head->fileName = fileName;
    ssize_t got = platform::readAt(fd, head->bytes, sizeof head->bytes, 0);
    head->size = got > 0 ? static_cast<size_t>(got) : 0;
}

bool FileHead::read(void *out, size_t n, int64_t at) const
{
    if (at >= 0 && static_cast<uint64_t>(at) + n <= size) {
        memcpy(out, bytes + at, n);
        return true;
    }
    // Past a head that holds the whole file nothing more can be had.
    if (size < kFileHeadBytes) return false;
    return platform::readAt(fd, out, n, at) == static_cast<ssize_t>(n);
}

size_t FileHead::copy(void *out, size_t n) const
{
    const size_t have = std::min(n, size);
    memcpy(out, bytes, have);
    return have;
}

int detectFormat(int fd, const char *fileName, ImageDef *def, void **aux)
{
    def->dataFd = -1;
    def->volumes = 0;
    const off_t position = lseek(fd, 0, SEEK_CUR);
    FileHead head;
    readFileHead(fd, fileName, &head);
    int result = 0;
    for (DetectFn fn : kDetectionChain) {
        int code = fn(head, def, aux);
        if (position >= 0) lseek(fd, position, SEEK_SET);
        if (code != 0) {
            result = code < 0 ? -1 : code;
            break;
        }
    }
    return result;
}

int writeHeader(int fd, int checkSpace, ImageDef *def)
{
    HeaderWriter writer = formatRecord(def->imgid).writeHeader;
    if (writer == nullptr) return -2;
    const off_t position = lseek(fd, 0, SEEK_CUR);
    int rc = writer(fd, checkSpace, def);
    if (position >= 0) lseek(fd, position, SEEK_SET);
    return rc;
}

}  // namespace krel
