// Pixel tables: the distinct pixel vectors (tuples) of chosen bands of an
// 8-bit image, in ascending byte order, each with the number of pixels that
// carry it. Clustering works on a table instead of the pixels and caches one
// class per tuple through its lookup.
//
// PTABLE file (little-endian, written field by field):
//      0    8  "PTABLEHD"
//      8    4  data offset = 2080 + 4 nbands
//     12    4  tuple count (the record's capacity field holds the count)
//     16    4  tuple count
//     20 1024  firstIndex[256]: index of the first tuple of each first byte, -1 none
//   1044 1024  lastIndex[256]: index of its last tuple, -2 none
//   2068    8  two address fields: zero, ignored when read
//   2076    4  nbands
//   2080 4n    the 0-based bands, in tuple order
//   data offset: count x nbands tuple bytes, then count x 2 count bytes
//              (min(count, 65535): counts are 32-bit in memory)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace krel {

struct RamImage;

struct PTable {
    int32_t capacity = 0;
    int32_t count = 0;
    int32_t firstIndex[256];
    int32_t lastIndex[256];
    std::vector<uint8_t> tuples;   // count x nbands bytes, ascending (memcmp order)
    std::vector<uint32_t> counts;  // pixels per tuple
    int32_t nbands = 0;
    std::vector<int32_t> bands;    // 0-based, in tuple order

    // The index of a tuple of nbands bytes, or -1.
    int lookup(const uint8_t *tuple) const;
    const uint8_t *tuple(int i) const { return tuples.data() + static_cast<size_t>(i) * nbands; }
    // Rebuilds firstIndex and lastIndex from the tuples.
    void rebuildIndex();
    // The index of the first tuple out of order, or -1 when all ascend strictly.
    int orderFault() const;

private:
    friend class PTableBuilder;
    std::vector<uint64_t> keys_;  // the tuples as big-endian numbers (nbands <= 8)
    void rebuildKeys();
};
using PTablePtr = std::unique_ptr<PTable>;

// The most tuples a table of `nbands` bytes holds: 8388608 / (nbands + 2) - 2.
int32_t ptableCapacity(int nbands);

// Builds a table over rows first..last (0-based, inclusive) of `bands` of a
// BYTE image, chunk by chunk: rank each chunk's tuples against the table,
// sort and merge the new ones (in byte order while room lasts), then count
// every pixel in a second pass (pixels whose tuple did not fit are misses).
// Prints the chunk lines and timings on standard output, polls the status
// once per chunk and shows the meter under `meterName`. Null after a message
// on failure ("gptable error in gmemAlloc\n") and on cancel (`*cancelled`).
PTablePtr buildPTable(RamImage *img, const std::vector<int32_t> &bands, int firstRow, int lastRow,
                      const char *meterName, bool *cancelled);

// makePTable: a table of `bands` over all rows of the image, without a file.
PTablePtr makePTable(RamImage *img, const std::vector<int32_t> &bands);

// The PTABLE file bytes of a table.
std::vector<uint8_t> ptableFileBytes(const PTable &table);

// Reads a table from PTABLE file bytes (untrusted). Null when the bytes are
// not a whole, consistent table: *why names the fault ("id" for a wrong ID).
PTablePtr parsePTable(const uint8_t *data, size_t size, std::string *why);

// getPTable: loads a PTABLE file. Null after "Error in open table:%s\n",
// "Wrong PTABLE file ID %s.\n" or a note on what is wrong with it.
PTablePtr getPTable(const char *file);

// Writes a table to `file`; an existing file is replaced only by a complete
// new one. False after a message naming the file.
bool savePTable(const char *file, const PTable &table);

}  // namespace krel
