// Polynomial transformations between two planes fitted from ground control
// points (GCPs): the reference (map) coordinates X1, Y1 of a point and its
// position X2 (column direction), Y2 (row direction) in the image to be
// rectified. The polynomial of order p is taken in the centred reference
// coordinates u = X1 - mean X1, v = Y1 - mean Y1 over the terms 1, u, v and,
// for each degree k = 2..p, u^k, u^(k-1) v, ..., v^k; order 0 is the bilinear
// form 1, u, v, u v. Plain C++: the fit, the `calc geocalc` command, the
// parameter files and the resampling of `rimage georef` all share it.
#pragma once

#include <cstdint>
#include <vector>

namespace krel {

constexpr int kMaxGcps = 300;     // records of a GCP list
constexpr int kMaxGeoTerms = 300;  // coefficients of a polynomial
constexpr int kMaxGeoOrder = 23;   // the highest order within kMaxGeoTerms

struct Gcp {
    int32_t selected;  // non-zero: the record takes part in the fit
    int32_t id;        // the user's number of the point
    double x1, y1;     // reference coordinates
    double x2, y2;     // image coordinates (column, row)
    float dx, dy;      // residuals of X2 and Y2 after the last fit
};

// Terms of a polynomial of the given order: (p+1)(p+2)/2, 4 for order 0;
// -1 for an order below 0 or above kMaxGeoOrder.
int geoTermCount(int order);

// The values of the terms at (u, v), geoTermCount(order) of them.
void geoTerms(int order, double u, double v, double *terms);

struct GeoPoly {
    int order = 1;
    double meanX1 = 0, meanY1 = 0, meanX2 = 0, meanY2 = 0;
    std::vector<double> J;  // X2 coefficients, the constant including mean X2
    std::vector<double> I;  // Y2 coefficients, the constant including mean Y2

    // X2 and Y2 of a reference point.
    void apply(double x1, double y1, double *x2, double *y2) const;
};

enum class FitStatus { Ok, BadOrder, NotEnough, Singular };

struct GeoFit {
    FitStatus status = FitStatus::BadOrder;
    GeoPoly poly;
    int selected = 0;              // records that took part
    double rmsX = 0, rmsY = 0, rms = 0;  // over the selected records
};

// Least-squares fit of X2 and Y2 over the selected records. On success the
// residuals of every record, selected or not, are stored in it. Collinear or
// repeated points that leave the equations without a unique solution give
// FitStatus::Singular and leave the records as they were.
GeoFit fitGcps(std::vector<Gcp> &gcps, int order);

}  // namespace krel
