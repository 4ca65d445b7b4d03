// TIFF tag listing without Tcl: the entries of a page with their listing
// values, and the values of one tag, read from the file through the
// directory walker of image/formats.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/formats/tiff.h"
#include "platform/files.h"

namespace krel {

// A TIFF file as the tag commands read it: where its pages start.
struct TiffFile {
    int fd = -1;
    bool msbf = false;
    int64_t fileSize = 0;
    // File offsets of the directories, shared with the cache of the last
    // file read by name.
    std::shared_ptr<const std::vector<int64_t>> pages;
    // The entries of every page, when the file's were kept; else they are
    // read from fd.
    std::shared_ptr<const std::vector<std::vector<TiffEntry>>> entries;
    int pageCount() const { return pages ? static_cast<int>(pages->size()) : 0; }
};

// The pages of an open image's directory list.
void tiffFileFrom(int fd, const TiffDirectory &dir, TiffFile *out);

// Finds the pages of a file by name, reusing those of the last file read by
// name while it is unchanged; the file is opened read-only into `fd` when it
// must be read, or when `needDescriptor` (to read values at offsets). 0 on
// success; -1 when the file cannot be opened, -2 when it is no readable TIFF
// file.
int openTiffFile(const char *name, bool needDescriptor, platform::FileDesc *fd, TiffFile *out);

// One directory entry as listed: tag, type, count and the value field read
// by type (or the offset of values that do not fit in it).
struct TiffListed {
    unsigned tag, type;
    uint32_t count;
    std::string value;
};

// Every entry of page `page` (from 0) in directory order.
std::vector<TiffListed> listTiffPage(const TiffFile &file, int page);

// The values of one tag of a page, one text each. 0: the tag is not in the
// page; 1: found (`values` empty for a type without a reading); -1: its
// values run past the end of the file, `error` says so.
int tiffTagValues(const TiffFile &file, int page, unsigned tag, std::vector<std::string> *values, std::string *error);

}  // namespace krel
