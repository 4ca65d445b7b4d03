// Code tables of the image store and their name lookups.
#include "image/imagedef.h"

#include <cstdio>
#include <cstring>

namespace krel {

namespace {

const char *const kPixelNames[kPixelTypeCount] = {"UNKNOWN", "1BIT",  "4BITS",  "BYTE",  "SHORT",
                                                  "LONG",    "FLOAT", "USHORT", "ULONG", "SBYTE"};
const int kPixelBits[kPixelTypeCount] = {0, 1, 4, 8, 16, 32, 32, 16, 32, 8};

const char *const kFormatNames[kImageFormatCount] = {
    "UNKNOWN", "BSQ",    "BIL",    "BIP",    "E73",    "E74",     "ELAS",    "DIB",   "XBMP",
    "TIFF",    "GIF87a", "GIF89a", "FFT",    "PPM",    "JPEG",    "E74BSQ",  "MBSQ",  "MBIL",
    "MBIP",    "MPEG",   "MRGB32", "MRGB24", "MRGB565", "MRGB555", "MRGB8", "MRGB4", "MRGB1"};

// UTM1 ... UTM59 are generated once; the table keeps them for the life of the process.
struct MapNames {
    char utm[59][8];
    const char *names[kMapProjectionCount];
    MapNames()
    {
        names[MAP_UNKNOWN] = "UNKNOWN";
        names[MAP_GRID] = "GRID";
        names[MAP_UTM] = "UTM";
        for (int zone = 1; zone <= 59; ++zone) {
            snprintf(utm[zone - 1], sizeof utm[0], "UTM%d", zone);
            names[zone + 2] = utm[zone - 1];
        }
        names[MAP_POLAR] = "POLAR";
        names[MAP_DICOM] = "DICOM";
    }
};
const MapNames &mapNames()
{
    static const MapNames table;
    return table;
}

int lookup(const char *const *names, int count, const char *name)
{
    if (name == nullptr) return -1;
    for (int i = 0; i < count; ++i)
        if (strcmp(names[i], name) == 0) return i;
    return -1;
}

}  // namespace

int pixelTypeCode(const char *name) { return lookup(kPixelNames, kPixelTypeCount, name); }
const char *pixelTypeName(int code) { return code >= 0 && code < kPixelTypeCount ? kPixelNames[code] : ""; }
int imageFormatCode(const char *name) { return lookup(kFormatNames, kImageFormatCount, name); }
const char *imageFormatName(int code) { return code >= 0 && code < kImageFormatCount ? kFormatNames[code] : ""; }
int mapProjectionCode(const char *name) { return lookup(mapNames().names, kMapProjectionCount, name); }
const char *mapProjectionName(int code)
{
    return code >= 0 && code < kMapProjectionCount ? mapNames().names[code] : "";
}

int pixelBits(int pixel) { return pixel >= 0 && pixel < kPixelTypeCount ? kPixelBits[pixel] : 0; }

const char *errorText(int code)
{
    switch (code) {
    case IMGERR_OK: return "";
    case IMGERR_MEMORY: return "Memory allocation error";
    case IMGERR_UNKNOWN: return "Unknown image type";
    case IMGERR_OPEN: return "Open image file error";
    case IMGERR_SYSTEM: return "Error in modifying a system RAMIMG";
    case IMGERR_EXISTS: return "File already exists";
    case IMGERR_CREATE: return "Error in creating a file";
    case IMGERR_UNHANDLED: return "Unable to handle the image";
    default: return "";
    }
}

int64_t lineBytesFor(int pixel, int64_t columns)
{
    switch (pixel) {
    case PIX_1BIT: return (columns + 7) / 8;
    case PIX_4BITS: return (4 * columns + 4) / 8;
    case PIX_BYTE: return columns;
    case PIX_SHORT:
    case PIX_USHORT: return 2 * columns;
    case PIX_LONG:
    case PIX_FLOAT: return 4 * columns;
    default: return columns;  // UNKNOWN, ULONG and SBYTE keep one byte a column
    }
}

ImageDef defaultImageDef()
{
    ImageDef def;
    memset(&def, 0, sizeof def);
    strcpy(def.file, "rimage.lan");
    def.pixel = PIX_BYTE;
    def.imgid = IMG_E74;
    def.mapid = MAP_GRID;
    def.offset = 128;
    def.block = 512;
    def.rows = 512;
    def.columns = 512;
    def.bits = 8;
    def.nbands = 1;
    def.transparent = -1;
    def.dx = 1.0;
    def.dy = 1.0;
    def.dataFd = -1;
    return def;
}

}  // namespace krel
