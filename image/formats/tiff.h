// The reading state of a TIFF file: every image file directory (page) with
// the values the line reader needs. One gmemAlloc block, kept as the RAM
// image's formatData.
#pragma once

#include <cstdint>
#include <vector>

namespace krel {

// Where an array of a directory entry lies: its first value in the file (or
// inside the entry), the number of values and their TIFF type.
struct TiffArray {
    int64_t at;
    uint32_t count;
    uint16_t type;
    uint16_t present;
};

struct TiffPage {
    int64_t directory;  // file offset of the directory
    int32_t usable;     // 1 when the page can be read; 0 with `reason` printed on selection
    int32_t columns, rows;
    int32_t bits, samples, sampleFormat, compression, photometric, planar;
    uint32_t rowsPerStrip;
    uint32_t tileWidth, tileLength;  // 0 for stripped pages
    TiffArray offsets;               // StripOffsets or TileOffsets
    TiffArray byteCounts;            // StripByteCounts or TileByteCounts
    TiffArray colorMap;
    int32_t hasScale, hasTiepoint;
    double scale[3];
    double tiepoint[6];
};

struct TiffDirectory {
    char magic[8];       // "TIFFDIR"
    int32_t msbf;        // 1 for "MM" files
    int32_t pageCount;
    int32_t current;     // page in use, from 0
    int32_t reserved;
    int64_t fileSize;
    TiffPage pages[1];   // pageCount entries
};

// ---- Shared by the directory walker, the decoder, the format entry and the
// writer (tiff_dir.cpp, tiff_decode.cpp, tiff.cpp, tiff_write.cpp).

struct FileHead;
struct ImageDef;
struct RamImage;

enum TiffType { T_BYTE = 1, T_ASCII, T_SHORT, T_LONG, T_RATIONAL, T_SBYTE, T_UNDEFINED, T_SSHORT, T_SLONG,
                T_SRATIONAL, T_FLOAT, T_DOUBLE };
constexpr uint16_t kPackBits = 32773;

// One directory entry as stored.
struct TiffEntry {
    uint16_t tag, type;
    uint32_t count;
    uint8_t field[4];  // the value or the offset of the values, in file order
    int64_t fieldAt;   // file offset of the field
};

// Reads the entries of the directory at `at`, as many as lie inside the
// file; the next directory's offset goes to *next (0 when there is none or
// it cannot be read). False when not even the entries could be read.
bool readTiffEntries(int fd, bool msbf, int64_t fileSize, int64_t at, std::vector<TiffEntry> *entries, int64_t *next);

// Bytes of one value of a TIFF type, 0 for an unknown type.
int tiffTypeSize(int type);
// One value of an integer array: -1 when it cannot be read.
int64_t tiffArrayValue(int fd, bool msbf, const TiffArray &a, uint32_t index, int tag);

// Reads the 8-byte header `h` and the whole directory chain of the file.
// Returns the directory block (gmemAlloc), or null with *status 0 when the
// file is not a TIFF file, -1 (message printed) when it is one that cannot
// be read. `entries`, when given, receives the entries of every page.
using TiffPageEntries = std::vector<std::vector<TiffEntry>>;
TiffDirectory *readTiffChain(int fd, const uint8_t h[8], int *status, TiffPageEntries *entries = nullptr);

inline bool isTiled(const TiffPage &p) { return p.tileWidth != 0 || p.tileLength != 0; }
// Bytes of one stored row of a page (all samples), the TIFF block.
int64_t tiffRowBytes(const TiffPage &p);
inline int64_t tileRowBytes(const TiffPage &p) { return (static_cast<int64_t>(p.tileWidth) * p.bits * p.samples + 7) / 8; }

// The directory list of an open TIFF image, or null.
TiffDirectory *directoryOf(RamImage *img);

// Line access of an open TIFF image (tiff_decode.cpp).
int tiffLoadLine(RamImage *img, int line, int band, int load);
int tiffStoreSlot(RamImage *img, int slot);
int tiffCacheLines(RamImage *img, int wanted);

}  // namespace krel
