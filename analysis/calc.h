// Band functions of `rimage calc`: new bands computed pixel by pixel from
// listed bands of an input image, in single precision.
#pragma once

#include <string>
#include <vector>

namespace krel {

enum CalcFunction { CALC_DRATIO, CALC_RATIO, CALC_NRATIO, CALC_STRETCH, CALC_DEV, CALC_LINEAR, CALC_AVG, CALC_NORM };

// A function set up for one run: bands 0-based.
struct CalcSetup {
    int function = CALC_RATIO;
    std::vector<int> inBands;   // the rows the kernel reads, in order
    std::vector<int> outBands;  // one output band per output row
    std::vector<float> par;     // parameters after defaults (dev: p0 doubled)
    std::vector<int> parRows;   // norm: positions in inBands of the bands averaged
    const char *meterName = "";
};

// Texts of the options as given (null when absent) and the image sizes.
struct CalcRequest {
    const char *function = nullptr, *bands = nullptr, *outBands = nullptr, *par = nullptr;
    int inBands = 0, outBandCount = 0, rows = 0, columns = 0;
};

// The function number of a name (ignoring case), or -1.
int calcFunctionCode(const char *name);

// Checks the band lists and parameters of the named function and fills
// `setup`; false after the function's message.
bool setupCalc(const CalcRequest &request, CalcSetup *setup);

// Computes one row: `in` holds one row of `columns` singles per entry of
// setup.inBands, `out` one per entry of setup.outBands.
void calcRow(const CalcSetup &setup, int row, int columns, const float *const *in, float *const *out);

}  // namespace krel
