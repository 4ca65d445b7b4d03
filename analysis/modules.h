// Entries of the analysis modules, run as `rimage` subcommands (and `egv`
// also as `calc egv`). Each takes (program text, argument count, arguments
// after the subcommand) and returns MODULE_DONE, MODULE_USAGE or
// MODULE_FAILED (image/modules.h).
#pragma once

namespace krel {

int gstatModule(const char *prog, int argc, const char **argv);
int statinfoModule(const char *prog, int argc, const char **argv);
int egvModule(const char *prog, int argc, const char **argv);
int classifyModule(const char *prog, int argc, const char **argv);
int distModule(const char *prog, int argc, const char **argv);
int georefModule(const char *prog, int argc, const char **argv);
int calcModule(const char *prog, int argc, const char **argv);
int gdemModule(const char *prog, int argc, const char **argv);
int transModule(const char *prog, int argc, const char **argv);
int rotateModule(const char *prog, int argc, const char **argv);
int ptableModule(const char *prog, int argc, const char **argv);
int gisocModule(const char *prog, int argc, const char **argv);
// The Fourier transforms: `rimage gfftrans` and `calc makefft`.
int gfftransModule(const char *prog, int argc, const char **argv);
int makefftModule(const char *prog, int argc, const char **argv);

}  // namespace krel

namespace krel {

// Fills the module table's slots of the analysis modules.
void registerAnalysisModules();

}  // namespace krel
