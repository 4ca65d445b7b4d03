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
        {"classify", classifyModule}, {"dist", distModule},         {"egv", egvModule},
        {"gfftrans", gfftransModule}, {"gstat", gstatModule},       {"makefft", makefftModule},
        {"statinfo", statinfoModule},
    };
    for (const auto &m : kAnalysisModules) registerModule(m.name, m.entry);
}

}  // namespace krel
