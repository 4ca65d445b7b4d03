// Values under the display: one pixel, lines, profiles and sections, and
// writing one pixel.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/tclutil.h"
#include "display/gimg_ops.h"
#include "display/sampling.h"
#include "image/formats/formats.h"

namespace krel {

namespace {

std::string fmt3(double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%-.3f ", v);
    return buf;
}

void setText(Tcl_Interp *interp, const std::string &s)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, s.c_str(), nullptr);
}

bool readDouble(Tcl_Interp *interp, const char *s, double *v) { return Tcl_GetDouble(interp, s, v) == TCL_OK; }
bool readInt(Tcl_Interp *interp, const char *s, int *v) { return Tcl_GetInt(interp, s, v) == TCL_OK; }

// The image position under a display point, with the Part's messages.
bool pixelUnder(GimgMaster *m, Tcl_Interp *interp, double u, double v, int *c, int *r)
{
    double x, y;
    displayToRender(m, u, v, &x, &y);
    if (!std::isfinite(x) || x < 0 || x >= m->colMap.length) {
        opError(interp, "Undefined column ");
        return false;
    }
    if (!std::isfinite(y) || y < 0 || y >= m->rowMap.length) {
        opError(interp, "Undefined row");
        return false;
    }
    *c = m->colMap.index[static_cast<size_t>(x)];
    *r = m->rowMap.index[static_cast<size_t>(y)];
    return true;
}

// Mean and deviation a "normalize" word divides by.
struct Normalizer {
    bool on = false;
    double mean = 0, sd = 0;
    double operator()(double v) const { return !on ? v : sd > 0 ? (v - mean) / sd : 0.0; }
};

bool normalizer(GimgMaster *m, Tcl_Interp *interp, const char *word, int channel, Normalizer *n)
{
    if (!word) return true;
    if (strcmp(word, "normalize") != 0) {
        opError(interp, std::string("Unknown pixel type: ") + word);
        return false;
    }
    ChannelSummary s = channelSummary(m, channel);
    n->on = true;
    n->mean = s.mean;
    n->sd = s.stdDev;
    return true;
}

// Bilinear value at a fractional image position: neighbours beyond the
// last column or row count as 0, points outside the image are 0.
double bilinear(GimgMaster *m, int channel, double x, double y)
{
    const ImageDef &d = m->image->def;
    if (!std::isfinite(x) || !std::isfinite(y) || x < 0 || y < 0 || x > d.columns - 1 || y > d.rows - 1) return 0;
    const int ix = static_cast<int>(x), iy = static_cast<int>(y);
    const double fx = x - ix, fy = y - iy;
    auto at = [&](int c, int r) { return c < d.columns && r < d.rows ? channelValue(m, channel, c, r) : 0.0; };
    return (1 - fx) * (1 - fy) * at(ix, iy) + fx * (1 - fy) * at(ix + 1, iy) + (1 - fx) * fy * at(ix, iy + 1) +
           fx * fy * at(ix + 1, iy + 1);
}

double nearest(GimgMaster *m, int channel, double x, double y, bool rounded)
{
    const ImageDef &d = m->image->def;
    if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) > 1e9 || std::fabs(y) > 1e9) return 0;
    const double cx = rounded ? roundAway(x) : std::trunc(x + 0.5);
    const double cy = rounded ? roundAway(y) : std::trunc(y + 0.5);
    if (cx < 0 || cy < 0 || cx >= d.columns || cy >= d.rows) return 0;
    return channelValue(m, channel, static_cast<int>(cx), static_cast<int>(cy));
}

int needImage(GimgMaster *m, Tcl_Interp *interp)
{
    if (m->image) return TCL_OK;
    return opError(interp, "Image not configured");
}

// lineh and linev: n values from the image point under (x, y) along its
// row or column.
int line(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv, bool horizontal)
{
    if (argc != 6 && argc != 7) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " band x y n ?normalize?", nullptr);
        return TCL_ERROR;
    }
    if (needImage(m, interp) != TCL_OK) return TCL_ERROR;
    int band, n;
    double u, v;
    if (!readInt(interp, argv[2], &band) || !readDouble(interp, argv[3], &u) || !readDouble(interp, argv[4], &v) ||
        !readInt(interp, argv[5], &n))
        return TCL_ERROR;
    const int channel = wrapChannel(m, band);
    n = std::max(n, 1);
    int c, r;
    if (!pixelUnder(m, interp, u, v, &c, &r)) return TCL_ERROR;
    Normalizer norm;
    if (!normalizer(m, interp, argc == 7 ? argv[6] : nullptr, channel, &norm)) return TCL_ERROR;
    std::string out;
    out.reserve(static_cast<size_t>(std::min(n, 1 << 20)) * 8);
    for (int i = 0; i < n; ++i) {
        // channelValue gives 0 beyond the last column or row.
        const double value = horizontal ? channelValue(m, channel, c + i, r) : channelValue(m, channel, c, r + i);
        out += fmt3(norm(value));
    }
    setText(interp, out);
    return TCL_OK;
}

}  // namespace

int gimgLineH(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    return line(m, interp, argc, argv, true);
}

int gimgLineV(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    return line(m, interp, argc, argv, false);
}

int gimgProfile(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 6 || argc > 11) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " band x y n [alpha step offset op normalize]",
                         nullptr);
        return TCL_ERROR;
    }
    if (needImage(m, interp) != TCL_OK) return TCL_ERROR;
    int band, n;
    double u, v, alpha = 0, step = 1.0;
    if (!readInt(interp, argv[2], &band) || !readDouble(interp, argv[3], &u) || !readDouble(interp, argv[4], &v) ||
        !readInt(interp, argv[5], &n))
        return TCL_ERROR;
    if (argc > 6 && !readDouble(interp, argv[6], &alpha)) return TCL_ERROR;
    if (argc > 7 && !readDouble(interp, argv[7], &step)) return TCL_ERROR;
    const int channel = wrapChannel(m, band);
    n = std::max(n, 1);
    int c, r;
    if (!pixelUnder(m, interp, u, v, &c, &r)) return TCL_ERROR;
    const double a = alpha * M_PI / 180.0, ca = std::cos(a), sa = std::sin(a);
    const char *offsetWord = argc > 8 ? argv[8] : "auto";
    double offset;
    if (strcmp(offsetWord, "pivot") == 0) {
        offset = std::trunc(-n / 2.0) * step;
    } else if (strcmp(offsetWord, "auto") == 0) {
        // Start at column 0. A (nearly) vertical line never reaches it: it
        // starts at the image row it enters from, the last row going up
        // (y = r - t sin alpha), the first going down.
        if (std::fabs(ca) > 1e-9)
            offset = -c / ca;
        else
            offset = sa > 0 ? -(m->image->def.rows - 1 - r) : -r;
    } else if (!readDouble(interp, offsetWord, &offset)) {
        return TCL_ERROR;
    }
    const bool bi = argc > 9 ? strcmp(argv[9], "BI") == 0 : true;
    Normalizer norm;
    if (!normalizer(m, interp, argc > 10 ? argv[10] : nullptr, channel, &norm)) return TCL_ERROR;
    std::string out;
    for (int i = 0; i < n; ++i) {
        const double t = offset + i * step;
        const double x = c + t * ca, y = r - t * sa;
        out += fmt3(norm(bi ? bilinear(m, channel, x, y) : nearest(m, channel, x, y, true)));
    }
    setText(interp, out);
    return TCL_OK;
}

int gimgSection(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 8 || argc > 10) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " band x0 y0 x1 y1 n [op normalize]", nullptr);
        return TCL_ERROR;
    }
    if (needImage(m, interp) != TCL_OK) return TCL_ERROR;
    int band, n;
    double x0, y0, x1, y1;
    if (!readInt(interp, argv[2], &band) || !readDouble(interp, argv[3], &x0) || !readDouble(interp, argv[4], &y0) ||
        !readDouble(interp, argv[5], &x1) || !readDouble(interp, argv[6], &y1) || !readInt(interp, argv[7], &n))
        return TCL_ERROR;
    const int channel = wrapChannel(m, band);
    n = std::max(n, 1);
    const bool bi = argc > 8 ? strcmp(argv[8], "BI") == 0 : true;
    Normalizer norm;
    if (!normalizer(m, interp, argc > 9 ? argv[9] : nullptr, channel, &norm)) return TCL_ERROR;
    std::string out;
    for (int i = 0; i < n; ++i) {
        // One point is the start point.
        const double f = n > 1 ? static_cast<double>(i) / (n - 1) : 0.0;
        const double x = x0 + f * (x1 - x0), y = y0 + f * (y1 - y0);
        out += fmt3(norm(bi ? bilinear(m, channel, x, y) : nearest(m, channel, x, y, false)));
    }
    setText(interp, out);
    return TCL_OK;
}

int gimgPixel(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 4 && argc != 5) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " pixel x y [truevalue|normalize|relative|rgb|display]", nullptr);
        return TCL_ERROR;
    }
    if (needImage(m, interp) != TCL_OK) return TCL_ERROR;
    double u, v;
    if (!readDouble(interp, argv[2], &u) || !readDouble(interp, argv[3], &v)) return TCL_ERROR;
    const char *mode = argc == 5 ? argv[4] : "truevalue";
    static const char *const kModes[] = {"truevalue", "normalize", "relative", "rgb", "display"};
    int which = -1;
    for (int i = 0; i < 5; ++i)
        if (strcmp(mode, kModes[i]) == 0) which = i;
    int c, r;
    if (!pixelUnder(m, interp, u, v, &c, &r)) return TCL_ERROR;
    if (which < 0) return opError(interp, std::string("Unknown pixel type: ") + mode);
    RamImage *img = m->image;
    const int first = m->paletteInUse ? 0 : 1;
    const int last = m->paletteInUse ? 3 : img->def.nbands;
    std::string out;
    char buf[64];
    if (which == 0 || which == 1) {
        for (int ch = first; ch <= last; ++ch) {
            double value = channelValue(m, ch, c, r);
            if (which == 1) {
                ChannelSummary s = channelSummary(m, ch);
                value = s.stdDev > 0 ? (value - s.mean) / s.stdDev : 0.0;
            }
            out += fmt3(value);
        }
    } else if (which == 2) {
        double low = 0, high = 0;
        if (m->paletteInUse) {
            low = 255;
            for (int i = 0; i < std::clamp(m->paletteCount, 1, 256); ++i)
                for (int k = 0; k < 3; ++k) {
                    low = std::min<double>(low, m->palette[i][k]);
                    high = std::max<double>(high, m->palette[i][k]);
                }
        } else {
            low = 1e300;
            high = -1e300;
            for (int ch = 1; ch <= last; ++ch) {
                ChannelSummary s = channelSummary(m, ch);
                low = std::min(low, s.min);
                high = std::max(high, s.max);
            }
        }
        for (int ch = first; ch <= last; ++ch) {
            const double value = channelValue(m, ch, c, r);
            out += high > low ? fmt3(((value - low) / (high - low) - 0.5) * 2) : std::string("0.000 ");
        }
    } else if (which == 3) {
        const bool isFloat = img->def.pixel == PIX_FLOAT;
        if (m->paletteInUse) {
            snprintf(buf, sizeof buf, "i:%d ", static_cast<int>(channelValue(m, 0, c, r)));
            out += buf;
        }
        const int count = std::clamp(m->o.comb.count, 1, 3);
        auto value = [&](int k) {
            return m->paletteInUse ? channelValue(m, std::clamp(m->o.comb.band[k], 1, 3), c, r)
                                   : channelValue(m, m->ch[k].band + 1, c, r);
        };
        if (count == 1) {
            if (isFloat && !m->paletteInUse)
                snprintf(buf, sizeof buf, "v: %.3f", value(0));
            else
                snprintf(buf, sizeof buf, "v: %d", static_cast<int>(roundAway(value(0))));
            out += buf;
        } else {
            static const char *const kNames[] = {"r", "g", "b"};
            for (int k = 0; k < 3; ++k) {
                const double val = k < count ? value(k) : 0.0;
                const char *sep = k < 2 ? " " : "";
                if (isFloat && !m->paletteInUse)
                    snprintf(buf, sizeof buf, "%s:%.3f%s", kNames[k], val, sep);
                else
                    snprintf(buf, sizeof buf, "%s:%d%s", kNames[k], static_cast<int>(roundAway(val)), sep);
                out += buf;
            }
        }
    } else {
        // What the tables give for this pixel in each channel.
        const int count = std::clamp(m->o.comb.count, 1, 3);
        int shown[3] = {0, 0, 0};
        for (int k = 0; k < count; ++k) {
            const GimgChannel &chn = m->ch[k];
            if (chn.band < 0 || chn.band >= img->def.nbands) continue;
            const uint8_t *lineData = getLine(img, r, chn.band, 1);
            if (!lineData) continue;
            LineSampler s;
            s.pixel = img->def.pixel;
            s.msbf = img->def.msbf;
            s.low = chn.low;
            s.high = chn.high;
            s.table = chn.table;
            uint8_t component[256];
            if (m->paletteInUse) {
                const int comp = std::clamp(m->o.comb.band[k] - 1, 0, 2);
                for (int i = 0; i < 256; ++i) component[i] = m->palette[i][comp];
                s.component = component;
            }
            const int32_t map[1] = {c};
            uint8_t value = 0;
            sampleLine(s, lineData, map, 1, 0, 1, &value);
            shown[k] = value;
        }
        if (count == 1) shown[1] = shown[2] = shown[0];
        for (int k = 0; k < 3; ++k) {
            snprintf(buf, sizeof buf, "%3d ", shown[k]);
            out += buf;
        }
    }
    setText(interp, out);
    return TCL_OK;
}

int gimgSetPixel(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 4) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " setPixel x y v1 v2 ... vn", nullptr);
        return TCL_OK;
    }
    if (needImage(m, interp) != TCL_OK) return TCL_ERROR;
    double u, v;
    if (!readDouble(interp, argv[2], &u) || !readDouble(interp, argv[3], &v)) return TCL_ERROR;
    int c, r;
    if (!displayPixel(m, u, v, &c, &r) || c < 0 || r < 0 || c >= m->image->def.columns || r >= m->image->def.rows)
        return opError(interp, "pixel is out of image\n");
    RamImage *img = m->image;
    const int nb = img->def.nbands;
    std::vector<double> values(static_cast<size_t>(nb), 0.0);
    double last = 0;
    for (int b = 0; b < nb; ++b) {
        if (4 + b < argc) {
            if (!readDouble(interp, argv[4 + b], &last)) return TCL_ERROR;
        }
        values[static_cast<size_t>(b)] = last;
    }
    // Colour indices stay inside the palette.
    if (img->def.nindices > 0)
        for (double &x : values) x = std::clamp(x, 0.0, static_cast<double>(std::min(img->def.nindices, 256) - 1));
    for (int b = 0; b < nb; ++b) {
        const float value = static_cast<float>(values[static_cast<size_t>(b)]);
        if (putFloatLine(img, r, c, 1, b, &value) != 1) {
            Tcl_ResetResult(interp);
            Tcl_AppendResult(interp, "Error in write ramimg\n", nullptr);
            return TCL_ERROR;
        }
    }
    notifyClients(img, m->clientId, NOTIFY_DATA);
    discardBandStats(img);
    ++m->dataSerial;
    if (m->o.update) redrawGimg(m);
    return TCL_OK;
}

}  // namespace krel
