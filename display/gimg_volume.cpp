// Orientation, volumes and animation of a gimg display.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/conio.h"
#include "display/gimg_ops.h"

namespace krel {

namespace {

struct Orientation {
    int xflip, yflip, rotation;
};

// The next orientation a quarter turn right or left, by
// yflip x 3 + xflip x 6 + rotation + 1.
const Orientation kTurnRight[12] = {{0, 0, 0}, {0, 0, 1}, {1, 1, 0},  {0, 1, 0}, {0, 1, 1}, {1, 0, 0},
                                    {1, 0, 0}, {1, 0, 1}, {0, 1, 0}, {1, 1, 0}, {0, 0, -1}, {0, 0, 0}};
const Orientation kTurnLeft[12] = {{1, 1, 0}, {0, 0, -1}, {0, 0, 0}, {1, 0, 0}, {1, 0, 1},  {0, 1, 0},
                                   {0, 1, 0}, {1, 0, -1}, {1, 0, 0}, {0, 0, 0}, {0, 0, 1}, {0, 0, 0}};

// Formats that find their volumes by reading (GIF) know the count only
// after a visit to the last one; the current volume is selected again after.
int volumeCount(RamImage *img)
{
    if (img->seekHook && img->numVolumes < 1) {
        const int current = std::max(img->curVolume, 1);
        if (selectVolume(img, -1) > 0) selectVolume(img, current);
    }
    return std::max({img->numVolumes, img->def.volumes, 1});
}

// Moves to a volume; a palette the new volume brings replaces the display's.
int moveToVolume(GimgMaster *m, int volume)
{
    RamImage *img = m->image;
    const int rc = selectVolume(img, volume);
    if (rc == -1) return -1;
    if (m->paletteInUse && !m->paletteOwn && img->def.nindices > 0 &&
        memcmp(m->palette, img->def.palette, sizeof m->palette) != 0) {
        memcpy(m->palette, img->def.palette, sizeof m->palette);
        m->paletteCount = std::min(img->def.nindices, 256);
        applyDerived(m);
    }
    ++m->dataSerial;
    notifyClients(img, m->clientId, NOTIFY_DATA);
    buildTables(m, false);
    redrawGimg(m);
    return rc;
}

void animationTick(ClientData cd);

void scheduleTick(GimgMaster *m)
{
    int delay = m->animInterval;
    if (delay == -2) delay = m->image ? m->image->frameDelay : 0;
    if (delay < 1) {
        m->animIdle = true;
        Tcl_DoWhenIdle(animationTick, m);
    } else {
        m->animIdle = false;
        m->animTimer = Tcl_CreateTimerHandler(delay, animationTick, m);
        if (!m->animTimer) {
            conEprintf("Error in creating gimg animation timer handler.\n");
            m->animInterval = -1;
        }
    }
}

void animationTick(ClientData cd)
{
    auto *m = static_cast<GimgMaster *>(cd);
    m->animTimer = nullptr;
    m->animIdle = false;
    if (m->deleted || m->animInterval == -1) return;
    // A display whose image went away has nothing to step through.
    if (!m->image) {
        m->animInterval = -1;
        return;
    }
    RamImage *img = m->image;
    const int volumes = volumeCount(img);
    int target = 0;
    if (img->curVolume >= volumes) {
        // The end of a pass.
        if (--m->animRepeat <= 0 || volumes < 2) {
            m->animInterval = -1;
            return;
        }
        target = 1;
    }
    if (moveToVolume(m, target) == -1) {
        conEprintf("Error in getRAMImageVolume\n");
        m->animInterval = -1;
        return;
    }
    scheduleTick(m);
}

}  // namespace

namespace {

// Cancels the pending tick, if any.
void cancelTick(GimgMaster *m)
{
    if (m->animTimer) Tcl_DeleteTimerHandler(m->animTimer);
    if (m->animIdle) Tcl_CancelIdleCall(animationTick, m);
    m->animTimer = nullptr;
    m->animIdle = false;
}

}  // namespace

void stopAnimation(GimgMaster *m)
{
    cancelTick(m);
    m->animInterval = -1;
}

int gimgRotate(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    Orientation now{m->o.xflip ? 1 : 0, m->o.yflip ? 1 : 0, std::clamp(m->o.rotate, -1, 1)};
    const char *op = argc > 2 ? argv[2] : "right";
    const int index = now.yflip * 3 + now.xflip * 6 + now.rotation + 1;
    Orientation next = now;
    if (strcmp(op, "right") == 0) next = kTurnRight[index];
    else if (strcmp(op, "left") == 0) next = kTurnLeft[index];
    else if (strcmp(op, "xflip") == 0) (now.rotation ? next.yflip : next.xflip) ^= 1;
    else if (strcmp(op, "yflip") == 0) (now.rotation ? next.xflip : next.yflip) ^= 1;
    else return opError(interp, std::string("Unknown option: ") + op);
    const std::string xf = std::to_string(next.xflip), yf = std::to_string(next.yflip),
                      rot = std::to_string(next.rotation);
    const char *args[] = {"-xflip", xf.c_str(), "-yflip", yf.c_str(), "-rotate", rot.c_str()};
    return configureGimg(m, 6, args, TK_CONFIG_ARGV_ONLY);
}

int gimgSeek(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (!m->image) return opError(interp, "Image has not been defined.\n");
    if (argc > 3) {
        appendResult(interp, "Usage: %s seek volumeID\n", argv[0]);
        return TCL_ERROR;
    }
    if (argc == 2) {
        appendResult(interp, "%d", volumeCount(m->image));
        return TCL_OK;
    }
    int volume;
    if (Tcl_GetInt(interp, argv[2], &volume) != TCL_OK) return TCL_ERROR;
    if (moveToVolume(m, volume) == -1) return opError(interp, "Error in getRAMImageVolume\n");
    appendResult(interp, "%d", std::max(m->image->curVolume, 1));
    return TCL_OK;
}

int gimgAnimate(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 4) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " animate [milliSeconds|default] [repeat]", nullptr);
        return TCL_ERROR;
    }
    int interval = -2;
    if (argc > 2 && strcmp(argv[2], "default") != 0 && Tcl_GetInt(interp, argv[2], &interval) != TCL_OK)
        return TCL_ERROR;
    int repeat = -1;
    if (argc > 3 && Tcl_GetInt(interp, argv[3], &repeat) != TCL_OK) return TCL_ERROR;
    const bool running = m->animInterval != -1;
    if (interval < 0 && interval != -2) {
        stopAnimation(m);
        return TCL_OK;
    }
    if (!m->image) return opError(interp, "Image has not been defined.\n");
    if (repeat >= 0) m->animRepeat = repeat;
    else if (!running) m->animRepeat = 1;
    cancelTick(m);
    m->animInterval = interval;
    scheduleTick(m);
    return TCL_OK;
}

int gimgResident(GimgMaster *m, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 3) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " resident ?flag?", nullptr);
        return TCL_ERROR;
    }
    if (!m->image) return opError(interp, "Image has not been defined.\n");
    int flag = 1;
    if (argc == 3 && Tcl_GetInt(interp, argv[2], &flag) != TCL_OK) return TCL_ERROR;
    RamImage *img = m->image;
    if (img->fileHandle < 0) {
        appendResult(interp, "%d", 1);  // a memory image is resident already
        return TCL_OK;
    }
    if (img->useCount > 0) return opError(interp, "Can't config a RAMIMG in use.\n");
    int ok = 0;
    if (flag) {
        // Every line in the cache, read once: the display no longer reads the file.
        const int rows = img->def.rows;
        ok = setRAMImageBuf(img, rows) >= rows;
        for (int r = 0; ok && r < rows; ++r)
            for (int b = 0; b < img->def.nbands && ok; ++b) ok = img->getLine(img, r, b, 1) != nullptr;
    } else {
        ok = flushImage(img) == 0 && setRAMImageBuf(img, 0) > 0;
    }
    appendResult(interp, "%d", ok ? 1 : 0);
    return TCL_OK;
}

}  // namespace krel
