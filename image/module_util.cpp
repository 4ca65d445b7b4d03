#include "image/module_util.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "image/defoptions.h"
#include "image/registry.h"

namespace krel {

RamImage *openModuleInput(const char *name, const char *errorFormat)
{
    int error = IMGERR_OK;
    RamImage *img = getImage(name, name, nullptr, nullptr, &error);
    if (!img) reportOpenError(errorFormat, name, error);
    return img;
}

RamImage *createOutputFrom(const ImageDef &inDef, const char *outName, const OutputDefChange &change,
                           OutputPalette keep, int *error)
{
    ImageDef def = inDef;
    snprintf(def.file, sizeof def.file, "%s", outName);
    def.block = 0;  // the record size follows the output's own layout
    if (change && !change(def)) return nullptr;
    const ImageDef changed = def;
    const ImageDef *before = keep == OutputPalette::Input ? &inDef : keep == OutputPalette::Changed ? &changed : nullptr;
    if (validateImageDef(nullptr, &def, before) != TCL_OK) return nullptr;
    return openWithDef(&def, nullptr, 0, error);
}

OutputDefChange classOutputDef(const uint8_t (*palette)[3])
{
    return [palette](ImageDef &def) {
        def.nbands = 1;
        def.pixel = PIX_BYTE;
        def.bits = 8;
        def.imgid = IMG_DIB;
        def.offset = 1;  // a file with header
        def.msbf = 0;
        def.dataFd = -1;
        def.nindices = 256;  // a DIB of one BYTE band is a colour index image
        if (palette) std::copy(palette[0], palette[0] + 256 * 3, def.palette[0]);
        return true;
    };
}

RamImage *createClassOutput(const ImageDef &inDef, const char *outName, const uint8_t (*palette)[3], int *error)
{
    return createOutputFrom(inDef, outName, classOutputDef(palette), palette ? OutputPalette::Changed : OutputPalette::Ramp,
                            error);
}

void fileOutputDef(ImageDef &def)
{
    def.dataFd = -1;
    if (def.offset <= 0) def.offset = 1;  // a file with header
    if (isMemoryFormat(def.imgid)) def.imgid = IMG_BSQ;
}

void valueOutputDef(ImageDef &def)
{
    def.nindices = 0;
    def.transparent = -1;
    fileOutputDef(def);
}

bool outputTypeOptions(ImageDef &def, const ModuleOption *table)
{
    const char *imgid = moduleOption(table, "-imgid"), *pixel = moduleOption(table, "-pixel"),
               *nbands = moduleOption(table, "-nbands");
    return (!imgid || (def.imgid = imageFormatCode(imgid)) > 0) && (!pixel || (def.pixel = pixelTypeCode(pixel)) > 0) &&
           (!nbands || (def.nbands = optionInt(nbands, 1)) > 0);
}

RamImage *openOrCreateOutput(const char *name, const ImageDef &inDef, const OutputDefChange &change,
                             OutputPalette keep, int *error, OutputStep *step)
{
    *error = IMGERR_OK;
    if (step) *step = OutputStep::Open;
    RamImage *img = getImage(name, name, nullptr, nullptr, error);
    if (img || access(name, F_OK) == 0) return img;
    if (step) *step = OutputStep::Create;
    // A refused definition reports itself as an unknown image type.
    int createError = IMGERR_UNKNOWN;
    img = createOutputFrom(inDef, name, change, keep, &createError);
    if (!img && createError != IMGERR_EXISTS) *error = createError;
    return img;
}

RamImage *openModuleOutput(const char *name, const ImageDef &inDef, const OutputDefChange &change, OutputPalette keep,
                           const char *openFormat, const char *createFormat)
{
    int error = IMGERR_OK;
    OutputStep step = OutputStep::Open;
    RamImage *img = openOrCreateOutput(name, inDef, change, keep, &error, &step);
    if (!img) reportOpenError(step == OutputStep::Create && createFormat ? createFormat : openFormat, name, error);
    return img;
}

RamImage *openClassOutput(const char *name, const ImageDef &inDef, const uint8_t (*palette)[3], const char *openFormat)
{
    return openModuleOutput(name, inDef, classOutputDef(palette), palette ? OutputPalette::Changed : OutputPalette::Ramp,
                            openFormat);
}

void reportOpenError(const char *format, const char *name, int error)
{
    conEprintf(format, name);
    if (*errorText(error)) conEprintf("%s\n", errorText(error));
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
