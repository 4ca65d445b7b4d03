// The image definition and the code tables every part of the image store
// shares: pixel types, storage formats, map projections and error codes.
//
// ImageDef is a fixed 1120-byte record. It is copied whole between images,
// templates, the rimage defaults and the header readers, so its layout is
// part of the contract: fields, order and sizes must not change.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krel {

// Pixel types (field `pixel`). The size of a value always comes from
// pixelBits(), never from a file.
enum PixelType : int32_t {
    PIX_UNKNOWN = 0,
    PIX_1BIT = 1,
    PIX_4BITS = 2,
    PIX_BYTE = 3,
    PIX_SHORT = 4,
    PIX_LONG = 5,
    PIX_FLOAT = 6,
    PIX_USHORT = 7,
    PIX_ULONG = 8,
    PIX_SBYTE = 9,
};
constexpr int kPixelTypeCount = 10;

// Storage formats (field `imgid`). Codes below IMG_MBSQ are file formats.
enum ImageFormat : int32_t {
    IMG_UNKNOWN = 0,
    IMG_BSQ = 1,
    IMG_BIL = 2,
    IMG_BIP = 3,
    IMG_E73 = 4,
    IMG_E74 = 5,
    IMG_ELAS = 6,
    IMG_DIB = 7,
    IMG_XBMP = 8,
    IMG_TIFF = 9,
    IMG_GIF87A = 10,
    IMG_GIF89A = 11,
    IMG_FFT = 12,
    IMG_PPM = 13,
    IMG_JPEG = 14,
    IMG_E74BSQ = 15,
    IMG_MBSQ = 16,
    IMG_MBIL = 17,
    IMG_MBIP = 18,
    IMG_MPEG = 19,
    IMG_MRGB32 = 20,
    IMG_MRGB24 = 21,
    IMG_MRGB565 = 22,
    IMG_MRGB555 = 23,
    IMG_MRGB8 = 24,
    IMG_MRGB4 = 25,
    IMG_MRGB1 = 26,
};
constexpr int kImageFormatCount = 27;

// Map projections (field `mapid`): UTM zone n has code n + 2.
enum MapProjection : int32_t {
    MAP_UNKNOWN = 0,
    MAP_GRID = 1,
    MAP_UTM = 2,
    MAP_UTM1 = 3,
    MAP_UTM59 = 61,
    MAP_POLAR = 62,
    MAP_DICOM = 63,
};
constexpr int kMapProjectionCount = 64;

// Error codes of image creation and opening; errorText() gives their texts.
enum ImageError : int {
    IMGERR_OK = 0,
    IMGERR_MEMORY = 1,       // "Memory allocation error"
    IMGERR_UNKNOWN = 2,      // "Unknown image type"
    IMGERR_OPEN = 3,         // "Open image file error"
    IMGERR_SYSTEM = 4,       // "Error in modifying a system RAMIMG"
    IMGERR_EXISTS = 5,       // "File already exists"
    IMGERR_CREATE = 6,       // "Error in creating a file"
    IMGERR_UNHANDLED = 8,    // "Unable to handle the image"
};

struct ImageDef {
    char file[256];        // file name; the tag for memory resident images
    int32_t pixel;         // PixelType
    int32_t imgid;         // ImageFormat
    int32_t mapid;         // MapProjection
    int32_t offset;        // file offset of the first data record
    int32_t block;         // bytes per stored record
    int32_t top;           // row offset recorded in the header
    int32_t left;          // column offset recorded in the header
    int32_t rows;
    int32_t columns;
    int32_t bits;          // bits per pixel, from the pixel type
    int32_t nbands;
    int32_t msbf;          // 1: multi-byte values in the file are big-endian
    int32_t nindices;      // colour indices in use, 0: no colour index image
    int32_t transparent;   // transparent index, -1 none; also the cache fill byte
    uint8_t palette[256][3];
    double x0, y0;         // map position of the first pixel
    double dx, dy;         // pixel size in map units
    int32_t dataFd;        // separate data file of a header reader, -1 none
    int32_t volumes;       // volumes (frames) in the file
};
static_assert(sizeof(ImageDef) == 1120, "ImageDef is a fixed 1120-byte record");
static_assert(offsetof(ImageDef, pixel) == 256 && offsetof(ImageDef, transparent) == 308 &&
                  offsetof(ImageDef, palette) == 312 && offsetof(ImageDef, x0) == 1080 &&
                  offsetof(ImageDef, dataFd) == 1112 && offsetof(ImageDef, volumes) == 1116,
              "ImageDef field placement");

// Name lookups in the shape the option converters want: toCode gives -1 for
// a word that is not in the table, toName gives "" for a code outside it.
int pixelTypeCode(const char *name);
const char *pixelTypeName(int code);
int imageFormatCode(const char *name);
const char *imageFormatName(int code);
int mapProjectionCode(const char *name);
const char *mapProjectionName(int code);

int pixelBits(int pixel);           // 0 for unknown codes
const char *errorText(int code);    // "" for codes outside the table

// Bytes of one band line in memory for a pixel type and a column count.
int64_t lineBytesFor(int pixel, int64_t columns);

inline bool isMemoryFormat(int imgid) { return imgid >= IMG_MBSQ && imgid != IMG_MPEG; }
inline bool isPackedBitmap(int imgid) { return imgid >= IMG_MRGB32 && imgid <= IMG_MRGB1; }
inline bool isFileFormat(int imgid) { return imgid > IMG_UNKNOWN && imgid < IMG_MBSQ; }

// A definition holding the rimage defaults (E74 "rimage.lan", 512 x 512 BYTE).
ImageDef defaultImageDef();

}  // namespace krel
