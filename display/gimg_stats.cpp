// Histograms and statistics of a gimg display's image.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

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
    const int channel = m->paletteInUse ? std::max(band, 1) : std::max(band, 1);
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

int gimgStats(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    enum { STATS, STD, MEAN, MIN, MAX } what;
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
        if (!m->maskImage) return opError(interp, "No mask image available.\n");
        Tcl_AppendResult(interp, argv[0], " ", argv[1], " mask is not available in this build.", nullptr);
        return TCL_ERROR;
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
        double mean = s.mean, sd = s.stdDev, lo = s.min, hi = s.max;
        if (normalize && sd != 0) {
            lo = (lo - mean) / sd;
            hi = (hi - mean) / sd;
            mean = 0;
            sd = 1;
        }
        if (what == STATS) snprintf(buf, sizeof buf, "{%-.3f %-.3f %-.3f %-.3f} ", mean, sd, lo, hi);
        else snprintf(buf, sizeof buf, "%-.3f ", what == STD ? sd : what == MEAN ? mean : what == MIN ? lo : hi);
        out += buf;
    }
    snprintf(buf, sizeof buf, "%.1f", count);
    out += buf;
    Tcl_AppendResult(interp, out.c_str(), nullptr);
    return TCL_OK;
}

}  // namespace krel
