// Every module known to `rimage`, by subcommand name. Modules join the build
// by filling their entry here.
#include <cstring>

#include "analysis/modules.h"
#include "core/conio.h"
#include "image/modules.h"

namespace krel {

namespace {

struct ModuleInfo {
    const char *name;
    ModuleEntry entry;  // null: not part of this build
};

const ModuleInfo kModules[] = {
    {"calc", nullptr},        {"classify", classifyModule}, {"copy", copyModule},   {"crop", copyModule},
    {"data", dataModule},     {"dist", distModule},         {"egv", egvModule},     {"gfftrans", nullptr},
    {"gconv", nullptr},       {"georef", nullptr},          {"gisoc", nullptr},     {"gstat", gstatModule},
    {"gtop", nullptr},        {"gdem", nullptr},            {"pcalc", nullptr},     {"ptable", nullptr},
    {"rform", rformModule},   {"rotate", nullptr},          {"smetric", nullptr},   {"section", nullptr},
    {"statinfo", statinfoModule}, {"trans", nullptr},
};

// The program text is "rimage NAME"; the name is its last word.
int notInBuild(const char *prog, int, const char **)
{
    const char *name = strrchr(prog, ' ');
    conEprintf("%s is not available in this build.\n", name ? name + 1 : prog);
    return MODULE_FAILED;
}

}  // namespace

ModuleEntry findModule(const char *name)
{
    for (const ModuleInfo &m : kModules)
        if (strcmp(m.name, name) == 0) return m.entry ? m.entry : notInBuild;
    return nullptr;
}

}  // namespace krel
