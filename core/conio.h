// Console output and input as seen from inside the library. Every diagnostic
// of the package goes through here to the console of the current interpreter;
// with no current interpreter output is dropped (and reported as written).
#pragma once

#include <cstdarg>
#include <cstdio>

#include <string>

#include <tcl.h>

#include "core/export.h"

KREL_API int consolePuts(int which, const char *text, int length);
// consolePuts to console standard error when `stream` is the process's
// standard error stream, else to console standard output.
KREL_API int conPuts(FILE *stream, const char *text, int length);
// Reads one console line and appends it to `line`; returns its length, 0 when
// there is no console or no text.
KREL_API int consoleGets(Tcl_DString *line);
// Reads one console line into the calling thread's line buffer; stores its
// length and returns the text, or null when no line came.
KREL_API char *conGets(int *length);
KREL_API void gotoxy(int x, int y);
KREL_API void clearConsole(void);

namespace krel {

enum ConsoleStream { CON_STDIN = 2, CON_STDOUT = 4, CON_STDERR = 8 };

struct ConsoleState {
    int consoleStdio = 0;  // 1: the console scripts' tkConsoleOutput/tkConsoleInput serve stdio
    int unblock = 0;       // nonzero: service pending events after every output
    // Receives output while no interpreter is current; lets plain C++ tests and
    // tools see diagnostics. Null drops them.
    void (*sink)(int which, const char *text, int length) = nullptr;
};
ConsoleState &consoleState();

int conVprintf(int which, const char *format, va_list ap);
int conPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));   // console stdout
int conEprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));  // console stderr

// Reads one console line (as the console gives it, with its newline) into
// `line`; returns its length, 0 when no console or no text.
int consoleGetLine(Tcl_DString *line);

// Whether no further console line can come: no current interpreter, or
// (without the Tk console serving stdio) the interpreter's stdin at its end.
// A line reader tells an empty line from the end of its input by this.
bool consoleInputEnded();
// The report of a panic: "panic:" and the text (data, not a format) on the
// console's standard error, or the process's when no interpreter is current.
void reportPanic(const char *text);

// The line buffer of conGets (and of gets with a null buffer) in this thread.
std::string &consoleLineBuffer();

}  // namespace krel
