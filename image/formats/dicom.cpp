// DICOM files: uncompressed pixel data described by the image elements of
// group 0028; frames are volumes.
//
//   offset size  content
//        0  128  preamble (files without one start their elements at 0)
//      128    4  "DICM"
//      132       file meta group 0002, always explicit VR little-endian;
//                (0002,0010) names the transfer syntax of the data set
//        .       data set elements, little-endian:
//                group (16), element (16), then
//                  implicit VR: length (32)
//                  explicit VR: VR (2 characters) and length (16), or for
//                  OB, OW, OF, OD, OL, OV, SQ, UC, UR, UT, UN, SV, UV two
//                  zero bytes and length (32)
//                items and delimiters (group FFFE) always carry a 32-bit
//                length; length FFFFFFFF is undefined: the content follows
//                up to a delimiter
//                (7FE0,0010) Pixel Data: the pixel values, rows of columns
//                of samples, frame after frame
//
// The scan tables every element before Pixel Data: the file meta group,
// the data set, and the elements nested in sequences and items, each with
// its depth. It reads the data sets of compressed transfer syntaxes too
// (their Pixel Data is encapsulated), so that their elements can be listed;
// the image definition refuses them.
//
// Image elements: (0028,0002) samples per pixel, (0028,0006) planar
// configuration, (0028,0008) number of frames (text), (0028,0010) rows,
// (0028,0011) columns, (0028,0030) pixel spacing (text "a\b"), (0028,0060)
// compression (text), (0028,0100) bits allocated, (0028,0103) pixel
// representation (1 signed).
#include "image/formats/dicom.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/byteorder.h"
#include "image/formats/formats.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr uint32_t kPixelData = 0x7FE00010u;
constexpr uint32_t kCopyLimit = 1024;       // longer values stay in the file
constexpr size_t kMaxElements = 1u << 20;


bool isVR(const uint8_t *p) { return p[0] >= 'A' && p[0] <= 'Z' && p[1] >= 'A' && p[1] <= 'Z'; }

bool longVR(const uint8_t *p)
{
    static const char *const kLong[] = {"OB", "OW", "OF", "OD", "OL", "OV", "SQ", "UC", "UR", "UT", "UN", "SV", "UV"};
    for (const char *v : kLong)
        if (p[0] == v[0] && p[1] == v[1]) return true;
    return false;
}

struct Parsed {
    std::vector<DicomElement> elements;
    std::string values;
    int64_t pixelOffset = -1;
    uint32_t pixelLength = 0;
};

enum ParseResult { PARSE_NOT_DICOM, PARSE_FAILED, PARSE_OK };

bool isSequenceVR(const char vr[2]) { return vr[0] == 'S' && vr[1] == 'Q'; }

// Copies a value of at most kCopyLimit bytes into the table's values.
bool copyValue(int fd, int64_t at, DicomElement *e, Parsed *out)
{
    if (e->length > kCopyLimit) return true;
    e->valueAt = static_cast<uint32_t>(out->values.size());
    std::string v(e->length, '\0');
    if (e->length && platform::readAt(fd, &v[0], e->length, at) != static_cast<ssize_t>(e->length)) return false;
    out->values += v;
    return true;
}

// Reads elements from `at` up to the Pixel Data element. `loud`: the file is
// known to be DICOM, so faults are reported; otherwise they just mean the file
// is not DICOM.
int parseDataSet(int fd, int64_t size, int64_t at, bool explicitVR, bool loud, bool needGroup8, Parsed *out)
{
    // The ends of the sequences and items the scan is inside: a file offset,
    // or -1 for an undefined length that a delimiter closes.
    std::vector<int64_t> open;
    bool first = true;
    for (;;) {
        while (!open.empty() && open.back() >= 0 && at >= open.back()) open.pop_back();
        const size_t depth = open.size();
        uint8_t h[12];
        if (at + 8 > size || platform::readAt(fd, h, 8, at) != 8) {
            if (loud) conEprintf("Error in reading DICOM: no Pixel Data element.\n");
            return loud ? PARSE_FAILED : PARSE_NOT_DICOM;
        }
        const uint16_t group = getLE16(h), element = getLE16(h + 2);
        if (first && needGroup8 && group != 0x0008) return PARSE_NOT_DICOM;
        first = false;
        DicomElement e{};
        e.key = (uint32_t(group) << 16) | element;
        e.vr[0] = e.vr[1] = ' ';
        e.valueAt = kDicomNotCopied;
        int64_t header = 8;
        if (group == 0xFFFE) {
            e.length = getLE32(h + 4);
        } else if (explicitVR) {
            if (!isVR(h + 4)) {
                if (loud) conEprintf("Error in reading DICOM: no value representation at offset %lld.\n", static_cast<long long>(at));
                return loud ? PARSE_FAILED : PARSE_NOT_DICOM;
            }
            e.vr[0] = static_cast<char>(h[4]);
            e.vr[1] = static_cast<char>(h[5]);
            if (longVR(h + 4)) {
                if (at + 12 > size || platform::readAt(fd, h + 8, 4, at + 8) != 4) {
                    if (loud) conEprintf("Error in reading DICOM: the file ends inside an element.\n");
                    return loud ? PARSE_FAILED : PARSE_NOT_DICOM;
                }
                e.length = getLE32(h + 8);
                header = 12;
            } else {
                e.length = getLE16(h + 6);
            }
        } else {
            e.length = getLE32(h + 4);
        }
        at += header;
        e.position = at;
        e.depth = static_cast<uint16_t>(std::min<size_t>(depth, 65535));
        if (out->elements.size() >= kMaxElements) {
            if (loud) conEprintf("Error in reading DICOM: more than %zu elements.\n", kMaxElements);
            return loud ? PARSE_FAILED : PARSE_NOT_DICOM;
        }
        if (group == 0xFFFE) {
            // Items open what their length or a delimiter closes.
            if (element == 0xE000 && e.length == kDicomUndefinedLength) {
                open.push_back(-1);
            } else if (element == 0xE000) {
                if (e.length > size - at) {
                    if (loud) conEprintf("Error in reading DICOM: an item of %u bytes runs past the end of the file.\n", e.length);
                    return loud ? PARSE_FAILED : PARSE_NOT_DICOM;
                }
                open.push_back(at + e.length);
            } else if ((element == 0xE00D || element == 0xE0DD) && !open.empty() && open.back() < 0) {
                open.pop_back();
            }
            out->elements.push_back(e);
            continue;
        }
        if (e.key == kPixelData && depth == 0) {
            // Encapsulated pixel data (undefined length) ends the scan too.
            out->elements.push_back(e);
            out->pixelOffset = at;
            out->pixelLength = e.length;
            return PARSE_OK;
        }
        if (e.length == kDicomUndefinedLength) {  // a sequence whose items follow
            open.push_back(-1);
            out->elements.push_back(e);
            continue;
        }
        if (e.length & 1) {
            if (loud) conEprintf("Error in reading DICOM: odd length %u of element (%04X,%04X).\n", e.length, group, element);
            return loud ? PARSE_FAILED : PARSE_NOT_DICOM;
        }
        if (e.length > size - at) {
            if (loud)
                conEprintf("Error in reading DICOM: element (%04X,%04X) of %u bytes runs past the end of the file.\n",
                           group, element, e.length);
            return loud ? PARSE_FAILED : PARSE_NOT_DICOM;
        }
        // A sequence of defined length: its items follow inside its length.
        // Without a VR (implicit data, or UN) a value that starts with an
        // item is one.
        bool sequence = isSequenceVR(e.vr);
        if (!sequence && e.length >= 8 && (!explicitVR || (e.vr[0] == 'U' && e.vr[1] == 'N'))) {
            uint8_t item[4];
            sequence = platform::readAt(fd, item, 4, at) == 4 && getLE16(item) == 0xFFFE && getLE16(item + 2) == 0xE000;
        }
        if (sequence) {
            if (e.length > 0) open.push_back(at + e.length);
            out->elements.push_back(e);
            continue;
        }
        if (!copyValue(fd, at, &e, out)) {
            if (loud) conEprintf("Error in reading DICOM: the file ends inside an element.\n");
            return loud ? PARSE_FAILED : PARSE_NOT_DICOM;
        }
        out->elements.push_back(e);
        at += e.length;
    }
}

// The file meta group, tabled: its end and the transfer syntax named in it.
bool readMetaGroup(int fd, int64_t size, int64_t at, int64_t *end, std::string *syntax, Parsed *out)
{
    for (;;) {
        uint8_t h[12];
        if (at + 8 > size || platform::readAt(fd, h, 8, at) != 8) return false;
        if (getLE16(h) != 0x0002) break;
        if (!isVR(h + 4)) return false;
        DicomElement e{};
        e.key = (uint32_t(0x0002) << 16) | getLE16(h + 2);
        e.vr[0] = static_cast<char>(h[4]);
        e.vr[1] = static_cast<char>(h[5]);
        e.valueAt = kDicomNotCopied;
        int64_t header = 8;
        if (longVR(h + 4)) {
            if (platform::readAt(fd, h + 8, 4, at + 8) != 4) return false;
            e.length = getLE32(h + 8);
            header = 12;
        } else {
            e.length = getLE16(h + 6);
        }
        if (e.length == kDicomUndefinedLength || e.length > size - at - header) return false;
        e.position = at + header;
        if (getLE16(h + 2) == 0x0010 && e.length < 128) {
            char uid[128] = {};
            if (platform::readAt(fd, uid, e.length, e.position) != static_cast<ssize_t>(e.length)) return false;
            std::string s(uid, e.length);
            while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
            *syntax = s;
        }
        if (!copyValue(fd, e.position, &e, out)) return false;
        out->elements.push_back(e);
        at = e.position + e.length;
    }
    *end = at;
    return true;
}

// The text of an element's copied value, trimmed of blanks and NULs.
std::string textValue(const DicomTable *t, const DicomElement *e)
{
    const char *v = dicomValue(t, e);
    if (v == nullptr) return std::string();
    std::string s(v, e->length);
    size_t b = s.find_first_not_of(" \0", 0, 2);
    size_t f = s.find_last_not_of(" \0", std::string::npos, 2);
    return b == std::string::npos ? std::string() : s.substr(b, f - b + 1);
}

long numberValue(const DicomTable *t, const DicomElement *e, long fallback)
{
    const char *v = dicomValue(t, e);
    if (v == nullptr) return fallback;
    const uint8_t *u = reinterpret_cast<const uint8_t *>(v);
    if (e->length == 2) return getLE16(u);
    if (e->length == 4) return static_cast<long>(getLE32(u));
    return fallback;
}

// The element table as one block: header, elements, then the copied values.
DicomTable *makeTable(const Parsed &parsed, bool explicitVR, const std::string &syntax)
{
    const size_t head = offsetof(DicomTable, elements) + parsed.elements.size() * sizeof(DicomElement);
    const size_t bytes = head + parsed.values.size();
    if (bytes > UINT32_MAX) return nullptr;
    auto *table = static_cast<DicomTable *>(gmemAlloc(static_cast<uint32_t>(bytes)));
    if (table == nullptr) {
        conEprintf("Error of malloc in reading DICOM.\n");
        return nullptr;
    }
    memset(table, 0, head);
    memcpy(table->magic, "DICOMTB", 8);
    table->count = static_cast<int32_t>(parsed.elements.size());
    table->explicitVR = explicitVR;
    table->pixelOffset = parsed.pixelOffset;
    table->pixelLength = parsed.pixelLength;
    table->bytes = static_cast<uint32_t>(bytes);
    snprintf(table->transferSyntax, sizeof table->transferSyntax, "%s", syntax.c_str());
    for (size_t i = 0; i < parsed.elements.size(); ++i) {
        table->elements[i] = parsed.elements[i];
        if (table->elements[i].valueAt != kDicomNotCopied) table->elements[i].valueAt += static_cast<uint32_t>(head);
    }
    if (!parsed.values.empty()) memcpy(reinterpret_cast<char *>(table) + head, parsed.values.data(), parsed.values.size());
    return table;
}

// The image definition of a scanned file; false (message printed) when its
// pixels cannot be read.
bool dicomImageDef(const DicomTable *t, ImageDef *def)
{
    if (t->pixelLength == kDicomUndefinedLength) {
        conEprintf("Unable to read compressed DICOM image.\n");
        return false;
    }
    const DicomElement *compressionElement = findDicomElement(t, 0x00280060);
    if (compressionElement && textValue(t, compressionElement) != "NONE") {
        conEprintf("Unable to read compressed DICOM image.\n");
        return false;
    }
    const long bands = numberValue(t, findDicomElement(t, 0x00280002), 1);
    const long rows = numberValue(t, findDicomElement(t, 0x00280010), 0);
    const long columns = numberValue(t, findDicomElement(t, 0x00280011), 0);
    const long bits = numberValue(t, findDicomElement(t, 0x00280100), 0);
    const long signedValues = numberValue(t, findDicomElement(t, 0x00280103), 0);
    const long planar = numberValue(t, findDicomElement(t, 0x00280006), 0);
    long frames = 1;
    const std::string frameText = textValue(t, findDicomElement(t, 0x00280008));
    if (!frameText.empty()) frames = std::max(1L, std::min(strtol(frameText.c_str(), nullptr, 10), 1L << 30));
    if (rows < 1 || columns < 1 || bands < 1 || bands > 4) {
        conEprintf("Error in reading DICOM: an image of %ld x %ld with %ld samples.\n", columns, rows, bands);
        return false;
    }
    int pixel;
    switch (bits) {
    case 4: pixel = bands == 1 ? PIX_4BITS : -1; break;
    case 8: pixel = signedValues == 1 ? PIX_SBYTE : PIX_BYTE; break;
    case 16: pixel = signedValues == 1 ? PIX_SHORT : PIX_USHORT; break;
    case 32: pixel = signedValues == 1 ? PIX_LONG : PIX_ULONG; break;
    default: pixel = -1; break;
    }
    if (pixel < 0) {
        conEprintf("Unable to read DICOM image with %ld bits allocated.\n", bits);
        return false;
    }
    if (t->pixelOffset > INT32_MAX) {
        conEprintf("Error in reading DICOM: pixel data beyond 2 GB.\n");
        return false;
    }
    def->pixel = pixel;
    def->bits = pixelBits(pixel);
    def->mapid = MAP_DICOM;
    def->nbands = static_cast<int32_t>(bands);
    def->rows = static_cast<int32_t>(rows);
    def->columns = static_cast<int32_t>(columns);
    def->volumes = static_cast<int32_t>(frames);
    // Colour planes one after the other (planar configuration 1) are band
    // sequential; samples side by side are pixel-interleaved.
    def->imgid = bands > 1 && planar == 1 ? IMG_BSQ : IMG_BIP;
    const int64_t perBand = columns * bits / 8;
    def->block = static_cast<int32_t>(def->imgid == IMG_BSQ ? perBand : perBand * bands);
    def->offset = static_cast<int32_t>(t->pixelOffset);
    def->msbf = 0;
    def->top = def->left = 0;
    def->nindices = 0;
    def->transparent = -1;
    def->x0 = def->y0 = 0.0;
    def->dx = def->dy = 1.0;
    const std::string spacing = textValue(t, findDicomElement(t, 0x00280030));
    double a, b;
    if (sscanf(spacing.c_str(), "%lf\\%lf", &a, &b) == 2) {
        def->dx = a;
        def->dy = b;
    }
    return true;
}

}  // namespace

const DicomElement *findDicomElement(const DicomTable *table, uint32_t key)
{
    if (table == nullptr) return nullptr;
    for (int i = 0; i < table->count; ++i)
        if (table->elements[i].key == key && table->elements[i].depth == 0) return &table->elements[i];
    return nullptr;
}

const char *dicomValue(const DicomTable *table, const DicomElement *element)
{
    if (table == nullptr || element == nullptr || element->valueAt == kDicomNotCopied) return nullptr;
    return reinterpret_cast<const char *>(table) + element->valueAt;
}

int scanDicom(const FileHead &file, bool forImage, DicomTable **out)
{
    *out = nullptr;
    const int fd = file.fd;
    uint8_t h[132];
    int64_t at = 0;
    bool dicm = false;
    if (file.read(h, sizeof h) && memcmp(h + 128, "DICM", 4) == 0) {
        at = 132;
        dicm = true;
    }
    uint8_t first[8];
    if (!file.read(first, 8, at)) return 0;
    const int64_t size = platform::fileSize(fd);
    bool explicitVR;
    bool loud = dicm;
    std::string syntax;
    Parsed parsed;
    if (dicm && getLE16(first) == 0x0002) {
        int64_t end;
        if (!readMetaGroup(fd, size, at, &end, &syntax, &parsed)) {
            conEprintf("Error in reading DICOM: a broken file meta group.\n");
            return -1;
        }
        at = end;
        if (syntax == "1.2.840.10008.1.2") explicitVR = false;
        else if (syntax == "1.2.840.10008.1.2.1") explicitVR = true;
        else if (syntax == "1.2.840.10008.1.2.2") {
            // Big-endian and deflated data sets are not read at all.
            if (!forImage) return 0;
            conEprintf("Unable to read big-endian DICOM image.\n");
            return -1;
        } else if (syntax.empty()) {
            uint8_t probe[8];
            explicitVR = platform::readAt(fd, probe, 8, at) == 8 && isVR(probe + 4);
        } else if (forImage) {
            conEprintf("Unable to read compressed DICOM image.\n");
            return -1;
        } else if (syntax == "1.2.840.10008.1.2.1.99") {
            return 0;
        } else {
            explicitVR = true;  // the data sets of compressed syntaxes are explicit VR little-endian
        }
    } else {
        // Without a meta group the elements start with group 0008; their VR,
        // when present, shows the data set is explicit.
        if (getLE16(first) != 0x0008) return 0;
        explicitVR = isVR(first + 4);
    }
    int rc = parseDataSet(fd, size, at, explicitVR, loud, !dicm, &parsed);
    if (rc == PARSE_NOT_DICOM) return 0;
    if (rc == PARSE_FAILED) return -1;
    *out = makeTable(parsed, explicitVR, syntax);
    return *out ? 1 : -1;
}

int detectDicom(const FileHead &file, ImageDef *def, void **aux)
{
    DicomTable *table;
    const int rc = scanDicom(file, true, &table);
    if (rc <= 0) return rc;
    if (!dicomImageDef(table, def)) {
        gmemFree(table);
        return -1;
    }
    if (aux) {
        gmemFree(*aux);
        *aux = table;
    } else {
        gmemFree(table);
    }
    return def->imgid;
}

}  // namespace krel
