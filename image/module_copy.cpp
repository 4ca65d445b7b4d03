// copy / crop: copies a window of one image into another, with sampling,
// band selection and format conversion on the way.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>
#include <unistd.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "core/subcmd.h"
#include "image/defoptions.h"
#include "image/formats/formats.h"
#include "image/modargs.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"
#include "image/registry.h"

namespace krel {

namespace {

void copyUsage(const char *prog)
{
    static const char *const own[] = {
        "      DX    column interval.\n",
        "      DY    row interval.\n",
        "      DUMP  flag of dump (for a new BIP, BIL, BSQ output image, def:0).\n",
    };
    printModuleUsage(prog,
                     "Usage: %s -in IN -out OUT -ic IC -ir IR -oc OC -or OR -r R -c C -b B -cmp CMP -u U -ind IND "
                     "-imgid IMG -pixel PX -nbands NB -dx DX -dy DY -dump DUMP\n",
                     {kCopyUsageImages, kCopyUsageOutput, own});
}

using Window = StepWindow;

// Copying an image onto itself is safe only when no pixel is read after it
// was overwritten. Rows go top to bottom and each band line is read whole
// before it is written, so the walk below finds exactly the unsafe cases.
bool selfCopyUnsafe(const Window &w, const std::vector<BandPair> &pairs)
{
    const bool colsOverlap = w.ic < w.oc + w.cols && w.oc < w.ic + w.ci;
    if (!colsOverlap) return false;
    long written = 0;  // output rows finished
    for (long i = 0; i < w.ri; i += w.dy, ++written) {
        long rin = w.ir + i;
        for (size_t p = 0; p < pairs.size(); ++p) {
            // A row finished at an earlier step, or by an earlier pair of this step.
            for (size_t q = 0; q < pairs.size(); ++q) {
                if (pairs[q].out != pairs[p].in) continue;
                bool earlierRow = rin >= w.orow && rin < w.orow + written;
                bool earlierPair = q < p && rin == w.orow + written;
                if (earlierRow || earlierPair) return true;
            }
        }
    }
    return false;
}

}  // namespace

int copyModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr},    {"-out", nullptr},   {"-ic", nullptr},   {"-ir", nullptr},
                           {"-oc", nullptr},    {"-or", nullptr},    {"-r", nullptr},    {"-c", nullptr},
                           {"-b", nullptr},     {"-cmp", nullptr},   {"-u", nullptr},    {"-ind", nullptr},
                           {"-imgid", nullptr}, {"-pixel", nullptr}, {"-nbands", nullptr}, {"-dx", nullptr},
                           {"-dy", nullptr},    {"-dump", nullptr},  {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, copyUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    int update = optionInt(opt("-u"), 1);
    if (update < 0 || update > 2) {
        conEprintf("invalid update flag (must be 0,1,or 2).\n");
        return MODULE_FAILED;
    }
    const char *inName = opt("-in"), *outName = opt("-out");
    if (!inName) {
        conEprintf("Missing input file.\n");
        return MODULE_FAILED;
    }
    if (!outName) {
        conEprintf("Missing output file.\n");
        return MODULE_FAILED;
    }
    int dx = std::max(1, optionInt(opt("-dx"), 1));
    int dy = std::max(1, optionInt(opt("-dy"), 1));

    ModuleImage in(openModuleInput(inName, "Error in open %s.\n"));
    if (!in) return MODULE_FAILED;

    int error = IMGERR_OK;
    ModuleImage out(getImage(outName, outName, nullptr, nullptr, &error));
    // Only a name that is neither an image nor an existing file makes a new output.
    if (!out && access(outName, F_OK) != 0) {
        const bool dump = optionInt(opt("-dump"), 0) != 0;
        auto change = [&](ImageDef &def) {
            def.rows = in->def.rows / dy;
            def.columns = in->def.columns / dx;
            const bool ok = def.rows > 0 && def.columns > 0 && outputTypeOptions(def, opts);
            // A source without header (memory images, dumps) would pass that on:
            // any positive offset asks for a header, and the header writer raises
            // it to the header's own size.
            if (dump)
                def.offset = 0;
            else if (def.offset <= 0)
                def.offset = 1;
            // A memory resident source still makes a file: its own format is kept
            // only when it is a file format.
            if (isMemoryFormat(def.imgid)) def.imgid = IMG_BSQ;
            return ok;
        };
        out.reset(createOutputFrom(in->def, outName, change, OutputPalette::Input, &error));
        if (out && dump && (out->def.imgid == IMG_BSQ || out->def.imgid == IMG_BIL || out->def.imgid == IMG_BIP)) {
            out->def.offset = 0;
            out->dataOffset = 0;
        }
    }
    if (!out) {
        reportOpenError("Error in open %s.\n", outName, error);
        return MODULE_FAILED;
    }
    if (const char *cmp = opt("-cmp")) {
        if (in->def.imgid == IMG_JPEG) in->def.block = optionInt(cmp, 75);
        if (out->def.imgid == IMG_JPEG) out->def.block = optionInt(cmp, 75);
    }

    const ImageDef &id = in->def, &od = out->def;
    const Window w = moduleWindow(opts, id, od, dx, dy);

    std::vector<BandPair> pairs;
    if (!moduleBandPairs(opt("-b"), id.nbands, od.nbands, &pairs)) return MODULE_FAILED;

    const char *ind = opt("-ind");
    if (ind && (ind[0] == 'Y' || ind[0] == 'y') && ind[1] == '\0' && id.nindices > 0 && od.nindices > 0) {
        int n = std::min(od.nindices, id.nindices);
        memcpy(out->def.palette, in->def.palette, static_cast<size_t>(std::min(n, 256)) * 3);
        if (out->fileHandle >= 0 && (od.imgid == IMG_DIB || od.imgid == IMG_TIFF)) writeFilePalette(out.get());
    }

    if (in.get() == out.get() && selfCopyUnsafe(w, pairs)) {
        conEprintf("Error: the output window overlaps the input window of the same image; copy to another "
                   "image first.\n");
        return MODULE_FAILED;
    }

    // Images of the same pixel type are copied value for value as stored;
    // others convert through doubles, which keep every 32-bit integer, so
    // LONG values above 2^24 arrive unchanged where the output can hold them.
    const bool wide = id.bits > 8 || od.bits > 8;
    const bool stored = wide && id.pixel == od.pixel && id.pixel != PIX_ULONG;
    const int storedSize = id.bits / 8;
    std::unique_ptr<double[]> values;
    std::unique_ptr<uint8_t[]> bytes;
    try {
        if (w.ci > 0) {
            if (wide && !stored)
                values.reset(new double[static_cast<size_t>(w.ci)]);
            else
                bytes.reset(new uint8_t[static_cast<size_t>(w.ci) * (stored ? storedSize : 1)]);
        }
    } catch (const std::bad_alloc &) {
        conEprintf("Error in memory allocation.\n");
        return MODULE_FAILED;
    }

    MeterProgress meter{"crop", 0.0f};
    long k = 0;
    for (long i = 0; i < w.ri && w.ci > 0; i += dy, ++k) {
        if (checkRimageStatus() == STATUS_ABORT) {
            conEprintf("rimage crop canceled...\n");
            break;
        }
        for (const BandPair &p : pairs) {
            int inBand = p.in - 1, outBand = std::max(p.out - 1, 0);
            int row = static_cast<int>(w.ir + i), orow = static_cast<int>(w.orow + k);
            const int ic = static_cast<int>(w.ic), oc = static_cast<int>(w.oc), cols = static_cast<int>(w.cols);
            if (stored) {
                readLineStored(in.get(), row, inBand, ic, cols, dx, storedSize, bytes.get());
                putLineStored(out.get(), orow, oc, cols, outBand, storedSize, bytes.get());
            } else if (wide) {
                readLineDoubles(in.get(), row, inBand, ic, cols, dx, values.get());
                putDoubleLine(out.get(), orow, oc, cols, outBand, values.get());
            } else {
                readLineBytes(in.get(), row, inBand, ic, cols, dx, bytes.get());
                putByteLine(out.get(), orow, oc, cols, outBand, bytes.get());
            }
        }
        meter.step(i, w.ri);
    }
    meter.finish();
    meterReset();
    in.release();
    std::vector<int> written;
    for (const BandPair &p : pairs) written.push_back(std::max(p.out - 1, 0));
    applyUpdateFlag(out.get(), update, written);
    return MODULE_DONE;
}

}  // namespace krel
