// The processing modules run as `rimage` subcommands: one table of names and
// entries. A module takes (program text, argument count, arguments after the
// subcommand) and returns 1 (done), 2 (usage printed) or 0 (failed).
#pragma once

namespace krel {

using ModuleEntry = int (*)(const char *prog, int argc, const char **argv);

enum ModuleResult { MODULE_FAILED = 0, MODULE_DONE = 1, MODULE_USAGE = 2 };

// The entry of a named module; a module that is not part of this build gets
// an entry that says so on the console and fails.
ModuleEntry findModule(const char *name);

// Modules of the image store.
int copyModule(const char *prog, int argc, const char **argv);
int dataModule(const char *prog, int argc, const char **argv);
int rformModule(const char *prog, int argc, const char **argv);

}  // namespace krel
