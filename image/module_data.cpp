// data: writes literal pixel values given as a data script, and rform:
// redefines the storage format and map placement in an image's header.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/conio.h"
#include "image/formats/formats.h"
#include "image/modargs.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"
#include "image/registry.h"

namespace krel {

namespace {

void dataUsage(const char *prog)
{
    static const char *const lines[] = {
        "where IMGID    an image ID (a tag or a filename)\n",
        "      DATA     image data scripts\n",
        "      UPDATE   flag of updating clients\n",
    };
    printModuleUsage(prog, "Usage: %s -in imgID -data DATA -u UPDATE\n", lines);
}

}  // namespace

int dataModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr}, {"-data", nullptr}, {"-u", nullptr}, {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, dataUsage); rc != MODULE_GO) return rc;
    const char *script = moduleOption(opts, "-data"), *inName = moduleOption(opts, "-in");
    if (!script) {
        conEprintf("missing data scripts\n");
        return MODULE_FAILED;
    }
    if (!inName) {
        conEprintf("missing input IMGID\n");
        return MODULE_FAILED;
    }
    int update = optionInt(moduleOption(opts, "-u"), 1);
    ModuleImage img(openModuleInput(inName, "Error in open ramimg: %s\n"));
    if (!img) return MODULE_FAILED;
    const ImageDef &d = img->def;

    // The header words of the script.
    const char *p = script;
    char order[16];
    int used = 0;
    if (sscanf(p, "%15s%n", order, &used) != 1 ||
        (strcmp(order, "BSQ") != 0 && strcmp(order, "BIL") != 0 && strcmp(order, "BIP") != 0)) {
        conEprintf("imgid must be BSQ or BIL or BIP\n");
        return MODULE_FAILED;
    }
    p += used;
    struct Field {
        const char *name;
        long least, most;
        long value;
    } fields[] = {{"startBand", 1, d.nbands, 0}, {"nbands", 1, 1L << 30, 0}, {"x", 0, 1L << 30, 0},
                  {"y", 0, 1L << 30, 0},         {"width", 1, 1L << 30, 0},   {"height", 1, 1L << 30, 0}};
    for (Field &f : fields) {
        char *end;
        f.value = strtol(p, &end, 10);
        if (end == p || f.value < f.least || f.value > f.most) {
            conEprintf("Error in parsing %s\n", f.name);
            return MODULE_FAILED;
        }
        p = end;
    }
    const long band0 = fields[0].value - 1, nb = fields[1].value, x = fields[2].value, y = fields[3].value,
               width = fields[4].value, height = fields[5].value;
    // Each factor is at most 2^30: the product is checked step by step, as
    // the full product of three can wrap round 64 bits to a small count.
    if (nb * width > (1L << 31) || nb * width * height > (1L << 31)) {
        conEprintf("Error in parsing nbands\n");
        return MODULE_FAILED;
    }

    // Values in script order; missing ones repeat the last value given.
    const size_t total = static_cast<size_t>(nb * width * height);
    std::vector<float> values;
    values.reserve(std::min<size_t>(total, 1 << 20));
    float last = 0;
    while (values.size() < total) {
        char *end;
        float v = strtof(p, &end);
        if (end == p) break;
        values.push_back(v);
        last = v;
        p = end;
    }
    const float fill = static_cast<float>(static_cast<long>(last));
    values.resize(total, fill);
    if (d.nindices > 0)
        for (float &v : values) v = std::clamp(v, 0.0f, static_cast<float>(d.nindices - 1));

    auto index = [&](long b, long r, long c) -> size_t {
        if (order[1] == 'S') return static_cast<size_t>((b * height + r) * width + c);  // BSQ
        if (order[2] == 'L') return static_cast<size_t>((r * nb + b) * width + c);      // BIL
        return static_cast<size_t>((r * width + c) * nb + b);                           // BIP
    };
    // Clip the rectangle to the image; bands beyond the last are skipped.
    const long c0 = x, c1 = std::min<long>(x + width, d.columns);
    std::vector<float> row(static_cast<size_t>(std::max(0L, c1 - c0)));
    for (long b = 0; b < nb && band0 + b < d.nbands; ++b)
        for (long r = 0; r < height && y + r < d.rows; ++r) {
            if (c1 <= c0) break;
            for (long c = c0; c < c1; ++c) row[static_cast<size_t>(c - c0)] = values[index(b, r, c - x)];
            putFloatLine(img.get(), static_cast<int>(y + r), static_cast<int>(c0), static_cast<int>(c1 - c0),
                         static_cast<int>(band0 + b), row.data());
        }
    if (update) {
        flushImage(img.get());
        discardBandStats(img.get());
        notifyClients(img.get(), -1, NOTIFY_DATA);
    }
    return MODULE_DONE;
}

namespace {

void rformUsage(const char *prog)
{
    static const char *const lines[] = {
        "where IN         input image\n",
        "      IMGID      new image ID\n",
        "      UPDATE     flag of updating client (def: 1)\n",
        "      X0         map x coordinate of the upperleft\n",
        "      Y0         map y coordinate of the upperleft\n",
        "      DX         pixel's width\n",
        "      DY         pixel's height\n",
        "      LEFT       file x coordinate of the upperleft\n",
        "      TOP        file y coordinate of the upperleft\n",
    };
    printModuleUsage(prog, "Usage: %s -in IN -imgid IMGID -u UPDATE -x0 X0 -y0 Y0 -dx DX -dy DY -left LEFT -top TOP\n",
                     lines);
}

bool sameLayoutFamily(int from, int to, bool *swapRowsAndBands)
{
    *swapRowsAndBands = false;
    if (from == to) return true;
    auto lineInterleaved = [](int f) { return f == IMG_E73 || f == IMG_E74; };
    if ((from == IMG_BSQ && to == IMG_BIL) || (from == IMG_BIL && to == IMG_BSQ)) {
        *swapRowsAndBands = true;
        return true;
    }
    if (lineInterleaved(from) && lineInterleaved(to)) return true;
    if ((lineInterleaved(from) && to == IMG_E74BSQ) || (from == IMG_E74BSQ && lineInterleaved(to))) {
        *swapRowsAndBands = true;
        return true;
    }
    return false;
}

}  // namespace

int rformModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr},  {"-imgid", nullptr}, {"-u", nullptr},  {"-left", nullptr},
                           {"-top", nullptr}, {"-x0", nullptr},    {"-y0", nullptr}, {"-dx", nullptr},
                           {"-dy", nullptr},  {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, rformUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const char *inName = opt("-in");
    if (!inName) {
        conEprintf("Missing input image!\n");
        return MODULE_FAILED;
    }
    int error = IMGERR_OK;
    RamImage *found = findByFile(inName);
    if (!found) found = findByTag(inName);
    ModuleImage img(found ? getImage(found->tag, nullptr, nullptr, nullptr, &error)
                          : getImage(nullptr, inName, nullptr, nullptr, &error));
    if (!img) {
        reportOpenError("Error in open %s.\n", inName, error);
        return MODULE_FAILED;
    }
    ImageDef def = img->def;
    def.x0 = optionDouble(opt("-x0"), def.x0);
    def.y0 = optionDouble(opt("-y0"), def.y0);
    def.dx = optionDouble(opt("-dx"), def.dx);
    def.dy = optionDouble(opt("-dy"), def.dy);
    def.left = optionInt(opt("-left"), def.left);
    def.top = optionInt(opt("-top"), def.top);
    if (def.dx <= 0) def.dx = 1.0;
    if (def.dy <= 0) def.dy = 1.0;
    if (def.left < 0) def.left = 0;
    if (def.top < 0) def.top = 0;
    int target = def.imgid;
    if (const char *name = opt("-imgid")) {
        target = imageFormatCode(name);
        if (target < 0) {
            conEprintf("Invalid imgid!\n");
            return MODULE_FAILED;
        }
    }
    bool swap = false;
    if (def.imgid == IMG_XBMP || def.imgid == IMG_PPM || !sameLayoutFamily(def.imgid, target, &swap)) {
        conEprintf("Error: possible incompatible redefine.\n");
        return MODULE_FAILED;
    }
    def.imgid = target;
    if (swap) std::swap(def.rows, def.nbands);
    static const int kRewritable[] = {IMG_BSQ, IMG_BIL, IMG_BIP, IMG_E73, IMG_E74, IMG_E74BSQ, IMG_DIB, IMG_TIFF, IMG_PPM};
    if (img->fileHandle < 0 || std::find(std::begin(kRewritable), std::end(kRewritable), def.imgid) == std::end(kRewritable)) {
        conEprintf("Updating this image head is not supported.\n");
        return MODULE_FAILED;
    }
    flushImage(img.get());
    ImageDef written = def;
    if (writeHeader(img->fileHandle, 0, &written) < 0) {
        conEprintf("Error in updating image head.\n");
        return MODULE_FAILED;
    }
    // The statistics hold one record per band of the old description: they
    // go before the band count changes.
    if (def.nbands != img->def.nbands) discardBandStats(img.get());
    // The same bytes under the new description: rebuild the cache for it.
    img->def = def;
    img->lineBytes = static_cast<int32_t>(lineBytesFor(def.pixel, def.columns));
    img->dataOffset = def.offset;
    chooseLineOps(img.get());
    setRAMImageBuf(img.get(), std::max(img->cachedLines, 4));
    invalidateCache(img.get());
    if (optionInt(opt("-u"), 1)) notifyClients(img.get(), -1, NOTIFY_CONFIG);
    return MODULE_DONE;
}

}  // namespace krel
