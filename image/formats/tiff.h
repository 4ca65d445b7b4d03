// The reading state of a TIFF file: every image file directory (page) with
// the values the line reader needs. One gmemAlloc block, kept as the RAM
// image's formatData.
#pragma once

#include <cstdint>

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

}  // namespace krel
