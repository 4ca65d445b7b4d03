// Distance images (`dist`): for every pixel the distance in pixels to the
// nearest pixel of a set of classes, rounded, optionally blurred, at most 255.
// Two passes over the rows; the module reads each class row (and, upwards,
// the output row written on the way down) and writes the output row:
//
//   DistanceRows d;  d.init(R, C, table, blur, &prng);
//   for r = 0..R-1:   read class row r;  d.downRow(cls, out);  write out to row r
//   d.beginUp();
//   for r = R-1..0:   read class row r and output row r;  d.upRow(cls, out);  write out to row r
#pragma once

#include <cstdint>

#include "analysis/buffer.h"
#include "analysis/classify.h"
#include "core/prng.h"

namespace krel {

// -c: items separated by commas or blanks, each "lo-hi" or one value, with
// 0 <= lo <= hi <= 255, marked in `table`. False after
// "Error in parsing class definition.\n" or "Illigal class definition.\n".
bool parseClassList(const char *text, uint8_t table[256]);

// Palette of a new distance image: entry i has red (256 - i) mod 256.
void distPalette(PaletteColour palette[256]);

void distUsage(const char *program);

class DistanceRows {
public:
    // False after "Error in malloc.\n".
    bool init(int rows, int columns, const uint8_t table[256], double blur, Prng *random);
    void downRow(const uint8_t *classes, uint8_t *out);
    void beginUp();
    void upRow(const uint8_t *classes, uint8_t *out);

private:
    void update(const uint8_t *classes);
    void rowStep(uint8_t *out);

    int rows_ = 0, columns_ = 0;
    double blur_ = 0.0;
    Prng *random_ = nullptr;
    uint8_t table_[256] = {};
    GmemArray<int64_t> vertical_;  // distance to the nearest marked pixel in the column, above or below
};

}  // namespace krel
