// Georectification parameter files ("GOERECHD"): a fitted polynomial as
// `rimage georef` reads it. Little-endian: the 8-byte ID, the means of X1,
// Y1, X2 and Y2 (doubles), the number of coefficients T and the order
// (signed 32-bit), then the T coefficients of Y2 and the T of X2 (doubles,
// the constants including the means of Y2 and X2): 48 + 16 T bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/geopoly.h"

namespace krel {

constexpr size_t kGeoHeaderSize = 48;

// The file's bytes of a polynomial.
std::vector<uint8_t> encodeGeoFile(const GeoPoly &poly);

enum class GeoFileError { Good, Truncated, WrongId, Invalid };

// Checks and decodes a whole file: the ID, an order of 0 .. kMaxGeoOrder
// with its own term count, exactly 48 + 16 T bytes and finite numbers.
GeoFileError decodeGeoFile(const uint8_t *data, size_t size, GeoPoly *poly);

// Writes (replacing an existing file only by a complete new one) or reads a
// parameter file; the message on failure ("FILE open error.", "FILE write
// error.", "FILE read error.", "FILE is not a georectification parameter
// file."), empty on success.
std::string writeGeoFile(const char *path, const GeoPoly &poly);
std::string readGeoFile(const char *path, GeoPoly *poly);

}  // namespace krel
