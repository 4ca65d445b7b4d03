// The `rimage` subcommands that read and change pixels and colour tables:
// colour indices, change notices, statistics and drawing.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <tcl.h>

#include "core/runtime.h"
#include "core/tclutil.h"
#include "core/texts.h"
#include "image/formats/formats.h"
#include "image/module_util.h"
#include "image/ramimage.h"
#include "image/raster.h"
#include "image/registry.h"
#include "image/rimage_cmd.h"

namespace krel {

int rimageGetIndices(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Usage: ", argv[0], " getIndices imgid [index]", nullptr);
        return TCL_ERROR;
    }
    int error = IMGERR_OK;
    ImageHold held(argv[2], &error);
    if (!held) return rimageFailOpen(interp, error, std::string("Error in open ") + argv[2]);
    const ImageDef &d = held.get()->def;
    ObjRef result(Tcl_NewListObj(0, nullptr));
    auto add = [&](int i) {
        Tcl_ListObjAppendElement(nullptr, result, Tcl_ObjPrintf("%d %d %d %d", i, d.palette[i][0], d.palette[i][1],
                                                                d.palette[i][2]));
    };
    if (d.nindices > 0) {
        if (argc == 3) {
            for (int i = 0; i < std::min(d.nindices, 256); ++i) add(i);
        } else {
            for (int k = 3; k < argc; ++k) {
                int a, b;
                int n = sscanf(argv[k], "%d-%d", &a, &b);
                if (n < 1) return rimageFail(interp, "Invalid index.");
                if (n == 1) b = a;
                if (a > b) std::swap(a, b);
                if (a < 0 || b > 255) return rimageFail(interp, "Invalid index.");
                for (int i = a; i <= b; ++i) add(i);
            }
        }
    }
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

int rimageSetIndices(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Usage: ", argv[0], " setIndices imgid {index r g b} ...", nullptr);
        return TCL_ERROR;
    }
    int error = IMGERR_OK;
    ImageHold held(argv[2], &error);
    if (!held) return rimageFailOpen(interp, error, std::string("Error in open ") + argv[2]);
    RamImage *img = held.get();
    ImageDef &d = img->def;
    if (d.nindices == 0) return rimageFail(interp, "Not a color index image.");
    for (int k = 3; k < argc; ++k) {
        int a, b, r, g, bl;
        if (sscanf(argv[k], "%d-%d %d %d %d", &a, &b, &r, &g, &bl) != 5) {
            if (sscanf(argv[k], "%d %d %d %d", &a, &r, &g, &bl) != 4) return rimageFail(interp, "Invalid color index specification.");
            b = a;
        }
        if (a > b) std::swap(a, b);
        if (a < 0 || b >= d.nindices || b > 255 || r < 0 || r > 255 || g < 0 || g > 255 || bl < 0 || bl > 255)
            return rimageFail(interp, "Invalid color index specification.");
        for (int i = a; i <= b; ++i) {
            d.palette[i][0] = static_cast<uint8_t>(r);
            d.palette[i][1] = static_cast<uint8_t>(g);
            d.palette[i][2] = static_cast<uint8_t>(bl);
        }
    }
    int status = 0;
    if (img->fileHandle >= 0 && (d.imgid == IMG_DIB || d.imgid == IMG_TIFF)) status = writeFilePalette(img);
    notifyClients(img, -1, NOTIFY_CONFIG);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(status));
    return TCL_OK;
}

int rimageUpdate(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3 || argc > 4) return rimageUsage(interp, argv, " imgID ?DISPLAY|CONFIG|ALL|DATA?", TCL_ERROR);
    RamImage *img = lookupTagThenFile(argv[2]);
    if (!img) return rimageFail(interp, std::string(texts::kCantFoundRamimg) + argv[2]);
    const char *what = argc == 4 ? argv[3] : "DISPLAY";
    int mask;
    if (strcmp(what, "DISPLAY") == 0) mask = NOTIFY_DATA;
    else if (strcmp(what, "CONFIG") == 0) mask = NOTIFY_CONFIG;
    else if (strcmp(what, "ALL") == 0) mask = NOTIFY_CONFIG | NOTIFY_DATA;
    else if (strcmp(what, "DATA") == 0) {
        // Lines changed in the file by someone else: read them again, after
        // writing back what this process changed.
        if (img->fileHandle >= 0) flushImage(img);
        invalidateCache(img);
        discardBandStats(img);
        mask = NOTIFY_DATA;
    } else {
        return rimageFail(interp, std::string("Invalid option: ") + what);
    }
    notifyClients(img, -1, mask);
    return TCL_OK;
}

int rimageHist(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    const char *id = nullptr, *list = nullptr;
    int dx = 1, dy = 1, update = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "-imgid") == 0) id = argv[i + 1];
        else if (strcmp(argv[i], "-dx") == 0 || strcmp(argv[i], "-dy") == 0) {
            // A step below one column or row would sample nothing.
            int step;
            if (Tcl_GetInt(nullptr, argv[i + 1], &step) != TCL_OK || step < 1)
                return rimageFail(interp, std::string("Invalid sampling step: ") + argv[i + 1]);
            (argv[i][2] == 'x' ? dx : dy) = step;
        }
        else if (strcmp(argv[i], "-u") == 0) update = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "-list") == 0) list = argv[i + 1];
        else return rimageFail(interp, "syntax error");
    }
    if (!id || (argc % 2) != 0)
        return rimageUsage(interp, argv, " -imgid imgid ?-dx DX? ?-dy DY? ?-u UPDATE? ?-list stats|hist?", TCL_ERROR);
    bool stats = false, hist = false;
    if (list) {
        stats = caseCompare(list, "stats") == 0;
        hist = caseCompare(list, "hist") == 0;
        if (!stats && !hist) return rimageFail(interp, "syntax error");
    }
    int error = IMGERR_OK;
    ImageHold held(id, &error);
    if (!held) return rimageFailOpen(interp, error, std::string("Fail to find RAMIMG: ") + id);
    RamImage *img = held.get();
    if (computeBandStats(img, STATS_RECOMPUTE, dx, dy) != 0) return rimageFail(interp, "Error in computing statistics.");
    Tcl_Obj *result = Tcl_NewObj();
    const ImageDef &d = img->def;
    for (int b = 0; b < d.nbands; ++b) {
        const BandStats &s = img->bandStats[b];
        if (stats) {
            double mean = s.mean, sd = s.stdDev, lo = s.min, hi = s.max;
            if (d.nindices > 0 && s.bins) {
                // Colour index images: statistics of the palette component.
                int comp = b % 3;
                double n = 0, sum = 0, sq = 0;
                lo = 1e300;
                hi = -1e300;
                for (int i = 0; i < s.nbins && i < 256; ++i) {
                    if (!s.bins[i]) continue;
                    double v = d.palette[i][comp];
                    n += s.bins[i];
                    sum += v * s.bins[i];
                    sq += v * v * s.bins[i];
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
                mean = n > 0 ? sum / n : 0;
                sd = n > 0 ? std::sqrt(std::max(0.0, sq / n - mean * mean)) : 0;
                if (n == 0) lo = hi = 0;
            }
            Tcl_ListObjAppendElement(nullptr, result, Tcl_ObjPrintf("%.4f %.4f %.4f %.4f", sd, mean, lo, hi));
        } else if (hist && d.bits <= 8 && s.bins) {
            Tcl_AppendToObj(result, "{", 1);
            for (int i = 0; i < s.nbins; ++i) Tcl_AppendPrintfToObj(result, i ? " %u" : "%u", s.bins[i]);
            Tcl_AppendToObj(result, "} ", 2);
        }
    }
    if (update) notifyClients(img, -1, NOTIFY_CONFIG);
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

int rimageDraw(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 5 || argc > 7) {
        Tcl_ResetResult(interp);
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Usage: %s %s imgID graphID coordList ?value? ?band?\n", argv[0], argv[1]));
        return TCL_OK;
    }
    int error = IMGERR_OK;
    ImageHold held(argv[2], &error);
    if (!held) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Error in open: %s\n", argv[2]));
        return TCL_ERROR;
    }
    RamImage *img = held.get();
    bool polygon;
    if (strcmp(argv[3], "line") == 0) polygon = false;
    else if (strcmp(argv[3], "polygon") == 0) polygon = true;
    else return rimageFail(interp, "Unknown graphic id\n");
    int value = 0, band = 1;
    if (argc > 5 && (Tcl_GetInt(nullptr, argv[5], &value) != TCL_OK || value < 0 || value > 255)) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Invalid color value: %s\n", argv[5]));
        return TCL_ERROR;
    }
    // Bands count from 1: band 0 names no band and is refused like any other.
    if (argc > 6 && (Tcl_GetInt(nullptr, argv[6], &band) != TCL_OK || band < 1 || band > img->def.nbands))
        return rimageFail(interp, "Invalid band number.\n");
    int count;
    const char **words;
    if (Tcl_SplitList(interp, argv[4], &count, &words) != TCL_OK) return TCL_ERROR;
    std::vector<double> xy;
    for (int i = 0; i < count; ++i) xy.push_back(atof(words[i]));
    Tcl_Free(reinterpret_cast<char *>(words));
    for (double c : xy)
        if (!std::isfinite(c)) return rimageFail(interp, "Invalid coordinate list.\n");
    int npts = static_cast<int>(xy.size() / 2);
    const float v = static_cast<float>(value);
    const int b = band - 1;
    auto plot = [&](int y, int x0, int x1) {
        for (int x = x0; x <= x1; ++x) putFloatLine(img, y, x, 1, b, &v);
    };
    if (!polygon || npts < 3) rasterPolyline(xy.data(), npts, img->def.columns, img->def.rows, plot);
    else rasterPolygon(xy.data(), npts, img->def.columns, img->def.rows, plot);
    notifyClients(img, -1, NOTIFY_DATA);
    return TCL_OK;
}


}  // namespace krel
