// Script archives: a Tcl script compressed with zlib whose compressed bytes
// are passed through a fixed substitution table, behind a 33-byte header:
//   0  8  "SCRBCOMP"
//   8  1  mode that undoes the substitution (1 inverse, 0 forward, other none)
//   9 12  compressed length Z, decimal ASCII, NUL-terminated
//  21 12  text length L (including the text's NUL), decimal ASCII
//  33  Z  body
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krel::archive {

constexpr size_t kHeaderSize = 33;
constexpr size_t kPiece = 32767;  // archives are read and written in pieces of this size
extern const char kMagic[8];
extern const unsigned char kScrambleTable[256];

// Substitutes in place through the table (mode 0) or its inverse (mode 1);
// returns the mode that undoes it. Other modes leave the buffer alone.
int substitute(unsigned char *buffer, size_t size, int mode);

// Reads a length field: optional blanks and sign, then digits up to the first
// other character, never beyond the field's width.
long long readLength(const unsigned char *field, size_t width);

struct Header {
    int mode = 1;
    long long compressed = 0;  // Z
    long long textLength = 0;  // L
};
bool isArchive(const unsigned char *header, size_t size);
Header parseHeader(const unsigned char header[kHeaderSize]);
void formatHeader(unsigned char header[kHeaderSize], const Header &h);

// Largest text a deflate stream of `compressed` bytes can hold: lengths in a
// header beyond it are lies and are not allocated for.
long long maxInflatedSize(long long compressed);

// Builds a whole archive of `text` (its NUL included) in memory.
std::vector<unsigned char> build(const std::string &text);

enum class DecodeStatus { Ok, NoMemory, Corrupt };
// Undoes the substitution and inflates a body into `text` (the text without
// its NUL). `zstatus` receives zlib's status on failure.
DecodeStatus decode(const Header &h, std::vector<unsigned char> &body, std::string *text, int *zstatus);

}  // namespace krel::archive
