#include "image/module_util.h"

#include <algorithm>
#include <cstring>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/registry.h"

namespace krel {

RamImage *openModuleInput(const char *name, const char *errorFormat)
{
    int error = IMGERR_OK;
    RamImage *img = getImage(name, name, nullptr, nullptr, &error);
    if (!img) {
        conEprintf(errorFormat, name);
        if (*errorText(error)) conEprintf("%s\n", errorText(error));
    }
    return img;
}

template <class T>
static bool readTyped(RamImage *img, int row, int band, int first, int count, int step, T *out, bool clampByte)
{
    const uint8_t *line = getLine(img, row, band, 1);
    if (!line) {
        // A line that cannot be had reads as zeros: callers write what they
        // read, and must never pass on what the buffer held before.
        std::fill(out, out + std::max(count, 0), T{});
        return false;
    }
    const ImageDef &d = img->def;
    for (int k = 0; k < count; ++k) {
        long c = first + static_cast<long>(k) * step;
        double v = lineValue(line, d.pixel, d.msbf, c);
        if (clampByte) v = std::clamp(v, 0.0, 255.0);
        out[k] = static_cast<T>(v);
    }
    return true;
}

bool readLineValues(RamImage *img, int row, int band, int first, int count, int step, float *out)
{
    return readTyped(img, row, band, first, count, step, out, false);
}

bool readLineDoubles(RamImage *img, int row, int band, int first, int count, int step, double *out)
{
    return readTyped(img, row, band, first, count, step, out, false);
}

bool readLineStored(RamImage *img, int row, int band, int first, int count, int step, int size, uint8_t *out)
{
    const size_t n = static_cast<size_t>(std::max(count, 0)) * static_cast<size_t>(size);
    const uint8_t *line = getLine(img, row, band, 1);
    if (!line) {
        memset(out, 0, n);
        return false;
    }
    if (step == 1) {
        memcpy(out, line + static_cast<size_t>(first) * size, n);
        return true;
    }
    for (int k = 0; k < count; ++k)
        memcpy(out + static_cast<size_t>(k) * size, line + (first + static_cast<size_t>(k) * step) * size,
               static_cast<size_t>(size));
    return true;
}

int putLineStored(RamImage *img, int row, int first, int count, int band, int size, const uint8_t *values)
{
    const ImageDef &d = img->def;
    if (row < 0 || row >= d.rows || band < 0 || band >= d.nbands || first < 0 || count <= 0) return 0;
    const int n = std::min(count, d.columns - first);
    if (n <= 0) return 0;
    uint8_t *line = getLine(img, row, band, first == 0 && n == d.columns ? 0 : 1);
    if (!line) return 0;
    memcpy(line + static_cast<size_t>(first) * size, values, static_cast<size_t>(n) * size);
    markLineDirty(img, row, band);
    return n;
}

bool readLineBytes(RamImage *img, int row, int band, int first, int count, int step, uint8_t *out)
{
    // Byte lines read with step 1 need no conversion at all.
    if (img->def.pixel == PIX_BYTE && step == 1) {
        const uint8_t *line = getLine(img, row, band, 1);
        if (!line) {
            memset(out, 0, static_cast<size_t>(std::max(count, 0)));
            return false;
        }
        memcpy(out, line + first, static_cast<size_t>(count));
        return true;
    }
    return readTyped(img, row, band, first, count, step, out, true);
}

void MeterProgress::step(long i, long n)
{
    float f = static_cast<float>(i + 1) / static_cast<float>(n);
    if (f >= threshold) {
        // With the meter off the threshold stays where it is, so that the
        // meter picks up again if the step is switched on during the run.
        meterSet(name, threshold);
        threshold += meterInc();
    }
}

void MeterProgress::finish() { meterSet(name, 1.0f); }

int writeFilePalette(RamImage *img)
{
    auto writer = formatRecord(img->def.imgid).writePalette;
    if (img->fileHandle < 0 || !writer) return 0;
    return writer(img);
}

void applyUpdateFlag(RamImage *out, int flag, const std::vector<int> &bandsWritten)
{
    if (flag != 1 && flag != 2) return;
    flushImage(out);
    if (flag == 2 && out->bandStats) {
        for (int b : bandsWritten)
            if (b >= 0 && b < out->def.nbands) out->bandStats[b].done = 0;
        notifyClients(out, -1, NOTIFY_CONFIG);
    } else {
        notifyClients(out, -1, NOTIFY_DATA);
    }
}

bool moduleBandPairs(const char *spec, int inBands, int outBands, std::vector<BandPair> *pairs)
{
    pairs->clear();
    if (!spec) {
        for (int b = 1; b <= std::min(inBands, outBands); ++b) pairs->push_back({b, b});
        return true;
    }
    if (!parseBandList(spec, pairs)) {
        conEprintf("Invalid band specification.\n");
        return false;
    }
    for (const BandPair &p : *pairs)
        if (p.in > inBands || p.out > outBands) {
            conEprintf("Error in band params.\n");
            return false;
        }
    return true;
}

}  // namespace krel
