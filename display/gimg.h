// The gimg Tk image type: a display of a RAM image through per-channel
// enhancement tables, sampled at any magnification into a pixmap that is
// rebuilt only when something it depends on changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <tk.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "core/options.h"
#include "display/pixmap.h"
#include "display/colorcells.h"
#include "display/sampling.h"
#include "image/ramimage.h"

namespace krel {

// Enhancement functions (-func) and range modes (-range).
enum EnhanceFunc { FUNC_UNKNOWN = 0, FUNC_NONE = 1, FUNC_LINEAR = 2, FUNC_HISTS = 3, FUNC_HISTEQ = 4 };
enum RangeMode { RANGE_UNKNOWN = 0, RANGE_MEAN = 1, RANGE_DETAIL = 2 };

// The record Tk's configuration parser writes into (Tk_Offset-addressed, so
// it must stay a plain struct). Strings belong to Tk (Tk_FreeOptions).
struct GimgOptions {
    char *background;
    char *foreground;
    char *file;
    char *maskfile;
    char *maskclass;
    char *data;
    int32_t mapid;
    int32_t imgid;
    int offset;
    int32_t pixel;
    int nbands;
    int msbf;
    int rows;
    int columns;
    int left;
    int top;
    double x0, y0, dx, dy;
    int32_t func;
    int32_t range;
    double std;
    int test;
    int autod;
    int update;
    int width;
    int height;
    double mx, my;
    int sr, sc;
    double low[3];
    double high[3];
    PaletteSpec palette;
    int layer;
    BandComb comb;
    int maxw, maxh;
    int dither;
    double dg;
    int gmid;
    double gamma;
    double contrast;
    double bright;
    double sharpness;
    double emboss;
    int filterdir;
    int filterbg;
    int yflip, xflip;
    int rotate;
    int tile;
    int tw, th;
    int turbo;
    int maskon;
    int maskopaque;
    int maskimgband;
    char *stipple;
};

// What an enhancement table was last built from; a table is rebuilt only
// when this changes.
struct TableKey {
    int valid = 0;
    int func = 0, range = 0, gmid = 0, lo = 0, hi = 0, band = -1, component = -1;
    double std = 0, gamma = 0, low = 0, high = 0;
    uint32_t dataSerial = 0;
    bool operator==(const TableKey &o) const
    {
        return valid == o.valid && func == o.func && range == o.range && gmid == o.gmid && lo == o.lo &&
               hi == o.hi && band == o.band && component == o.component && std == o.std && gamma == o.gamma &&
               low == o.low && high == o.high && dataSerial == o.dataSerial;
    }
};

struct GimgChannel {
    int band = -1;          // source band from 0, -1: channel unused
    double low = 0;         // display range used to scale 16/32-bit and FLOAT data
    double high = 255;
    uint8_t table[256];     // enhancement table
    uint8_t remap[256];     // identity unless set through the look-up operations
    uint8_t lookup[256];    // getLookup/setLookup table
    TableKey key;
};

struct GimgMaster;

// A mask object in image coordinates (column, row pairs of edge positions):
// a rectangle or an oval's bounding box {c0 r0 c1 r1}, or a polygon.
enum MaskShape { SHAPE_RECT = 0, SHAPE_POLYGON = 1, SHAPE_OVAL = 2 };
enum MaskCombine { COMBINE_SET = 0, COMBINE_OR = 1, COMBINE_AND = 2, COMBINE_XOR = 3 };
struct MaskObject {
    int shape = SHAPE_RECT;
    int combine = COMBINE_OR;
    std::vector<double> points;
};
// A plane is present once objects were given or it was cleared; an empty
// present plane covers nothing.
struct MaskPlane {
    bool present = false;
    std::vector<MaskObject> objects;
};

// What the image holds on one display and colormap: every widget showing it
// there shares these X resources (Tk's instance of the image), so a widget
// on another screen or with a colormap of its own gets pixels of its own.
struct GimgInstance {
    GimgMaster *master = nullptr;
    GimgInstance *next = nullptr;
    int users = 0;  // widgets showing the image through this instance

    Display *display = nullptr;
    Colormap colormap = 0;
    Visual *visual = nullptr;
    int depth = 0;
    int screen = 0;

    GC gc = nullptr;
    GC maskGC = nullptr;  // for one-bit drawing

    // Viewport: the strip XImage and the pixmap of the visible area.
    XImage *ximage = nullptr;
    int ximageW = 0, ximageH = 0;
    PixmapHolder pixmap;
    uint32_t madeSerial = 0;  // the master's picture the pixmap shows

    // 8-bit displays: the colour cells of this colormap.
    ColorCells cells;

    // The master's colours and stipple in this colormap and on this screen.
    uint32_t coloursSerial = 0;
    unsigned long fgPixel = 0, bgPixel = 0;
    bool ownColours = false;   // allocated here (another display or colormap)
    Pixmap stipple = None;
    bool ownStipple = false;   // copied here (another display or screen)

    GC drawGC = nullptr;  // overlays (graph)

    // Depth-1 pixmap of the pixmap's size, 1 = shown.
    Pixmap maskBitmap = 0;
    bool maskActive = false;
};

struct GimgMaster {
    Tcl_Interp *interp = nullptr;
    Tcl_Command command = nullptr;
    Tk_ImageMaster tkMaster = nullptr;
    std::string name;

    // The main window: options are parsed and colours checked there.
    Tk_Window tkwin = nullptr;
    Display *display = nullptr;

    GimgOptions o{};

    // Counted references to RAM images, each bound through its own client.
    RamImage *image = nullptr;
    RamImage *maskImage = nullptr;   // the one-bit mask image made from the planes
    RamImage *maskSource = nullptr;  // the image whose classes mask the display
    RimageClient client{};
    RimageClient maskClient{};
    RimageClient maskSourceClient{};
    std::string attachedName;        // the -file value the image was attached under
    std::string maskSourceName;

    // Colours as the main window's colormap gives them; instances on other
    // colormaps allocate the same values there.
    XColor *fg = nullptr;
    XColor *bg = nullptr;
    Pixmap stipple = None;
    std::string fgName, bgName, stippleName;
    uint32_t coloursSerial = 1;  // bumps when a colour or the stipple changes

    uint8_t palette[256][3] = {};
    int paletteCount = 0;
    bool paletteInUse = false;  // channels show palette components of an index band
    bool paletteOwn = false;    // the colours were set by the script, not taken from the image

    GimgChannel ch[3];
    int outLo = 0, outHi = 255;  // output range from contrast and brightness

    SampleMap colMap, rowMap;

    int pixW = 0, pixH = 0;   // pixmap size (after rotation)
    int renderW = 0, renderH = 0;  // column map x row map lengths
    uint32_t pictureSerial = 1;    // bumps whenever the picture must be made again

    // 8-bit displays: the cells in effect (Default resolved).
    PaletteSpec cellSpec{{28, 0, 0, 0}};

    // Masks.
    uint8_t classVisible[256];
    bool maskClassParsed = false;
    std::string maskClassText;
    Region maskRegion = nullptr;
    MaskPlane dataPlane, clipPlane, frameStatic, frameDynamic;
    uint32_t maskSerial = 1;       // bumps when a plane or the class table changes
    uint32_t maskImageSerial = 0;  // the planes the mask image was made from
    uint32_t maskImageData = 0;    // and the pixels (of a class source)
    int maskImageMode = 0, maskImageBand = 0;

    // A view (copy, crop) follows the gimg image of this name: it draws that
    // image's RAM image through that image's tables, on its own maps.
    std::string viewSource;
    int viewStartCol = 0, viewStartRow = 0;
    double viewMagX = 1.0, viewMagY = 1.0;

    // Animation: interval in ms (-1 stopped, -2 the image's frame delay),
    // passes left, and the pending tick.
    int animInterval = -1;
    int animRepeat = 0;
    Tcl_TimerToken animTimer = nullptr;
    bool animIdle = false;

    GimgInstance *instances = nullptr;
    int instanceCount = 0;  // widgets showing the image

    // Bookkeeping of notifications from the bound RAM images.
    uint32_t dataSerial = 1;     // bumps when the pixels change (tables depend on them)
    int pendingNotify = 0;       // NOTIFY_CONFIG | NOTIFY_DATA waiting for the idle handler
    bool idleScheduled = false;
    bool deleted = false;        // resources released; the record lives while preserved
    int slot = -1;               // registry slot
    int clientId = 0;
    Tcl_ThreadId owner = nullptr;  // the thread of `interp`
};

// Registration of the image type (once per process).
int registerGimgType(Tcl_Interp *interp);

// Configuration entry used by creation and by the image command.
int configureGimg(GimgMaster *m, int argc, const char **argv, int flags);

// The option table and the replacement of a Tk-owned option string.
Tk_ConfigSpec *gimgConfigSpecs();
void setOptionString(char **field, const std::string &value);

// Configuration steps (each returns TCL_OK or TCL_ERROR with the result set).
int attachStringData(GimgMaster *m);
int attachFile(GimgMaster *m);
int applyByteOrder(GimgMaster *m);
// Copies the attached image's definition into the raw-geometry options (and,
// for a newly attached image, applies the palette rules of -palette Default).
// The placement, size, pixel type and map grid of a definition, into the
// raw-geometry options (a view takes its source's this way).
void copyGeometry(GimgOptions &o, const ImageDef &d);
void adoptDefinition(GimgMaster *m, bool newlyAttached);
// The steps that follow from the options and the attached image: geometry,
// GIF transparency, band combination, filters, enhancement tables. Shared by
// configuration and by change notifications.
int applyDerived(GimgMaster *m);

// Rendering: makes the instance's pixmap of the current picture, its X
// resources created on `drawable` (of the instance's depth) when missing.
bool makePixmap(GimgInstance *inst, Drawable drawable);
// The picture changed: every instance makes its pixmap again when drawn.
void invalidatePixmap(GimgMaster *m);
bool pixmapCurrent(const GimgInstance *inst);
void freeInstanceResources(GimgInstance *inst);
// The master's colours and stipple, and the colour cells of 8-bit visuals,
// made in the instance's colormap when they changed.
void ensureInstanceColours(GimgInstance *inst, Drawable drawable);
void ensureInstanceCells(GimgInstance *inst);
// Enhancement tables of the three channels (rebuilt only when their inputs changed).
void buildTables(GimgMaster *m, bool force);
// Geometry from the attached image and the options: sizes, maps, viewport.
int applyGeometry(GimgMaster *m);

// Masks.
int applyMaskOptions(GimgMaster *m);
bool buildMaskBitmap(GimgInstance *inst, Drawable drawable);
void freeMask(GimgInstance *inst);
void releaseMaskImages(GimgMaster *m);
// Class numbers "n" and ranges "a-b" as a 256-entry visibility table.
bool parseMaskClasses(const char *text, uint8_t visible[256]);
// Makes the one-bit mask image from the class, data and clip planes when
// they changed; false when no plane masks the display.
bool buildMaskImage(GimgMaster *m);
// Draws the frame objects as outlines on the instance's pixmap and mask.
void drawFrames(GimgInstance *inst);
// A plane rasterised alone in image coordinates, one bit a pixel, rows of
// (columns + 7) / 8 bytes, first pixel in the least significant bit.
bool rasterPlane(GimgMaster *m, const MaskPlane &plane, std::vector<uint8_t> *bits);

// The gimg image whose RAM image and tables a display draws: itself, or the
// source of a view (null when that source is gone).
GimgMaster *drawnSource(GimgMaster *m);

// Renders the display's channel levels (tables, palette, filters applied)
// one render row at a time, the channels averaged when `greyMean`; the sink
// gets the render row and the three level rows of renderW values, and
// stops the rendering by returning false.
using LevelSink = bool (*)(void *cd, int y, const uint8_t *c1, const uint8_t *c2, const uint8_t *c3);
bool renderLevels(GimgMaster *m, bool greyMean, LevelSink sink, void *cd);

// Tells Tk that the whole image changed (size included).
void gimgChanged(GimgMaster *m);

}  // namespace krel
