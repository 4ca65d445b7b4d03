// The operations of a gimg image's command, and what they share: the
// conversions between display, image, file and map coordinates, and the
// values of a channel of the attached image.
#pragma once

#include <string>

#include <tcl.h>

#include "display/gimg.h"

namespace krel {

using GimgOp = int (*)(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv);

// The configuration steps after the options changed (gimg_config.cpp).
int applyDerived(GimgMaster *m);

// Runs the subcommand argv[1] of the image command argv[0].
int runGimgOperation(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv);

// Rounds half away from zero.
double roundAway(double v);

// Display (after rotation) <-> the unrotated render position <-> image
// column and row. Image positions of integer render positions inside the
// maps come from the maps; others from the inverse formula, rounded.
void displayToRender(const GimgMaster *m, double u, double v, double *x, double *y);
void renderToDisplay(const GimgMaster *m, double x, double y, double *u, double *v);
double renderToImage(const SampleMap &map, double x);
double imageToRender(const SampleMap &map, double column);
void displayToImage(const GimgMaster *m, double u, double v, double *column, double *row);
void imageToDisplay(const GimgMaster *m, double column, double row, double *u, double *v);
// The image column or row under a display point; false outside the maps.
bool displayPixel(const GimgMaster *m, double u, double v, int *column, int *row);

// The channels a script names: bands count from 1 and wrap; palette images
// have 0 for the index and 1..3 for its red, green, blue.
int channelCount(const GimgMaster *m);
int wrapChannel(const GimgMaster *m, int band);
// A channel's value at an image position (0 outside the image or on a
// missing line).
double channelValue(GimgMaster *m, int channel, int column, int row);

// Statistics of a channel over the whole image (the band statistics of
// the image; palette components weighted by their index counts).
struct ChannelSummary {
    bool ok = false;
    double count = 0, mean = 0, stdDev = 0, min = 0, max = 0;
    std::vector<std::pair<int, double>> bins;  // value, count (types with bins)
};
ChannelSummary channelSummary(GimgMaster *m, int channel);

// Redraws every instance.
void redrawGimg(GimgMaster *m);

// Appends printf-formatted text to the interpreter's result.
void appendResult(Tcl_Interp *interp, const char *format, ...) __attribute__((format(printf, 2, 3)));
int opError(Tcl_Interp *interp, const std::string &message);

// The operation groups.
int gimgCanvToImg(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgCanvToFile(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgCanvToMap(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgImgToCanv(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgFileToCanv(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgMapToCanv(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgBitmapToFile(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgBitmapToMap(GimgMaster *, Tcl_Interp *, int, const char **);

int gimgPixel(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgLineH(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgLineV(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgProfile(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgSection(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgSetPixel(GimgMaster *, Tcl_Interp *, int, const char **);

int gimgHist(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgStats(GimgMaster *, Tcl_Interp *, int, const char **);

int gimgEnhance(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgGetLookup(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgSetLookup(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgSetRange(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgGetIndices(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgSetIndices(GimgMaster *, Tcl_Interp *, int, const char **);

int gimgRotate(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgSeek(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgAnimate(GimgMaster *, Tcl_Interp *, int, const char **);
int gimgResident(GimgMaster *, Tcl_Interp *, int, const char **);
void stopAnimation(GimgMaster *m);

}  // namespace krel
