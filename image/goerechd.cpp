#include "image/goerechd.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/files.h"

namespace krel {

namespace {

constexpr char kGeoId[8] = {'G', 'O', 'E', 'R', 'E', 'C', 'H', 'D'};

void putLE(std::vector<uint8_t> &out, uint64_t bits, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

void putDouble(std::vector<uint8_t> &out, double v)
{
    uint64_t bits;
    memcpy(&bits, &v, 8);
    putLE(out, bits, 8);
}

uint64_t getLE(const uint8_t *p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

double getDouble(const uint8_t *p)
{
    uint64_t bits = getLE(p, 8);
    double v;
    memcpy(&v, &bits, 8);
    return v;
}

int32_t getInt(const uint8_t *p) { return static_cast<int32_t>(static_cast<uint32_t>(getLE(p, 4))); }

std::string message(const char *path, const char *what) { return std::string(path) + what; }

}  // namespace

std::vector<uint8_t> encodeGeoFile(const GeoPoly &poly)
{
    const size_t t = poly.J.size();
    std::vector<uint8_t> out(kGeoId, kGeoId + 8);
    out.reserve(kGeoHeaderSize + 16 * t);
    for (double m : {poly.meanX1, poly.meanY1, poly.meanX2, poly.meanY2}) putDouble(out, m);
    putLE(out, static_cast<uint32_t>(t), 4);
    putLE(out, static_cast<uint32_t>(poly.order), 4);
    for (double c : poly.I) putDouble(out, c);
    for (double c : poly.J) putDouble(out, c);
    return out;
}

GeoFileError decodeGeoFile(const uint8_t *data, size_t size, GeoPoly *poly)
{
    if (size < 8) return GeoFileError::Truncated;
    if (memcmp(data, kGeoId, 8) != 0) return GeoFileError::WrongId;
    if (size < kGeoHeaderSize) return GeoFileError::Truncated;
    const int32_t t = getInt(data + 40), order = getInt(data + 44);
    if (geoTermCount(order) < 0 || t != geoTermCount(order)) return GeoFileError::Invalid;
    if (size != kGeoHeaderSize + 16 * static_cast<size_t>(t)) return GeoFileError::Invalid;
    GeoPoly p;
    p.order = order;
    double *means[] = {&p.meanX1, &p.meanY1, &p.meanX2, &p.meanY2};
    for (int k = 0; k < 4; ++k) *means[k] = getDouble(data + 8 + 8 * k);
    p.I.resize(static_cast<size_t>(t));
    p.J.resize(static_cast<size_t>(t));
    for (int k = 0; k < t; ++k) {
        p.I[k] = getDouble(data + kGeoHeaderSize + 8 * k);
        p.J[k] = getDouble(data + kGeoHeaderSize + 8 * (t + k));
    }
    for (double *m : means)
        if (!std::isfinite(*m)) return GeoFileError::Invalid;
    for (int k = 0; k < t; ++k)
        if (!std::isfinite(p.I[k]) || !std::isfinite(p.J[k])) return GeoFileError::Invalid;
    *poly = std::move(p);
    return GeoFileError::Good;
}

std::string writeGeoFile(const char *path, const GeoPoly &poly)
{
    const std::vector<uint8_t> bytes = encodeGeoFile(poly);
    if (platform::writeWholeFile(path, bytes.data(), bytes.size())) return "";
    // Nothing could be opened or created there, or the writing failed.
    const bool openFailed = errno == ENOENT || errno == EACCES || errno == EISDIR || errno == EINVAL ||
                            errno == EROFS || errno == ENOTDIR || errno == EPERM;
    return message(path, openFailed ? " open error." : " write error.");
}

std::string readGeoFile(const char *path, GeoPoly *poly)
{
    if (platform::isSpecialFile(path)) return message(path, " open error.");
    platform::FileDesc fd = platform::openFile(path, platform::OpenMode::Read);
    if (!fd) return message(path, " open error.");
    uint8_t head[kGeoHeaderSize];
    const ssize_t got = platform::readAt(fd.get(), head, sizeof head, 0);
    if (got >= 8 && memcmp(head, kGeoId, 8) != 0) return message(path, " is not a georectification parameter file.");
    if (got != static_cast<ssize_t>(sizeof head)) return message(path, " read error.");
    // The header decides the size; a file of any other length is refused
    // before its coefficients are read.
    const int64_t size = platform::fileSize(fd.get());
    const int t = geoTermCount(getInt(head + 44));
    if (t < 0 || getInt(head + 40) != t || size != static_cast<int64_t>(kGeoHeaderSize + 16 * static_cast<size_t>(t)))
        return message(path, " read error.");
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (platform::readAt(fd.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        return message(path, " read error.");
    if (decodeGeoFile(bytes.data(), bytes.size(), poly) != GeoFileError::Good) return message(path, " read error.");
    return "";
}

}  // namespace krel
