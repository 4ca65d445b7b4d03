// FFT image files: the frequency-domain images the Fourier modules write and
// read block by block. A 1024-byte header in the host's byte order, then
// rows x columns complex values row after row, each a float32 real part and
// a float32 imaginary part; row r starts at 1024 + r x columns x 8.
//
//   offset size  content
//        0   16  "FFT IMAGE FILE", NUL-terminated, zero padded
//       16   64  source image name (not terminated when it fills the field)
//       80    4  source band, from 1
//       84    4  rows: smallest power of two not below the source rows
//       88    4  columns: the same for the source columns
//       92    4  source rows
//       96    4  source columns
//      100    4  kind: 0 INIT 1 SFRI 2 SFPP 3 FSRI 4 FSPP 5 SFRIX 6 SFRIY 7 SFPPX 8 SFPPY
//      104    8  count of values folded into the statistics
//      112    8  largest real part (-inf when new)
//      120    8  smallest real part (+inf when new)
//      128    8  largest imaginary part
//      136    8  smallest imaginary part
//      144    8  mean of the real parts
//      152    8  mean of the imaginary parts
//      160    8  mean square of the real parts; their standard deviation once finished
//      168    8  the same for the imaginary parts
//      176  848  zero
//
// As a RAM image an FFT file is two FLOAT bands (real, imaginary) stored
// pixel-interleaved: block = columns x 8, offset 1024.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <unistd.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "core/texts.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

const char *const kFFTMagic = "FFT IMAGE FILE";

static_assert(offsetof(FFTHeader, band) == 80 && offsetof(FFTHeader, kind) == 100 &&
                  offsetof(FFTHeader, count) == 104 && offsetof(FFTHeader, sqImag) == 168 &&
                  offsetof(FFTHeader, reserved) == 176,
              "FFT header field placement");

namespace {

constexpr int kFFTHeader = 1024;

void reportSystemError(const char *text) { conEprintf("%s: %s\n", text, strerror(errno)); }

int32_t powerOfTwoAtLeast(int32_t n)
{
    int64_t p = 1;
    while (p < n && p < (int64_t(1) << 30)) p <<= 1;
    return static_cast<int32_t>(p);
}

bool magicMatches(const char *magic) { return strncmp(magic, kFFTMagic, strlen(kFFTMagic) + 1) == 0; }

int64_t rowBytes(const FFTHeader *head) { return static_cast<int64_t>(head->columns) * 8; }

}  // namespace

const char *fftKindName(int kind)
{
    static const char *const names[] = {"INIT", "SFRI", "SFPP", "FSRI", "FSPP", "SFRIX", "SFRIY", "SFPPX", "SFPPY"};
    return kind >= 0 && kind <= FFT_SFPPY ? names[kind] : "";
}

void initFFTHeader(FFTHeader *head, const char *sourceName, int band, int srcRows, int srcColumns, int kind)
{
    memset(head, 0, sizeof *head);
    strcpy(head->magic, kFFTMagic);
    // The name fills at most the 64-byte field, without a terminator when full.
    if (sourceName) memcpy(head->name, sourceName, strnlen(sourceName, sizeof head->name));
    head->band = band;
    head->srcRows = srcRows;
    head->srcColumns = srcColumns;
    head->rows = powerOfTwoAtLeast(srcRows);
    head->columns = powerOfTwoAtLeast(srcColumns);
    head->kind = kind;
    const double inf = std::numeric_limits<double>::infinity();
    head->maxReal = head->maxImag = -inf;
    head->minReal = head->minImag = inf;
}

int detectFFT(const FileHead &file, ImageDef *def, void ** /*aux*/)
{
    FFTHeader head;
    if (!file.read(&head, sizeof head)) return 0;
    if (!magicMatches(head.magic)) return 0;
    def->imgid = IMG_FFT;
    def->pixel = PIX_FLOAT;
    def->bits = 32;
    def->nbands = 2;
    def->msbf = kHostMsbf;
    def->mapid = MAP_GRID;
    def->rows = head.rows;
    def->columns = head.columns;
    int64_t block = static_cast<int64_t>(head.columns) * 8;
    def->block = block > 0 && block <= INT32_MAX ? static_cast<int32_t>(block) : -1;
    def->offset = kFFTHeader;
    def->top = def->left = 0;
    def->x0 = def->y0 = 0.0;
    def->dx = def->dy = 1.0;
    def->nindices = 0;
    def->transparent = -1;
    return IMG_FFT;
}

int createFFTFile(const char *name, FFTHeader *head)
{
    {
        platform::FileDesc fd = platform::openFile(name, platform::OpenMode::CreateTruncate);
        if (!fd) {
            reportSystemError(name);
            return -1;
        }
        const double requested = kFFTHeader + static_cast<double>(head->rows) * head->columns * 8;
        const double available = platform::freeDiskSpace(name);
        if (available >= 0 && requested > available) {
            conEprintf("Insufficient disk space.\n");
            conEprintf(texts::kFFTRquest, requested, std::floor(available));
            return -1;
        }
        // The file holds all its samples from the start (zeros until written).
        if (platform::writeAt(fd.get(), head, kFFTHeader, 0) != kFFTHeader ||
            ftruncate(fd.get(), static_cast<off_t>(requested)) != 0) {
            reportSystemError(name);
            return -1;
        }
    }
    return openFFTFile(name, head);
}

bool validFFTHeader(const FFTHeader &head, int64_t fileSize)
{
    auto powerOfTwo = [](int32_t n) { return n >= 1 && n <= (1 << 30) && (n & (n - 1)) == 0; };
    if (!magicMatches(head.magic) || !powerOfTwo(head.rows) || !powerOfTwo(head.columns)) return false;
    if (head.kind < FFT_INIT || head.kind > FFT_SFPPY) return false;
    if (head.srcRows < 1 || head.srcRows > head.rows || head.srcColumns < 1 || head.srcColumns > head.columns)
        return false;
    return fileSize < 0 || fileSize >= kFFTHeader + static_cast<int64_t>(head.rows) * head.columns * 8;
}

int openFFTFile(const char *name, FFTHeader *head)
{
    platform::FileDesc fd = platform::openFile(name, platform::OpenMode::ReadWrite);
    if (!fd) {
        reportSystemError(name);
        return -1;
    }
    if (platform::readAll(fd.get(), head, kFFTHeader) != kFFTHeader) {
        reportSystemError(name);
        return -1;
    }
    // The header is untrusted: every size taken from it must be one the file holds.
    if (!validFFTHeader(*head, platform::fileSize(fd.get()))) {
        conEprintf("Not an FFT image file!\n");
        return -1;
    }
    return fd.release();
}

int PutFFTHead(const FFTHeader *head, int fd)
{
    if (lseek(fd, 0, SEEK_SET) != 0 || platform::writeAll(fd, head, kFFTHeader) != kFFTHeader) {
        reportSystemError("PutFFTHead");
        return -1;
    }
    return 0;
}

// Rows and row parts go straight between the file and the caller's buffer,
// one positioned transfer each.
float *GetFFTFileBlock(const FFTHeader *head, int fd, float *buffer, int firstRow, int rowCount)
{
    const int64_t bytes = rowBytes(head);
    if (firstRow < 0 || rowCount < 0 || firstRow + static_cast<int64_t>(rowCount) > head->rows) {
        conEprintf("lseek error in GetFFTFileBlock");
        return nullptr;
    }
    for (int r = 0; r < rowCount; ++r) {
        const int64_t at = kFFTHeader + (static_cast<int64_t>(firstRow) + r) * bytes;
        if (platform::readAt(fd, buffer + static_cast<int64_t>(r) * head->columns * 2, static_cast<size_t>(bytes),
                             at) != bytes) {
            conEprintf("read error in GetFFTFileBlock");
            return nullptr;
        }
    }
    return buffer;
}

float *GetFFTFileSeg(const FFTHeader *head, int fd, float *buffer, int firstColumn, int columnCount)
{
    const int64_t bytes = static_cast<int64_t>(columnCount) * 8;
    if (firstColumn < 0 || columnCount < 0 || firstColumn + static_cast<int64_t>(columnCount) > head->columns) {
        conEprintf("lseek error in GetFFTFileSeg");
        return nullptr;
    }
    for (int r = 0; r < head->rows; ++r) {
        const int64_t at = kFFTHeader + r * rowBytes(head) + firstColumn * int64_t(8);
        if (platform::readAt(fd, buffer + static_cast<int64_t>(r) * columnCount * 2, static_cast<size_t>(bytes),
                             at) != bytes) {
            conEprintf("read error in GetFFTFileSeg");
            return nullptr;
        }
    }
    return buffer;
}

int PutFFTFileBlock(FFTHeader *head, int fd, const float *buffer, int firstRow, int rowCount, int update)
{
    const int64_t bytes = rowBytes(head);
    if (firstRow < 0 || rowCount < 0 || firstRow + static_cast<int64_t>(rowCount) > head->rows) {
        errno = EINVAL;
        reportSystemError("lseek error in PutFFTFileBlock");
        return -1;
    }
    for (int r = 0; r < rowCount; ++r) {
        const float *row = buffer + static_cast<int64_t>(r) * head->columns * 2;
        if (update) updateFFTStats(head, head->columns, row);
        const int64_t at = kFFTHeader + (static_cast<int64_t>(firstRow) + r) * bytes;
        if (platform::writeAt(fd, row, static_cast<size_t>(bytes), at) != bytes) {
            reportSystemError("write error in PutFFTFileBlock");
            return -1;
        }
    }
    return 0;
}

int PutFFTFileSeg(FFTHeader *head, int fd, const float *buffer, int firstColumn, int columnCount, int update)
{
    const int64_t bytes = static_cast<int64_t>(columnCount) * 8;
    if (firstColumn < 0 || columnCount < 0 || firstColumn + static_cast<int64_t>(columnCount) > head->columns) {
        errno = EINVAL;
        reportSystemError("lseek error in PutFFTFileSeg");
        return -1;
    }
    if (update)
        for (int r = 0; r < head->rows; ++r)
            updateFFTStats(head, columnCount, buffer + static_cast<int64_t>(r) * columnCount * 2);
    for (int r = 0; r < head->rows; ++r) {
        const int64_t at = kFFTHeader + r * rowBytes(head) + firstColumn * int64_t(8);
        if (platform::writeAt(fd, buffer + static_cast<int64_t>(r) * columnCount * 2, static_cast<size_t>(bytes),
                              at) != bytes) {
            reportSystemError("write error in PutFFTFileSeg");
            return -1;
        }
    }
    return 0;
}

void FFTStatSums::merge(const FFTStatSums &o)
{
    n += o.n;
    sumR += o.sumR;
    sumI += o.sumI;
    sumR2 += o.sumR2;
    sumI2 += o.sumI2;
    maxR = std::max(maxR, o.maxR);
    minR = std::min(minR, o.minR);
    maxI = std::max(maxI, o.maxI);
    minI = std::min(minI, o.minI);
}

void foldFFTStats(FFTHeader *head, const FFTStatSums &s)
{
    if (s.n <= 0) return;
    if (s.maxR > head->maxReal) head->maxReal = s.maxR;
    if (s.minR < head->minReal) head->minReal = s.minR;
    if (s.maxI > head->maxImag) head->maxImag = s.maxI;
    if (s.minI < head->minImag) head->minImag = s.minI;
    const double N = head->count, total = N + s.n;
    auto fold = [&](double mean, double sum) { return mean * N / total + (sum / s.n) * s.n / total; };
    head->meanReal = fold(head->meanReal, s.sumR);
    head->meanImag = fold(head->meanImag, s.sumI);
    head->sqReal = fold(head->sqReal, s.sumR2);
    head->sqImag = fold(head->sqImag, s.sumI2);
    head->count = total;
}

void updateFFTStats(FFTHeader *head, int n, const float *values)
{
    if (n <= 0) return;
    FFTStatSums s;
    for (int k = 0; k < n; ++k) {
        double re = values[2 * k], im = values[2 * k + 1];
        if (re > s.maxR) s.maxR = re;
        if (re < s.minR) s.minR = re;
        if (im > s.maxI) s.maxI = im;
        if (im < s.minI) s.minI = im;
        s.sumR += re;
        s.sumI += im;
        s.sumR2 += re * re;
        s.sumI2 += im * im;
    }
    s.n = n;
    foldFFTStats(head, s);
}

void finishFFTStats(FFTHeader *head)
{
    head->sqReal = std::sqrt(std::max(0.0, head->sqReal - head->meanReal * head->meanReal));
    head->sqImag = std::sqrt(std::max(0.0, head->sqImag - head->meanImag * head->meanImag));
}

}  // namespace krel
