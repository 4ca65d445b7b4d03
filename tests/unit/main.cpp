// Test binary entry: creates one Tcl interpreter through the real Tcl library
// and sets up the stubs table that the library's objects call through.
#include <gtest/gtest.h>

#undef USE_TCL_STUBS
#undef USE_TK_STUBS
#include <tcl.h>

#include "support.h"

#undef Tcl_InitStubs
extern "C" const char *Tcl_InitStubs(Tcl_Interp *interp, const char *version, int exact);

namespace krel::test {
static Tcl_Interp *theInterp = nullptr;
Tcl_Interp *interp() { return theInterp; }
}  // namespace krel::test

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    Tcl_FindExecutable(argv[0]);
    krel::test::theInterp = Tcl_CreateInterp();
    if (Tcl_Init(krel::test::theInterp) != TCL_OK || Tcl_InitStubs(krel::test::theInterp, "8.6", 0) == nullptr) {
        fprintf(stderr, "cannot initialise Tcl: %s\n", Tcl_GetStringResult(krel::test::theInterp));
        return 1;
    }
    int rc = RUN_ALL_TESTS();
    Tcl_DeleteInterp(krel::test::theInterp);
    return rc;
}
