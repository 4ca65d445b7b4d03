// Streams every line of every band of an image file through getLine and
// reports the bandwidth and the process's peak memory.
//
//   bench_getline make FILE BANDS COLUMNS ROWS   writes an E74 (BIL) BYTE file
//   bench_getline read FILE                      streams it, row by row, bands inside
//   bench_getline memory ROWS COLUMNS BANDS      walks a memory resident image
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <vector>

#include "image/formats/formats.h"
#include "image/registry.h"
#include "platform/files.h"

using namespace krel;

namespace {

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long peakKiB()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int make(const char *path, int bands, int columns, int rows)
{
    ImageDef def = defaultImageDef();
    snprintf(def.file, sizeof def.file, "%s", path);
    def.nbands = bands;
    def.columns = columns;
    def.rows = rows;
    platform::FileDesc fd = platform::openFile(path, platform::OpenMode::CreateTruncate);
    if (!fd || writeHeader(fd.get(), 0, &def) != 128) return 1;
    std::vector<uint8_t> chunk(static_cast<size_t>(columns) * bands * 64);
    int64_t at = 128;
    for (int r = 0; r < rows; r += 64) {
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 31 + r);
        int n = rows - r < 64 ? rows - r : 64;
        size_t bytes = static_cast<size_t>(columns) * bands * n;
        if (platform::writeAt(fd.get(), chunk.data(), bytes, at) != static_cast<ssize_t>(bytes)) return 1;
        at += static_cast<int64_t>(bytes);
    }
    return 0;
}

int streamFile(const char *path)
{
    int err;
    auto start = std::chrono::steady_clock::now();
    RamImage *img = getImage("", path, nullptr, nullptr, &err);
    if (!img) {
        fprintf(stderr, "cannot open %s: %s\n", path, errorText(err));
        return 1;
    }
    uint64_t sum = 0;
    const int rows = img->def.rows, bands = img->def.nbands, bytes = img->lineBytes;
    for (int r = 0; r < rows; ++r)
        for (int b = 0; b < bands; ++b) {
            const uint8_t *line = getLine(img, r, b, 1);
            if (!line) return 1;
            sum += line[0] + line[bytes - 1];  // touch the line
        }
    double t = seconds(start);
    double mib = static_cast<double>(bytes) * rows * bands / (1 << 20);
    printf("getline %.1f MiB in %.3f s: %.1f MiB/s, peak RSS %ld KiB, cache %d lines x %d bands (check %llu)\n", mib,
           t, mib / t, peakKiB(), img->cachedLines, bands, static_cast<unsigned long long>(sum));
    releaseImage(img, nullptr);
    return 0;
}

int walkMemory(int rows, int columns, int bands)
{
    ImageDef def = defaultImageDef();
    def.imgid = IMG_MBIL;
    def.rows = rows;
    def.columns = columns;
    def.nbands = bands;
    int err;
    RamImage *img = createImage(&def, nullptr, &err);
    if (!img) return 1;
    auto start = std::chrono::steady_clock::now();
    uint64_t sum = 0;
    const uint8_t *base = getLine(img, 0, 0, 1);
    bool identity = true;
    for (int pass = 0; pass < 10; ++pass)
        for (int r = 0; r < rows; ++r)
            for (int b = 0; b < bands; ++b) {
                const uint8_t *line = getLine(img, r, b, 1);
                identity = identity && line == base + (static_cast<int64_t>(r) * bands + b) * columns;
                sum += line[0];
            }
    double t = seconds(start);
    printf("memory %d line lookups in %.4f s (%.1f ns each), lines in place: %s (check %llu)\n", rows * bands * 10, t,
           t * 1e9 / (rows * bands * 10.0), identity ? "yes" : "NO", static_cast<unsigned long long>(sum));
    destroyImage(img);
    return identity ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 6 && strcmp(argv[1], "make") == 0) return make(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    if (argc == 3 && strcmp(argv[1], "read") == 0) return streamFile(argv[2]);
    if (argc == 5 && strcmp(argv[1], "memory") == 0) return walkMemory(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr, "usage: %s make FILE BANDS COLUMNS ROWS | read FILE | memory ROWS COLUMNS BANDS\n", argv[0]);
    return 2;
}
