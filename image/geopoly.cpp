#include "image/geopoly.h"

#include <cmath>

namespace krel {

int geoTermCount(int order)
{
    if (order < 0 || order > kMaxGeoOrder) return -1;
    return order == 0 ? 4 : (order + 1) * (order + 2) / 2;
}

void geoTerms(int order, double u, double v, double *terms)
{
    terms[0] = 1;
    terms[1] = u;
    terms[2] = v;
    if (order == 0) {
        terms[3] = u * v;
        return;
    }
    int t = 3;
    for (int k = 2; k <= order; ++k) {
        // u^k, u^(k-1) v, ..., v^k from the previous degree's terms.
        const int prev = t - k;
        for (int j = 0; j < k; ++j) terms[t++] = terms[prev + j] * u;
        terms[t++] = terms[prev + k - 1] * v;
    }
}

void GeoPoly::apply(double x1, double y1, double *x2, double *y2) const
{
    double terms[kMaxGeoTerms];
    geoTerms(order, x1 - meanX1, y1 - meanY1, terms);
    double x = 0, y = 0;
    for (size_t t = 0; t < J.size() && t < I.size(); ++t) {
        x += J[t] * terms[t];
        y += I[t] * terms[t];
    }
    *x2 = x;
    *y2 = y;
}

namespace {

// Least squares of two right-hand sides over the columns of `a` (n rows of
// `cols` values, row-major) by Householder QR on unit-norm columns. False
// when a column lies (numerically) in the span of the ones before it.
bool solveLeastSquares(std::vector<double> &a, int n, int cols, std::vector<double> &b1, std::vector<double> &b2,
                       double *x1, double *x2)
{
    // A column of a unit-norm matrix that keeps less than this of its length
    // outside the span of the others makes the solution meaningless.
    constexpr double kRankTolerance = 1e-10;
    std::vector<double> scale(static_cast<size_t>(cols));
    for (int j = 0; j < cols; ++j) {
        double s = 0;
        for (int i = 0; i < n; ++i) s += a[i * cols + j] * a[i * cols + j];
        s = std::sqrt(s);
        if (!(s > 0) || !std::isfinite(s)) return false;
        scale[j] = s;
        for (int i = 0; i < n; ++i) a[i * cols + j] /= s;
    }
    std::vector<double> diag(static_cast<size_t>(cols));
    for (int k = 0; k < cols; ++k) {
        double norm = 0;
        for (int i = k; i < n; ++i) norm += a[i * cols + k] * a[i * cols + k];
        norm = std::sqrt(norm);
        if (!(norm > kRankTolerance)) return false;
        const double alpha = a[k * cols + k] > 0 ? -norm : norm;
        // The reflector v = x - alpha e_k, kept in column k.
        a[k * cols + k] -= alpha;
        double vv = 0;
        for (int i = k; i < n; ++i) vv += a[i * cols + k] * a[i * cols + k];
        auto reflect = [&](auto &&at) {
            double dot = 0;
            for (int i = k; i < n; ++i) dot += a[i * cols + k] * at(i);
            const double f = 2 * dot / vv;
            for (int i = k; i < n; ++i) at(i) -= f * a[i * cols + k];
        };
        for (int j = k + 1; j < cols; ++j) reflect([&](int i) -> double & { return a[i * cols + j]; });
        reflect([&](int i) -> double & { return b1[i]; });
        reflect([&](int i) -> double & { return b2[i]; });
        diag[k] = alpha;
    }
    for (int k = cols - 1; k >= 0; --k) {
        double s1 = b1[k], s2 = b2[k];
        for (int j = k + 1; j < cols; ++j) {
            s1 -= a[k * cols + j] * x1[j];
            s2 -= a[k * cols + j] * x2[j];
        }
        x1[k] = s1 / diag[k];
        x2[k] = s2 / diag[k];
    }
    for (int j = 0; j < cols; ++j) {
        x1[j] /= scale[j];
        x2[j] /= scale[j];
        if (!std::isfinite(x1[j]) || !std::isfinite(x2[j])) return false;
    }
    return true;
}

}  // namespace

GeoFit fitGcps(std::vector<Gcp> &gcps, int order)
{
    GeoFit fit;
    const int nterms = geoTermCount(order);
    if (nterms < 0) return fit;
    GeoPoly &p = fit.poly;
    p.order = order;
    int n = 0;
    for (const Gcp &g : gcps)
        if (g.selected) {
            ++n;
            p.meanX1 += g.x1;
            p.meanY1 += g.y1;
            p.meanX2 += g.x2;
            p.meanY2 += g.y2;
        }
    fit.selected = n;
    if (n < nterms || n == 0) {
        fit.status = FitStatus::NotEnough;
        return fit;
    }
    p.meanX1 /= n;
    p.meanY1 /= n;
    p.meanX2 /= n;
    p.meanY2 /= n;

    std::vector<double> a(static_cast<size_t>(n) * nterms), bx(static_cast<size_t>(n)), by(static_cast<size_t>(n));
    int row = 0;
    for (const Gcp &g : gcps) {
        if (!g.selected) continue;
        geoTerms(order, g.x1 - p.meanX1, g.y1 - p.meanY1, &a[static_cast<size_t>(row) * nterms]);
        bx[row] = g.x2 - p.meanX2;
        by[row] = g.y2 - p.meanY2;
        ++row;
    }
    p.J.assign(static_cast<size_t>(nterms), 0.0);
    p.I.assign(static_cast<size_t>(nterms), 0.0);
    if (!solveLeastSquares(a, n, nterms, bx, by, p.J.data(), p.I.data())) {
        fit.status = FitStatus::Singular;
        return fit;
    }

    double sx = 0, sy = 0;
    double terms[kMaxGeoTerms];
    for (Gcp &g : gcps) {
        geoTerms(order, g.x1 - p.meanX1, g.y1 - p.meanY1, terms);
        double ex = g.x2 - p.meanX2, ey = g.y2 - p.meanY2;
        for (int t = 0; t < nterms; ++t) {
            ex -= p.J[t] * terms[t];
            ey -= p.I[t] * terms[t];
        }
        g.dx = static_cast<float>(ex);
        g.dy = static_cast<float>(ey);
        if (g.selected) {
            sx += ex * ex;
            sy += ey * ey;
        }
    }
    fit.rmsX = std::sqrt(sx / n);
    fit.rmsY = std::sqrt(sy / n);
    fit.rms = std::sqrt((sx + sy) / n);
    p.J[0] += p.meanX2;
    p.I[0] += p.meanY2;
    fit.status = FitStatus::Ok;
    return fit;
}

}  // namespace krel
