#include "core/runtime.h"
#include "core/conio.h"
#include "core/tclutil.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <vector>
#include <algorithm>
#include <mutex>

namespace krel {

RuntimeState &runtime()
{
    static RuntimeState state;
    return state;
}

static thread_local Tcl_Interp *threadCurrentInterp = nullptr;

Tcl_Interp *setCurrentInterp(Tcl_Interp *interp)
{
    Tcl_Interp *previous = threadCurrentInterp;
    threadCurrentInterp = interp;
    return previous;
}

Tcl_Interp *currentInterp() { return threadCurrentInterp; }

static void currentInterpDeleted(ClientData, Tcl_Interp *interp) { CurrentInterp::forget(interp); }

void forgetWhenDeleted(Tcl_Interp *interp)
{
    // Associated data under one name: asking again for the same interpreter
    // replaces the entry instead of adding another.
    if (interp) Tcl_SetAssocData(interp, "krel::currentInterp", currentInterpDeleted, nullptr);
}

void setMeterStep(double step)
{
    if (!(step > 0.0)) step = 0.0;  // negative and NaN both switch the meter off
    if (step > 0.5) step = 0.5;
    runtime().meterStep = static_cast<float>(step);
}

void setRunStatus(int status)
{
    runtime().rimageStatus = std::clamp(status, 0, 3);
}

bool tclReady() { return tclStubsPtr != nullptr; }

const char *scratchFormatV(const char *format, va_list ap)
{
    RuntimeState &rt = runtime();
    // Console threads format messages too: one writer at a time, or two
    // could take the same room and push the position past the ring.
    static std::mutex ringLock;
    std::lock_guard<std::mutex> hold(ringLock);
    if (rt.ringPos > RuntimeState::kRingWrap) rt.ringPos = 0;
    // Whatever the arguments, the text stays inside the ring: a text longer
    // than the room left (at least 1024 bytes) is cut, never written past.
    char *out = rt.ring + rt.ringPos;
    size_t room = RuntimeState::kRingSize - rt.ringPos;
    int n = vsnprintf(out, room, format, ap);
    if (n < 0) {
        out[0] = '\0';
        n = 0;
    }
    size_t used = std::min(static_cast<size_t>(n), room - 1);
    rt.ringPos += static_cast<int>(used) + 1;
    return out;
}

const char *scratchFormat(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const char *s = scratchFormatV(format, ap);
    va_end(ap);
    return s;
}

char *translateFileName(Tcl_Interp *interp, char *target, size_t size, const char *name)
{
    Tcl_DString ds;
    const char *native = Tcl_TranslateFileName(interp, name, &ds);
    if (native == nullptr || static_cast<size_t>(Tcl_DStringLength(&ds)) >= size) {
        if (native) Tcl_DStringFree(&ds);
        if (interp) Tcl_AddErrorInfo(interp, "Fail to translate file name.");
        return nullptr;
    }
    memcpy(target, native, Tcl_DStringLength(&ds) + 1);
    Tcl_DStringFree(&ds);
    return target;
}

int caseCompare(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
    for (;; ++a, ++b) {
        int ca = tolower(static_cast<unsigned char>(*a));
        int cb = tolower(static_cast<unsigned char>(*b));
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
}

void *tclAlloc(size_t size)
{
    if (size > UINT_MAX) return nullptr;
    return attemptckalloc(static_cast<unsigned int>(size));
}

PolyPoint *polyAllocPt(Polygon *poly, int capacity)
{
    if (capacity <= 0) {
        gmemFree(poly->points);
        poly->points = nullptr;
        poly->count = poly->capacity = 0;
        return nullptr;
    }
    // A block holds at most 4 GiB - 1: a larger request must fail, not be cut
    // down to a small block that the zero fill then overruns.
    const size_t bytes = static_cast<size_t>(capacity) * sizeof(PolyPoint);
    auto *grown = bytes > UINT32_MAX ? nullptr
                                     : static_cast<PolyPoint *>(gmemRealloc(poly->points, static_cast<uint32_t>(bytes)));
    if (grown == nullptr) {
        gmemFree(poly->points);
        poly->points = nullptr;
        poly->count = poly->capacity = 0;
        conEprintf("Error in polyAllocPt: fail to allocate memory.\n");
        return nullptr;
    }
    if (capacity > poly->capacity)
        memset(grown + poly->capacity, 0, (capacity - poly->capacity) * sizeof(PolyPoint));
    poly->points = grown;
    poly->capacity = capacity;
    if (poly->count > capacity) poly->count = capacity;
    return grown;
}

void polyFree(Polygon *poly) { polyAllocPt(poly, 0); }

Tcl_HashTable *hashCreate()
{
    auto *table = static_cast<Tcl_HashTable *>(gmemAlloc(sizeof(Tcl_HashTable)));
    if (table) Tcl_InitHashTable(table, TCL_ONE_WORD_KEYS);
    return table;
}

void hashDelete(Tcl_HashTable *table)
{
    if (!table) return;
    Tcl_DeleteHashTable(table);
    gmemFree(table);
}

void hashDeleteWith(Tcl_HashTable *table, void (*release)(void *))
{
    if (!table) return;
    Tcl_HashSearch search;
    for (Tcl_HashEntry *e = Tcl_FirstHashEntry(table, &search); e; e = Tcl_NextHashEntry(&search))
        if (release) release(Tcl_GetHashValue(e));
    hashDelete(table);
}

}  // namespace krel

using namespace krel;

void *gmemAlloc(uint32_t size) { return malloc(size ? size : 1); }
void gmemFree(void *block) { free(block); }
void *gmemRealloc(void *block, uint32_t size) { return realloc(block, size ? size : 1); }

int tclUpdate(Tcl_Interp *interp, int flags)
{
    if (!tclReady()) return 0;
    int handled = 0;
    while (Tcl_DoOneEvent(flags | TCL_DONT_WAIT)) ++handled;
    if (interp) Tcl_ResetResult(interp);
    return handled;
}

// The meter and the pause and abort procedures belong to the application's
// scripts. Where they are absent (a plain tclsh with only the image store
// loaded) a long operation runs all the same and leaves the result alone.
static bool hasCommand(Tcl_Interp *interp, const char *name)
{
    Tcl_CmdInfo info;
    return Tcl_GetCommandInfo(interp, name, &info) != 0;
}

int meterReset(void)
{
    RuntimeState &rt = runtime();
    if (currentInterp() == nullptr || rt.meterStep == 0.0f) return 0;
    Tcl_SetErrno(0);
    rt.meterValue = 0.0f;
    if (!hasCommand(currentInterp(), "meter.reset")) return TCL_OK;
    return Tcl_EvalEx(currentInterp(), "meter.reset .status.info.meter", -1, TCL_EVAL_GLOBAL);
}

int meterSet(const char *text, float fraction)
{
    RuntimeState &rt = runtime();
    if (currentInterp() == nullptr || rt.meterStep == 0.0f) return 0;
    Tcl_SetErrno(0);
    rt.meterValue = fraction;
    if (!hasCommand(currentInterp(), "meter.set")) return TCL_OK;
    // The text goes in as one list element so that braces or brackets in an
    // operation name cannot break the script.
    Tcl_Obj *cmd = Tcl_NewStringObj("meter.set .status.info.meter", -1);
    Tcl_IncrRefCount(cmd);
    Tcl_ListObjAppendElement(nullptr, cmd, Tcl_ObjPrintf("%f", static_cast<double>(fraction)));
    Tcl_ListObjAppendElement(nullptr, cmd, Tcl_ObjPrintf("%s ", text ? text : ""));
    Tcl_Interp *interp = currentInterp();
    Tcl_Preserve(interp);
    int code = Tcl_EvalObjEx(interp, cmd, TCL_EVAL_GLOBAL);
    Tcl_Release(interp);
    Tcl_DecrRefCount(cmd);
    return code;
}

float meterInc(void) { return runtime().meterStep; }

int checkRimageStatus(void)
{
    RuntimeState &rt = runtime();
    if (currentInterp() == nullptr || rt.rimageStatus == STATUS_RUN) return 0;
    tclUpdate(nullptr, TCL_ALL_EVENTS);
    Tcl_Interp *interp = currentInterp();
    if (interp) {
        Tcl_Preserve(interp);
        const char *hook = rt.rimageStatus == STATUS_PAUSE   ? "krelPause"
                           : rt.rimageStatus == STATUS_ABORT ? "krelAbort"
                                                             : nullptr;
        if (hook && hasCommand(interp, hook)) Tcl_EvalEx(interp, hook, -1, TCL_EVAL_GLOBAL);
        Tcl_Release(interp);
    }
    return rt.rimageStatus;
}
