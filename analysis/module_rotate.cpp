// rotate: quarter turns to the left or right and flips of an image into
// another. Stored values move unchanged (a LONG keeps every bit) when both
// images have the same pixel type.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "analysis/buffer.h"
#include "analysis/modules.h"
#include "analysis/rotate.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/modargs.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"

namespace krel {

int rotateDirection(const char *word)
{
    static const char *const kWords[] = {"LEFT", "RIGHT", "XFLIP", "YFLIP", "XYFLIP"};
    for (int i = 0; i < 5; ++i)
        if (strcmp(word, kWords[i]) == 0) return i;
    return -1;
}

long rotateSegmentColumns(long rows, long bands, long size)
{
    const long column = std::max(1L, rows * bands * size);
    return std::max(1L, static_cast<long>(kRotateSegmentBytes / static_cast<size_t>(column)));
}

namespace {

template <int N>
void scatter(const uint8_t *src, long count, long at, long stride, uint8_t *dst)
{
    for (long c = 0; c < count; ++c) memcpy(dst + (c * stride + at) * N, src + c * N, N);
}

}  // namespace

void scatterSegmentRow(const uint8_t *src, long count, int size, long r, long rows, bool right, uint8_t *dst)
{
    const long at = right ? rows - 1 - r : r;
    switch (size) {
    case 1: scatter<1>(src, count, at, rows, dst); break;
    case 2: scatter<2>(src, count, at, rows, dst); break;
    case 4: scatter<4>(src, count, at, rows, dst); break;
    default: scatter<8>(src, count, at, rows, dst); break;
    }
}

void reverseSamples(uint8_t *row, long count, int size)
{
    uint8_t tmp[8];
    for (long i = 0, j = count - 1; i < j; ++i, --j) {
        memcpy(tmp, row + i * size, size);
        memcpy(row + i * size, row + j * size, size);
        memcpy(row + j * size, tmp, size);
    }
}

namespace {

void rotateUsage(const char *prog)
{
    static const char *const lines[] = {
        "    where\n",
        "    IN      the input image ID;\n",
        "    OUT     the output image ID;\n",
        "    DIR     the direction of rotation:\n",
        "            LEFT:    rotation left;\n",
        "            RIGHT:   rotation right;\n",
        "            XFLIP:   x flipping;\n",
        "            YFLIP:   y flipping;\n",
        "            XYFLIP:  x and y flipping.\n",
    };
    printModuleUsage(prog, "Usage: %s -in IN -out OUT -dir DIR\n", lines);
}

// How samples travel: as stored (same pixel type, whole bytes), as unpacked
// bytes (1 and 4 bits), or converted through doubles.
enum Transfer { MOVE_STORED, MOVE_BYTES, MOVE_DOUBLES };

struct Mover {
    RamImage *in, *out;
    Transfer how;
    int size;  // bytes of one sample in the work buffers

    Mover(RamImage *i, RamImage *o) : in(i), out(o)
    {
        if (i->def.pixel == o->def.pixel && i->def.bits >= 8) {
            how = MOVE_STORED;
            size = static_cast<int>(lineBytesFor(i->def.pixel, 1));
        } else if (i->def.bits < 8 && o->def.bits <= 8) {
            how = MOVE_BYTES;
            size = 1;
        } else {
            how = MOVE_DOUBLES;
            size = 8;
        }
    }
    // Columns first..first+count-1 of an input band line into `dst`; a
    // pointer into the cache when the stored line can be used in place.
    const uint8_t *read(int row, int band, int first, int count, uint8_t *dst) const
    {
        switch (how) {
        case MOVE_STORED:
            if (const uint8_t *line = getLine(in, row, band, 1)) return line + static_cast<size_t>(first) * size;
            memset(dst, 0, static_cast<size_t>(count) * size);
            return dst;
        case MOVE_BYTES: readLineBytes(in, row, band, first, count, 1, dst); return dst;
        default: readLineDoubles(in, row, band, first, count, 1, reinterpret_cast<double *>(dst)); return dst;
        }
    }
    void write(int row, int band, int count, const uint8_t *values) const
    {
        switch (how) {
        case MOVE_STORED: putLineStored(out, row, 0, count, band, size, values); break;
        case MOVE_BYTES: putByteLine(out, row, 0, count, band, values); break;
        default: putDoubleLine(out, row, 0, count, band, reinterpret_cast<const double *>(values)); break;
        }
    }
};

bool cancelled()
{
    if (checkRimageStatus() != STATUS_ABORT) return false;
    conEprintf("rimage rotate canceled...\n");
    return true;
}

void turn(const Mover &m, bool right, long rows, long cols, int bands)
{
    conPrintf(right ? "Rotating image in right direction...\n" : "Rotating image in left direction...\n");
    const long seg = std::min(cols, rotateSegmentColumns(rows, bands, m.size));
    const size_t bytes = static_cast<size_t>(seg) * rows * bands * m.size;
    GmemArray<uint8_t> buffer, scratch;
    if (!buffer.allocate(bytes)) {
        conEprintf("Error in malloc: %ld\n", static_cast<long>(bytes));
        return;
    }
    if (!scratch.allocate(static_cast<size_t>(seg) * m.size)) {
        conEprintf(m.size == 8 ? "malloc error in rotateFloatRAMImageSeg.\n" : "malloc error in rotateByteRAMImageSeg.\n");
        return;
    }
    const long segments = (cols + seg - 1) / seg;
    MeterProgress meter{"rotate", 0.0f};
    long done = 0;
    for (long s = 0; s < segments; ++s) {
        if (cancelled()) break;
        // Right turns go from the first column rightwards, left turns from the last segment leftwards.
        const long first = right ? s * seg : std::max(0L, cols - (s + 1) * seg);
        const long n = right ? std::min(seg, cols - first) : cols - s * seg - first;
        for (long r = 0; r < rows; ++r)
            for (int b = 0; b < bands; ++b) {
                const uint8_t *src = m.read(static_cast<int>(r), b, static_cast<int>(first), static_cast<int>(n),
                                            scratch.get());
                scatterSegmentRow(src, n, m.size, r, rows, right,
                                  buffer.get() + static_cast<size_t>(b) * n * rows * m.size);
            }
        for (int b = 0; b < bands; ++b)
            for (long c = 0; c < n; ++c) {
                const long outRow = right ? first + c : cols - 1 - (first + c);
                m.write(static_cast<int>(outRow), b, static_cast<int>(rows),
                        buffer.get() + (static_cast<size_t>(b) * n + c) * rows * m.size);
            }
        done += n;
        conPrintf("StartColumns: %ld Total columns: %ld\n", first, done);
        conPrintf("%3ld percent done\n", done * 100 / cols);
        meter.step(s, segments);
    }
    meter.finish();
}

void flip(const Mover &m, int dir, long rows, long cols, int bands)
{
    GmemArray<uint8_t> row;
    if (!row.allocate(static_cast<size_t>(cols) * m.size)) {
        conEprintf("Error in malloc: %ld\n", static_cast<long>(cols * m.size));
        return;
    }
    MeterProgress meter{"rotate", 0.0f};
    for (long k = 0; k < rows; ++k) {
        if (cancelled()) break;
        const long from = dir == ROTATE_XFLIP ? k : rows - 1 - k;
        for (int b = 0; b < bands; ++b) {
            const uint8_t *src = m.read(static_cast<int>(from), b, 0, static_cast<int>(cols), row.get());
            if (src != row.get()) memcpy(row.get(), src, static_cast<size_t>(cols) * m.size);
            if (dir != ROTATE_YFLIP) reverseSamples(row.get(), cols, m.size);
            m.write(static_cast<int>(k), b, static_cast<int>(cols), row.get());
        }
        meter.step(k, rows);
    }
    meter.finish();
}

}  // namespace

int rotateModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-dir", nullptr}, {"-in", nullptr}, {"-out", nullptr}, {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, rotateUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const int dir = opt("-dir") ? rotateDirection(opt("-dir")) : ROTATE_LEFT;
    if (dir < 0) {
        conEprintf("Unknown rotate direction.\n");
        return MODULE_FAILED;
    }
    const char *inName = opt("-in"), *outName = opt("-out");
    if (!inName) {
        conEprintf("Input image is missing!\n");
        return MODULE_FAILED;
    }
    if (!outName) {
        conEprintf("Output image is missing!\n");
        return MODULE_FAILED;
    }
    ModuleImage in(openModuleInput(inName, "Error in open %s.\n"));
    if (!in) return MODULE_FAILED;
    const bool quarter = dir == ROTATE_LEFT || dir == ROTATE_RIGHT;
    // A new output is turned for quarter turns.
    auto change = [quarter](ImageDef &def) {
        if (quarter) std::swap(def.rows, def.columns);
        fileOutputDef(def);
        return true;
    };
    ModuleImage out(
        openModuleOutput(outName, in->def, change, OutputPalette::Input, "Error in open %s.\n", "Error in create %s.\n"));
    if (!out) return MODULE_FAILED;
    // Only a horizontal flip reads each row before writing it; the other
    // directions would read pixels already overwritten.
    if (in.get() == out.get() && dir != ROTATE_XFLIP) {
        conEprintf("Error: the output is the input image; rotate into another image.\n");
        return MODULE_FAILED;
    }
    const ImageDef &id = in->def, &od = out->def;
    const int bands = std::min(id.nbands, od.nbands);
    const long rows = std::min(id.rows, quarter ? od.columns : od.rows);
    const long cols = std::min(id.columns, quarter ? od.rows : od.columns);
    const Mover mover(in.get(), out.get());
    if (rows > 0 && cols > 0 && bands > 0) {
        if (quarter)
            turn(mover, dir == ROTATE_RIGHT, rows, cols, bands);
        else
            flip(mover, dir, rows, cols, bands);
    }
    meterReset();
    in.release();
    std::vector<int> written;
    for (int b = 0; b < bands; ++b) written.push_back(b);
    applyUpdateFlag(out.get(), 1, written);
    return MODULE_DONE;
}

}  // namespace krel
