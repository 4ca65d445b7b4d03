// The table of gimg images of the process: 5120 slots, listed by `gimg names`.
#pragma once

#include <tcl.h>

namespace krel {

struct GimgMaster;

constexpr int kGimgSlots = 5120;

// Allocates the table (once per process).
void initGimgTable();
// Takes the first free slot; -1 (after "Fail to add the gimg.\n" on the
// error stream) when all are taken.
int addGimg(GimgMaster *m);
void removeGimg(GimgMaster *m);
// Appends the name of every existing gimg image, each followed by a blank.
void appendGimgNames(Tcl_Interp *interp);
// Deletes every gimg image (process exit) and frees the table.
void deleteAllGimg();

}  // namespace krel
