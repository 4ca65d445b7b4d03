// ptable: writes the pixel table of chosen bands of a BYTE image over a row
// range to a PTABLE file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "analysis/modules.h"
#include "analysis/ptable.h"
#include "core/conio.h"
#include "core/runtime.h"
#include "image/module_prologue.h"
#include "image/module_util.h"
#include "image/modules.h"
#include "platform/files.h"

namespace krel {

namespace {

void ptableUsage(const char *prog)
{
    static const char *const lines[] = {
        "    where\n",
        "    IN      the input image file;\n",
        "    PT      the output pixel table file;\n",
        "    SR      the start row. (def: 1);\n",
        "    ER      the end row. (def: the last row);\n",
        "    BANDS   the bands b1,b2,... (def: all bands).\n",
    };
    printModuleUsage(prog, "Usage: %s -in IN -pt PT -sr SR -er ER -b BANDS\n", lines);
}

// The default table name: the image file's name cut at the first "." of its
// own name (not of a directory), followed by ".lku".
std::string defaultTableName(const char *file)
{
    std::string name = file;
    const size_t slash = name.rfind('/');
    const size_t dot = name.find('.', slash == std::string::npos ? 0 : slash + 1);
    if (dot != std::string::npos) name.erase(dot);
    return name + ".lku";
}

// "b1,b2,..." (1-based) into 0-based bands; false on any value outside 1..nbands.
bool parseTableBands(const char *text, int nbands, std::vector<int32_t> *bands)
{
    bands->clear();
    const char *p = text;
    while (true) {
        char *end;
        errno = 0;
        long v = strtol(p, &end, 10);
        if (end == p || errno || v < 1 || v > nbands) return false;
        bands->push_back(static_cast<int32_t>(v - 1));
        p = end;
        while (*p == ' ') ++p;
        if (*p == '\0') return true;
        if (*p != ',') return false;
        ++p;
    }
}

// Whether `path` can be written as a regular file (an existing one, or a new
// one in its directory), asked without touching it.
bool writableFile(const std::string &path)
{
    if (platform::isSpecialFile(path.c_str())) return false;
    if (access(path.c_str(), F_OK) == 0) return access(path.c_str(), W_OK) == 0;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

int ptableModule(const char *prog, int argc, const char **argv)
{
    ModuleOption opts[] = {{"-in", nullptr}, {"-pt", nullptr}, {"-sr", nullptr},
                           {"-er", nullptr}, {"-b", nullptr},  {nullptr, nullptr}};
    if (int rc = modulePrologue(prog, argc, argv, opts, ptableUsage); rc != MODULE_GO) return rc;
    auto opt = [&](const char *name) { return moduleOption(opts, name); };
    const char *inName = opt("-in");
    if (!inName) {
        conEprintf("Input file missing.\n");
        return MODULE_FAILED;
    }
    ModuleImage in(openModuleInput(inName, "Error in open:%s\n"));
    if (!in) return MODULE_FAILED;
    const ImageDef &d = in->def;
    if (d.nindices > 0) {
        conEprintf("Unsupported index image.\n");
        return MODULE_FAILED;
    }
    if (d.pixel != PIX_BYTE) {
        conEprintf("Unsupported pixel type.\n");
        return MODULE_FAILED;
    }
    const std::string table = opt("-pt") ? std::string(opt("-pt")) : defaultTableName(d.file);
    std::vector<int32_t> bands;
    if (const char *b = opt("-b")) {
        if (!parseTableBands(b, d.nbands, &bands)) {
            conEprintf("Illegal band number.\n");
            return MODULE_FAILED;
        }
    } else {
        for (int b = 0; b < d.nbands; ++b) bands.push_back(b);
    }
    const int sr = optionInt(opt("-sr"), 1);
    int er = optionInt(opt("-er"), d.rows);
    if (er > d.rows) er = d.rows;
    if (sr < 1 || sr > d.rows) {
        conEprintf("start row out of range.\n");
        return MODULE_FAILED;
    }
    if (er < sr) {
        conEprintf("end row out of range.\n");
        return MODULE_FAILED;
    }
    if (static_cast<long>(bands.size()) > 4096) {
        conEprintf("Illegal band number.\n");
        return MODULE_FAILED;
    }
    // The table file is made only after the table: a refused or failed run
    // leaves an existing file as it was. Its directory must take it.
    if (!writableFile(table)) {
        conEprintf("Error in open: %s\n", table.c_str());
        return MODULE_FAILED;
    }
    bool cancelled = false;
    PTablePtr t = buildPTable(in.get(), bands, sr - 1, er - 1, "ptable", &cancelled);
    meterReset();
    if (cancelled) {
        conEprintf("rimage ptable canceled...\n");
        return MODULE_DONE;
    }
    if (!t) return MODULE_FAILED;
    return savePTable(table.c_str(), *t) ? MODULE_DONE : MODULE_FAILED;
}

}  // namespace krel
