// Histograms and statistics of a gimg display's image.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "display/gimg_ops.h"

namespace krel {

int gimgHist(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 4) {
        Tcl_AppendResult(interp, "wrong # args: should be \"", argv[0], " ", argv[1], " ?band?\"", nullptr);
        return TCL_ERROR;
    }
    if (!m->image) return opError(interp, "Image not configured");
    int band = 1;
    if (argc > 2 && Tcl_GetInt(nullptr, argv[2], &band) != TCL_OK)
        return opError(interp, std::string("Invalid band number: ") + argv[2]);
    const int bands = m->paletteInUse ? 3 : m->image->def.nbands;
    if (band < 0) {
        appendResult(interp, "%d", bands);
        return TCL_OK;
    }
    // A band the image does not have is refused rather than wrapped.
    if (band > bands) return opError(interp, std::string("Invalid band number: ") + argv[2]);
    const char *type = argc > 3 ? argv[3] : "long";
    int kind;
    if (strcmp(type, "long") == 0) kind = 0;
    else if (strcmp(type, "short") == 0) kind = 1;
    else if (strcmp(type, "normalize") == 0) kind = 2;
    else return opError(interp, std::string("Unknown histogram type: ") + type);
    const int channel = std::max(band, 1);
    ChannelSummary s = channelSummary(m, channel);
    if (!s.ok) return opError(interp, "Error in image histogram calculation");
    std::string out;
    char buf[160];
    snprintf(buf, sizeof buf, "{%-.1f %-.8f %-.8f %-.8f %-.8f} ", s.count, s.mean, s.stdDev, s.min, s.max);
    out += buf;
    double peak = 0;
    for (const auto &b : s.bins) peak = std::max(peak, b.second);
    for (const auto &b : s.bins) {
        if (kind != 1 && b.second <= 0) continue;
        if (kind == 2)
            snprintf(buf, sizeof buf, "{%d %.3f} ", b.first, peak > 0 ? b.second * 100.0 / peak : 0.0);
        else
            snprintf(buf, sizeof buf, "{%d %d} ", b.first, static_cast<int>(b.second));
        out += buf;
    }
    Tcl_AppendResult(interp, out.c_str(), nullptr);
    return TCL_OK;
}

namespace {

enum StatKind { STATS, STD, MEAN, MIN, MAX };

void appendStat(std::string *out, StatKind what, double mean, double sd, double lo, double hi, bool normalize)
{
    if (normalize && sd != 0) {
        lo = (lo - mean) / sd;
        hi = (hi - mean) / sd;
        mean = 0;
        sd = 1;
    }
    char buf[160];
    if (what == STATS) snprintf(buf, sizeof buf, "{%-.3f %-.3f %-.3f %-.3f} ", mean, sd, lo, hi);
    else snprintf(buf, sizeof buf, "%-.3f ", what == STD ? sd : what == MEAN ? mean : what == MIN ? lo : hi);
    *out += buf;
}

// Statistics of the pixels whose bit is set (rows of `stride` bytes, first
// pixel in the least significant bit).
int maskedStats(GimgMaster *m, Tcl_Interp *interp, StatKind what, bool normalize, const std::vector<uint8_t> &bits,
                size_t stride)
{
    const int first = m->paletteInUse ? 0 : 1;
    const int last = m->paletteInUse ? 3 : m->image->def.nbands;
    const int cols = m->image->def.columns, rows = m->image->def.rows;
    std::string out;
    double count = 0;
    for (int ch = first; ch <= last; ++ch) {
        double n = 0, sum = 0, sq = 0, lo = 0, hi = 0;
        RamImage *img = m->image;
        for (int r = 0; r < rows; ++r) {
            const uint8_t *b = &bits[static_cast<size_t>(r) * stride];
            // Bands are read a line at a time; palette components through the index.
            const uint8_t *line = m->paletteInUse ? nullptr : img->getLine(img, r, ch - 1, 1);
            for (int c = 0; c < cols; ++c) {
                if (!((b[c >> 3] >> (c & 7)) & 1)) continue;
                const double v = m->paletteInUse ? channelValue(m, ch, c, r)
                                 : line           ? lineValue(line, img->def.pixel, img->def.msbf, c)
                                                  : 0.0;
                if (n == 0 || v < lo) lo = n == 0 ? v : std::min(lo, v);
                if (n == 0 || v > hi) hi = n == 0 ? v : std::max(hi, v);
                ++n;
                sum += v;
                sq += v * v;
            }
        }
        const double mean = n > 0 ? sum / n : 0;
        const double sd = n > 0 ? std::sqrt(std::max(0.0, sq / n - mean * mean)) : 0;
        appendStat(&out, what, mean, sd, lo, hi, normalize);
        count = n;
    }
    char buf[40];
    snprintf(buf, sizeof buf, "%.1f", count);
    out += buf;
    Tcl_AppendResult(interp, out.c_str(), nullptr);
    return TCL_OK;
}

}  // namespace

int gimgStats(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    StatKind what;
    const char *word = argv[1];
    if (strncmp(word, "stats", strlen(word)) == 0) what = STATS;
    else if (strncmp(word, "std", strlen(word)) == 0) what = STD;
    else if (strcmp(word, "mean") == 0) what = MEAN;
    else if (strcmp(word, "min") == 0) what = MIN;
    else if (strcmp(word, "max") == 0) what = MAX;
    else return opError(interp, "unknown stats.");
    const char *mode = argc > 2 ? argv[2] : "";
    const bool normalize = strcmp(mode, "normalize") == 0;
    if (!normalize && mode[0] && strcmp(mode, "true") != 0 && strcmp(mode, "update") != 0) {
        Tcl_AppendResult(interp, "Wrong # args. should be: \"", argv[0], " ", argv[1],
                         "[normalize|[true|{}]] [mask args]\"", nullptr);
        return TCL_ERROR;
    }
    if (!m->image) return opError(interp, "Image not configured");
    if (strcmp(mode, "update") == 0) {
        // New statistics, and the display defaults that follow from them.
        discardBandStats(m->image);
        if (computeBandStats(m->image, STATS_RECOMPUTE, 1, 1) != 0)
            return opError(interp, "Error in image histogram calculation");
        ++m->dataSerial;
        buildTables(m, true);
        redrawGimg(m);
        return TCL_OK;
    }
    if (argc > 3) {
        if (strcmp(argv[3], "mask") != 0) {
            Tcl_AppendResult(interp, "Wrong # args. should be: \"", argv[0], " ", argv[1],
                             "[normalize|[true|{}]] [mask args]\"", nullptr);
            return TCL_ERROR;
        }
        std::vector<uint8_t> bits;
        const int cols = m->image->def.columns, rows = m->image->def.rows;
        const size_t stride = static_cast<size_t>((cols + 7) / 8);
        if (argc == 4) {
            if (!buildMaskImage(m) || !m->maskImage) return opError(interp, "No mask image available.\n");
            RamImage *mi = m->maskImage;
            bits.assign(stride * static_cast<size_t>(rows), 0);
            for (int r = 0; r < rows && r < mi->def.rows; ++r)
                if (const uint8_t *line = mi->getLine(mi, r, 0, 1))
                    memcpy(&bits[static_cast<size_t>(r) * stride], line, std::min<size_t>(stride, mi->lineBytes));
        } else {
            MaskPlane plane;
            if (!parseMaskObjects(m, interp, argc - 4, argv + 4, &plane) || !rasterPlane(m, plane, &bits))
                return opError(interp, "Error in parsing ROIs.\n");
        }
        return maskedStats(m, interp, what, normalize, bits, stride);
    }
    const int first = m->paletteInUse ? 0 : 1;
    const int last = m->paletteInUse ? 3 : m->image->def.nbands;
    std::string out;
    char buf[160];
    double count = 0;
    for (int ch = first; ch <= last; ++ch) {
        ChannelSummary s = channelSummary(m, ch);
        if (!s.ok) return opError(interp, "Error in image histogram calculation");
        if (ch == first) count = s.count;
        appendStat(&out, what, s.mean, s.stdDev, s.min, s.max, normalize);
    }
    snprintf(buf, sizeof buf, "%.1f", count);
    out += buf;
    Tcl_AppendResult(interp, out.c_str(), nullptr);
    return TCL_OK;
}

}  // namespace krel
