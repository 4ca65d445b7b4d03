// Quarter turns and flips of `rimage rotate`. Samples move as stored; the
// quarter turns take the input in segments of columns.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krel {

enum RotateDirection { ROTATE_LEFT, ROTATE_RIGHT, ROTATE_XFLIP, ROTATE_YFLIP, ROTATE_XYFLIP };

// The direction of a -dir word (exact upper case), or -1.
int rotateDirection(const char *word);

// The bytes a segment of columns may take, and the columns per segment for
// `rows` rows, `bands` bands and `size` bytes a sample (at least one).
constexpr size_t kRotateSegmentBytes = 4194304;
long rotateSegmentColumns(long rows, long bands, long size);

// Places row `r` (of `rows`) of one band of a segment (`count` samples of
// `size` bytes from `src`) into the segment buffer `dst`, which holds the
// segment's columns as output rows of `rows` samples: for a right turn
// sample c goes to row c, position rows - 1 - r; for a left turn to row c,
// position r.
void scatterSegmentRow(const uint8_t *src, long count, int size, long r, long rows, bool right, uint8_t *dst);

// Reverses `count` samples of `size` bytes in place.
void reverseSamples(uint8_t *row, long count, int size);

}  // namespace krel
