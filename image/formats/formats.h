// The format layer: recognising image files, writing their headers, creating
// them, and moving band lines between files and the line cache.
//
// Every storage format is one FormatRecord in the table of format_table.cpp,
// indexed by its code (image/imagedef.h): definition rules, raw layout,
// cache policy, header, whole-file and palette writers and line I/O are read
// from it. Adding a file format:
//  1. give it a code in image/imagedef.h (raising kImageFormatCount) and its
//     name in kFormatNames of image/codes.cpp;
//  2. write image/formats/NAME.cpp with what the record points at: a detector
//     (strict and silent: for a file that is not exactly its own it answers 0
//     and prints nothing, and it reads beyond the FileHead it is given only
//     once the head proves the file is its own; a file of its format that it
//     cannot read gets a message and -1), a header writer, and for formats whose
//     lines are not raw records a FormatIO (or a whole-file writer for
//     formats written in one piece); raw layouts (BSQ, BIL, BIP, bottom-up
//     rows) need no line code: the record's RawKind describes them and one
//     generic reader (rawio.cpp) serves them all;
//  3. fill its entry of kFormats in format_table.cpp and, when files of the
//     format are recognised, put its detector into kDetectionChain there at
//     the place it must be tried (the chain's order decides ties);
//  4. add NAME.cpp to image/formats/CMakeLists.txt;
//  5. tests: unit tests in tests/unit (image_formats_test.cpp, or a file of
//     its own, NAME_test.cpp: the glob of tests/CMakeLists.txt builds it);
//     a reader of untrusted bytes also gets tests/fuzz/fuzz_NAME.cpp (one call of fuzz::readImage
//     with the file suffix; the glob of tests/fuzz/CMakeLists.txt builds
//     it) and its seeds: tests/fuzz/seeds.sh writes them with ImageMagick under
//     the name, or a tests/fuzz/seeds-NAME.sh beside it makes its own.
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <sys/types.h>

#include "image/imagedef.h"

namespace krel {

struct RamImage;
struct FormatIO;

// ---- Detection --------------------------------------------------------------

// The first bytes of a file under detection, read once for the whole chain.
constexpr size_t kFileHeadBytes = 4096;
struct FileHead {
    int fd = -1;
    const char *fileName = nullptr;
    size_t size = 0;  // bytes held: kFileHeadBytes, or all of a shorter file
    uint8_t bytes[kFileHeadBytes];

    // Copies n bytes at `at` when the file has them all: from the head where
    // it holds them, else from the file. False when the file is shorter.
    bool read(void *out, size_t n, int64_t at = 0) const;
    // Copies what the head holds of its first n bytes; the count copied.
    size_t copy(void *out, size_t n) const;
};
// Reads the head of the file open on fd (from offset 0, the position kept).
void readFileHead(int fd, const char *fileName, FileHead *head);

// A detector looks at the head, reading more of head.fd only once the head
// shows the file is its own. It fills the definition and returns the format
// code, 0 when the file is not its own (silently), or -1 for a file of its
// format it cannot read (after printing why).
using DetectFn = int (*)(const FileHead &head, ImageDef *def, void **aux);

// Runs the detection chain of format_table.cpp: the format code, 0 when
// nothing matched, -1 on a fatal error.
int detectFormat(int fd, const char *fileName, ImageDef *def, void **aux);

// The native detectors.
int detectErdas(const FileHead &head, ImageDef *def, void **aux);
int detectFFT(const FileHead &head, ImageDef *def, void **aux);
int detectElas(const FileHead &head, ImageDef *def, void **aux);
int detectImageDef(const FileHead &head, ImageDef *def, void **aux);

// Foreign formats: DIB, XBMP, JPEG and PGM/PPM.
int detectDIB(const FileHead &head, ImageDef *def, void **aux);
int detectXBMP(const FileHead &head, ImageDef *def, void **aux);
int detectJPEG(const FileHead &head, ImageDef *def, void **aux);
int detectPPM(const FileHead &head, ImageDef *def, void **aux);

// ---- Foreign formats: GIF, TIFF, DICOM ------------------------------------------

int detectGif(const FileHead &head, ImageDef *def, void **aux);
const FormatIO *gifFormatIO();
int refuseGifWrite(int fd, int checkSpace, ImageDef *def);  // GIF files are read only

// aux receives the directory list (a TiffDirectory block, tiff.h).
int detectTiff(const FileHead &head, ImageDef *def, void **aux);
const FormatIO *tiffFormatIO();
int writeTiffHeader(int fd, int checkSpace, ImageDef *def);

// aux receives the element table (a DicomTable block, dicom.h).
int detectDicom(const FileHead &head, ImageDef *def, void **aux);

// The per-format definition rules (FormatRecord::settle).
const char *settleDIBDef(ImageDef *def);
const char *settleTiffDef(ImageDef *def);
const char *settlePPMDef(ImageDef *def);
const char *settleJPEGDef(ImageDef *def);

// The palette writers: 1 written, 0 nothing to write, -1 on failure.
int writeDIBPalette(RamImage *img);
int writeImageDefPalette(RamImage *img);
int writeTiffPalette(RamImage *img);

// ---- Headers and new files ----------------------------------------------------

// Writes the header for def->imgid at offset 0: the header size (new offset),
// -1 on failure, -2 for a format without a header writer.
using HeaderWriter = int (*)(int fd, int checkSpace, ImageDef *def);
int writeHeader(int fd, int checkSpace, ImageDef *def);
int writeImageDefHeader(int fd, int checkSpace, ImageDef *def);
int writeErdasHeader(int fd, int checkSpace, ImageDef *def);
int writeDIBHeader(int fd, int checkSpace, ImageDef *def);
int writePPMHeader(int fd, int checkSpace, ImageDef *def);

// Formats written whole rather than by records (XBMP, JPEG).
using WholeFileWriter = int (*)(int fd, ImageDef *def, RamImage *img);
// The whole-file writers: from the image's cache, or zeros when img is null.
int writeXBMP(int fd, ImageDef *def, RamImage *img);
int writeJPEG(int fd, ImageDef *def, RamImage *img);

int createImageFile(ImageDef *def);        // the offset, -1 on failure
int zeroFillData(int fd, ImageDef *def);   // the offset, -1 on a short write

// Reverses SHORT/USHORT (2 bytes) and LONG/FLOAT (4 bytes) values in place.
void swapLine(int pixel, int columns, void *line);

// ---- Where lines lie ------------------------------------------------------------

// A raw layout: record (line, band) starts at
//   dataOffset + fileLine(line) * lineStride + band * bandStride
// where fileLine is rows - 1 - line for bottom-up files. Pixel-interleaved
// layouts hold all bands of a row in one record of `block` bytes.
struct RawLayout {
    bool raw = false;            // false: the format needs its FormatIO
    bool pixelInterleaved = false;
    bool bottomUp = false;
    bool spreadBytes = false;    // bottom-up DIB rows: bytes spread over the bands
    int64_t lineStride = 0;
    int64_t bandStride = 0;
};
RawLayout rawLayoutOf(const RamImage *img);

// File offset of the record of (line, band) for BSQ/BIL-group layouts, and of
// the row for pixel-interleaved ones.
int64_t recordOffset(const RamImage *img, const RawLayout &layout, int line, int band);

// Per-format line access for formats that are not raw records. loadLine fills
// the slot(s) of (line, band), setting their slot map entries; storeSlot
// writes one dirty slot back; cacheLines chooses the cache size (0: default).
struct FormatIO {
    int (*loadLine)(RamImage *img, int line, int band, int load);
    int (*storeSlot)(RamImage *img, int slot);
    int (*cacheLines)(RamImage *img, int wanted);
    int (*openSetup)(RamImage *img);  // after the cache exists: hooks, decoding; 0 ok
};
const FormatIO *formatIO(int imgid);  // the record's FormatIO, or null
const FormatIO *xbmpFormatIO();
const FormatIO *jpegFormatIO();

// ---- The format record --------------------------------------------------------

// How the records of a raw format lie in its file (rawLayoutOf).
enum class RawKind {
    NotRaw,           // not raw records: the FormatIO moves the lines
    BandSequential,   // all lines of band 0, then band 1, ...
    LineInterleaved,  // line 0 of every band, then line 1, ...
    PixelRows,        // one record per row holding all bands pixel by pixel
    BottomUpRows,     // pixel rows stored last row first, bytes spread over bands
};

// The least record size a definition gets (validateImageDef).
enum class BlockRule {
    BandLine,  // one band line: columns x bits, in bytes
    PixelRow,  // all bands of a row: columns x bits x bands, in bytes
    WordRow,   // all bands of a row, padded to whole 32-bit words
};

// Pixels a packed bitmap keeps per column, and the band view its resident
// image hands out (see the table for why this differs from the definition).
struct BitmapShape {
    int bitsPerPixel;  // 0: not a packed bitmap
    int bands;
    int pixel;
    int indices;       // -1: left as it is
};

// Cache policy: kCacheAsAsked sizes the cache from the request (or the
// FormatIO's cacheLines); kCacheAllRows holds every row; a positive value
// holds that many lines whatever is asked.
constexpr int kCacheAsAsked = 0;
constexpr int kCacheAllRows = -1;

struct FormatRecord {
    // Per-format completion of a definition after the fixed fields below
    // were applied: a refusal text, or null when the definition stands.
    using SettleFn = const char *(*)(ImageDef *def);

    HeaderWriter writeHeader;          // null: no header (writeHeader answers -2)
    WholeFileWriter writeWhole;        // formats written in one piece
    const FormatIO *(*io)();           // line I/O of formats that are not raw
    int (*writePalette)(RamImage *img);  // rewrites the palette kept in the file
    RawKind raw;
    bool rowRecords;                   // the data area is rows x block, not rows x block x bands
    BlockRule block;
    int fixedBands;                    // 0: any
    int fixedPixel;                    // PIX_UNKNOWN: any
    int fixedIndices;                  // -1: any
    SettleFn settle;
    int cacheLines;                    // kCacheAsAsked, kCacheAllRows or a line count
    BitmapShape bitmap;
};

// The record of a format code; codes outside the table get an empty record.
const FormatRecord &formatRecord(int imgid);

// Colour indices of a one-band index image of this pixel type.
inline int paletteSizeOf(int pixel) { return pixel == PIX_1BIT ? 2 : pixel == PIX_4BITS ? 16 : 256; }

// Gives a memory resident packed bitmap its band view: bands, pixel type,
// index count and the record size its columns need. Other formats are left
// as they are.
void settleResidentBitmap(ImageDef *def);

// Grows a gmemAlloc work buffer of the format layer to `want` bytes (its old
// contents are not kept); null when that cannot be had.
uint8_t *ensureBuffer(uint8_t *&buffer, int64_t &have, int64_t want);

// Raw line transfer used by the general line operations.
int loadRawLines(RamImage *img, const RawLayout &layout, int line, int band);
int storeRawSlot(RamImage *img, const RawLayout &layout, int slot);

// ---- Pixel-level writers ----------------------------------------------------------

int putFloatLine(RamImage *img, int row, int firstColumn, int count, int band, const float *values);
// The same from doubles, which hold every 32-bit integer exactly.
int putDoubleLine(RamImage *img, int row, int firstColumn, int count, int band, const double *values);
int putByteLine(RamImage *img, int row, int firstColumn, int count, int band, const uint8_t *values);
int putFloatBIPData(RamImage *img, int firstBand, int bandCount, int row, int firstColumn, int count,
                    const float *values);
int putByteBIPData(RamImage *img, int firstBand, int bandCount, int row, int firstColumn, int count,
                   const uint8_t *values);
int writeFloatBIPData(RamImage *img, int row, int firstColumn, int count, int nb, const int *bandList,
                      const float *values);
int writeByteBIPData(RamImage *img, int row, int firstColumn, int count, int nb, const int *bandList,
                     const uint8_t *values);

// ---- Module level: ERDAS and FFT files used directly ----------------------------

// The raw 1024-byte FFT header, in the host's byte order.
struct FFTHeader {
    char magic[16];  // "FFT IMAGE FILE"
    char name[64];   // source image, not terminated when full
    int32_t band;    // source band, from 1
    int32_t rows;    // powers of two
    int32_t columns;
    int32_t srcRows;
    int32_t srcColumns;
    int32_t kind;    // FFT_INIT ... FFT_SFPPY
    double count;
    double maxReal, minReal;
    double maxImag, minImag;
    double meanReal, meanImag;
    double sqReal, sqImag;  // mean squares while writing, standard deviations when finished
    char reserved[848];
};
static_assert(sizeof(FFTHeader) == 1024, "the FFT header is 1024 bytes");
enum FFTKind { FFT_INIT, FFT_SFRI, FFT_SFPP, FFT_FSRI, FFT_FSPP, FFT_SFRIX, FFT_SFRIY, FFT_SFPPX, FFT_SFPPY };
extern const char *const kFFTMagic;
const char *fftKindName(int kind);
void initFFTHeader(FFTHeader *head, const char *sourceName, int band, int srcRows, int srcColumns, int kind);

// These never end the process: where a module would stop, they print the
// message and return -1 (or null) for the module to fail with.
int openErdasFile(const char *name, unsigned char head[128]);
int erdasBits(const unsigned char head[128]);
int GetErdasLine(const unsigned char head[128], int fd, int band, int row, void *buffer);
int createFFTFile(const char *name, FFTHeader *head);
int openFFTFile(const char *name, FFTHeader *head);
// A header whose sizes a file of `fileSize` bytes holds (-1: not checked):
// the magic, rows and columns powers of two, a known kind, the source size
// within the padded one.
bool validFFTHeader(const FFTHeader &head, int64_t fileSize);
int PutFFTHead(const FFTHeader *head, int fd);
float *GetFFTFileBlock(const FFTHeader *head, int fd, float *buffer, int firstRow, int rowCount);
float *GetFFTFileSeg(const FFTHeader *head, int fd, float *buffer, int firstColumn, int columnCount);
int PutFFTFileBlock(FFTHeader *head, int fd, const float *buffer, int firstRow, int rowCount, int update);
int PutFFTFileSeg(FFTHeader *head, int fd, const float *buffer, int firstColumn, int columnCount, int update);
void updateFFTStats(FFTHeader *head, int n, const float *values);
// Sums over a run of samples, folded into the header as one row would be.
struct FFTStatSums {
    double n = 0, sumR = 0, sumI = 0, sumR2 = 0, sumI2 = 0;
    double maxR = -HUGE_VAL, minR = HUGE_VAL, maxI = -HUGE_VAL, minI = HUGE_VAL;
    void merge(const FFTStatSums &o);
};
void foldFFTStats(FFTHeader *head, const FFTStatSums &sums);
void finishFFTStats(FFTHeader *head);

// Chunked transfers. offset -1: the current position. getFileData returns -1
// where a fatal failure would have ended the process.
int64_t getFileData(int fd, void *buffer, int64_t count, int64_t offset, int fatal);
int64_t putFileData(int fd, const void *buffer, int64_t count, int64_t offset, int quiet);
int passLongs(const char *text, int32_t *out, int n);
int passFloats(const char *text, float *out, int n);

}  // namespace krel
