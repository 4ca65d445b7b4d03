#include "tags/dicom_list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/runtime.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "tags/tagcmd.h"
#include "tags/tagdict.h"

namespace krel {

namespace {

constexpr uint32_t kReadLimit = 65536;  // bytes of one value shown

enum VR { VR_RT = 0, VR_AS = 2, VR_CS = 4, VR_DA = 5, VR_DS = 6, VR_IS = 10, VR_LO = 11, VR_LT = 12, VR_PN = 15,
          VR_SH = 16, VR_TM = 21, VR_UI = 22, VR_US = 25 };

bool isText(int vr)
{
    switch (vr) {
    case VR_AS:
    case VR_CS:
    case VR_DA:
    case VR_DS:
    case VR_IS:
    case VR_LO:
    case VR_LT:
    case VR_PN:
    case VR_SH:
    case VR_TM:
    case VR_UI: return true;
    default: return false;
    }
}

std::string trimmed(std::string s)
{
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The value bytes of an element: the copy in the table, or at most
// kReadLimit bytes from the file. An undefined length counts as 0.
std::string valueBytes(int fd, const DicomTable *table, const DicomElement &e)
{
    const uint32_t length = e.length == kDicomUndefinedLength ? 0 : e.length;
    if (const char *v = dicomValue(table, &e)) return std::string(v, length);
    std::string s(std::min(length, kReadLimit), '\0');
    const ssize_t got = s.empty() || fd < 0 ? 0 : platform::readAt(fd, &s[0], s.size(), e.position);
    s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return s;
}

std::string valueText(int fd, const DicomTable *table, const DicomElement &e, int vr)
{
    if (isText(vr)) {
        std::string s = valueBytes(fd, table, e);
        s.resize(strnlen(s.data(), s.size()));
        return trimmed(s);
    }
    if (vr == VR_US) {
        const std::string s = valueBytes(fd, table, e);
        return s.size() < 2 ? std::string() : std::to_string(getLE16(reinterpret_cast<const uint8_t *>(s.data())));
    }
    if (vr != VR_RT) return dicomVRName(vr);
    std::string s = valueBytes(fd, table, e);
    const auto *u = reinterpret_cast<const uint8_t *>(s.data());
    if (s.size() == 2) return std::to_string(getLE16(u));
    if (s.size() == 4) return std::to_string(getLE32(u));
    s = trimmed(s);
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 32) c = '.';
    return s;
}

}  // namespace

void DicomTableFree::operator()(DicomTable *t) const { gmemFree(t); }

int openDicomFile(const char *name, platform::FileDesc *fd, DicomTablePtr *table)
{
    if (!openTagFile(name, fd)) return -1;
    auto head = std::make_unique<FileHead>();
    readFileHead(fd->get(), name, head.get());
    DicomTable *t = nullptr;
    if (scanDicom(*head, false, &t) <= 0) return -2;
    table->reset(t);
    return 0;
}

std::vector<uint32_t> dicomKeys(const DicomTable *table)
{
    std::vector<uint32_t> keys;
    for (int i = 0; i < table->count; ++i) {
        const DicomElement &e = table->elements[i];
        if (e.depth == 0 && (e.key >> 16) != 0xFFFE) keys.push_back(e.key);
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

std::vector<DicomLine> dicomLines(int fd, const DicomTable *table, uint32_t key,
                                  const std::function<int(uint32_t)> &dictionaryVR)
{
    std::vector<DicomLine> lines;
    int i = 0;
    while (i < table->count && !(table->elements[i].key == key && table->elements[i].depth == 0)) ++i;
    for (int k = i; k < table->count; ++k) {
        const DicomElement &e = table->elements[k];
        if (k > i && e.depth == 0) break;  // past what the element holds
        if ((e.key >> 16) == 0xFFFE) continue;
        int vr = dictionaryVR(e.key);
        if (vr < 0) vr = dicomVRIndex(e.vr, 2);
        lines.push_back({e.key, vr, valueText(fd, table, e, vr)});
    }
    return lines;
}

}  // namespace krel
