#include "script/archive.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include <zlib.h>

namespace krel::archive {

const char kMagic[8] = {'S', 'C', 'R', 'B', 'C', 'O', 'M', 'P'};

// Any permutation of 0..255 would do; this one is fixed for all time, since an
// archive is readable only with the table that wrote it.
const unsigned char kScrambleTable[256] = {
    0xE2, 0x27, 0x80, 0xBF, 0x05, 0xCE, 0x8A, 0xFE, 0x25, 0x48, 0x85, 0xED, 0x3A, 0x15, 0x88, 0xE1,
    0x32, 0xDE, 0x1B, 0x3D, 0x35, 0xFD, 0xBA, 0x97, 0x34, 0x0B, 0xA7, 0x09, 0x08, 0x30, 0xAC, 0x31,
    0x1A, 0x8F, 0x9B, 0xAB, 0x07, 0x52, 0x6A, 0x53, 0x47, 0x62, 0x6C, 0x8C, 0xDD, 0xF1, 0x03, 0xFC,
    0xCB, 0xD5, 0x57, 0x98, 0x55, 0xA3, 0xBC, 0xB9, 0xC2, 0xD0, 0xB6, 0xA9, 0x18, 0x63, 0xA0, 0x9F,
    0x9C, 0xE6, 0xE7, 0x5A, 0xD6, 0x0F, 0x19, 0xD4, 0xC8, 0x24, 0x91, 0x73, 0x70, 0x96, 0x93, 0x43,
    0x0E, 0x59, 0xFB, 0x44, 0xB3, 0xEC, 0x50, 0x71, 0x26, 0x2B, 0x65, 0x40, 0xD9, 0xF3, 0xAD, 0xBE,
    0xC3, 0x74, 0x79, 0xBD, 0x56, 0x4E, 0x39, 0xA5, 0xEE, 0x00, 0xE4, 0x0D, 0xEA, 0xF0, 0x36, 0xFA,
    0x45, 0xF6, 0xA4, 0xE9, 0xA6, 0x9E, 0x2A, 0x75, 0x2E, 0x1C, 0xDF, 0xBB, 0x22, 0xB2, 0x4A, 0x89,
    0x83, 0x7C, 0x3F, 0x5F, 0x10, 0x69, 0xF5, 0xD8, 0x1E, 0xC9, 0x82, 0x1D, 0x13, 0x41, 0xB8, 0x90,
    0x7F, 0x7E, 0xA1, 0x42, 0x12, 0xB0, 0x4D, 0x46, 0x21, 0xDA, 0x6B, 0x02, 0x64, 0x3E, 0x01, 0x8B,
    0xE5, 0x8D, 0x4B, 0xAF, 0xEB, 0x7A, 0x84, 0xC7, 0x4F, 0x06, 0x33, 0x2D, 0xB4, 0x78, 0xC4, 0xC1,
    0x67, 0x49, 0x76, 0x5C, 0xF7, 0x3C, 0xDB, 0x38, 0x6D, 0xAA, 0xAE, 0x94, 0xCD, 0x1F, 0xCA, 0xD7,
    0xE0, 0x86, 0xE8, 0x23, 0x5E, 0xCC, 0x16, 0xA8, 0x2F, 0x8E, 0xA2, 0x87, 0xCF, 0x28, 0x51, 0xF8,
    0x6E, 0xD3, 0x81, 0x2C, 0x3B, 0x7D, 0x99, 0x66, 0x68, 0xC6, 0x29, 0xC0, 0xD1, 0xB7, 0xF9, 0x77,
    0x20, 0x04, 0xB1, 0x0C, 0x9D, 0x95, 0xE3, 0xF4, 0xD2, 0xFF, 0x17, 0x7B, 0x60, 0xEF, 0x58, 0x5D,
    0xC5, 0xDC, 0x72, 0x0A, 0x6F, 0x54, 0x92, 0x14, 0x37, 0x61, 0x11, 0x5B, 0x9A, 0xF2, 0x4C, 0xB5,
};

int substitute(unsigned char *buffer, size_t size, int mode)
{
    if (mode == 0) {
        for (size_t i = 0; i < size; ++i) buffer[i] = kScrambleTable[buffer[i]];
        return 1;
    }
    if (mode == 1) {
        unsigned char inverse[256];
        for (int i = 0; i < 256; ++i) inverse[kScrambleTable[i]] = static_cast<unsigned char>(i);
        for (size_t i = 0; i < size; ++i) buffer[i] = inverse[buffer[i]];
        return 0;
    }
    return mode;
}

long long readLength(const unsigned char *field, size_t width)
{
    size_t i = 0;
    while (i < width && (field[i] == ' ' || field[i] == '\t')) ++i;
    bool negative = false;
    if (i < width && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    long long value = 0;
    for (; i < width && isdigit(field[i]); ++i) {
        if (value > (1LL << 50)) break;  // far beyond any real file; stop before overflow
        value = value * 10 + (field[i] - '0');
    }
    return negative ? -value : value;
}

bool isArchive(const unsigned char *header, size_t size)
{
    return size >= sizeof kMagic && memcmp(header, kMagic, sizeof kMagic) == 0;
}

Header parseHeader(const unsigned char header[kHeaderSize])
{
    Header h;
    h.mode = header[8];
    h.compressed = readLength(header + 9, 12);
    h.textLength = readLength(header + 21, 12);
    return h;
}

void formatHeader(unsigned char header[kHeaderSize], const Header &h)
{
    memset(header, 0, kHeaderSize);
    memcpy(header, kMagic, sizeof kMagic);
    header[8] = static_cast<unsigned char>(h.mode);
    snprintf(reinterpret_cast<char *>(header + 9), 12, "%lld", h.compressed);
    snprintf(reinterpret_cast<char *>(header + 21), 12, "%lld", h.textLength);
}

long long maxInflatedSize(long long compressed)
{
    // Deflate cannot expand better than about 1032:1.
    return compressed * 1032 + 1024;
}

std::vector<unsigned char> build(const std::string &text)
{
    uLong textLength = static_cast<uLong>(text.size()) + 1;
    uLongf room = compressBound(textLength);
    std::vector<unsigned char> file(kHeaderSize + room);
    if (compress(file.data() + kHeaderSize, &room, reinterpret_cast<const Bytef *>(text.c_str()), textLength) != Z_OK)
        return {};
    file.resize(kHeaderSize + room);
    Header h;
    h.mode = substitute(file.data() + kHeaderSize, room, 0);
    h.compressed = static_cast<long long>(room);
    h.textLength = static_cast<long long>(textLength);
    unsigned char header[kHeaderSize];
    formatHeader(header, h);
    memcpy(file.data(), header, kHeaderSize);
    return file;
}

DecodeStatus decode(const Header &h, std::vector<unsigned char> &body, std::string *text, int *zstatus)
{
    substitute(body.data(), body.size(), h.mode);
    long long room = h.textLength;
    if (room < 0) room = 0;
    // A length beyond what the body could inflate to is not believed: the
    // room is capped, and a body that needs more than L fails below.
    long long cap = maxInflatedSize(static_cast<long long>(body.size()));
    if (room > cap) room = cap;
    std::vector<unsigned char> out;
    try {
        out.resize(static_cast<size_t>(room > 0 ? room : 1));
    } catch (const std::bad_alloc &) {
        return DecodeStatus::NoMemory;
    }
    uLongf outLength = static_cast<uLongf>(room);
    int z = uncompress(out.data(), &outLength, body.data(), static_cast<uLong>(body.size()));
    if (z != Z_OK) {
        *zstatus = z;
        return DecodeStatus::Corrupt;
    }
    // The text is used up to its NUL; a text without one within L is corrupt.
    const void *nul = memchr(out.data(), 0, outLength);
    if (nul == nullptr) {
        *zstatus = Z_DATA_ERROR;
        return DecodeStatus::Corrupt;
    }
    text->assign(reinterpret_cast<const char *>(out.data()),
                 static_cast<const unsigned char *>(nul) - out.data());
    return DecodeStatus::Ok;
}

}  // namespace krel::archive
