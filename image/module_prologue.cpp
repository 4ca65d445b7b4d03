#include "image/module_prologue.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "image/modules.h"

namespace krel {

namespace {

void streamPrintf(int which, const char *format, ...) __attribute__((format(printf, 2, 3)));
void streamPrintf(int which, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    conVprintf(which, format, ap);
    va_end(ap);
}

// A window number: the C library's conversion, saturated to int.
int windowNumber(const char *text)
{
    if (!text) return 0;
    return static_cast<int>(std::clamp<long>(strtol(text, nullptr, 10), INT_MIN, INT_MAX));
}

}  // namespace

int modulePrologue(const char *prog, int argc, const char **argv, ModuleOption *table, ModuleUsage usage,
                   int unknownStream)
{
    if (argc == 0) {
        usage(prog);
        return MODULE_USAGE;
    }
    const int unknown = parseModuleArgs(table, argc, argv);
    if (unknown > 0) {
        streamPrintf(unknownStream == CON_STDOUT ? CON_STDOUT : CON_STDERR, "Error: %d unknown param(s).\n", unknown);
        return MODULE_FAILED;
    }
    return MODULE_GO;
}

void printModuleUsage(const char *prog, const char *synopsis, const char *const *lines, size_t count)
{
    conPrintf(synopsis, prog);
    for (size_t i = 0; i < count; ++i) conPrintf("%s", lines[i]);
}

void printModuleUsage(const char *prog, const char *synopsis, std::initializer_list<UsageLines> groups)
{
    conPrintf(synopsis, prog);
    for (const UsageLines &g : groups)
        for (size_t i = 0; i < g.count; ++i) conPrintf("%s", g.lines[i]);
}

const char *const kCopyUsageImages[9] = {
    "where IN    input image\n",
    "      OUT   output image\n",
    "      IC    input start column\n",
    "      IR    input start row\n",
    "      OC    output start column\n",
    "      OR    output start row\n",
    "      R     rows to copy\n",
    "      C     columns to copy\n",
    "      B     band selection: i1[[:o1];i2[:o2];...]\n",
};
const char *const kCopyUsageOutput[6] = {
    "      CMP   compression rate for JPEG image\n",
    "      IND   flag of copy color indice: Y or N (def.: N).\n",
    "      U     flag of update image file after copy: 0,1,or 2 (def: 1)).\n",
    "      IMG   output image type.\n",
    "      PX    output pixel ID.\n",
    "      NB    output bands.\n",
};

ModuleWindow windowOptions(const ModuleOption *table, const WindowNames &names)
{
    auto start = [table](const char *name) { return name ? windowNumber(moduleOption(table, name)) : 0; };
    ModuleWindow w;
    w.ir = start(names.ir);
    w.ic = start(names.ic);
    w.orow = start(names.orow);
    w.oc = start(names.oc);
    const char *r = moduleOption(table, "-r"), *c = moduleOption(table, "-c");
    w.hasRows = r != nullptr;
    w.hasCols = c != nullptr;
    w.rows = windowNumber(r);
    w.cols = windowNumber(c);
    return w;
}

bool checkWindowStarts(const ModuleWindow &w, int inRows, int inCols, int outRows, int outCols,
                       const WindowMessages &m)
{
    const struct {
        int value, limit;
        const char *message;
    } checks[] = {{w.ir, inRows, m.inRow}, {w.ic, inCols, m.inCol}, {w.orow, outRows, m.outRow}, {w.oc, outCols, m.outCol}};
    for (const auto &c : checks)
        if (c.value < 0 || c.value >= c.limit) {
            conEprintf("%s", c.message);
            return false;
        }
    return true;
}

void clipWindow(ModuleWindow *w, int inRows, int inCols, int outRows, int outCols, int defaultRows, int defaultCols)
{
    const int rows = w->hasRows ? w->rows : defaultRows, cols = w->hasCols ? w->cols : defaultCols;
    w->rows = std::max(0, std::min({rows, inRows - w->ir, outRows - w->orow}));
    w->cols = std::max(0, std::min({cols, inCols - w->ic, outCols - w->oc}));
}

}  // namespace krel
