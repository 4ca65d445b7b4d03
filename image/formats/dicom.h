// The element table of a DICOM file: every element read before the pixel
// data, in file order (the file meta group, and elements nested in sequences
// with their depth), with short values copied. One gmemAlloc block, kept
// as the RAM image's formatData (projection DICOM) for the tag commands.
#pragma once

#include <cstdint>

namespace krel {

constexpr uint32_t kDicomUndefinedLength = 0xFFFFFFFFu;
constexpr uint32_t kDicomNotCopied = 0xFFFFFFFFu;

struct DicomElement {
    uint32_t key;       // group x 65536 + element
    char vr[2];         // the explicit VR, "  " in implicit-VR data
    uint16_t depth;     // 0 at the top level; elements inside sequences are deeper
    uint32_t length;    // value bytes, kDicomUndefinedLength for undefined
    uint32_t valueAt;   // offset of the copied value from the table's start, or kDicomNotCopied
    int64_t position;   // file offset of the value
};

struct DicomTable {
    char magic[8];           // "DICOMTB"
    int32_t count;
    int32_t explicitVR;      // 1 when the data set is explicit-VR little-endian
    int64_t pixelOffset;     // file offset of the Pixel Data value
    uint32_t pixelLength;    // its length, kDicomUndefinedLength when encapsulated
    uint32_t bytes;          // size of the whole block
    char transferSyntax[68]; // "" for files without a file meta group
    DicomElement elements[1];  // count entries, then the copied values
};

struct FileHead;

// Scans a DICOM file: every element up to Pixel Data into a table (gmemAlloc,
// *table). 1 on success; 0 when the file is not DICOM; -1 (message printed)
// when it is one that cannot be read. `forImage`: the pixels are to be read,
// so big-endian and compressed transfer syntaxes are refused with a message;
// otherwise the data sets of compressed syntaxes are scanned, and big-endian
// and deflated files count as not DICOM.
int scanDicom(const FileHead &head, bool forImage, DicomTable **table);

// The first top-level element with the key, or null.
const DicomElement *findDicomElement(const DicomTable *table, uint32_t key);
// The copied value bytes of an element, or null when not copied.
const char *dicomValue(const DicomTable *table, const DicomElement *element);

}  // namespace krel
