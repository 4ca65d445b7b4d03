// Per-band statistics of RAM images.
#include <cmath>
#include <cstring>
#include <limits>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/ramimage.h"
#include "platform/files.h"

namespace krel {

namespace {

int binsFor(int pixel)
{
    switch (pixel) {
    case PIX_1BIT: return 2;
    case PIX_4BITS: return 16;
    case PIX_BYTE: return 256;
    default: return 0;
    }
}

void resetOne(BandStats &s)
{
    s.sum = s.sumSq = s.count = s.mean = s.stdDev = 0.0;
    s.min = std::numeric_limits<double>::infinity();
    // -infinity rather than the smallest positive double: a band of negative
    // values must report its true maximum.
    s.max = -std::numeric_limits<double>::infinity();
    s.done = 0;
    if (s.bins) memset(s.bins, 0, sizeof(uint32_t) * static_cast<size_t>(s.nbins));
}

bool allocateStats(RamImage *img)
{
    if (img->bandStats) return true;
    const int nb = img->def.nbands;
    auto *stats = static_cast<BandStats *>(gmemAlloc(static_cast<uint32_t>(sizeof(BandStats) * nb)));
    if (!stats) return false;
    memset(stats, 0, sizeof(BandStats) * nb);
    const int nbins = binsFor(img->def.pixel);
    for (int b = 0; b < nb; ++b) {
        stats[b].nbins = nbins;
        if (nbins) {
            stats[b].bins = static_cast<uint32_t *>(gmemAlloc(sizeof(uint32_t) * nbins));
            if (!stats[b].bins) {
                for (int k = 0; k < b; ++k) gmemFree(stats[k].bins);
                gmemFree(stats);
                return false;
            }
        }
        resetOne(stats[b]);
    }
    img->bandStats = stats;
    return true;
}

void accumulate(RamImage *img, BandStats &s, const uint8_t *line, int columnStep)
{
    const int pixel = img->def.pixel, msbf = img->def.msbf;
    for (int64_t c = 0; c < img->def.columns; c += columnStep) {
        double v = lineValue(line, pixel, msbf, c);
        s.sum += v;
        s.sumSq += v * v;
        s.count += 1.0;
        if (v < s.min) s.min = v;
        if (v > s.max) s.max = v;
        if (s.nbins) {
            int bin = static_cast<int>(v);
            if (bin >= 0 && bin < s.nbins) ++s.bins[bin];
        }
    }
}

void finish(BandStats &s)
{
    if (s.count > 0) {
        s.mean = s.sum / s.count;
        s.stdDev = std::sqrt(std::max(0.0, s.sumSq / s.count - s.mean * s.mean));
    }
    s.done = 1;
}

int readFFTStats(RamImage *img)
{
    FFTHeader head;
    if (platform::readAt(img->fileHandle, &head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return -1;
    struct Part {
        double mean, sd, min, max;
    } parts[2] = {{head.meanReal, head.sqReal, head.minReal, head.maxReal},
                  {head.meanImag, head.sqImag, head.minImag, head.maxImag}};
    for (int b = 0; b < 2 && b < img->def.nbands; ++b) {
        BandStats &s = img->bandStats[b];
        resetOne(s);
        s.count = head.count;
        s.sum = parts[b].mean * head.count;
        s.sumSq = (parts[b].sd * parts[b].sd + parts[b].mean * parts[b].mean) * head.count;
        s.mean = parts[b].mean;
        s.stdDev = parts[b].sd;
        s.min = parts[b].min;
        s.max = parts[b].max;
        s.done = 1;
    }
    return 0;
}

}  // namespace

void discardBandStats(RamImage *img)
{
    if (img == nullptr || img->bandStats == nullptr) return;
    for (int b = 0; b < img->def.nbands; ++b) gmemFree(img->bandStats[b].bins);
    gmemFree(img->bandStats);
    img->bandStats = nullptr;
}

void resetBandStats(RamImage *img)
{
    if (img == nullptr || img->bandStats == nullptr) return;
    for (int b = 0; b < img->def.nbands; ++b) resetOne(img->bandStats[b]);
}

int computeBandStats(RamImage *img, int mode, int columnStep, int rowStep)
{
    if (img == nullptr) return -1;
    if (columnStep < 1) columnStep = 1;
    if (rowStep < 1) rowStep = 1;
    const int nb = img->def.nbands, rows = img->def.rows;
    if (mode == STATS_RECOMPUTE) discardBandStats(img);
    if (!allocateStats(img)) {
        conEprintf("Error of malloc in computeBandStats.\n");
        return -1;
    }
    if (mode == STATS_REUSE) {
        bool all = true;
        for (int b = 0; b < nb; ++b) all = all && img->bandStats[b].done;
        if (all) return 0;
    }
    for (int b = 0; b < nb; ++b) resetOne(img->bandStats[b]);
    if (img->def.imgid == IMG_FFT && img->fileHandle >= 0) return readFFTStats(img);
    // Walk in file order: band by band for band-sequential files.
    const bool bandFirst = img->def.imgid == IMG_BSQ || img->def.imgid == IMG_E74BSQ;
    if (bandFirst) {
        for (int b = 0; b < nb; ++b)
            for (int r = 0; r < rows; r += rowStep)
                if (const uint8_t *line = getLine(img, r, b, 1)) accumulate(img, img->bandStats[b], line, columnStep);
    } else {
        for (int r = 0; r < rows; r += rowStep)
            for (int b = 0; b < nb; ++b)
                if (const uint8_t *line = getLine(img, r, b, 1)) accumulate(img, img->bandStats[b], line, columnStep);
    }
    for (int b = 0; b < nb; ++b) finish(img->bandStats[b]);
    return 0;
}

}  // namespace krel
