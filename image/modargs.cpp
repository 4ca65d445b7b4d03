#include "image/modargs.h"

#include <algorithm>
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

ModuleWindow moduleWindow(const ModuleOption *table, const ImageDef &in, const ImageDef &out, int dx, int dy)
{
    auto opt = [&](const char *name) { return moduleOption(table, name); };
    ModuleWindow w{};
    w.dx = dx;
    w.dy = dy;
    w.ic = optionInt(opt("-ic"), 0);
    w.ir = optionInt(opt("-ir"), 0);
    w.oc = optionInt(opt("-oc"), 0);
    w.orow = optionInt(opt("-or"), 0);
    if (w.ir < 0) w.orow -= w.ir, w.ir = 0;
    if (w.ic < 0) w.oc -= w.ic, w.ic = 0;
    if (w.orow < 0) w.ir -= w.orow, w.orow = 0;
    if (w.oc < 0) w.ic -= w.oc, w.oc = 0;
    w.rows = opt("-r") ? optionInt(opt("-r"), 0) : out.rows - w.orow;
    w.cols = opt("-c") ? optionInt(opt("-c"), 0) : out.columns - w.oc;
    w.ri = std::min({w.rows * dy, (out.rows - w.orow) * dy, static_cast<long>(in.rows) - w.ir});
    w.ci = std::min({w.cols * dx, (out.columns - w.oc) * dx, static_cast<long>(in.columns) - w.ic});
    w.cols = w.ci > 0 ? (w.ci + dx - 1) / dx : 0;
    return w;
}

}  // namespace krel
