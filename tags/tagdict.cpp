#include "tags/tagdict.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace krel {

namespace {
const char *const kVRs[kDicomVRCount] = {"RT", "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD", "IS", "LO", "LT", "OB",
                                         "OW", "PN", "SH", "SL", "SQ", "SS", "ST", "TM", "UI", "UL", "UN", "US", "UT"};
}  // namespace

TagState &tagState()
{
    static TagState state;
    return state;
}

void freeTagDictionaries()
{
    TagState &s = tagState();
    std::lock_guard<std::mutex> hold(s.lock);
    s.tiff.clear();
    s.dicom.clear();
    s.lastTiff = TiffChainCache();
}

const char *dicomVRName(int index) { return index >= 0 && index < kDicomVRCount ? kVRs[index] : "??"; }

int dicomVRIndex(const char *text, size_t length)
{
    if (length != 2) return 0;
    for (int i = 0; i < kDicomVRCount; ++i)
        if (text[0] == kVRs[i][0] && text[1] == kVRs[i][1]) return i;
    return 0;
}

bool parseTagNumber(const char *word, int base, unsigned long max, uint32_t *out)
{
    // strtoul would take blanks, a sign or a 0x prefix.
    if (!isxdigit(static_cast<unsigned char>(word[0]))) return false;
    errno = 0;
    char *end;
    unsigned long v = strtoul(word, &end, base);
    if (*end != '\0' || errno != 0 || v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace krel
