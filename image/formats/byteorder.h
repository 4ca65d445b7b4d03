// Reading and writing values of a stated byte order in file headers and
// records, whatever the host's order. The host-order forms copy through
// memcpy, so unaligned header fields are safe.
#pragma once

#include <cstdint>
#include <cstring>

namespace krel {

inline uint16_t getLE16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t getLE32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}
inline void putLE16(uint8_t *p, unsigned v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putLE32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Either order: msbf true reads and writes the most significant byte first.
inline uint16_t get16(const uint8_t *p, bool msbf)
{
    return msbf ? static_cast<uint16_t>((p[0] << 8) | p[1]) : getLE16(p);
}
inline uint32_t get32(const uint8_t *p, bool msbf)
{
    return msbf ? (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3] : getLE32(p);
}
inline void put16(uint8_t *p, unsigned v, bool msbf)
{
    if (msbf) p[0] = static_cast<uint8_t>(v >> 8), p[1] = static_cast<uint8_t>(v);
    else putLE16(p, v);
}
inline void put32(uint8_t *p, uint32_t v, bool msbf)
{
    for (int i = 0; i < 4; ++i) p[msbf ? 3 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}

// An IEEE single stored least significant byte first.
inline float getLEFloat(const uint8_t *p)
{
    uint32_t u = getLE32(p);
    float f;
    memcpy(&f, &u, 4);
    return f;
}
inline void putLEFloat(uint8_t *p, float f)
{
    uint32_t u;
    memcpy(&u, &f, 4);
    putLE32(p, u);
}

// Values in the host's own order (headers written by this host's kind).
template <class T>
T getHost(const uint8_t *p)
{
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}
template <class T>
void putHost(uint8_t *p, T v)
{
    memcpy(p, &v, sizeof v);
}

}  // namespace krel
