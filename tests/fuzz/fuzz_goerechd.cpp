// libFuzzer target: georectification parameter files as rimage georef reads
// them, and, for a file that is accepted, the block split and both kernels
// over a small grid (huge and non-finite source positions included).
//
// With KREL_FUZZ_SEEDS=DIR in the environment the binary writes parameter
// files of orders 0 to 3 into DIR and stops: no other program writes them.
#include <string>
#include <vector>

#include "analysis/georesample.h"
#include "image/goerechd.h"
#include "reader.h"

namespace {

using namespace krel;

void writeSeeds(const std::string &dir)
{
    for (int order = 0; order <= 3; ++order) {
        GeoPoly p;
        p.order = order;
        const int t = geoTermCount(order);
        p.J.assign(t, 0.0);
        p.I.assign(t, 0.0);
        p.meanX1 = 500000;
        p.meanY1 = 4100000;
        p.J[0] = 20;
        p.J[1] = 0.1;
        p.I[0] = 20;
        p.I[2] = -0.1;
        if (t > 3) p.J[3] = 1e-4;
        writeGeoFile((dir + "/order" + std::to_string(order) + ".geo").c_str(), p);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    krel::fuzz::writeOwnSeeds(writeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const krel::fuzz::TempFile file("geo");
    if (!krel::fuzz::putInput(file, data, size)) return 0;
    GeoSampler s;
    if (!readGeoFile(file.path.c_str(), &s.poly).empty()) return 0;
    // A 24 x 20 output grid of 30 m over a 40 x 40 input.
    s.au = 499700 - s.poly.meanX1;
    s.su = 30;
    s.av = 4100300 - s.poly.meanY1;
    s.sv = -30;
    s.inCols = 40;
    s.inRows = 40;
    std::vector<uint8_t> bytes(40 * 40 + 1, 9);
    std::vector<float> floats(40 * 40 + 1, 9.5f);
    std::vector<double> row(24);
    for (const OutputBlock &b : planBlocks(s, 0, 0, 20, 24, 1, 256))
        for (int r = b.r0; r < b.r0 + b.rows; ++r) {
            resampleRow(s, r, b.c0, b.cols, bytes.data(), b.window, false, row.data());
            resampleRow(s, r, b.c0, b.cols, floats.data(), b.window, true, row.data());
        }
    return 0;
}
