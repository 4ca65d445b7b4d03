// DICOM element listing without Tcl: the keys of a scanned file and the
// values of its elements as the dicom command shows them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/formats/dicom.h"
#include "platform/files.h"

namespace krel {

struct DicomTableFree {
    void operator()(DicomTable *t) const;
};
using DicomTablePtr = std::unique_ptr<DicomTable, DicomTableFree>;

// Opens a file by name read-only into `fd` and scans it. 0 on success; -1
// when the file cannot be opened, -2 when it is no DICOM file this reads.
int openDicomFile(const char *name, platform::FileDesc *fd, DicomTablePtr *table);

// The keys of the top-level elements (items and delimiters left out), sorted
// and each once.
std::vector<uint32_t> dicomKeys(const DicomTable *table);

struct DicomLine {
    uint32_t key;
    int vr;  // index into the VR table
    std::string value;
};

// The top-level element `key` and every data element nested in it, in file
// order; empty when no top-level element has the key. `dictionaryVR` gives
// the VR index the dictionary holds for a key, or -1. Values that were not
// copied into the table are read from `fd`.
std::vector<DicomLine> dicomLines(int fd, const DicomTable *table, uint32_t key,
                                  const std::function<int(uint32_t)> &dictionaryVR);

}  // namespace krel
