#include "display/sampling.h"

#include <cmath>
#include <cstring>

#include "image/imagedef.h"

namespace krel {

bool SampleMap::update(int n, int s, int f, double m)
{
    if (n < 0) n = 0;
    if (n == length && s == start && f == flip && m == mag) return false;
    length = n;
    start = s;
    flip = f;
    mag = m;
    index.assign(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        double v = std::trunc(i / m + s);
        // Far-out values only arise from absurd magnifications; keep them
        // representable (they are outside the image either way).
        if (v > 2e9) v = 2e9;
        if (v < -2e9) v = -2e9;
        index[static_cast<size_t>(f ? n - 1 - i : i)] = static_cast<int32_t>(v);
    }
    return true;
}

void validRange(const SampleMap &map, int limit, int *first, int *last)
{
    const int n = static_cast<int>(map.index.size());
    int a = 0, b = n;
    while (a < b && (map.index[a] < 0 || map.index[a] >= limit)) ++a;
    while (b > a && (map.index[b - 1] < 0 || map.index[b - 1] >= limit)) --b;
    *first = a;
    *last = b;
}

RangeScale::RangeScale(double lo, double hi) : low(lo), high(hi)
{
    if (hi == lo) {
        scale = 1e12;
        offset = 0.0;
    } else {
        scale = 255.0 / (hi - lo);
        offset = -lo * scale + 0.5;
    }
}

int RangeScale::operator()(double v) const
{
    if (v < low) return 0;
    if (v > high) return 255;
    double t = v * scale + offset;
    // A degenerate range (high == low) gives an enormous product, and NaN
    // passes both comparisons: the index must still be 0..255.
    if (!(t >= 0.0)) return 0;
    if (t >= 255.0) return 255;
    return static_cast<int>(t);
}

namespace {

template <class T>
void sampleScaled(const LineSampler &s, const uint8_t *line, const int32_t *map, int first, int last,
                  uint8_t *out)
{
    const RangeScale scale(s.low, s.high);
    int32_t prev = -1;
    uint8_t value = 0;
    for (int i = first; i < last; ++i) {
        const int32_t c = map[i];
        if (c != prev) {
            T v;
            memcpy(&v, line + static_cast<size_t>(c) * sizeof(T), sizeof(T));
            value = s.table[scale(static_cast<double>(v))];
            prev = c;
        }
        out[i] = value;
    }
}

}  // namespace

void sampleLine(const LineSampler &s, const uint8_t *line, const int32_t *map, int count, int first, int last,
                uint8_t *out)
{
    const uint8_t *t = s.table;
    const uint8_t fill = t[0];
    if (first > 0) memset(out, fill, static_cast<size_t>(first));
    if (last < count) memset(out + last, fill, static_cast<size_t>(count - last));
    if (first >= last) return;
    const uint8_t *pc = s.component;
    switch (s.pixel) {
    case PIX_BYTE:
        if (pc) {
            for (int i = first; i < last; ++i) out[i] = t[pc[line[map[i]]]];
        } else {
            for (int i = first; i < last; ++i) out[i] = t[line[map[i]]];
        }
        break;
    case PIX_1BIT:
        for (int i = first; i < last; ++i) {
            const int32_t c = map[i];
            const uint8_t mask = s.msbf ? static_cast<uint8_t>(0x80 >> (c & 7)) : static_cast<uint8_t>(1 << (c & 7));
            const int idx = (line[c >> 3] & mask) ? 1 : 0;
            out[i] = t[pc ? pc[idx] : idx];
        }
        break;
    case PIX_4BITS:
        for (int i = first; i < last; ++i) {
            const int32_t c = map[i];
            const uint8_t byte = line[c >> 1];
            // msbf 0: odd columns in the high nibble; msbf 1: even columns.
            const bool high = s.msbf ? (c & 1) == 0 : (c & 1) == 1;
            const int idx = high ? byte >> 4 : byte & 0x0F;
            out[i] = t[pc ? pc[idx] : idx];
        }
        break;
    case PIX_SHORT: sampleScaled<int16_t>(s, line, map, first, last, out); break;
    case PIX_USHORT: sampleScaled<uint16_t>(s, line, map, first, last, out); break;
    case PIX_LONG: sampleScaled<int32_t>(s, line, map, first, last, out); break;
    case PIX_FLOAT: sampleScaled<float>(s, line, map, first, last, out); break;
    default:
        // ULONG and SBYTE lines hold one byte per column in the store: there
        // is nothing to show.
        memset(out + first, fill, static_cast<size_t>(last - first));
        break;
    }
}

}  // namespace krel
