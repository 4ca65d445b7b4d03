#include "analysis/dist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/conio.h"
#include "core/texts.h"

namespace krel {

bool parseClassList(const char *text, uint8_t table[256])
{
    memset(table, 0, 256);
    const char *p = text;
    while (*p) {
        size_t skip = strspn(p, ", \t");
        p += skip;
        size_t len = strcspn(p, ", \t");
        if (len == 0) continue;
        char item[64] = {};
        memcpy(item, p, std::min(len, sizeof item - 1));
        p += len;
        int lo, hi;
        int got = len < sizeof item ? sscanf(item, "%d-%d", &lo, &hi) : 0;
        if (got < 1) {
            conEprintf("Error in parsing class definition.\n");
            return false;
        }
        if (got == 1) hi = lo;
        if (lo < 0 || lo > hi || hi >= 256) {
            conEprintf("%s", texts::kIlligalClass);
            return false;
        }
        for (int v = lo; v <= hi; ++v) table[v] = 1;
    }
    return true;
}

void distPalette(PaletteColour palette[256])
{
    for (int i = 0; i < 256; ++i) palette[i] = PaletteColour{static_cast<uint8_t>((256 - i) % 256), 0, 0};
}

void distUsage(const char *program)
{
    conPrintf("Usage: %s -in IN -out OUT -b BAND -c CLASS -blur BLUR\n", program);
    conPrintf("    where\n");
    conPrintf("    IN         the input file.\n");
    conPrintf("    OUT        the output file.\n");
    conPrintf("    BAND       the band number.\n");
    conPrintf("    CLASS      the class number(s) n1,n2,....\n");
    conPrintf("    BLUR       the gain of bluring.\n");
}

bool DistanceRows::init(int rows, int columns, const uint8_t table[256], double blur, Prng *random)
{
    rows_ = std::max(rows, 0);
    columns_ = std::max(columns, 0);
    blur_ = blur;
    random_ = random;
    memcpy(table_, table, 256);
    if (!vertical_.allocate(static_cast<size_t>(columns_) + 1)) {
        conEprintf("Error in malloc.\n");
        return false;
    }
    beginUp();
    return true;
}

// Before the first marked pixel of a column the vertical distance counts from
// a point beyond reach. Starting at the row count alone would, in an image of
// fewer than 256 rows, make that point look nearer than 255 and report a
// distance to a pixel that does not exist.
void DistanceRows::beginUp()
{
    std::fill(vertical_.get(), vertical_.get() + columns_, std::max<int64_t>(rows_, 256));
}

void DistanceRows::update(const uint8_t *classes)
{
    int64_t *v = vertical_.get();
    for (int j = 0; j < columns_; ++j) v[j] = table_[classes[j]] ? 0 : v[j] + 1;
}

void DistanceRows::rowStep(uint8_t *out)
{
    const int64_t *v = vertical_.get();
    for (int j = 0; j < columns_; ++j) {
        // The nearest marked pixel lies within the distance found so far, so
        // the scans stop as soon as the column offset alone exceeds it; that
        // distance is never above 255.
        int64_t d = std::min<int64_t>(v[j], out[j]);
        int64_t d2 = d * d;
        for (int k = j + 1; k < columns_ && int64_t(k - j) * (k - j) < d2; ++k)
            d2 = std::min(d2, int64_t(k - j) * (k - j) + v[k] * v[k]);
        for (int k = j - 1; k >= 0 && int64_t(j - k) * (j - k) < d2; --k)
            d2 = std::min(d2, int64_t(j - k) * (j - k) + v[k] * v[k]);
        double u = random_ ? random_->next() / 32767.0 : 0.0;
        double value = std::floor(std::sqrt(static_cast<double>(d2)) + 0.5 + u * blur_);
        out[j] = static_cast<uint8_t>(value >= 255.0 ? 255 : value > 0.0 ? value : 0);
    }
}

void DistanceRows::downRow(const uint8_t *classes, uint8_t *out)
{
    update(classes);
    memset(out, 255, static_cast<size_t>(columns_));
    rowStep(out);
}

void DistanceRows::upRow(const uint8_t *classes, uint8_t *out)
{
    update(classes);
    rowStep(out);
}

}  // namespace krel
