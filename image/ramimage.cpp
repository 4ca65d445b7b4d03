// The line cache of RAM images, the packed-bitmap line pair, volume
// selection and change notification.
//
// Cache block layout (one gmemAlloc block):
//   slots x lineBytes   band lines
//   bitmap              block x rows bytes, MRGB images only
//   slots x int32       slot map (8-byte aligned): key = line x nbands + band, -1 empty
//   slots / 8 + 1       dirty bits
#include "image/ramimage.h"

#include <cmath>
#include <cstring>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"

namespace krel {

namespace {

bool holdsAllRows(const RamImage *img) { return img->fileHandle < 0 || img->cachedLines >= img->def.rows; }

// MBSQ images that hold every line address band lines directly in band order.
bool directBandOrder(const RamImage *img) { return img->def.imgid == IMG_MBSQ && holdsAllRows(img); }

int linesToHold(RamImage *img, int wanted)
{
    const ImageDef &d = img->def;
    if (wanted < 1) wanted = 1;
    const int policy = formatRecord(d.imgid).cacheLines;
    if (policy == kCacheAllRows) return d.rows;
    if (policy > 0) return policy;
    if (const FormatIO *io = formatIO(d.imgid); io && io->cacheLines) {
        int n = io->cacheLines(img, wanted);
        if (n > 0) return n;
    }
    if (wanted > d.rows || img->fileHandle < 0) return d.rows;
    return wanted;
}

}  // namespace

void chooseLineOps(RamImage *img)
{
    if (isPackedBitmap(img->def.imgid)) {
        img->getLine = getLineMRGB;
        img->flushSlot = flushSlotMRGB;
    } else {
        img->getLine = getLineGeneral;
        img->flushSlot = flushSlotGeneral;
    }
}

void freeCacheBuffers(RamImage *img)
{
    gmemFree(img->cacheBuffer);
    gmemFree(img->stage);
    gmemFree(img->rowBuf);
    gmemFree(img->sink);
    img->cacheBuffer = img->bitmap = img->stage = img->rowBuf = img->sink = nullptr;
    img->dirtyBits = nullptr;
    img->slotMap = nullptr;
    img->stageBytes = img->rowBufBytes = img->sinkBytes = 0;
    img->cachedLines = img->cacheSlots = 0;
}

int setRAMImageBuf(RamImage *img, int wantedLines)
{
    if (img->cacheBuffer) flushImage(img);
    const ImageDef &d = img->def;
    int lines = linesToHold(img, wantedLines);
    // The slots (or the bitmap) of an image without file are its only copy of
    // the pixels: a cache that already has the layout asked for is kept, or a
    // resize request would wipe the image.
    if (img->cacheBuffer && img->fileHandle < 0 && lines == img->cachedLines &&
        static_cast<int64_t>(lines) * d.nbands == img->cacheSlots)
        return lines;
    int64_t bitmapBytes = isPackedBitmap(d.imgid) ? static_cast<int64_t>(d.block) * d.rows : 0;
    uint8_t *block = nullptr;
    int64_t slots = 0;
    for (;;) {
        slots = static_cast<int64_t>(lines) * d.nbands;
        // Sizes are checked before the request: a definition too large for one
        // block fails like a refused allocation rather than wrapping around.
        int64_t total = -1;
        if (slots > 0 && slots <= INT32_MAX && img->lineBytes > 0 &&
            slots <= (int64_t(UINT32_MAX) - bitmapBytes) / (img->lineBytes + 5)) {
            total = slots * img->lineBytes + bitmapBytes + 7 + slots * 4 + slots / 8 + 1;
            if (total > UINT32_MAX) total = -1;
        }
        if (total > 0) block = static_cast<uint8_t *>(gmemAlloc(static_cast<uint32_t>(total)));
        if (block) break;
        if (img->fileHandle >= 0 && lines >= d.nbands && lines - d.nbands >= 1) {
            lines -= d.nbands;
            continue;
        }
        conEprintf("Fatal error of malloc in: setRAMImageBuf\n");
        return 0;
    }
    freeCacheBuffers(img);
    int64_t slotBytes = slots * img->lineBytes;
    memset(block, cacheFillByte(img), static_cast<size_t>(slotBytes + bitmapBytes));
    img->cacheBuffer = block;
    img->bitmap = bitmapBytes ? block + slotBytes : nullptr;
    // The slot map starts on an 8-byte boundary whatever the line length.
    const int64_t mapAt = (slotBytes + bitmapBytes + 7) & ~int64_t(7);
    img->slotMap = reinterpret_cast<int32_t *>(block + mapAt);
    img->dirtyBits = block + mapAt + slots * 4;
    memset(img->dirtyBits, 0, static_cast<size_t>(slots / 8 + 1));
    bool identity = img->fileHandle < 0 && !isPackedBitmap(d.imgid);
    for (int64_t i = 0; i < slots; ++i) img->slotMap[i] = identity ? static_cast<int32_t>(i) : -1;
    img->cachedLines = lines;
    img->cacheSlots = static_cast<int32_t>(slots);
    return lines;
}

uint8_t *getLine(RamImage *img, int line, int band, int load)
{
    if (img == nullptr || img->getLine == nullptr || img->cacheBuffer == nullptr) return nullptr;
    if (line < 0 || line >= img->def.rows || band < 0 || band >= img->def.nbands) return nullptr;
    return img->getLine(img, line, band, load);
}

uint8_t *getLineGeneral(RamImage *img, int line, int band, int load)
{
    if (directBandOrder(img)) return slotData(img, img->def.rows * band + line);
    const int key = line * img->def.nbands + band;
    const int slot = key % img->cacheSlots;
    if (img->slotMap[slot] == key) return slotData(img, slot);

    if (img->fileHandle < 0) {
        // Only a cache smaller than the image gets here (a memory image always
        // holds all lines): the line starts out transparent.
        if (slotIsDirty(img, slot)) img->flushSlot(img, slot);
        memset(slotData(img, slot), cacheFillByte(img), static_cast<size_t>(img->lineBytes));
        img->slotMap[slot] = key;
        return slotData(img, slot);
    }
    RawLayout layout = rawLayoutOf(img);
    if (!layout.raw) {
        const FormatIO *io = formatIO(img->def.imgid);
        if (io && io->loadLine) {
            if (io->loadLine(img, line, band, load) < 0) return nullptr;
            if (img->slotMap[slot] == key) return slotData(img, slot);
            return nullptr;
        }
        // No reader for this format: the line reads as transparent.
        if (slotIsDirty(img, slot)) img->flushSlot(img, slot);
        memset(slotData(img, slot), cacheFillByte(img), static_cast<size_t>(img->lineBytes));
        img->slotMap[slot] = key;
        return slotData(img, slot);
    }
    if (layout.pixelInterleaved || load) {
        if (loadRawLines(img, layout, line, band) < 0) return nullptr;
        return slotData(img, slot);
    }
    // A writer that replaces the whole line: no need to read it.
    if (slotIsDirty(img, slot)) img->flushSlot(img, slot);
    img->slotMap[slot] = key;
    return slotData(img, slot);
}

int flushSlotGeneral(RamImage *img, int slot)
{
    if (!slotIsDirty(img, slot)) return 0;
    clearSlotDirty(img, slot);
    if (img->fileHandle < 0 || img->slotMap[slot] < 0) return 0;
    RawLayout layout = rawLayoutOf(img);
    if (layout.raw) return storeRawSlot(img, layout, slot);
    const FormatIO *io = formatIO(img->def.imgid);
    if (io && io->storeSlot) return io->storeSlot(img, slot);
    return 0;
}

void markLineDirty(RamImage *img, int line, int band)
{
    if (img == nullptr || img->cacheBuffer == nullptr) return;
    if (line < 0 || line >= img->def.rows || band < 0 || band >= img->def.nbands) return;
    int slot;
    if (directBandOrder(img)) {
        slot = img->def.rows * band + line;
    } else {
        int key = line * img->def.nbands + band;
        slot = key % img->cacheSlots;
        if (img->slotMap[slot] != key) return;
    }
    setSlotDirty(img, slot);
}

int flushImage(RamImage *img)
{
    if (img == nullptr || img->cacheBuffer == nullptr) return 0;
    int rc = 0;
    for (int byte = 0; byte <= img->cacheSlots / 8; ++byte) {
        if (img->dirtyBits[byte] == 0) continue;
        for (int bit = 0; bit < 8; ++bit) {
            int slot = byte * 8 + bit;
            if (slot < img->cacheSlots && slotIsDirty(img, slot) && img->flushSlot(img, slot) < 0) rc = -1;
        }
    }
    return rc;
}

void invalidateCache(RamImage *img)
{
    if (img == nullptr || img->cacheBuffer == nullptr) return;
    // The slots of an image without file are its pixels, and packed bitmaps
    // hold theirs in the bitmap: forgetting their slot map would lose data.
    if (img->fileHandle < 0 && !isPackedBitmap(img->def.imgid)) return;
    flushImage(img);
    for (int i = 0; i < img->cacheSlots; ++i) img->slotMap[i] = -1;
}

// ---- Packed bitmaps ----------------------------------------------------------

namespace {

void unpackBand(RamImage *img, int line, int band, uint8_t *out)
{
    const uint8_t *row = img->bitmap + static_cast<int64_t>(line) * img->def.block;
    const int cols = img->def.columns;
    switch (img->def.imgid) {
    case IMG_MRGB32:
    case IMG_MRGB24: {
        int step = img->def.imgid == IMG_MRGB32 ? 4 : 3;
        if (band >= step) band = step - 1;
        for (int c = 0; c < cols; ++c) out[c] = row[c * step + band];
        break;
    }
    case IMG_MRGB565:
    case IMG_MRGB555: {
        bool six = img->def.imgid == IMG_MRGB565;
        for (int c = 0; c < cols; ++c) {
            unsigned p = row[2 * c] | (row[2 * c + 1] << 8);
            unsigned v;
            if (band == 0) v = six ? (p & 0xF800) >> 8 : (p & 0x7C00) >> 7;
            else if (band == 1) v = six ? (p & 0x07E0) >> 3 : (p & 0x03E0) >> 2;
            else v = (p & 0x1F) << 3;
            out[c] = static_cast<uint8_t>(v);
        }
        break;
    }
    default: break;
    }
}

void packBand(RamImage *img, int line, int band, const uint8_t *in)
{
    uint8_t *row = img->bitmap + static_cast<int64_t>(line) * img->def.block;
    const int cols = img->def.columns;
    switch (img->def.imgid) {
    case IMG_MRGB32:
    case IMG_MRGB24: {
        int step = img->def.imgid == IMG_MRGB32 ? 4 : 3;
        if (band >= step) return;
        for (int c = 0; c < cols; ++c) row[c * step + band] = in[c];
        break;
    }
    case IMG_MRGB565:
    case IMG_MRGB555: {
        bool six = img->def.imgid == IMG_MRGB565;
        for (int c = 0; c < cols; ++c) {
            unsigned p = row[2 * c] | (row[2 * c + 1] << 8);
            unsigned v = in[c];
            if (band == 0) p = six ? (p & ~0xF800u) | ((v & 0xF8) << 8) : (p & ~0x7C00u) | ((v & 0xF8) << 7);
            else if (band == 1) p = six ? (p & ~0x07E0u) | ((v & 0xFC) << 3) : (p & ~0x03E0u) | ((v & 0xF8) << 2);
            else p = (p & ~0x1Fu) | (v >> 3);
            row[2 * c] = static_cast<uint8_t>(p);
            row[2 * c + 1] = static_cast<uint8_t>(p >> 8);
        }
        break;
    }
    default: break;
    }
}

}  // namespace

uint8_t *getLineMRGB(RamImage *img, int line, int band, int /*load*/)
{
    const int id = img->def.imgid;
    if (id == IMG_MRGB8 || id == IMG_MRGB4 || id == IMG_MRGB1)
        return img->bitmap + static_cast<int64_t>(line) * img->def.block;
    const int key = line * img->def.nbands + band;
    const int slot = key % img->cacheSlots;
    uint8_t *address = slotData(img, slot);
    if (img->slotMap[slot] == key) return address;
    if (slotIsDirty(img, slot)) flushSlotMRGB(img, slot);
    unpackBand(img, line, band, address);
    img->slotMap[slot] = key;
    return address;
}

int flushSlotMRGB(RamImage *img, int slot)
{
    if (!slotIsDirty(img, slot)) return 0;
    clearSlotDirty(img, slot);
    int key = img->slotMap[slot];
    if (key < 0) return 0;
    packBand(img, key / img->def.nbands, key % img->def.nbands, slotData(img, slot));
    return 0;
}

// ---- Volumes, clients, flags ----------------------------------------------------

int selectVolume(RamImage *img, int volume)
{
    if (img == nullptr) return -1;
    if (img->seekHook) {
        int rc = img->seekHook(img, volume);
        if (rc == -1) conEprintf("Error in seek image: %s\n", img->def.file);
        else if (rc == 0) conEprintf("Can't seek image %s\n", img->def.file);
        return rc;
    }
    const int volumes = img->def.volumes;
    if (volumes < 2) {
        img->curVolume = 1;
        img->numVolumes = 1;
        return -2;
    }
    img->numVolumes = volumes;
    int target;
    if (volume < 0 || volume > volumes) target = volumes;
    else if (volume == 0) {
        if (img->curVolume >= volumes) return -2;
        target = img->curVolume + 1;
    } else target = volume;
    if (target != img->curVolume) {
        // Dirty lines belong to the volume they were read from: write them
        // there before the base moves.
        invalidateCache(img);
        RawLayout layout = rawLayoutOf(img);
        int64_t volumeBytes = static_cast<int64_t>(img->def.block) * img->def.rows;
        if (layout.raw && !layout.pixelInterleaved) volumeBytes *= img->def.nbands;
        img->dataOffset = (target - 1) * volumeBytes + img->def.offset;
        resetBandStats(img);
    }
    img->curVolume = target;
    return target;
}

void notifyClients(RamImage *img, int excludedClientId, int mask)
{
    if (img == nullptr) return;
    for (RimageClient *c = img->clients; c; ) {
        RimageClient *next = c->next;  // a procedure may unbind its own client
        if (c->clientId != excludedClientId) {
            if ((mask & NOTIFY_CONFIG) && c->configProc) c->configProc(c->clientData);
            if ((mask & NOTIFY_DATA) && c->dataProc) c->dataProc(c->clientData);
        }
        c = next;
    }
}

int setImageFlags(RamImage *img, int value)
{
    if (img == nullptr) return 0;
    int previous = img->imageFlags;
    img->imageFlags = value;
    return previous;
}

}  // namespace krel
