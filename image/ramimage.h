// The RAM image: definition, line cache, counts and bound clients.
//
// Every reader and writer of pixels goes through getLine(): a file-backed
// image keeps a small cache of band lines (slots) that are loaded on demand
// and written back when dirty; a memory resident image keeps all its lines in
// the cache in slot order, so reaching a line never copies anything.
#pragma once

#include <cstdint>
#include <cstring>

#include "image/imagedef.h"

namespace krel {

struct RamImage;

// A client bound to an image (a display image, an image object). Owned by the
// client; the image only links it.
struct RimageClient {
    void (*configProc)(void *clientData);  // the definition changed
    void (*dataProc)(void *clientData);    // the pixels changed
    int32_t clientId;                      // excludes a client from its own notifications
    void *clientData;
    RimageClient *next;
};

struct BandStats {
    double sum;
    double sumSq;
    double count;
    double mean;    // derived from the sums
    double stdDev;  // derived from the sums
    double min;     // starts at +infinity
    double max;     // starts at -infinity
    char reserved[16];
    int32_t done;
    int32_t nbins;  // 2 for 1BIT, 16 for 4BITS, 256 for BYTE, else 0
    uint32_t *bins;
};

// Line access operations: one pair for the general cache, one for packed bitmaps.
using GetLineOp = uint8_t *(*)(RamImage *img, int line, int band, int load);
using FlushSlotOp = int (*)(RamImage *img, int slot);
// Format-specific volume selection: the selected volume, -2 when there is no
// further one, -1 on an error, 0 when the image cannot seek.
using SeekHook = int (*)(RamImage *img, int volume);
using FreeHook = void (*)(RamImage *img);

struct RamImage {
    char tag[256];
    ImageDef def;
    int32_t fileHandle;   // backing file, -1 for none
    int32_t lineBytes;    // bytes of one cached band line
    int32_t refCount;     // C-level holders
    int32_t openCount;    // script-level opens
    int32_t useCount;     // holders working on it now (modules, subcommands): no redefinition meanwhile
    int32_t cachedLines;  // lines per band in the cache
    int32_t cacheSlots;   // cachedLines x nbands
    int32_t imageFlags;   // 1: locked system image
    int32_t curVolume;    // from 1; 0 before the first selection
    int32_t numVolumes;   // -1 before the first selection
    int32_t frameDelay;   // milliseconds between frames
    int64_t dataOffset;   // file offset of the current volume's first record (64-bit: large files)
    void *formatData;     // owned by the format layer, freed with the image
    SeekHook seekHook;
    FreeHook freeHook;
    GetLineOp getLine;
    FlushSlotOp flushSlot;
    int32_t *slotMap;      // per slot its key (line x nbands + band), -1 empty
    uint8_t *dirtyBits;    // one bit per slot
    uint8_t *cacheBuffer;  // one gmemAlloc block: slots, bitmap, slot map, dirty bits
    BandStats *bandStats;  // nbands records or null
    RimageClient *clients;
    RamImage *next;

    // Kept beside the fields above for the cache machinery.
    uint8_t *bitmap;        // packed bitmap of MRGB images (inside cacheBuffer), else null
    uint8_t *stage;         // read-ahead buffer for pixel-interleaved rows (gmemAlloc), lazily made
    int64_t stageBytes;
    uint8_t *rowBuf;        // one stored row for write-back of pixel-interleaved formats
    int64_t rowBufBytes;
    uint8_t *sink;          // receives the unused tail of records wider than a line
    int64_t sinkBytes;
    int32_t shortReadReported;  // a truncated file is reported once
    int32_t ioErrorReported;
};

// Line cache.
int setRAMImageBuf(RamImage *img, int wantedLines);  // lines held, 0 on failure
uint8_t *getLine(RamImage *img, int line, int band, int load);
void markLineDirty(RamImage *img, int line, int band);
int flushImage(RamImage *img);  // 0, or -1 when a write failed
void invalidateCache(RamImage *img);
void freeCacheBuffers(RamImage *img);

// Chooses the line operations by format (packed bitmap or general).
void chooseLineOps(RamImage *img);

int selectVolume(RamImage *img, int volume);
void notifyClients(RamImage *img, int excludedClientId, int mask);
enum { NOTIFY_CONFIG = 1, NOTIFY_DATA = 2 };
int setImageFlags(RamImage *img, int value);

// Band statistics.
enum { STATS_REUSE = 0, STATS_RECOMPUTE = 2 };
int computeBandStats(RamImage *img, int mode, int columnStep, int rowStep);  // 0, -1 on failure
void discardBandStats(RamImage *img);
void resetBandStats(RamImage *img);

// The general line pair and the packed-bitmap pair.
uint8_t *getLineGeneral(RamImage *img, int line, int band, int load);
int flushSlotGeneral(RamImage *img, int slot);
uint8_t *getLineMRGB(RamImage *img, int line, int band, int load);
int flushSlotMRGB(RamImage *img, int slot);

// Slot helpers of the cache machinery.
inline bool slotIsDirty(const RamImage *img, int slot) { return (img->dirtyBits[slot >> 3] >> (slot & 7)) & 1; }
inline void setSlotDirty(RamImage *img, int slot) { img->dirtyBits[slot >> 3] |= static_cast<uint8_t>(1u << (slot & 7)); }
inline void clearSlotDirty(RamImage *img, int slot)
{
    img->dirtyBits[slot >> 3] &= static_cast<uint8_t>(~(1u << (slot & 7)));
}
inline uint8_t *slotData(RamImage *img, int slot) { return img->cacheBuffer + static_cast<int64_t>(slot) * img->lineBytes; }
inline uint8_t cacheFillByte(const RamImage *img)
{
    return img->def.transparent < 0 ? 0 : static_cast<uint8_t>(img->def.transparent);
}

// 1 on a most-significant-byte-first host.
constexpr int kHostMsbf = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 1 : 0;

// Whether the values of this image lie in its file in the other byte order
// than in memory (file formats only; bytes never swap).
inline bool needsSwap(const RamImage *img)
{
    return (img->def.msbf != 0) != (kHostMsbf != 0) && img->def.pixel != PIX_BYTE &&
           img->def.imgid < IMG_MBSQ;
}

// The value of column c of a cached band line. 1- and 4-bit columns follow
// the image's `msbf` order; ULONG keeps one byte a column in the store, so it
// reads, like BYTE, as that byte.
inline double lineValue(const uint8_t *line, int pixel, int msbf, int64_t c)
{
    switch (pixel) {
    case PIX_1BIT: {
        const uint8_t mask = msbf ? static_cast<uint8_t>(0x80 >> (c & 7)) : static_cast<uint8_t>(1 << (c & 7));
        return (line[c >> 3] & mask) ? 1.0 : 0.0;
    }
    case PIX_4BITS: {
        const bool high = msbf ? (c & 1) == 0 : (c & 1) == 1;
        return high ? line[c >> 1] >> 4 : line[c >> 1] & 0x0F;
    }
    case PIX_SHORT: { int16_t v; memcpy(&v, line + 2 * c, 2); return v; }
    case PIX_USHORT: { uint16_t v; memcpy(&v, line + 2 * c, 2); return v; }
    case PIX_LONG: { int32_t v; memcpy(&v, line + 4 * c, 4); return v; }
    case PIX_FLOAT: { float v; memcpy(&v, line + 4 * c, 4); return v; }
    case PIX_SBYTE: return static_cast<int8_t>(line[c]);
    default: return line[c];
    }
}

}  // namespace krel
