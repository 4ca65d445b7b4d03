// See reader.h. Huge images declared by tiny files are legal when the reader
// fills the missing part: their lines are sampled (first rows, last rows and
// a stride between) so that one input never takes seconds.
#include "reader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "image/formats/formats.h"
#include "image/registry.h"
#include "platform/files.h"

namespace krel::fuzz {

namespace {

constexpr int64_t kLineBudget = 1 << 12;  // band lines read per volume
constexpr int kVolumeBudget = 16;
constexpr int kBandBudget = 256;  // band lines read per row

// Touches every byte of a line so that a line handed out shorter than
// lineBytes shows up under AddressSanitizer.
unsigned touch(const uint8_t *line, int bytes)
{
    unsigned sum = 0;
    for (int i = 0; i < bytes; ++i) sum += line[i];
    return sum;
}

// Every band of the row, or, past kBandBudget bands, the first and last
// bands and evenly spaced ones between: a header may claim millions of bands.
unsigned readRow(RamImage *img, int64_t r)
{
    unsigned sum = 0;
    const int bands = img->def.nbands;
    const int step = bands <= kBandBudget ? 1 : bands / kBandBudget;
    for (int b = 0; b < bands; b += (b < 8 || b >= bands - 8) ? 1 : step)
        if (const uint8_t *line = getLine(img, static_cast<int>(r), b, 1)) sum += touch(line, img->lineBytes);
    return sum;
}

// Every row when the image is small; else the first and last 64 rows and
// evenly spaced rows between, about kLineBudget band lines in all. The walk
// costs the rows it reads, never the rows a header declares.
unsigned readLines(RamImage *img)
{
    const ImageDef &d = img->def;
    const int64_t rows = d.rows;
    const int64_t lines = rows * d.nbands;
    unsigned sum = 0;
    if (lines <= kLineBudget) {
        for (int64_t r = 0; r < rows; ++r) sum += readRow(img, r);
        return sum;
    }
    const int64_t sampled = std::max<int64_t>(1, kLineBudget / d.nbands);
    const int64_t step = std::max<int64_t>(1, rows / sampled);
    for (int64_t r = 0; r < std::min<int64_t>(64, rows); ++r) sum += readRow(img, r);
    for (int64_t r = 64; r < rows - 64; r += step) sum += readRow(img, r);
    for (int64_t r = std::max<int64_t>(64, rows - 64); r < rows; ++r) sum += readRow(img, r);
    return sum;
}

}  // namespace

TempFile::TempFile(const char *suffix)
{
    const char *dir = getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/krel-fuzz-" + std::to_string(getpid()) + "." + suffix;
}

TempFile::~TempFile() { unlink(path.c_str()); }

int readImage(const uint8_t *data, size_t size, const char *suffix)
{
    static const TempFile file(suffix);
    const std::string &path = file.path;
    {
        platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
        if (!fd || platform::writeAt(fd.get(), data, size, 0) != static_cast<ssize_t>(size)) return 0;
    }
    int err = 0;
    RamImage *img = getImage("", path.c_str(), nullptr, nullptr, &err);
    if (img == nullptr) return 0;
    volatile unsigned sum = readLines(img);
    int previous = img->curVolume;
    for (int v = 0; v < kVolumeBudget; ++v) {
        int got = selectVolume(img, 0);
        if (got < 0 || got == previous) break;
        previous = got;
        sum = sum + readLines(img);
    }
    // Back to the first volume and on to the last: the rewinding seeks.
    if (selectVolume(img, 1) > 0) sum = sum + readLines(img);
    if (selectVolume(img, -1) > 0) sum = sum + readLines(img);
    // One pixel written back: the writers of the format run on what the
    // reader made of the file.
    if (img->fileHandle >= 0 && static_cast<int64_t>(img->def.rows) * img->def.nbands <= kLineBudget) {
        const float one = 1.0f;
        putFloatLine(img, 0, 0, 1, 0, &one);
        flushImage(img);
    }
    releaseImage(img, nullptr);
    return 0;
}

bool putInput(const TempFile &file, const uint8_t *data, size_t size)
{
    platform::FileDesc fd = platform::openFile(file.path.c_str(), platform::OpenMode::CreateTruncate);
    return fd && platform::writeAt(fd.get(), data, size, 0) == static_cast<ssize_t>(size);
}

void writeOwnSeeds(void (*write)(const std::string &dir))
{
    if (const char *dir = getenv("KREL_FUZZ_SEEDS")) {
        write(dir);
        exit(0);
    }
}

}  // namespace krel::fuzz
