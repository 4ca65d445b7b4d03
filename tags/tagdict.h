// The process-wide record of the tag commands: the TIFF and DICOM name
// dictionaries scripts fill with `tiff add` and `dicom add`, and the
// directory offsets of the last TIFF file listed by name. Interpreters of
// the console manager run on threads of their own: every use holds `lock`.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "image/formats/tiff.h"

namespace krel {

struct DicomName {
    int vr = 0;  // index into the VR table
    int int1 = 0, int2 = 0;
    std::string name;
};

// Where the pages of a TIFF file start, and the entries of every page (when
// there are not too many), as read from a file by name; valid while the
// file's device, inode, size and modification and change times stay the
// same. Listing the pages of a long file one call a page then costs no
// reading of the file.
struct TiffChainCache {
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    int64_t size = 0;
    timespec mtim{}, ctim{};
    bool msbf = false;
    std::shared_ptr<const std::vector<int64_t>> pages;
    std::shared_ptr<const TiffPageEntries> entries;  // null when not kept
};

struct TagState {
    std::mutex lock;
    std::map<uint32_t, std::string> tiff;  // tag number -> name
    std::map<uint32_t, DicomName> dicom;   // group x 65536 + element -> entry
    TiffChainCache lastTiff;
};
TagState &tagState();

// Empties both dictionaries and the cache (the package's exit handler).
void freeTagDictionaries();

// The 27 value representations of the DICOM dictionary: the name of an
// index ("??" outside 0..26) and the index of a name (0 for any other text).
constexpr int kDicomVRCount = 27;
const char *dicomVRName(int index);
int dicomVRIndex(const char *text, size_t length);

// A whole word as a number of the base (10 or 16) up to `max`.
bool parseTagNumber(const char *word, int base, unsigned long max, uint32_t *out);

}  // namespace krel
