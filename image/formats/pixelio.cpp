// Pixel-level writers: values into band lines through the line cache,
// converted, clamped and rounded by pixel type.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"

namespace krel {

namespace {

// v rounded to the nearest integer within [lo, hi]; NaN counts as 0.
// floor(v + 0.5) rather than trunc(v + 0.5): the two agree for values >= 0,
// but trunc would turn -2 into -1 and -1.7 into -1.
double rounded(double v, double lo, double hi)
{
    if (std::isnan(v)) return 0.0;
    if (v < lo) return lo;
    if (v > hi) return hi;
    return std::floor(v + 0.5);
}

template <class T>
int putLine(RamImage *img, int row, int firstColumn, int count, int band, const T *values)
{
    if (img == nullptr || values == nullptr) return 0;
    const ImageDef &d = img->def;
    if (row < 0 || row >= d.rows || band < 0 || band >= d.nbands || count <= 0) return 0;
    if (d.pixel == PIX_ULONG || d.pixel == PIX_SBYTE || d.pixel == PIX_UNKNOWN) return 0;
    int64_t first = firstColumn, end = std::min<int64_t>(first + count, d.columns);
    if (first < 0) {  // columns left of the image are skipped with their values
        values -= first;
        first = 0;
    }
    if (end <= first) return 0;
    // A line only partly written must be loaded first, or the pixels not
    // written would come from whatever line the slot held before.
    const int load = first == 0 && end == d.columns ? 0 : 1;
    uint8_t *line = getLine(img, row, band, load);
    if (line == nullptr) return 0;
    const bool msbf = d.msbf != 0;
    for (int64_t c = first; c < end; ++c) {
        const double v = static_cast<double>(values[c - first]);
        switch (d.pixel) {
        case PIX_1BIT: {
            uint8_t mask = msbf ? static_cast<uint8_t>(0x80 >> (c & 7)) : static_cast<uint8_t>(1 << (c & 7));
            if (v > 0) line[c >> 3] |= mask;
            else line[c >> 3] &= static_cast<uint8_t>(~mask);
            break;
        }
        case PIX_4BITS: {
            uint8_t nib = static_cast<uint8_t>(rounded(v, 0, 15));
            bool high = msbf ? (c & 1) == 0 : (c & 1) == 1;
            uint8_t &byte = line[c >> 1];
            byte = high ? static_cast<uint8_t>((byte & 0x0F) | (nib << 4)) : static_cast<uint8_t>((byte & 0xF0) | nib);
            break;
        }
        case PIX_BYTE: line[c] = static_cast<uint8_t>(rounded(v, 0, 255)); break;
        case PIX_SHORT: {
            int16_t s = static_cast<int16_t>(rounded(v, -32768, 32767));
            memcpy(line + 2 * c, &s, 2);
            break;
        }
        case PIX_USHORT: {
            uint16_t s = static_cast<uint16_t>(rounded(v, 0, 65535));
            memcpy(line + 2 * c, &s, 2);
            break;
        }
        case PIX_LONG: {
            int32_t s = static_cast<int32_t>(rounded(v, -2147483648.0, 2147483647.0));
            memcpy(line + 4 * c, &s, 4);
            break;
        }
        case PIX_FLOAT: {
            float f = static_cast<float>(values[c - first]);
            memcpy(line + 4 * c, &f, 4);
            break;
        }
        default: break;
        }
    }
    markLineDirty(img, row, band);
    return static_cast<int>(end - first);
}

template <class T>
T *scratchValues(int count)
{
    size_t bytes = static_cast<size_t>(count) * sizeof(T);
    return bytes <= UINT32_MAX ? static_cast<T *>(gmemAlloc(static_cast<uint32_t>(bytes))) : nullptr;
}

template <class T>
int putBIP(const char *who, RamImage *img, int firstBand, int bandCount, int row, int firstColumn, int count,
           const T *values)
{
    if (img == nullptr || values == nullptr || count <= 0 || bandCount <= 0) return 0;
    std::unique_ptr<T, GmemDeleter> one(scratchValues<T>(count));
    if (!one) {
        conEprintf("Malloc error in %s.\n", who);
        return 0;
    }
    int result = 0;
    int lastBand = std::min(firstBand + bandCount, img->def.nbands);
    for (int b = std::max(firstBand, 0); b < lastBand; ++b) {
        for (int k = 0; k < count; ++k) one.get()[k] = values[static_cast<int64_t>(k) * bandCount + (b - firstBand)];
        result = putLine(img, row, firstColumn, count, b, one.get());
    }
    return result;
}

template <class T>
int writeBIP(const char *who, RamImage *img, int row, int firstColumn, int count, int nb, const int *bandList,
             const T *values)
{
    if (img == nullptr || values == nullptr || count <= 0 || nb <= 0) return 0;
    std::unique_ptr<T, GmemDeleter> one(scratchValues<T>(count));
    if (!one) {
        conEprintf("Malloc error in %s.\n", who);
        return 0;
    }
    int result = 0;
    for (int i = 0; i < nb; ++i) {
        int band = bandList ? bandList[i] : i;
        if (band < 0 || band >= img->def.nbands) continue;
        for (int k = 0; k < count; ++k) one.get()[k] = values[static_cast<int64_t>(k) * nb + i];
        result = putLine(img, row, firstColumn, count, band, one.get());
    }
    return result;
}

}  // namespace

int putFloatLine(RamImage *img, int row, int firstColumn, int count, int band, const float *values)
{
    return putLine(img, row, firstColumn, count, band, values);
}

int putDoubleLine(RamImage *img, int row, int firstColumn, int count, int band, const double *values)
{
    return putLine(img, row, firstColumn, count, band, values);
}

int putByteLine(RamImage *img, int row, int firstColumn, int count, int band, const uint8_t *values)
{
    return putLine(img, row, firstColumn, count, band, values);
}

int putFloatBIPData(RamImage *img, int firstBand, int bandCount, int row, int firstColumn, int count,
                    const float *values)
{
    return putBIP("putFloatBIPData", img, firstBand, bandCount, row, firstColumn, count, values);
}

int putByteBIPData(RamImage *img, int firstBand, int bandCount, int row, int firstColumn, int count,
                   const uint8_t *values)
{
    return putBIP("putByteBIPData", img, firstBand, bandCount, row, firstColumn, count, values);
}

int writeFloatBIPData(RamImage *img, int row, int firstColumn, int count, int nb, const int *bandList,
                      const float *values)
{
    return writeBIP("writeFloatBIPData", img, row, firstColumn, count, nb, bandList, values);
}

int writeByteBIPData(RamImage *img, int row, int firstColumn, int count, int nb, const int *bandList,
                     const uint8_t *values)
{
    return writeBIP("writeByteBIPData", img, row, firstColumn, count, nb, bandList, values);
}

}  // namespace krel
