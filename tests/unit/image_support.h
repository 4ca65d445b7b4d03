// Helpers of the image store tests: byte buffers built by hand and files.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "image/formats/formats.h"

namespace krel::test {

// Runs one detector as the detection chain does: on the head of the file.
inline int detectWith(DetectFn fn, int fd, const char *path, ImageDef *def, void **aux)
{
    FileHead head;
    readFileHead(fd, path, &head);
    return fn(head, def, aux);
}

using Bytes = std::vector<uint8_t>;

inline void putLE(Bytes &b, size_t at, uint64_t v, int n)
{
    if (b.size() < at + n) b.resize(at + n);
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putBE(Bytes &b, size_t at, uint64_t v, int n)
{
    if (b.size() < at + n) b.resize(at + n);
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
}
inline uint32_t bitsOf(float f)
{
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}
inline uint64_t bitsOf(double d)
{
    uint64_t u;
    memcpy(&u, &d, 8);
    return u;
}
inline void putText(Bytes &b, size_t at, const char *text)
{
    size_t n = strlen(text);
    if (b.size() < at + n) b.resize(at + n);
    memcpy(b.data() + at, text, n);
}

inline void writeBytes(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
inline Bytes readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A 128-byte ERDAS header as other programs write it (little-endian).
inline Bytes erdasHeader(const char *magic, int pack, int nbands, int columns, int rows, int left = 0, int top = 0)
{
    Bytes h(128, 0);
    putText(h, 0, magic);
    putLE(h, 6, static_cast<uint16_t>(pack), 2);
    putLE(h, 8, static_cast<uint16_t>(nbands), 2);
    if (strcmp(magic, "HEADER") == 0) {
        putLE(h, 16, bitsOf(static_cast<float>(columns)), 4);
        putLE(h, 20, bitsOf(static_cast<float>(rows)), 4);
    } else {
        putLE(h, 16, static_cast<uint32_t>(columns), 4);
        putLE(h, 20, static_cast<uint32_t>(rows), 4);
    }
    putLE(h, 24, static_cast<uint32_t>(left), 4);
    putLE(h, 28, static_cast<uint32_t>(top), 4);
    return h;
}

}  // namespace krel::test
