// The Fourier transform against FFTW, measured in the same run.
//
//   bench_fft make FILE N    writes an N x N BYTE band as an ERDAS 7.4 file
//   bench_fft kernel N       the in-memory 2-D transform of an N x N complex
//                            block: the package's kernel (both passes over a
//                            block in memory, as the modules run them) against
//                            FFTW's in-place 2-D plans, single precision, one
//                            thread, FFTW_ESTIMATE and FFTW_MEASURE (planning
//                            timed apart, excluded from the execution time)
//
// bench/fft_vs_numpy.sh runs both and puts `calc makefft` against numpy.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fftw3.h>
#include <string>
#include <vector>

#include "analysis/fft_passes.h"
#include "image/formats/formats.h"

using namespace krel;

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A deterministic band: the shared generator's recurrence.
uint8_t nextValue(uint32_t *state)
{
    *state = *state * 22695477u + 1u;
    return static_cast<uint8_t>((*state >> 16) & 0xFF);
}

int makeBand(const char *path, int n)
{
    unsigned char head[128] = {};
    memcpy(head, "HEAD74", 6);
    const int16_t pack = 0, bands = 1;
    const int32_t size = n;
    memcpy(head + 6, &pack, 2);
    memcpy(head + 8, &bands, 2);
    memcpy(head + 16, &size, 4);
    memcpy(head + 20, &size, 4);
    FILE *f = fopen(path, "wb");
    if (!f) return 1;
    fwrite(head, 1, sizeof head, f);
    std::vector<uint8_t> row(static_cast<size_t>(n));
    uint32_t state = 1;
    for (int r = 0; r < n; ++r) {
        for (auto &v : row) v = nextValue(&state);
        fwrite(row.data(), 1, row.size(), f);
    }
    return fclose(f) == 0 ? 0 : 1;
}

void fillBand(float *z, int n)
{
    uint32_t state = 1;
    for (size_t k = 0; k < static_cast<size_t>(n) * n; ++k) {
        z[2 * k] = nextValue(&state);
        z[2 * k + 1] = 0.0f;
    }
}

template <class F>
double best(int runs, F &&f)
{
    double t = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t0 = now();
        f();
        t = std::min(t, now() - t0);
    }
    return t;
}

int kernel(int n)
{
    // The package's kernel: the two passes of the modules over a block held
    // in memory (an anonymous file, mapped as the modules map a large output).
    const int64_t bytes = 1024 + static_cast<int64_t>(n) * n * 8;
    int fd = memfd_create("fft-bench", 0);
    if (fd < 0 || ftruncate(fd, bytes) != 0) return 1;
    FFTHeader head;
    initFFTHeader(&head, "bench", 1, n, n, FFT_SFRI);
    if (pwrite(fd, &head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return 1;
    auto *file = static_cast<char *>(mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (file == MAP_FAILED) return 1;
    float *block = reinterpret_cast<float *>(file + 1024);
    double tKrel = 1e30;
    FFTPasses::setMemoryLimit(0);  // work in the mapping of the block itself
    for (int i = 0; i < 3; ++i) {
        fillBand(block, n);
        FFTPasses passes(&head, fd, "bench", false);
        if (!passes.prepare(1, 1)) return 1;
        FFTPassSteps rows, columns;
        rows.transform = columns.transform = 1;
        const double t0 = now();
        passes.rowPass(head, fd, rows);
        passes.columnPass(columns);
        tKrel = std::min(tKrel, now() - t0);
    }
    munmap(file, static_cast<size_t>(bytes));
    close(fd);

    auto *z = static_cast<fftwf_complex *>(fftwf_malloc(sizeof(fftwf_complex) * n * n));
    double t0 = now();
    fftwf_plan estimate = fftwf_plan_dft_2d(n, n, z, z, FFTW_FORWARD, FFTW_ESTIMATE);
    const double planEstimate = now() - t0;
    const double tEstimate = best(3, [&] {
        fillBand(reinterpret_cast<float *>(z), n);
        fftwf_execute(estimate);
    });
    t0 = now();
    fftwf_plan measure = fftwf_plan_dft_2d(n, n, z, z, FFTW_FORWARD, FFTW_MEASURE);
    const double planMeasure = now() - t0;
    // The fill is timed apart and taken off: it is not part of the transform.
    const double tFill = best(3, [&] { fillBand(reinterpret_cast<float *>(z), n); });
    const double tMeasure = best(3, [&] {
        fillBand(reinterpret_cast<float *>(z), n);
        fftwf_execute(measure);
    }) - tFill;
    const double tEstimateNet = tEstimate - tFill;
    fftwf_destroy_plan(estimate);
    fftwf_destroy_plan(measure);
    fftwf_free(z);

    printf("peer: FFTW %s, fftwf_plan_dft_2d %d x %d, in place, single precision, one thread, no wisdom\n",
           fftwf_version, n, n);
    printf("  FFTW_ESTIMATE: plan %.3f s, execute %.3f s\n", planEstimate, tEstimateNet);
    printf("  FFTW_MEASURE:  plan %.3f s, execute %.3f s\n", planMeasure, tMeasure);
    printf("  krel kernel (rows then columns, two threads): %.3f s\n", tKrel);
    printf("  ratio krel/FFTW_MEASURE execute: %.2f (required <= 2.00)\n", tKrel / tMeasure);
    printf("FFTW_ESTIMATE_SECONDS %.3f\n", tEstimateNet);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "make") == 0) return makeBand(argv[2], atoi(argv[3]));
    if (argc == 3 && strcmp(argv[1], "kernel") == 0) return kernel(atoi(argv[2]));
    fprintf(stderr, "usage: %s make FILE N | kernel N\n", argv[0]);
    return 2;
}
