#include "analysis/fft_passes.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "analysis/simd.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "platform/files.h"

namespace krel {

namespace {

constexpr int64_t kChunkBytes = 4194304;  // 4 MiB of complex samples a chunk
// Below this exponent exp() underflows: the gain is taken as its limit.
constexpr double kExpFloor = -708.39;

void toPowerPhase(float *re, float *im, size_t count)
{
    for (size_t k = 0; k < count; ++k) {
        const double r = re[k], i = im[k];
        const double power = std::sqrt(r * r + i * i);
        re[k] = static_cast<float>(power);
        im[k] = power == 0 ? 0.0f : static_cast<float>(std::atan2(i, r));
    }
}

void fromPowerPhase(float *re, float *im, size_t count)
{
    for (size_t k = 0; k < count; ++k) {
        const double p = re[k], phase = im[k];
        re[k] = static_cast<float>(p * std::cos(phase));
        im[k] = static_cast<float>(p * std::sin(phase));
    }
}

}  // namespace

void FFTFilter::setAngle(double degrees)
{
    angle = degrees;
    const double t = degrees * M_PI / 180.0;
    cosA = std::cos(t);
    sinA = std::sin(t);
}

bool FFTFilter::parse(const char *text)
{
    char name[64] = {};
    float v[6] = {};
    if (!text) return false;
    const int fields = sscanf(text, "%63[A-z],%f,%f,%f,%f,%f,%f", name, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    const int numbers = fields - 1;
    if (strcasecmp(name, "bell") == 0 && (numbers == 2 || numbers == 3)) {
        kind = BELL;
    } else if (strcasecmp(name, "high") == 0 && (numbers == 3 || numbers == 4)) {
        kind = HIGH;
    } else if (strcasecmp(name, "notch") == 0 && (numbers == 5 || numbers == 6)) {
        kind = NOTCH;
    } else {
        return false;
    }
    // The shortest form of each filter has one radius; one number more gives two.
    const int shortest = kind == BELL ? 2 : kind == HIGH ? 3 : 5;
    int at = 0;
    rx = v[at++];
    ry = numbers > shortest ? v[at++] : rx;
    n = v[at++];
    amp = kind == BELL ? 1.0 : v[at++];
    if (kind == NOTCH) {
        x = v[at++];
        y = v[at++];
    }
    // A radius that is not positive would divide by zero.
    return rx > 0 && ry > 0 && std::isfinite(rx) && std::isfinite(ry);
}

double FFTFilter::gain(int column, int row, int rows, int columns, int axes) const
{
    const double cx = kind == NOTCH ? x : columns / 2, cy = kind == NOTCH ? y : rows / 2;
    const double dx = column - cx, dy = row - cy;
    double r2;
    if (axes == 1) {
        r2 = (dx / rx) * (dx / rx);
    } else if (axes == 2) {
        r2 = (dy / ry) * (dy / ry);
    } else {
        const double u = (cosA * dx + sinA * dy) / rx, v = (-sinA * dx + cosA * dy) / ry;
        r2 = u * u + v * v;
    }
    if (kind == NOTCH && r2 > 1) return 1.0;
    const double e = -std::pow(r2, n);
    if (kind == BELL) return e < kExpFloor ? 0.0 : std::exp(e);
    return e < kExpFloor ? 1.0 : 1.0 - amp * std::exp(e);
}

namespace {

int64_t gMemoryLimit = -1;  // -1: chosen from the machine's memory

int64_t memoryLimit()
{
    if (gMemoryLimit >= 0) return gMemoryLimit;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const int64_t quarter = pages > 0 && pageSize > 0 ? static_cast<int64_t>(pages) * pageSize / 4 : 0;
    return std::min<int64_t>(int64_t(1) << 30, quarter);
}

}  // namespace

void FFTPasses::setMemoryLimit(int64_t bytes) { gMemoryLimit = bytes; }

int FFTPasses::writeOut()
{
    if (!inMemory_) return 0;
    const platform::ChunkResult r = platform::writeChunked(fd_, samples_, static_cast<int64_t>(mapBytes_), 1024);
    if (r.stop != platform::ChunkStop::Complete) {
        conEprintf("write error in PutFFTFileBlock: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

FFTPasses::~FFTPasses()
{
    if (map_) munmap(map_, mapBytes_);
}

bool FFTPasses::prepare(int rowPasses, int columnPasses)
{
    const int rows = head_->rows, columns = head_->columns;
    lines_ = static_cast<int>(std::max<int64_t>(1, kChunkBytes / 8 / columns));
    lines_ = std::min(lines_, rows);
    int c = columns;
    while (c > 1 && static_cast<int64_t>(rows) * c * 8 > kChunkBytes) c /= 2;
    columnsChunk_ = c;
    const int64_t values = std::max(static_cast<int64_t>(lines_) * columns, static_cast<int64_t>(rows) * c);
    const size_t n = static_cast<size_t>(std::max(rows, columns)) * kFFTLanes;
    if (!rowPlan_.init(columns) || !columnPlan_.init(rows) || !chunk_.allocate(static_cast<size_t>(values) * 2) ||
        !lanes_[0].allocate(2 * n) || !lanes_[1].allocate(2 * n) || !line_.allocate(static_cast<size_t>(columns)))
        return false;
    units_ = static_cast<long>(rowPasses) * ((rows + lines_ - 1) / lines_) +
             static_cast<long>(columnPasses) * (columns / c);
    units_ = std::max(units_, 1L);
    const int64_t bytes = 1024 + static_cast<int64_t>(rows) * columns * 8;
    if (bytes - 1024 <= memoryLimit()) {
        // In memory: large pages where the system has them, which the
        // column pass's long strides need.
        void *m = mmap(nullptr, static_cast<size_t>(bytes - 1024), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (m != MAP_FAILED) {
            madvise(m, static_cast<size_t>(bytes - 1024), MADV_HUGEPAGE);
            inMemory_ = true;
            map_ = m;
            mapBytes_ = static_cast<size_t>(bytes - 1024);
            samples_ = static_cast<float *>(m);
            return true;
        }
    }
    // Blocks are reserved before the file is mapped: a store into a hole of
    // a full disk would end the process.
    if (static_cast<uint64_t>(bytes) <= SIZE_MAX && posix_fallocate(fd_, 0, static_cast<off_t>(bytes)) == 0) {
        void *m = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (m != MAP_FAILED) {
            map_ = m;
            mapBytes_ = static_cast<size_t>(bytes);
            samples_ = reinterpret_cast<float *>(static_cast<char *>(m) + 1024);
        }
    }
    return true;
}

bool FFTPasses::step()
{
    if (done_ > 0) meter_.step(done_ - 1, units_);
    ++done_;
    return checkRimageStatus() != 3;
}

namespace {

// Adds `count` lane-layout samples to the sums, sixteen at a time side by
// side so that the loop vectorises (extremes of floats are exact in floats).
KREL_VECTOR_CLONES
void addSums(const float *__restrict re, const float *__restrict im, size_t count, FFTStatSums *sums)
{
    constexpr int W = 16;
    float mxr[W], mnr[W], mxi[W], mni[W];
    double sr[W] = {}, si[W] = {}, sr2[W] = {}, si2[W] = {};
    for (int j = 0; j < W; ++j) {
        mxr[j] = mxi[j] = -HUGE_VALF;
        mnr[j] = mni[j] = HUGE_VALF;
    }
    size_t k = 0;
    for (; k + W <= count; k += W) {
        for (int j = 0; j < W; ++j) {
            const float r = re[k + j], i = im[k + j];
            mxr[j] = r > mxr[j] ? r : mxr[j];
            mnr[j] = r < mnr[j] ? r : mnr[j];
            mxi[j] = i > mxi[j] ? i : mxi[j];
            mni[j] = i < mni[j] ? i : mni[j];
            sr[j] += r;
            si[j] += i;
            sr2[j] += static_cast<double>(r) * r;
            si2[j] += static_cast<double>(i) * i;
        }
    }
    for (int j = 0; k < count; ++k, ++j) {
        const float r = re[k], i = im[k];
        mxr[j] = std::max(mxr[j], r);
        mnr[j] = std::min(mnr[j], r);
        mxi[j] = std::max(mxi[j], i);
        mni[j] = std::min(mni[j], i);
        sr[j] += r;
        si[j] += i;
        sr2[j] += static_cast<double>(r) * r;
        si2[j] += static_cast<double>(i) * i;
    }
    for (int j = 0; j < W; ++j) {
        sums->maxR = std::max<double>(sums->maxR, mxr[j]);
        sums->minR = std::min<double>(sums->minR, mnr[j]);
        sums->maxI = std::max<double>(sums->maxI, mxi[j]);
        sums->minI = std::min<double>(sums->minI, mni[j]);
        sums->sumR += sr[j];
        sums->sumI += si[j];
        sums->sumR2 += sr2[j];
        sums->sumI2 += si2[j];
    }
    sums->n += static_cast<double>(count);
}

}  // namespace

// Transforms the sequences of the block, a group of up to kFFTLanes at a
// time, half of the groups on the helper thread. Rows: sequence b is row b
// of the block. Columns: sequence b is column b, read from the last row up
// when a forward transform comes first and written back from the last row
// up when an inverse transform comes last. With `fold` the samples written
// are added to the header statistics.
void FFTPasses::runGroups(float *chunk, size_t stride, bool rows, int first, int count, const FFTPassSteps &steps)
{
    const int groups = (count + kFFTLanes - 1) / kFFTLanes;
    const FFTPlan &plan = rows ? rowPlan_ : columnPlan_;
    const int n = plan.size();
    const int Pr = head_->rows, Pc = head_->columns;
    const int last = steps.thenInverse ? -1 : steps.transform;
    const bool loadReversed = !rows && steps.transform > 0;
    const bool storeReversed = !rows && last < 0;
    // Power/phase samples that are only filtered keep their form: the gain
    // scales the power.
    const bool ppInPlace = steps.transform == 0 && steps.fromPP && steps.toPP;
    // A plain transform takes its input reordered and, going forward, with
    // the alternating signs of the shift, straight from the load.
    // (Columns only: the rows of a block lie a power of two apart, and the
    // scattered stores of a reordering row load would meet in one cache set.)
    const bool direct = !rows && steps.transform != 0 && !steps.fromPP && !steps.filter && !steps.thenInverse;
    const int *rev = plan.bitReversal();
    FFTStatSums sums[2];

    auto group = [&](int g, float *re, float *im, FFTStatSums *stats) {
        const int lanes = std::min(kFFTLanes, count - g * kFFTLanes);
        const int base = g * kFFTLanes;
        auto slot = [&](int e) { return static_cast<size_t>(direct ? rev[e] : e) * lanes; };
        const bool flip = direct && steps.transform > 0;
        if (rows) {
            // Blocks of 16 elements of every row: what one block writes
            // stays in the first-level cache.
            for (int e0 = 0; e0 < n; e0 += 16) {
                const int e1 = std::min(n, e0 + 16);
                for (int b = 0; b < lanes; ++b) {
                    const float *s = chunk + static_cast<size_t>(base + b) * stride;
                    for (int e = e0; e < e1; ++e) {
                        const float f = flip && (e & 1) ? -1.0f : 1.0f;
                        const size_t k = slot(e) + b;
                        re[k] = f * s[2 * e];
                        im[k] = f * s[2 * e + 1];
                    }
                }
            }
        } else {
            for (int e = 0; e < n; ++e) {
                const int row = loadReversed ? Pr - 1 - e : e;
                const float *s = chunk + static_cast<size_t>(row) * stride + 2 * static_cast<size_t>(base);
                const float f = flip && (e & 1) ? -1.0f : 1.0f;
                float *r = re + slot(e), *i = im + slot(e);
                for (int b = 0; b < lanes; ++b) {
                    r[b] = f * s[2 * b];
                    i[b] = f * s[2 * b + 1];
                }
            }
        }
        const size_t total = static_cast<size_t>(n) * lanes;
        if (direct) {
            plan.butterflies(re, im, lanes, steps.transform);
            if (steps.transform < 0) plan.alternate(re, im, lanes, 1.0f / static_cast<float>(n));
        } else {
            if (steps.fromPP && !ppInPlace) fromPowerPhase(re, im, total);
            if (steps.transform > 0) plan.forwardShifted(re, im, lanes);
            if (steps.transform < 0) plan.inverseShifted(re, im, lanes);
        }
        if (steps.filter) {
            for (int e = 0; e < n; ++e) {
                for (int b = 0; b < lanes; ++b) {
                    const int column = rows ? e : first + base + b;
                    const int row = rows ? first + base + b : e;
                    const double h = steps.filter->gain(column, row, Pr, Pc, steps.filterAxes);
                    const size_t k = static_cast<size_t>(e) * lanes + b;
                    if (ppInPlace) {
                        // A negative gain turns the phase half a circle.
                        re[k] = static_cast<float>(re[k] * std::fabs(h));
                        if (h < 0) im[k] = static_cast<float>(im[k] > 0 ? im[k] - M_PI : im[k] + M_PI);
                    } else {
                        re[k] = static_cast<float>(re[k] * h);
                        im[k] = static_cast<float>(im[k] * h);
                    }
                }
            }
        }
        if (steps.thenInverse) plan.inverseShifted(re, im, lanes);
        if (steps.toPP && !ppInPlace) toPowerPhase(re, im, total);
        if (steps.fold) addSums(re, im, total, stats);
        // Back into the block.
        if (rows) {
            for (int e0 = 0; e0 < n; e0 += 16) {
                const int e1 = std::min(n, e0 + 16);
                for (int b = 0; b < lanes; ++b) {
                    float *d = chunk + static_cast<size_t>(base + b) * stride;
                    for (int e = e0; e < e1; ++e) {
                        const size_t k = static_cast<size_t>(e) * lanes + b;
                        d[2 * e] = re[k];
                        d[2 * e + 1] = im[k];
                    }
                }
            }
        } else {
            for (int e = 0; e < n; ++e) {
                const int row = storeReversed ? Pr - 1 - e : e;
                float *d = chunk + static_cast<size_t>(row) * stride + 2 * static_cast<size_t>(base);
                const float *r = re + static_cast<size_t>(e) * lanes, *i = im + static_cast<size_t>(e) * lanes;
                for (int b = 0; b < lanes; ++b) {
                    d[2 * b] = r[b];
                    d[2 * b + 1] = i[b];
                }
            }
        }
    };
    const int half = (groups + 1) / 2;
    auto job = [&](int part) {
        float *re = lanes_[part].get();
        float *im = re + static_cast<size_t>(n) * kFFTLanes;
        const int from = part == 0 ? 0 : half, to = part == 0 ? half : groups;
        for (int g = from; g < to; ++g) group(g, re, im, &sums[part]);
    };
    if (groups > 1)
        helper_.run(job);
    else
        job(0);
    if (steps.fold) {
        sums[0].merge(sums[1]);
        foldFFTStats(head_, sums[0]);
    }
}

int FFTPasses::rowPass(const FFTImageSource &source, const FFTPassSteps &steps)
{
    return rowPassFrom(&source, nullptr, -1, steps);
}

int FFTPasses::rowPass(const FFTHeader &sourceHead, int sourceFd, const FFTPassSteps &steps)
{
    return rowPassFrom(nullptr, &sourceHead, sourceFd, steps);
}

int FFTPasses::rowPassFrom(const FFTImageSource *image, const FFTHeader *sourceHead, int sourceFd,
                           const FFTPassSteps &steps)
{
    const int Pr = head_->rows, Pc = head_->columns;
    const bool says = verbose_ && steps.transform != 0;
    if (says) conPrintf("FFT in Element Direction: total lines = %-ld\n", static_cast<long>(Pr));
    const bool transforms = steps.transform != 0 || steps.filter || steps.fromPP || steps.toPP;
    const bool inPlace = samples_ && !image && sourceFd == fd_;
    const bool held = inPlace || inMemory_;
    for (int first = 0; first < Pr; first += lines_) {
        if (!step()) return -1;
        const int count = std::min(lines_, Pr - first);
        // A pass in memory or over the mapped output in place works where the
        // samples lie; one from a source into a mapped file writes whole
        // rows, which fill the file's pages without clearing them first.
        float *chunk = held ? samples_ + static_cast<size_t>(first) * Pc * 2 : chunk_.get();
        if (says) conPrintf("Line # %-ld - %ld\n", static_cast<long>(first), static_cast<long>(first + count - 1));
        if (image) {
            RamImage *img = image->image;
            const int srcRows = img->def.rows, srcColumns = img->def.columns;
            float *line = line_.get();
            for (int i = 0; i < count; ++i) {
                const int row = (first + i) % srcRows;
                if (image->palette) {
                    uint8_t *bytes = reinterpret_cast<uint8_t *>(line) + 3 * static_cast<size_t>(srcColumns);
                    readLineBytes(img, row, 0, 0, srcColumns, 1, bytes);
                    const int top = std::max(img->def.nindices - 1, 0);
                    for (int x = 0; x < srcColumns; ++x)
                        line[x] = img->def.palette[std::min<int>(bytes[x], top)][image->band];
                } else {
                    readLineValues(img, row, image->band, 0, srcColumns, 1, line);
                }
                float *d = chunk + static_cast<size_t>(i) * Pc * 2;
                for (int x = 0; x < Pc; ++x) {
                    d[2 * x] = line[x % srcColumns];
                    d[2 * x + 1] = 0.0f;
                }
            }
        } else if (!inPlace && !GetFFTFileBlock(sourceHead, sourceFd, chunk, first, count)) {
            conEprintf("\n");
            return 0;
        }
        if (transforms) runGroups(chunk, static_cast<size_t>(Pc) * 2, true, first, count, steps);
        if (!transforms) {
            if (steps.fold)
                for (int i = 0; i < count; ++i) updateFFTStats(head_, Pc, chunk + static_cast<size_t>(i) * Pc * 2);
        }
        if (!held && PutFFTFileBlock(head_, fd_, chunk, first, count, 0) != 0) return 0;
    }
    return 1;
}

int FFTPasses::columnPass(const FFTPassSteps &steps)
{
    const int Pc = head_->columns;
    if (verbose_) conPrintf("FFT in Line Direction: total columns = %-ld\n", static_cast<long>(Pc));
    const int c = columnsChunk_;
    for (int first = 0; first < Pc; first += c) {
        if (!step()) return -1;
        if (verbose_) conPrintf("Column # %-ld - %ld\n", static_cast<long>(first), static_cast<long>(first + c - 1));
        if (samples_) {
            float *at = samples_ + 2 * static_cast<size_t>(first);
            runGroups(at, static_cast<size_t>(Pc) * 2, false, first, c, steps);
            continue;
        }
        float *chunk = chunk_.get();
        if (!GetFFTFileSeg(head_, fd_, chunk, first, c)) {
            conEprintf("\n");
            return 0;
        }
        runGroups(chunk, static_cast<size_t>(c) * 2, false, first, c, steps);
        if (PutFFTFileSeg(head_, fd_, chunk, first, c, 0) != 0) return 0;
    }
    return 1;
}

}  // namespace krel
