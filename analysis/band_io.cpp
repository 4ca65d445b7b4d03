#include "analysis/band_io.h"

#include <algorithm>
#include <cstring>

#include "analysis/simd.h"
#include "image/formats/formats.h"
#include "image/module_util.h"

namespace krel {

namespace {

template <class T>
KREL_VECTOR_CLONES void widenBytes(const uint8_t *src, int count, T *dst)
{
    for (int i = 0; i < count; ++i) dst[i] = static_cast<T>(src[i]);
}

KREL_VECTOR_CLONES void narrowDoubles(const double *src, int count, float *dst)
{
    for (int i = 0; i < count; ++i) dst[i] = static_cast<float>(src[i]);
}

KREL_VECTOR_CLONES void widenSingles(const float *src, int count, double *dst)
{
    for (int i = 0; i < count; ++i) dst[i] = src[i];
}

// The cached line of a FLOAT band about to be written over columns
// first..first+count-1 (loaded first unless the whole line is written), or
// null when the write falls outside the image.
float *floatLineFor(RamImage *img, int row, int band, int first, int *count)
{
    const ImageDef &d = img->def;
    if (row < 0 || row >= d.rows || band < 0 || band >= d.nbands || first < 0 || first >= d.columns) return nullptr;
    *count = std::min(*count, d.columns - first);
    if (*count <= 0) return nullptr;
    uint8_t *line = getLine(img, row, band, first == 0 && *count == d.columns ? 0 : 1);
    return line ? reinterpret_cast<float *>(line) + first : nullptr;
}

}  // namespace

namespace {

// BYTE lines widen, FLOAT lines copy or widen; other types convert through
// the store's reader `other`.
template <class T, class Other>
bool readRow(RamImage *img, int row, int band, int first, int count, T *out, Other other)
{
    const int pixel = img->def.pixel;
    if (pixel != PIX_BYTE && pixel != PIX_FLOAT) return other(img, row, band, first, count, 1, out);
    const uint8_t *line = getLine(img, row, band, 1);
    if (!line) {
        std::fill(out, out + std::max(count, 0), T{});
        return false;
    }
    if (pixel == PIX_BYTE)
        widenBytes(line + first, count, out);
    else if constexpr (sizeof(T) == 4)
        memcpy(out, line + static_cast<size_t>(first) * 4, static_cast<size_t>(count) * 4);
    else
        widenSingles(reinterpret_cast<const float *>(line) + first, count, out);
    return true;
}

}  // namespace

bool readRowSingles(RamImage *img, int row, int band, int first, int count, float *out)
{
    return readRow(img, row, band, first, count, out, readLineValues);
}

bool readRowDoubles(RamImage *img, int row, int band, int first, int count, double *out)
{
    return readRow(img, row, band, first, count, out, readLineDoubles);
}

void writeRowSingles(RamImage *img, int row, int band, int first, int count, const float *values)
{
    if (img->def.pixel != PIX_FLOAT) {
        putFloatLine(img, row, first, count, band, values);
        return;
    }
    if (float *line = floatLineFor(img, row, band, first, &count)) {
        memcpy(line, values, static_cast<size_t>(count) * 4);
        markLineDirty(img, row, band);
    }
}

void writeRowDoubles(RamImage *img, int row, int band, int first, int count, const double *values)
{
    if (img->def.pixel != PIX_FLOAT) {
        putDoubleLine(img, row, first, count, band, values);
        return;
    }
    if (float *line = floatLineFor(img, row, band, first, &count)) {
        narrowDoubles(values, count, line);
        markLineDirty(img, row, band);
    }
}

}  // namespace krel
