#include "analysis/georesample.h"

#include <algorithm>
#include <cmath>

namespace krel {

void rowPoly(const GeoSampler &s, int row, RowPoly *p)
{
    const GeoPoly &g = s.poly;
    const double v = s.av + s.sv * row;
    if (g.order == 0) {  // 1, u, v, u v
        p->degree = 1;
        p->x[0] = g.J[0] + g.J[2] * v;
        p->x[1] = g.J[1] + g.J[3] * v;
        p->y[0] = g.I[0] + g.I[2] * v;
        p->y[1] = g.I[1] + g.I[3] * v;
        return;
    }
    const int order = g.order;
    p->degree = order;
    // The term u^i v^j of degree d = i + j sits at d (d + 1) / 2 + j.
    for (int i = 0; i <= order; ++i) {
        double x = 0, y = 0, vj = 1;
        for (int j = 0; i + j <= order; ++j) {
            const int d = i + j, t = d * (d + 1) / 2 + j;
            x += g.J[t] * vj;
            y += g.I[t] * vj;
            vj *= v;
        }
        p->x[i] = x;
        p->y[i] = y;
    }
}

namespace {

inline double horner(const double *c, int degree, double u)
{
    double r = c[degree];
    for (int k = degree - 1; k >= 0; --k) r = r * u + c[k];
    return r;
}

struct Box {
    double xmin = HUGE_VAL, xmax = -HUGE_VAL, ymin = HUGE_VAL, ymax = -HUGE_VAL;
    void add(double x, double y)
    {
        if (std::isfinite(x) && std::isfinite(y)) {
            xmin = std::min(xmin, x);
            xmax = std::max(xmax, x);
            ymin = std::min(ymin, y);
            ymax = std::max(ymax, y);
        }
    }
};

// Real roots of c0 + c1 u + c2 u^2 (c2 may be 0).
int quadraticRoots(double c0, double c1, double c2, double *roots)
{
    if (c2 == 0) {
        if (c1 == 0) return 0;
        roots[0] = -c0 / c1;
        return 1;
    }
    const double disc = c1 * c1 - 4 * c2 * c0;
    if (disc < 0) return 0;
    const double q = -0.5 * (c1 + std::copysign(std::sqrt(disc), c1));
    int n = 0;
    if (q != 0) roots[n++] = c0 / q;
    roots[n++] = q / c2;
    return n;
}

// Adds the extremes of one coordinate's row polynomial over [ua, ub]: the
// ends and, up to degree 3, the stationary points inside; higher degrees
// are evaluated at every column.
void addRowExtremes(const RowPoly &p, const GeoSampler &s, int c0, int cols, Box *box)
{
    const double ua = s.au + s.su * c0, ub = s.au + s.su * (c0 + cols - 1);
    const double lo = std::min(ua, ub), hi = std::max(ua, ub);
    box->add(horner(p.x, p.degree, ua), horner(p.y, p.degree, ua));
    box->add(horner(p.x, p.degree, ub), horner(p.y, p.degree, ub));
    if (p.degree <= 1) return;
    if (p.degree > 3) {
        for (int c = 1; c < cols - 1; ++c) {
            const double u = s.au + s.su * (c0 + c);
            box->add(horner(p.x, p.degree, u), horner(p.y, p.degree, u));
        }
        return;
    }
    for (const double *coef : {p.x, p.y}) {
        double roots[2];
        const double d3 = p.degree == 3 ? 3 * coef[3] : 0;
        const int n = quadraticRoots(coef[1], 2 * coef[2], d3, roots);
        for (int k = 0; k < n; ++k)
            if (roots[k] > lo && roots[k] < hi) box->add(horner(p.x, p.degree, roots[k]), horner(p.y, p.degree, roots[k]));
    }
}

// [floor(lo) - 1, floor(hi) + 2] within [0, size - 1]: the nearest and the
// bilinear neighbours of every position, with a pixel to spare for rounding.
bool windowRange(double lo, double hi, int size, int *first, int *count)
{
    const double a = std::max(std::floor(lo) - 1, 0.0), b = std::min(std::floor(hi) + 2, size - 1.0);
    if (!(a <= b)) return false;
    *first = static_cast<int>(a);
    *count = static_cast<int>(b) - *first + 1;
    return true;
}

}  // namespace

bool rowAllInside(const GeoSampler &s, int row, int c0, int cols)
{
    if (cols <= 0) return false;
    RowPoly p;
    rowPoly(s, row, &p);
    Box box;
    addRowExtremes(p, s, c0, cols, &box);
    // A margin far above the rounding of the pixels' own evaluation.
    constexpr double kMargin = 1e-6;
    return box.xmin >= -0.5 + kMargin && box.xmax < s.inCols - 0.5 - kMargin && box.ymin >= -0.5 + kMargin &&
           box.ymax < s.inRows - 0.5 - kMargin;
}

SourceWindow sourceWindow(const GeoSampler &s, int r0, int c0, int rows, int cols)
{
    Box box;
    RowPoly p;
    if (rows <= 0 || cols <= 0) return {};
    if (s.poly.order <= 1) {
        // Affine or bilinear (linear in u and in v): the corners bound every pixel.
        for (int r : {r0, r0 + rows - 1}) {
            rowPoly(s, r, &p);
            addRowExtremes(p, s, c0, cols, &box);
        }
    } else {
        for (int r = r0; r < r0 + rows; ++r) {
            rowPoly(s, r, &p);
            addRowExtremes(p, s, c0, cols, &box);
        }
    }
    SourceWindow w;
    if (!windowRange(box.xmin, box.xmax, s.inCols, &w.x0, &w.cols) ||
        !windowRange(box.ymin, box.ymax, s.inRows, &w.y0, &w.rows))
        return {};
    return w;
}

namespace {

// Rows are halved first: blocks as wide as the region keep every output row
// whole, so that it is read and written once; columns are halved only when
// a single row needs too large a window.
void splitBlocks(const GeoSampler &s, OutputBlock b, int sampleSize, size_t maxBytes, std::vector<OutputBlock> *out)
{
    b.window = sourceWindow(s, b.r0, b.c0, b.rows, b.cols);
    if (b.window.samples() * static_cast<size_t>(sampleSize) <= maxBytes || (b.rows == 1 && b.cols == 1)) {
        out->push_back(b);
        return;
    }
    OutputBlock first = b, second = b;
    if (b.rows > 1) {
        first.rows = b.rows / 2;
        second.r0 = b.r0 + first.rows;
        second.rows = b.rows - first.rows;
    } else {
        first.cols = b.cols / 2;
        second.c0 = b.c0 + first.cols;
        second.cols = b.cols - first.cols;
    }
    splitBlocks(s, first, sampleSize, maxBytes, out);
    splitBlocks(s, second, sampleSize, maxBytes, out);
}

}  // namespace

std::vector<OutputBlock> planBlocks(const GeoSampler &s, int r0, int c0, int rows, int cols, int sampleSize,
                                    size_t maxBytes)
{
    std::vector<OutputBlock> blocks;
    if (rows <= 0 || cols <= 0) return blocks;
    splitBlocks(s, OutputBlock{r0, c0, rows, cols, {}}, sampleSize, maxBytes, &blocks);
    return blocks;
}

namespace {

// The nearest sample of x >= -0.5 and the pixel left of x >= -1 by
// truncation, which the inside test makes safe (no rounding mode calls).
inline int nearestIndex(double x) { return static_cast<int>(x + 0.5); }
inline int floorIndex(double x) { return static_cast<int>(x + 1.0) - 1; }

// Bilinear values of byte samples stay within 0..255 and are stored rounded
// half up; wider ones stay doubles for the pixel writer.
template <class Out>
inline Out store(double v)
{
    if constexpr (sizeof(Out) == 1)
        return static_cast<Out>(static_cast<int>(v + 0.5));
    else
        return v;
}

template <class T, class Out, int Degree, bool Bilinear>
void resampleKernel(const GeoSampler &s, const RowPoly &p, int c0, int n, const T *win, const SourceWindow &w,
                    Out *out)
{
    const int degree = Degree > 0 ? Degree : p.degree;
    const double xEnd = s.inCols - 0.5, yEnd = s.inRows - 0.5;
    const int lastCol = s.inCols - 1, lastRow = s.inRows - 1;
    const int wx1 = w.cols - 1, wy1 = w.rows - 1;
    for (int k = 0; k < n; ++k) {
        const double u = s.au + s.su * (c0 + k);
        double x, y;
        if (Degree == 1) {
            x = p.x[0] + p.x[1] * u;
            y = p.y[0] + p.y[1] * u;
        } else if (Degree == 2) {
            x = p.x[0] + u * (p.x[1] + u * p.x[2]);
            y = p.y[0] + u * (p.y[1] + u * p.y[2]);
        } else {
            x = horner(p.x, degree, u);
            y = horner(p.y, degree, u);
        }
        // Written so that NaN positions fail too.
        if (!(x >= -0.5 && x < xEnd && y >= -0.5 && y < yEnd)) continue;
        if (!Bilinear) {
            const int ix = std::clamp(nearestIndex(x) - w.x0, 0, wx1);
            const int iy = std::clamp(nearestIndex(y) - w.y0, 0, wy1);
            out[k] = static_cast<Out>(win[static_cast<size_t>(iy) * w.cols + ix]);
            continue;
        }
        const int x0 = floorIndex(x), y0 = floorIndex(y);
        const double fx = x - x0, fy = y - y0;
        // All four neighbours inside the input and the window: no clamping.
        const unsigned ix = static_cast<unsigned>(x0 - w.x0), iy = static_cast<unsigned>(y0 - w.y0);
        if (x0 >= 0 && x0 < lastCol && y0 >= 0 && y0 < lastRow && ix < static_cast<unsigned>(wx1) &&
            iy < static_cast<unsigned>(wy1)) {
            const T *q = win + static_cast<size_t>(iy) * w.cols + ix;
            out[k] = store<Out>((1 - fy) * ((1 - fx) * q[0] + fx * q[1]) + fy * ((1 - fx) * q[w.cols] + fx * q[w.cols + 1]));
            continue;
        }
        const int xa = std::clamp(std::max(x0, 0) - w.x0, 0, wx1), xb = std::clamp(std::min(x0 + 1, lastCol) - w.x0, 0, wx1);
        const int ya = std::clamp(std::max(y0, 0) - w.y0, 0, wy1), yb = std::clamp(std::min(y0 + 1, lastRow) - w.y0, 0, wy1);
        const T *ra = win + static_cast<size_t>(ya) * w.cols, *rb = win + static_cast<size_t>(yb) * w.cols;
        out[k] = store<Out>((1 - fy) * ((1 - fx) * ra[xa] + fx * ra[xb]) + fy * ((1 - fx) * rb[xa] + fx * rb[xb]));
    }
}

template <class T, class Out, bool Bilinear>
void resampleDegree(const GeoSampler &s, const RowPoly &p, int c0, int n, const T *win, const SourceWindow &w,
                    Out *out)
{
    switch (p.degree) {
    case 1: resampleKernel<T, Out, 1, Bilinear>(s, p, c0, n, win, w, out); break;
    case 2: resampleKernel<T, Out, 2, Bilinear>(s, p, c0, n, win, w, out); break;
    default: resampleKernel<T, Out, -1, Bilinear>(s, p, c0, n, win, w, out); break;
    }
}

template <class T, class Out>
void resampleAny(const GeoSampler &s, int row, int c0, int n, const T *win, const SourceWindow &w, bool bilinear,
                 Out *out)
{
    if (w.cols <= 0 || w.rows <= 0) return;
    RowPoly p;
    rowPoly(s, row, &p);
    if (bilinear)
        resampleDegree<T, Out, true>(s, p, c0, n, win, w, out);
    else
        resampleDegree<T, Out, false>(s, p, c0, n, win, w, out);
}

}  // namespace

void resampleRow(const GeoSampler &s, int row, int c0, int n, const uint8_t *window, const SourceWindow &w,
                 bool bilinear, double *out)
{
    resampleAny(s, row, c0, n, window, w, bilinear, out);
}

void resampleRow(const GeoSampler &s, int row, int c0, int n, const float *window, const SourceWindow &w,
                 bool bilinear, double *out)
{
    resampleAny(s, row, c0, n, window, w, bilinear, out);
}

void resampleRow(const GeoSampler &s, int row, int c0, int n, const uint8_t *window, const SourceWindow &w,
                 bool bilinear, uint8_t *out)
{
    resampleAny(s, row, c0, n, window, w, bilinear, out);
}

}  // namespace krel
