// The opening every processing module shares: the usage text when called
// without arguments, the option table, the report of unknown parameters, the
// usage printers and the window options -ir -ic -or -oc -r -c. With the image helpers of
// module_util.h (opening inputs, creating outputs) a module reads
//
//   ModuleOption opts[] = {{"-in", nullptr}, ..., {nullptr, nullptr}};
//   if (int rc = modulePrologue(prog, argc, argv, opts, myUsage); rc != MODULE_GO) return rc;
//   ModuleImage in(openModuleInput(opt("-in"), "Error in open %s.\n"));
//   ModuleImage out(openClassOutput(outName, in->def, nullptr, "Error in open %s\n"));
#pragma once

#include <cstddef>
#include <initializer_list>

#include "core/conio.h"
#include "image/modargs.h"

namespace krel {

// The module goes on after its prologue (not one of the ModuleResult codes).
constexpr int MODULE_GO = -1;

using ModuleUsage = void (*)(const char *prog);

// Called without arguments: prints the usage and answers MODULE_USAGE.
// Otherwise parses the pairs into `table`; unknown pairs print
// "Error: %d unknown param(s).\n" on `unknownStream` (CON_STDOUT or
// CON_STDERR) and answer MODULE_FAILED. MODULE_GO when the module goes on.
int modulePrologue(const char *prog, int argc, const char **argv, ModuleOption *table, ModuleUsage usage,
                   int unknownStream = CON_STDERR);

// Prints a usage text: the synopsis (a format taking the program text) on
// standard output, then each line as it is.
void printModuleUsage(const char *prog, const char *synopsis, const char *const *lines, size_t count);
template <size_t N>
void printModuleUsage(const char *prog, const char *synopsis, const char *const (&lines)[N])
{
    printModuleUsage(prog, synopsis, lines, N);
}

// One group of usage lines (an array of them).
struct UsageLines {
    const char *const *lines;
    size_t count;
    template <size_t N>
    UsageLines(const char *const (&group)[N]) : lines(group), count(N)
    {
    }
};
// The synopsis, then the groups' lines in turn.
void printModuleUsage(const char *prog, const char *synopsis, std::initializer_list<UsageLines> groups);

// The usage lines the copying modules (copy, trans) share: the images, the
// window and the band selection; the options of the output.
extern const char *const kCopyUsageImages[9];
extern const char *const kCopyUsageOutput[6];

// The window options -ir -ic (input start row and column), -or -oc (output
// start row and column) and -r -c (rows and columns), read from a module's
// option table with the C library's integer conversion. Absent starts read
// as 0; absent counts leave hasRows / hasCols false.
struct ModuleWindow {
    int ir = 0, ic = 0, orow = 0, oc = 0;
    int rows = 0, cols = 0;
    bool hasRows = false, hasCols = false;
};
// The names the four starts go by (a null name: the module has no such
// start, which reads as 0).
struct WindowNames {
    const char *ir = "-ir", *ic = "-ic", *orow = "-or", *oc = "-oc";
};
ModuleWindow windowOptions(const ModuleOption *table, const WindowNames &names = {});

// Range checks of the four starts, in the order input row, input column,
// output row, output column; each start must lie inside its image. False
// after printing the matching message on standard error.
struct WindowMessages {
    const char *inRow, *inCol, *outRow, *outCol;
};
bool checkWindowStarts(const ModuleWindow &w, int inRows, int inCols, int outRows, int outCols,
                       const WindowMessages &messages);

// Cuts the counts so that the window ends inside both images; absent counts
// default to `defaultRows` / `defaultCols` first. Never below 0.
void clipWindow(ModuleWindow *w, int inRows, int inCols, int outRows, int outCols, int defaultRows, int defaultCols);

}  // namespace krel
