// See reader.h: the listings of the tiff and dicom commands, without Tcl.
#include <algorithm>

#include "reader.h"
#include "tags/dicom_list.h"
#include "tags/tagdict.h"
#include "tags/tiff_list.h"

namespace krel::fuzz {

namespace {
constexpr int kPageBudget = 16;
constexpr size_t kEntryBudget = 256;
}  // namespace

void listTiffTags(const char *path)
{
    platform::FileDesc fd;
    TiffFile file;
    if (openTiffFile(path, true, &fd, &file) != 0) return;
    volatile size_t sum = 0;
    const int pages = std::min(kPageBudget, file.pageCount());
    for (int p = 0; p < pages; ++p) {
        const std::vector<TiffListed> entries = listTiffPage(file, p);
        for (size_t i = 0; i < std::min(entries.size(), kEntryBudget); ++i) {
            std::vector<std::string> values;
            std::string error;
            tiffTagValues(file, p, entries[i].tag, &values, &error);
            sum = sum + values.size() + entries[i].value.size();
        }
    }
}

void listDicomTags(const char *path)
{
    platform::FileDesc fd;
    DicomTablePtr table;
    if (openDicomFile(path, &fd, &table) != 0) return;
    volatile size_t sum = 0;
    const std::vector<uint32_t> keys = dicomKeys(table.get());
    for (size_t i = 0; i < std::min(keys.size(), kEntryBudget); ++i) {
        // The element's own VR, then a VR of the table picked by the key, so
        // that every formatting runs on every kind of value.
        for (const DicomLine &l : dicomLines(fd.get(), table.get(), keys[i], [](uint32_t) { return -1; }))
            sum = sum + l.value.size();
        for (const DicomLine &l : dicomLines(fd.get(), table.get(), keys[i],
                                             [](uint32_t k) { return static_cast<int>(k % kDicomVRCount); }))
            sum = sum + l.value.size();
    }
}

}  // namespace krel::fuzz
