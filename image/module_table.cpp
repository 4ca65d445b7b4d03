// Every module known to `rimage`, by subcommand name and minimum abbreviation,
// in the order the dispatch tries them. A slot without entry answers that the
// module is not part of this build.
#include <cstring>

#include "core/conio.h"
#include "core/subcmd.h"
#include "image/modules.h"

namespace krel {

namespace {

ModuleSlot kModules[] = {
    {"calc", 4, nullptr},     {"classify", 4, nullptr}, {"copy", 4, copyModule},   {"crop", 4, copyModule},
    {"data", 3, dataModule},  {"dist", 3, nullptr},     {"egv", 3, nullptr},       {"gfftrans", 3, nullptr},
    {"gconv", 3, nullptr},    {"georef", 3, nullptr},   {"gisoc", 3, nullptr},     {"gstat", 3, nullptr},
    {"gtop", 3, nullptr},     {"gdem", 3, nullptr},     {"pcalc", 1, nullptr},     {"ptable", 1, nullptr},
    {"rform", 2, rformModule}, {"rotate", 2, nullptr},  {"smetric", 2, nullptr},   {"section", 2, nullptr},
    {"statinfo", 1, nullptr}, {"trans", 2, nullptr},
};

// Modules that other commands run under their own names (`calc makefft`);
// `rimage` does not dispatch to them.
ModuleSlot kOtherModules[] = {
    {"makefft", 0, nullptr},
};

// The program text is "rimage NAME" (or "calc NAME"); the name is its last word.
int notInBuild(const char *prog, int, const char **)
{
    const char *name = strrchr(prog, ' ');
    conEprintf("%s is not available in this build.\n", name ? name + 1 : prog);
    return MODULE_FAILED;
}

ModuleSlot *slotNamed(const char *name)
{
    for (ModuleSlot &m : kModules)
        if (strcmp(m.name, name) == 0) return &m;
    for (ModuleSlot &m : kOtherModules)
        if (strcmp(m.name, name) == 0) return &m;
    return nullptr;
}

}  // namespace

const ModuleSlot *moduleSlots(size_t *count)
{
    *count = sizeof kModules / sizeof kModules[0];
    return kModules;
}

bool registerModule(const char *name, ModuleEntry entry)
{
    ModuleSlot *slot = slotNamed(name);
    if (slot) slot->entry = entry;
    return slot != nullptr;
}

const ModuleSlot *matchModule(const char *word)
{
    for (const ModuleSlot &m : kModules)
        if (matchesWord(word, m.name, m.minLength)) return &m;
    return nullptr;
}

ModuleEntry moduleEntry(const ModuleSlot &slot) { return slot.entry ? slot.entry : notInBuild; }

ModuleEntry findModule(const char *name)
{
    const ModuleSlot *slot = slotNamed(name);
    return slot ? moduleEntry(*slot) : nullptr;
}

}  // namespace krel
