// The image registry, image identifier resolution, creation, opening and
// release of RAM images.
#include "image/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "platform/files.h"

namespace krel {

ImageStore &imageStore()
{
    static ImageStore store;
    return store;
}

RamImage *findByTag(const char *tag)
{
    if (tag == nullptr) return nullptr;
    for (RamImage *img = imageStore().head; img; img = img->next)
        if (strncmp(img->tag, tag, sizeof img->tag) == 0) return img;
    return nullptr;
}

RamImage *findByFile(const char *fileName)
{
    if (fileName == nullptr) return nullptr;
    for (RamImage *img = imageStore().head; img; img = img->next)
        if (strncmp(img->def.file, fileName, sizeof img->def.file) == 0) return img;
    return nullptr;
}

void registerImage(const char *tag, RamImage *img)
{
    ImageStore &store = imageStore();
    if (tag && *tag) {
        strncpy(img->tag, tag, sizeof img->tag - 1);
        img->tag[sizeof img->tag - 1] = '\0';
    } else {
        snprintf(img->tag, sizeof img->tag, "rimg%d", store.serial);
    }
    ++store.serial;
    img->next = store.head;
    store.head = img;
}

void unregisterImage(RamImage *img)
{
    for (RamImage **link = &imageStore().head; *link; link = &(*link)->next) {
        if (*link == img) {
            *link = img->next;
            img->next = nullptr;
            return;
        }
    }
}

int checkDefinition(const ImageDef &d, int64_t fileSize)
{
    if (d.imgid <= IMG_UNKNOWN || d.imgid >= kImageFormatCount) return IMGERR_UNKNOWN;
    if (d.pixel <= PIX_UNKNOWN || d.pixel >= kPixelTypeCount) return IMGERR_UNKNOWN;
    if (d.rows <= 0 || d.columns <= 0 || d.nbands <= 0) return IMGERR_UNHANDLED;
    // Cache keys are line x nbands + band in 32 bits; a line must fit one block.
    if (static_cast<int64_t>(d.rows) * d.nbands > INT32_MAX) return IMGERR_UNHANDLED;
    if (lineBytesFor(d.pixel, d.columns) > INT32_MAX / 2) return IMGERR_UNHANDLED;
    if (fileSize >= 0) {
        if (d.offset < 0 || d.offset > fileSize || d.block < 0) return IMGERR_UNHANDLED;
    }
    return IMGERR_OK;
}

namespace {

RamImage *newRecord()
{
    auto *img = static_cast<RamImage *>(gmemAlloc(sizeof(RamImage)));
    if (img == nullptr) return nullptr;
    memset(img, 0, sizeof *img);
    img->fileHandle = -1;
    img->curVolume = 0;
    img->numVolumes = -1;
    return img;
}

void releaseFormatData(RamImage *img)
{
    if (img->freeHook) img->freeHook(img);
    else gmemFree(img->formatData);
    img->formatData = nullptr;
    img->freeHook = nullptr;
    img->seekHook = nullptr;
}

// Gives `existing` everything of `fresh` but its identity (tag, counts, lock,
// clients, place in the registry); the old pixels are flushed and freed.
RamImage *transplant(RamImage *existing, RamImage *fresh)
{
    flushImage(existing);
    releaseFormatData(existing);
    discardBandStats(existing);
    if (existing->fileHandle >= 0) close(existing->fileHandle);
    freeCacheBuffers(existing);

    RamImage keep = *existing;
    *existing = *fresh;
    memcpy(existing->tag, keep.tag, sizeof keep.tag);
    existing->refCount = keep.refCount;
    existing->openCount = keep.openCount;
    existing->useCount = keep.useCount;
    existing->imageFlags = keep.imageFlags;
    existing->clients = keep.clients;
    existing->next = keep.next;
    gmemFree(fresh);
    return existing;
}

int64_t lineBytesOf(const ImageDef &d) { return lineBytesFor(d.pixel, d.columns); }

// Smallest line count >= 4 whose cache reaches 256 KiB, at most 127.
int fileCacheLines(const RamImage *img)
{
    const int64_t nb = img->def.nbands;
    int n = 4;
    while (n < 127 && nb * n * (img->lineBytes + 4) + (nb * n) / 8 + 1 < 262144) ++n;
    return n;
}

}  // namespace

void destroyImage(RamImage *img)
{
    if (img == nullptr) return;
    releaseFormatData(img);
    discardBandStats(img);
    if (img->fileHandle >= 0) close(img->fileHandle);
    img->fileHandle = -1;
    freeCacheBuffers(img);
    gmemFree(img);
}

RamImage *createImage(const ImageDef *def, RamImage *existing, int *error)
{
    int dummy;
    if (error == nullptr) error = &dummy;
    *error = checkDefinition(*def, -1);
    if (*error) return nullptr;
    RamImage *img = newRecord();
    if (img == nullptr) {
        *error = IMGERR_MEMORY;
        return nullptr;
    }
    memcpy(&img->def, def, sizeof(ImageDef));
    img->def.bits = pixelBits(img->def.pixel);
    img->frameDelay = 0;
    chooseLineOps(img);
    img->lineBytes = static_cast<int32_t>(lineBytesOf(img->def));
    ImageDef &d = img->def;
    if (d.imgid == IMG_MBIP && d.block < static_cast<int64_t>(img->lineBytes) * d.nbands) {
        int64_t need = static_cast<int64_t>(img->lineBytes) * d.nbands;
        if (need > INT32_MAX) {
            destroyImage(img);
            *error = IMGERR_UNHANDLED;
            return nullptr;
        }
        d.block = static_cast<int32_t>(need);
    }
    if (isPackedBitmap(d.imgid)) {
        // A bitmap row narrower than its pixels would be written past its end.
        const int bits = formatRecord(d.imgid).bitmap.bitsPerPixel;
        int64_t need = 4 * ((static_cast<int64_t>(d.columns) * bits + 31) / 32);
        if (need > INT32_MAX) {
            destroyImage(img);
            *error = IMGERR_UNHANDLED;
            return nullptr;
        }
        if (d.block < need) d.block = static_cast<int32_t>(need);
    }
    if (setRAMImageBuf(img, d.rows) == 0) {
        destroyImage(img);
        *error = IMGERR_MEMORY;
        return nullptr;
    }
    img->dataOffset = d.offset;
    return existing ? transplant(existing, img) : img;
}

RamImage *openImageFile(const char *fileName, const ImageDef *def, RamImage *existing, int *error)
{
    int dummy;
    if (error == nullptr) error = &dummy;
    *error = IMGERR_OK;
    if (fileName == nullptr || *fileName == '\0') {
        *error = IMGERR_OPEN;
        return nullptr;
    }
    platform::FileDesc fd = platform::openFile(fileName, platform::OpenMode::ReadWrite);
    if (!fd) fd = platform::openFile(fileName, platform::OpenMode::Read);
    if (!fd) {
        *error = IMGERR_OPEN;
        return nullptr;
    }
    ImageDef work;
    void *aux = nullptr;
    if (def) {
        memcpy(&work, def, sizeof work);
    } else {
        work = defaultImageDef();
        int code = detectFormat(fd.get(), fileName, &work, &aux);
        if (code <= 0) {
            gmemFree(aux);
            if (work.dataFd >= 0) close(work.dataFd);
            *error = code < 0 ? IMGERR_UNHANDLED : IMGERR_UNKNOWN;
            return nullptr;
        }
        if (work.dataFd >= 0) fd.reset(work.dataFd);
    }
    work.bits = pixelBits(work.pixel);
    std::unique_ptr<void, GmemDeleter> auxHolder(aux);
    if ((*error = checkDefinition(work, platform::fileSize(fd.get()))) != IMGERR_OK) return nullptr;

    RamImage *img = newRecord();
    if (img == nullptr) {
        *error = IMGERR_MEMORY;
        return nullptr;
    }
    memcpy(&img->def, &work, sizeof work);
    ImageDef &d = img->def;
    if (fileName != d.file) {
        strncpy(d.file, fileName, sizeof d.file - 1);
        d.file[sizeof d.file - 1] = '\0';
    }
    img->fileHandle = fd.release();
    img->formatData = auxHolder.release();
    img->dataOffset = d.offset;
    chooseLineOps(img);
    img->lineBytes = static_cast<int32_t>(lineBytesOf(d));
    // A JPEG's block is the quality it is written back with, not a record.
    if (d.block < img->lineBytes && d.imgid != IMG_JPEG) {
        const int64_t bitsRow = static_cast<int64_t>(d.columns) * d.bits;
        int64_t block;
        if (d.imgid == IMG_BIP || d.imgid == IMG_TIFF) block = d.nbands * bitsRow / 8;
        else if (d.imgid == IMG_DIB) block = 4 * ((d.nbands * bitsRow + 31) / 32);
        else block = (bitsRow + 7) / 8;
        if (block <= 0 || block > INT32_MAX) {
            destroyImage(img);
            *error = IMGERR_UNHANDLED;
            return nullptr;
        }
        d.block = static_cast<int32_t>(block);
    }
    // A raw file must hold at least its first record: a header describing
    // lines wider than the whole file is not an image this store can read.
    if (rawLayoutOf(img).raw && d.offset + static_cast<int64_t>(std::min(d.block, img->lineBytes)) >
                                    platform::fileSize(img->fileHandle)) {
        destroyImage(img);
        *error = IMGERR_UNHANDLED;
        return nullptr;
    }
    if (setRAMImageBuf(img, fileCacheLines(img)) == 0) {
        destroyImage(img);
        *error = IMGERR_MEMORY;
        return nullptr;
    }
    if (const FormatIO *io = formatIO(d.imgid); io && io->openSetup && io->openSetup(img) != 0) {
        destroyImage(img);
        *error = IMGERR_OPEN;
        return nullptr;
    }
    return existing ? transplant(existing, img) : img;
}

RamImage *getImage(const char *tag, const char *fileName, const ImageDef *def, RimageClient *client, int *error)
{
    int dummy;
    if (error == nullptr) error = &dummy;
    *error = IMGERR_OK;
    const bool haveFile = fileName && *fileName;
    RamImage *img = findByTag(tag);
    if (img && haveFile && strncmp(fileName, img->def.file, sizeof img->def.file) != 0) {
        int code;
        if (openImageFile(fileName, nullptr, img, &code) == nullptr) {
            if (code == IMGERR_MEMORY) {
                *error = code;
                return nullptr;
            }
            img = findByTag(fileName);
        }
    }
    if (def && !haveFile) {
        if (img) {
            if (img->imageFlags != 0 || img->fileHandle >= 0) {
                *error = IMGERR_SYSTEM;
                return nullptr;
            }
            if (createImage(def, img, error) == nullptr) return nullptr;
        } else {
            img = createImage(def, nullptr, error);
            if (img == nullptr) return nullptr;
            registerImage(tag, img);
        }
    }
    if (img == nullptr && def == nullptr) img = findByFile(fileName);
    if (img == nullptr) {
        img = openImageFile(fileName, def, nullptr, error);
        if (img == nullptr) return nullptr;
        registerImage(tag, img);
    }
    ++img->refCount;
    if (client) bindClient(img, client);
    return img;
}

void retainImage(RamImage *img)
{
    if (img) ++img->refCount;
}

void bindClient(RamImage *img, RimageClient *client)
{
    for (RimageClient *c = img->clients; c; c = c->next)
        if (c == client) return;  // already bound: the holder reference stays
    // A client follows one image: a binding elsewhere is dropped.
    for (RamImage *other = imageStore().head; other; other = other->next) {
        for (RimageClient **link = &other->clients; *link; link = &(*link)->next) {
            if (*link == client) {
                *link = client->next;
                break;
            }
        }
    }
    client->next = img->clients;
    img->clients = client;
    if (img->refCount > 0) --img->refCount;
}

void scriptOpen(RamImage *img) { ++img->openCount; }

void holdToScriptOpen(RamImage *img)
{
    if (img->refCount > 0) --img->refCount;
    ++img->openCount;
}

// Destroys an unlocked image nothing holds any more; returns its refCount.
static int destroyIfUnheld(RamImage *img)
{
    if (img->openCount > 0 || img->refCount > 0 || img->clients) return img->refCount;
    if (img->imageFlags != 0) return 0;
    unregisterImage(img);
    flushImage(img);
    destroyImage(img);
    return 0;
}

int releaseImage(RamImage *img, RimageClient *client)
{
    if (img == nullptr) return 0;
    bool found = false;
    if (client) {
        for (RimageClient **link = &img->clients; *link; link = &(*link)->next) {
            if (*link == client) {
                *link = client->next;
                client->next = nullptr;
                found = true;
                break;
            }
        }
    }
    if (!found && img->refCount >= 1) --img->refCount;
    return destroyIfUnheld(img);
}

int closeImage(RamImage *img)
{
    if (img == nullptr || img->openCount < 1) return 0;
    // A script close gives up an open only: the C-level holders (a module
    // still reading or writing the image from inside a meter or pause
    // callback) keep theirs.
    --img->openCount;
    destroyIfUnheld(img);
    return 1;
}

RamImage *openWithDef(ImageDef *def, RimageClient *client, int allowExisting, int *error)
{
    int dummy;
    if (error == nullptr) error = &dummy;
    if (!allowExisting && access(def->file, F_OK) == 0) {
        *error = IMGERR_EXISTS;
        return nullptr;
    }
    if (createImageFile(def) < 0) {
        *error = IMGERR_CREATE;
        return nullptr;
    }
    return getImage("", def->file, def->offset != 0 ? nullptr : def, client, error);
}

}  // namespace krel
