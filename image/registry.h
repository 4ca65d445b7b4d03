// The image registry: every RAM image of the process, found by tag or by
// file name, created from definitions or opened from files, and counted.
//
// Holders: `openCount` counts script-level opens, `refCount` C-level holders
// (getImage/releaseImage), and bound clients keep an image alive through the
// client list. The last release of an unlocked image flushes and destroys it.
#pragma once

#include "image/imagedef.h"
#include "image/ramimage.h"

namespace krel {

// Process-wide state of the image store.
struct ImageStore {
    RamImage *head = nullptr;  // newest first
    int serial = 0;            // next number of a generated "rimg%d" tag
};
ImageStore &imageStore();

RamImage *findByTag(const char *tag);
RamImage *findByFile(const char *fileName);
void registerImage(const char *tag, RamImage *img);
void unregisterImage(RamImage *img);

// Resolves an image identifier (tag, file name, or a definition to create a
// memory resident image from). On success refCount has been incremented for
// the caller and the client, if any, is bound. *error gets an ImageError.
RamImage *getImage(const char *tag, const char *fileName, const ImageDef *def, RimageClient *client, int *error);
// Undoes one getImage (or retainImage); with a bound client, unbinds it
// instead. Returns the remaining refCount (0 when destroyed).
int releaseImage(RamImage *img, RimageClient *client);
// Undoes one script-level open (rimage close), leaving refCount alone; the
// image is destroyed when that was its last holder. Returns 0 when there was
// no open to undo.
int closeImage(RamImage *img);

// One more C-level holder of an image already found (released by releaseImage).
void retainImage(RamImage *img);
// Turns one holder reference into a binding of `client`, which then keeps the
// image alive and is notified of changes until releaseImage(img, client). A
// client follows one image: a binding to another image is dropped.
void bindClient(RamImage *img, RimageClient *client);
// Script-level opens (rimage open/close): one more open of an image already
// found, or the holder reference a getImage took turned into an open.
void scriptOpen(RamImage *img);
void holdToScriptOpen(RamImage *img);

// Holds one image obtained by getImage (or handed over with a reference) and
// releases it once, on every path out of the holder's scope.
class ImageHold {
public:
    ImageHold() = default;
    explicit ImageHold(RamImage *img) : img_(img) { use(); }
    // Looks a name up as tag, then as file name, opening it if needed.
    ImageHold(const char *name, int *error) : img_(getImage(name, name, nullptr, nullptr, error)) { use(); }
    ImageHold(const ImageHold &) = delete;
    ImageHold &operator=(const ImageHold &) = delete;
    ~ImageHold() { release(); }
    void reset(RamImage *img)
    {
        release();
        img_ = img;
        use();
    }
    void release()
    {
        if (img_) {
            --img_->useCount;
            releaseImage(img_, nullptr);
        }
        img_ = nullptr;
    }
    // Gives the reference up to the caller (who then owes its release).
    RamImage *take()
    {
        RamImage *img = img_;
        if (img) --img->useCount;
        img_ = nullptr;
        return img;
    }
    RamImage *get() const { return img_; }
    RamImage *operator->() const { return img_; }
    explicit operator bool() const { return img_ != nullptr; }

private:
    // While held, the image is being read or written through pointers into
    // its cache: redefining it from a callback (a meter or pause procedure,
    // an event handler) would pull the lines away from under the holder.
    void use()
    {
        if (img_) ++img_->useCount;
    }
    RamImage *img_ = nullptr;
};

// A memory resident image from a definition, or the existing record redefined.
RamImage *createImage(const ImageDef *def, RamImage *existing, int *error);
// Opens a file (detecting its format when def is null) into a new record or
// into `existing`, which changes only when the open succeeds.
RamImage *openImageFile(const char *fileName, const ImageDef *def, RamImage *existing, int *error);
// Creates the output file of a module and opens it.
RamImage *openWithDef(ImageDef *def, RimageClient *client, int allowExisting, int *error);

// Checks that a definition can be held: 0, IMGERR_UNKNOWN or IMGERR_UNHANDLED.
// fileSize is the size of the backing file, or -1 for a memory image.
int checkDefinition(const ImageDef &def, int64_t fileSize);

// Frees everything of an image (it must not be registered any more).
void destroyImage(RamImage *img);

}  // namespace krel
