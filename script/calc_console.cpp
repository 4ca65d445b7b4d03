// The console helpers of calc: clearing, cursor placement, listing a file
// and the console stdio self-test.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/conio.h"
#include "platform/files.h"
#include "script/calc.h"

namespace krel {

namespace {

// Reads one console line and scans a number and a word from it; the word
// is bounded by its buffer and the rest of the line is dropped.
void promptNumberAndWord(int which)
{
    static const char kPrompt[] = "Enter a number and a string: ";
    consolePuts(which, kPrompt, static_cast<int>(sizeof kPrompt - 1));
    int length = 0;
    const char *line = conGets(&length);
    float number = 0;
    char word[256] = "";
    if (line != nullptr) sscanf(line, "%f %255s", &number, word);
    if (which == CON_STDERR)
        conEprintf("%f %s\n", number, word);
    else
        conPrintf("%f %s\n", number, word);
}

}  // namespace

int calcClrscr(Tcl_Interp *, int, const char **)
{
    clearConsole();
    return TCL_OK;
}

int calcGotoxy(Tcl_Interp *, int argc, const char **argv)
{
    if (argc != 5) {
        conEprintf("Usage: calc gotoxy x y text\n");
        return TCL_ERROR;
    }
    gotoxy(static_cast<int>(leadingLong(argv[2])), static_cast<int>(leadingLong(argv[3])));
    conPrintf("%s", argv[4]);
    return TCL_OK;
}

int calcFgets(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        Tcl_SetResult(interp, const_cast<char *>("usage: calc fgets fileName\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    // A FIFO or a device would block or never end.
    platform::FileDesc fd;
    if (!platform::isSpecialFile(argv[2])) fd = platform::openFile(argv[2], platform::OpenMode::Read);
    if (!fd) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Error in open %s\n", argv[2]));
        return TCL_ERROR;
    }
    char piece[1024];
    ssize_t n;
    while ((n = platform::readAll(fd.get(), piece, sizeof piece)) > 0) {
        consolePuts(CON_STDOUT, piece, static_cast<int>(n));
        if (static_cast<size_t>(n) < sizeof piece) break;
    }
    return TCL_OK;
}

int calcTest(Tcl_Interp *, int, const char **)
{
    conPrintf("stdin: %d stdout: %d stderr: %d\n", fileno(stdin), fileno(stdout), fileno(stderr));
    conPrintf("int: %d string: %s\n", 100, "abcd");
    promptNumberAndWord(CON_STDERR);
    promptNumberAndWord(CON_STDOUT);
    return TCL_OK;
}

}  // namespace krel
