// The processing modules run as `rimage` subcommands. One table holds every
// module name the command knows, with its minimum abbreviation and its entry;
// a module joins the build by filling its slot (the image store's own modules
// here, the analysis modules through registerModule from the package's start).
// A module takes (program text, argument count, arguments after the
// subcommand) and returns 1 (done), 2 (usage printed) or 0 (failed).
#pragma once

#include <cstddef>

namespace krel {

using ModuleEntry = int (*)(const char *prog, int argc, const char **argv);

enum ModuleResult { MODULE_FAILED = 0, MODULE_DONE = 1, MODULE_USAGE = 2 };

struct ModuleSlot {
    const char *name;
    int minLength;      // of an abbreviation of the subcommand word
    ModuleEntry entry;  // null: not part of this build
};

// The slots in the order the `rimage` dispatch tries them.
const ModuleSlot *moduleSlots(size_t *count);

// Fills the slot of a named module; false when no slot has that name.
bool registerModule(const char *name, ModuleEntry entry);

// The slot a subcommand word selects (a prefix of the name, at least the
// minimum length long; the first such slot), or null.
const ModuleSlot *matchModule(const char *word);

// The entry of a named module (a `rimage` module or one that another command
// runs, such as makefft); a module that is not part of this build gets
// an entry that says so on the console and fails. Null for an unknown name.
ModuleEntry findModule(const char *name);

// The entry to run for a slot (the "not in this build" entry when empty).
ModuleEntry moduleEntry(const ModuleSlot &slot);

// Modules of the image store.
int copyModule(const char *prog, int argc, const char **argv);
int dataModule(const char *prog, int argc, const char **argv);
int rformModule(const char *prog, int argc, const char **argv);

}  // namespace krel
