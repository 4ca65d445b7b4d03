#include "image/modargs.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace krel {

int parseModuleArgs(ModuleOption *table, int argc, const char *const *argv)
{
    for (ModuleOption *o = table; o->name; ++o) o->value = nullptr;
    int unknown = 0;
    for (int i = 0; i < argc; i += 2) {
        ModuleOption *slot = nullptr;
        for (ModuleOption *o = table; o->name; ++o)
            if (!o->value && strcmp(o->name, argv[i]) == 0) {
                slot = o;
                break;
            }
        if (slot && i + 1 < argc)
            slot->value = argv[i + 1];
        else
            ++unknown;
    }
    return unknown;
}

const char *moduleOption(const ModuleOption *table, const char *name)
{
    for (const ModuleOption *o = table; o->name; ++o)
        if (strcmp(o->name, name) == 0) return o->value;
    return nullptr;
}

int optionInt(const char *value, int fallback) { return value ? atoi(value) : fallback; }

double optionDouble(const char *value, double fallback) { return value ? atof(value) : fallback; }

static bool readBand(const char *&p, int *band, bool allowIndex)
{
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    char *end;
    long v = strtol(p, &end, 10);
    if (v < (allowIndex ? 0 : 1) || v > 1000000) return false;
    *band = static_cast<int>(v);
    p = end;
    return true;
}

bool parseBandList(const char *text, std::vector<BandPair> *out, bool allowIndex)
{
    out->clear();
    const char *p = text ? text : "";
    auto separator = [](char c) { return c == ';' || c == ',' || isspace(static_cast<unsigned char>(c)); };
    while (true) {
        while (*p && separator(*p)) ++p;
        if (!*p) break;
        BandPair pair{};
        if (!readBand(p, &pair.in, allowIndex)) return false;
        pair.out = pair.in;
        if (*p == ':') {
            ++p;
            if (!readBand(p, &pair.out, allowIndex)) return false;
        }
        if (*p && !separator(*p)) return false;
        if (static_cast<int>(out->size()) == kMaxBandItems) return false;
        out->push_back(pair);
    }
    return !out->empty();
}

}  // namespace krel
