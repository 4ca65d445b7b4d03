// The format layer: recognising image files, writing their headers, creating
// them, and moving band lines between files and the line cache.
//
// Adding a format:
//  - a detector goes into its slot of the detection table (detect.cpp) with
//    setDetector(); it reads from offset 0, fills the definition and returns
//    the format code, 0 when the file is not its own, or -1 for a fatal error;
//  - a header writer for its code is installed with setHeaderWriter();
//  - formats whose lines are not raw records (strips, compressed or decoded
//    data) install a FormatIO with setFormatIO(); raw layouts (BSQ, BIL, BIP,
//    bottom-up rows) need nothing: rawLayoutOf() describes them as data and
//    one generic reader serves them all.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "image/imagedef.h"

namespace krel {

struct RamImage;
struct FormatIO;

// ---- Detection --------------------------------------------------------------

using DetectFn = int (*)(int fd, const char *fileName, ImageDef *def, void **aux);

// Slots of the detection table, in the order the chain tries them.
enum DetectorSlot {
    DETECT_DICOM,
    DETECT_DIB,
    DETECT_XBMP,
    DETECT_ERDAS,
    DETECT_GIF,
    DETECT_FFT,
    DETECT_ELAS,
    DETECT_TIFF,  // a negative answer ends detection with -1
    DETECT_JPEG,
    DETECT_IMAGEDEF,
    DETECT_PPM,
    DETECT_MPEG,
    DETECT_SLOT_COUNT
};
void setDetector(DetectorSlot slot, DetectFn fn);
DetectFn detectorAt(DetectorSlot slot);

// Runs the chain: the format code, 0 when nothing matched, -1 on a fatal error.
int detectFormat(int fd, const char *fileName, ImageDef *def, void **aux);

// The native detectors.
int detectErdas(int fd, const char *fileName, ImageDef *def, void **aux);
int detectFFT(int fd, const char *fileName, ImageDef *def, void **aux);
int detectElas(int fd, const char *fileName, ImageDef *def, void **aux);
int detectImageDef(int fd, const char *fileName, ImageDef *def, void **aux);

// Foreign formats: DIB, XBMP, JPEG and PGM/PPM.
int detectDIB(int fd, const char *fileName, ImageDef *def, void **aux);
int detectXBMP(int fd, const char *fileName, ImageDef *def, void **aux);
int detectJPEG(int fd, const char *fileName, ImageDef *def, void **aux);
int detectPPM(int fd, const char *fileName, ImageDef *def, void **aux);

// ---- Foreign formats: GIF, TIFF, DICOM ------------------------------------------

int detectGif(int fd, const char *fileName, ImageDef *def, void **aux);
const FormatIO *gifFormatIO();
int refuseGifWrite(int fd, int checkSpace, ImageDef *def);  // GIF files are read only

// aux receives the directory list (a TiffDirectory block, tiff.h).
int detectTiff(int fd, const char *fileName, ImageDef *def, void **aux);
const FormatIO *tiffFormatIO();
int writeTiffHeader(int fd, int checkSpace, ImageDef *def);

// aux receives the element table (a DicomTable block, dicom.h).
int detectDicom(int fd, const char *fileName, ImageDef *def, void **aux);

// ---- Headers and new files ----------------------------------------------------

// Writes the header for def->imgid at offset 0: the header size (new offset),
// -1 on failure, -2 for a format without a header writer.
using HeaderWriter = int (*)(int fd, int checkSpace, ImageDef *def);
void setHeaderWriter(int imgid, HeaderWriter fn);
int writeHeader(int fd, int checkSpace, ImageDef *def);
int writeImageDefHeader(int fd, int checkSpace, ImageDef *def);
int writeErdasHeader(int fd, int checkSpace, ImageDef *def);
int writeDIBHeader(int fd, int checkSpace, ImageDef *def);
int writePPMHeader(int fd, int checkSpace, ImageDef *def);

// Formats written whole rather than by records (XBMP, JPEG) install this.
using WholeFileWriter = int (*)(int fd, ImageDef *def, RamImage *img);
void setWholeFileWriter(int imgid, WholeFileWriter fn);
WholeFileWriter wholeFileWriter(int imgid);
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
void setFormatIO(int imgid, const FormatIO *io);
const FormatIO *formatIO(int imgid);
const FormatIO *xbmpFormatIO();
const FormatIO *jpegFormatIO();

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
int PutFFTHead(const FFTHeader *head, int fd);
float *GetFFTFileBlock(const FFTHeader *head, int fd, float *buffer, int firstRow, int rowCount);
float *GetFFTFileSeg(const FFTHeader *head, int fd, float *buffer, int firstColumn, int columnCount);
int PutFFTFileBlock(FFTHeader *head, int fd, const float *buffer, int firstRow, int rowCount, int update);
int PutFFTFileSeg(FFTHeader *head, int fd, const float *buffer, int firstColumn, int columnCount, int update);
void updateFFTStats(FFTHeader *head, int n, const float *values);
void finishFFTStats(FFTHeader *head);

// Chunked transfers. offset -1: the current position. getFileData returns -1
// where a fatal failure would have ended the process.
int64_t getFileData(int fd, void *buffer, int64_t count, int64_t offset, int fatal);
int64_t putFileData(int fd, const void *buffer, int64_t count, int64_t offset, int quiet);
int passLongs(const char *text, int32_t *out, int n);
int passFloats(const char *text, float *out, int n);

}  // namespace krel
