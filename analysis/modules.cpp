// The analysis modules' slots in the `rimage` module table.
#include "analysis/modules.h"

#include "image/modules.h"

namespace krel {

void registerAnalysisModules()
{
    static const struct {
        const char *name;
        ModuleEntry entry;
    } kAnalysisModules[] = {
        {"calc", calcModule},         {"classify", classifyModule}, {"dist", distModule},
        {"egv", egvModule},           {"gdem", gdemModule},         {"georef", georefModule},
        {"gfftrans", gfftransModule}, {"gisoc", gisocModule},       {"gstat", gstatModule},
        {"makefft", makefftModule},   {"ptable", ptableModule},
        {"rotate", rotateModule},     {"statinfo", statinfoModule}, {"trans", transModule},
    };
    for (const auto &m : kAnalysisModules) registerModule(m.name, m.entry);
}

}  // namespace krel
