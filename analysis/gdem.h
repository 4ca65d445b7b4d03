// Shaded relief of `rimage gdem`: the slope of a 2 x 2 window of elevations
// lit by a light source, seen from infinity or from a focal point, in single
// precision.
#pragma once

namespace krel {

enum ShadeModel { SHADE_LAMBERT, SHADE_SINE, SHADE_TANG, SHADE_SL, SHADE_HL, SHADE_HLE };

struct ShadeParams {
    int model = SHADE_LAMBERT;
    float dx = 1, dy = 1, zs = 1, scale = 255;
    float az = 0, va = 0, vaz = 0, vva = 0;  // radians
    float h = 0, xc = 0, yc = 0;             // focal point
    float power = 1, offset = 0, gain = 0.5f;
    float hleAngle = 0;                      // radians; 0 or out of (0, pi]: the default
    bool multiCentral = false;
    int rows = 0, columns = 0;
};

// The model of an -op word (HLE may carry an angle in degrees, "HLE30");
// false for an unknown word.
bool shadeModel(const char *word, int *model, float *angleDegrees);

// Constants of one run, derived from the parameters.
struct ShadeKernel {
    explicit ShadeKernel(const ShadeParams &p);
    // One shade row of `columns` values for DEM row `row` from the previous
    // row `above` and this row `here` (row 0 passes itself as `above`).
    void shadeRow(int row, const float *above, const float *here, float *shade) const;

    ShadeParams p;
    float kx, ky;
    float lx, ly, lz;  // light direction
    float vx, vy, vz;  // fixed view direction
    float cosHle;      // cosine of the HLE angle
};

// The 2 x 2 average of two shade rows into `out` (columns values).
void averageShadeRows(const float *previous, const float *current, int columns, float *out);

}  // namespace krel
