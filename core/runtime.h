// Process-wide runtime services: memory blocks, event servicing, the progress
// meter, the run-status poll, the current interpreter and small helpers shared
// by every subsystem.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include <tcl.h>

#include "core/export.h"

KREL_API void *gmemAlloc(uint32_t size);
KREL_API void gmemFree(void *block);
KREL_API void *gmemRealloc(void *block, uint32_t size);
KREL_API int tclUpdate(Tcl_Interp *interp, int flags);
KREL_API int meterReset(void);
KREL_API int meterSet(const char *text, float fraction);
KREL_API float meterInc(void);
KREL_API int checkRimageStatus(void);

namespace krel {

// Run status values polled by long operations.
enum RunStatus { STATUS_RUN = 0, STATUS_EVENTS = 1, STATUS_PAUSE = 2, STATUS_ABORT = 3 };

// The meter and the run status are read by every thread that runs a module
// (a console thread among them) and set from any console: atomics, so that a
// poll never sees a torn or stale value. The scratch ring is taken under a
// lock inside scratchFormat.
struct RuntimeState {
    std::atomic<float> meterStep{0.05f};  // 0 switches the meter off
    std::atomic<float> meterValue{0.0f};
    std::atomic<int> rimageStatus{STATUS_RUN};
    static constexpr int kRingSize = 16384;
    static constexpr int kRingWrap = 15360;
    char ring[kRingSize] = {};
    int ringPos = 0;
};
RuntimeState &runtime();

// The current interpreter (the current console): where meter and status
// scripts run and where console output goes. A Tcl interpreter belongs to the
// thread that created it, so each thread has its own current interpreter.
Tcl_Interp *setCurrentInterp(Tcl_Interp *interp);  // returns the previous one
Tcl_Interp *currentInterp();
// Makes the deletion of `interp` forget it as the current interpreter (and in
// every guard that would restore it). Entry points call it for the
// interpreter they make current: an interpreter that loaded the package may be
// deleted long before the process stops printing.
void forgetWhenDeleted(Tcl_Interp *interp);

// Clamping setters used by `krel meter` / `krel status`.
void setMeterStep(double step);
void setRunStatus(int status);

// Tells whether Tcl's stubs table is ready in this process, i.e. whether it is
// safe to call into Tcl at all (not so in plain C++ unit tests).
bool tclReady();

// Short formatted text in the scratch ring: use it at once, never keep it.
const char *scratchFormat(const char *format, ...) __attribute__((format(printf, 1, 2)));
const char *scratchFormatV(const char *format, va_list ap);

// Tcl file-name translation into `target` (at least `size` bytes).
char *translateFileName(Tcl_Interp *interp, char *target, size_t size, const char *name);

// Case-insensitive compare; null sorts below everything and equals null.
int caseCompare(const char *a, const char *b);

// Tcl-heap allocation for memory that Tcl frees or keeps.
void *tclAlloc(size_t size);  // null when the size does not fit or memory is short

// Growable polygon point array.
struct PolyPoint {
    int16_t x, y;
};
struct Polygon {
    int count = 0;
    int capacity = 0;
    PolyPoint *points = nullptr;
};
PolyPoint *polyAllocPt(Polygon *poly, int capacity);
void polyFree(Polygon *poly);

// One-word-key hash tables in gmemAlloc blocks.
Tcl_HashTable *hashCreate();
void hashDelete(Tcl_HashTable *table);
void hashDeleteWith(Tcl_HashTable *table, void (*release)(void *value));

// RAII holder of a gmemAlloc block.
struct GmemDeleter {
    void operator()(void *p) const { gmemFree(p); }
};

}  // namespace krel
