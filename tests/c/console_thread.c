/* A console in a second thread: it runs beside the loading thread, answers
 * evaluations from it, and the process exits cleanly while it is open. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <tcl.h>
#include <tk.h>

extern int Console_Init(Tcl_Interp *interp);

static int failures = 0;
static Tcl_Interp *interp;

static void report(const char *text)
{
    if (write(2, text, strlen(text)) < 0) failures++;
}

static int evalIs(const char *script, const char *expected)
{
    int code = Tcl_Eval(interp, script);
    const char *result = Tcl_GetStringResult(interp);
    if (code != TCL_OK || strcmp(result, expected) != 0) {
        report(script);
        report(" -> ");
        report(result);
        report("\n");
        failures++;
        return 0;
    }
    return 1;
}

int main(int argc, char **argv)
{
    (void)argc;
    Tcl_FindExecutable(argv[0]);
    interp = Tcl_CreateInterp();
    if (Tcl_Init(interp) != TCL_OK || Tk_Init(interp) != TCL_OK) {
        report("cannot initialise Tcl/Tk\n");
        return 1;
    }
    const char *dir = getenv("KREL_PKG_DIR");
    Tcl_SetVar(interp, "gimgHome", dir ? dir : ".", TCL_GLOBAL_ONLY);
    Tcl_SetVar(interp, "tcl_interactive", "0", TCL_GLOBAL_ONLY);
    if (Console_Init(interp) != TCL_OK) {
        report("Console_Init failed\n");
        return 1;
    }
    evalIs("krel thread", "Thread start with flag: 1.\n");
    evalIs("krel eval 1 {set a 5}", "5");
    evalIs("krel eval 1 {console set b 6}", "6");
    evalIs("krel eval 1 {puts inthread; console .text get 1.0 end-1c}", "inthread\n");
    evalIs("krel create", "2");
    evalIs("krel eval 2 {krel eval 1 {expr {$a * 2}}}", "10");
    /* A second thread, then one closed by its window. */
    evalIs("krel thread", "Thread closed with flag: 0.\n");
    evalIs("krel thread", "Thread start with flag: 1.\n");
    evalIs("krel eval 3 {destroy .}", "");
    Tcl_Eval(interp, "after 300 {set done 1}; vwait done");
    if (Tcl_Eval(interp, "krel eval 3 {set x}") != TCL_ERROR) {
        report("slot 3 still in use\n");
        failures++;
    }
    /* Exit with the first thread's console still open. */
    Tcl_Exit(failures ? 1 : 0);
    return 0;
}
