// Helpers of the module tests: running an entry with words, ERDAS files
// from values, and a meter that asks for an abort part of the way through.
#pragma once

#include <string>
#include <vector>

#include "core/runtime.h"
#include "image/modules.h"
#include "image_support.h"
#include "support.h"

namespace krel::test {

inline int run(ModuleEntry entry, const std::vector<std::string> &words)
{
    std::vector<const char *> argv;
    for (const std::string &w : words) argv.push_back(w.c_str());
    return entry("rimage module", static_cast<int>(argv.size()), argv.data());
}

// An ERDAS 7.4 file (line-interleaved); pack 0 holds bytes, 2 holds 16-bit values.
inline void writeErdas(const std::string &path, int bands, int rows, int cols, const std::vector<int> &values, int pack = 0)
{
    Bytes b = erdasHeader("HEAD74", pack, bands, cols, rows);
    const int size = pack == 2 ? 2 : 1;
    b.resize(128 + static_cast<size_t>(bands) * rows * cols * size);
    for (int r = 0; r < rows; ++r)
        for (int k = 0; k < bands; ++k)
            for (int c = 0; c < cols; ++c) {
                size_t at = 128 + ((static_cast<size_t>(r) * bands + k) * cols + c) * size;
                putLE(b, at, static_cast<uint32_t>(values[(static_cast<size_t>(k) * rows + r) * cols + c]), size);
            }
    writeBytes(path, b);
}

// The status poll and the meter run in the test interpreter; the meter
// script asks for an abort once the run has passed a fraction.
struct AbortingMeter {
    Tcl_Interp *ip = interp();
    Tcl_Interp *savedCurrent = currentInterp();
    float savedStep = runtime().meterStep;
    explicit AbortingMeter(double fraction)
    {
        if (!ip) return;
        Tcl_CreateCommand(
            ip, "analysisAbort",
            [](ClientData, Tcl_Interp *, int, const char **) {
                runtime().rimageStatus = STATUS_ABORT;
                return TCL_OK;
            },
            nullptr, nullptr);
        std::string script = "proc meter.set {w f t} { if {$f >= " + std::to_string(fraction) +
                             "} analysisAbort }; proc meter.reset {args} {}; proc krelAbort {} {}";
        Tcl_Eval(ip, script.c_str());
        setCurrentInterp(ip);
        runtime().meterStep = 0.05f;
        runtime().rimageStatus = STATUS_RUN;
    }
    ~AbortingMeter()
    {
        if (!ip) return;
        runtime().rimageStatus = STATUS_RUN;
        runtime().meterStep = savedStep;
        setCurrentInterp(savedCurrent);
        Tcl_Eval(ip, "rename meter.set {}; rename meter.reset {}; rename krelAbort {}; rename analysisAbort {}");
    }
};


}  // namespace krel::test
