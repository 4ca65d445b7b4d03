#include "core/conio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/runtime.h"

#include <unistd.h>

namespace krel {

ConsoleState &consoleState()
{
    static ConsoleState state;
    return state;
}

int conVprintf(int which, const char *format, va_list ap)
{
    // Output of any length reaches the console whole: format into a stack
    // buffer and fall back to a heap string for long texts.
    char small[2048];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < sizeof small) return consolePuts(which, small, n);
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(big.data(), big.size(), format, ap);
    return consolePuts(which, big.data(), n);
}

int conPrintf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = conVprintf(CON_STDOUT, format, ap);
    va_end(ap);
    return n;
}

int conEprintf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = conVprintf(CON_STDERR, format, ap);
    va_end(ap);
    return n;
}

int consoleGetLine(Tcl_DString *line)
{
    Tcl_Interp *interp = currentInterp();
    if (interp == nullptr) return 0;
    Tcl_Preserve(interp);
    int before = Tcl_DStringLength(line);
    if (consoleState().consoleStdio) {
        if (Tcl_EvalEx(interp, "tkConsoleInput", -1, TCL_EVAL_GLOBAL) == TCL_OK) {
            const char *text = Tcl_GetVar(interp, "consoleCmdLine", TCL_GLOBAL_ONLY);
            if (text) Tcl_DStringAppend(line, text, -1);
        }
    } else if (Tcl_EvalEx(interp, "gets stdin", -1, TCL_EVAL_GLOBAL) == TCL_OK) {
        Tcl_DStringAppend(line, Tcl_GetStringResult(interp), -1);
    }
    Tcl_ResetResult(interp);
    Tcl_Release(interp);
    return Tcl_DStringLength(line) - before;
}

bool consoleInputEnded()
{
    Tcl_Interp *interp = currentInterp();
    if (interp == nullptr) return true;
    if (consoleState().consoleStdio) return false;
    Tcl_Channel in = Tcl_GetChannel(interp, "stdin", nullptr);
    return in == nullptr || Tcl_Eof(in);
}

std::string &consoleLineBuffer()
{
    static thread_local std::string buffer;
    return buffer;
}

namespace {
// Interpreters in which this thread is evaluating console output right now.
// Output that arrives while the same console is still busy with earlier
// output (the console printing through the very channel it serves) would
// recurse without end; it goes to the process's own stream instead.
thread_local Tcl_Interp *busyConsoles[16];
thread_local int busyCount = 0;

bool consoleBusy(Tcl_Interp *interp)
{
    for (int i = 0; i < busyCount; ++i)
        if (busyConsoles[i] == interp) return true;
    return false;
}

void writeRaw(int which, const char *text, int length)
{
    int fd = (which == CON_STDERR) ? 2 : 1;
    while (length > 0) {
        ssize_t n = ::write(fd, text, static_cast<size_t>(length));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        text += n;
        length -= static_cast<int>(n);
    }
}

int evalInCurrent(const char *script)
{
    Tcl_Interp *interp = currentInterp();
    if (interp == nullptr) return TCL_OK;
    Tcl_Preserve(interp);
    Tcl_InterpState saved = Tcl_SaveInterpState(interp, TCL_OK);
    int code = Tcl_EvalEx(interp, script, -1, TCL_EVAL_GLOBAL);
    Tcl_RestoreInterpState(interp, saved);
    Tcl_Release(interp);
    return code;
}
}  // namespace

void reportPanic(const char *text)
{
    std::string line = std::string("panic:") + text + "\n";
    if (currentInterp() != nullptr)
        consolePuts(CON_STDERR, line.data(), static_cast<int>(line.size()));
    else
        writeRaw(CON_STDERR, line.data(), static_cast<int>(line.size()));
}

}  // namespace krel

using namespace krel;

int conPuts(FILE *stream, const char *text, int length)
{
    return consolePuts(stream == stderr ? CON_STDERR : CON_STDOUT, text, length);
}

int consoleGets(Tcl_DString *line) { return consoleGetLine(line); }

char *conGets(int *length)
{
    std::string &buffer = consoleLineBuffer();
    buffer.clear();
    Tcl_DString ds;
    Tcl_DStringInit(&ds);
    int n = consoleGets(&ds);
    buffer.assign(Tcl_DStringValue(&ds), static_cast<size_t>(Tcl_DStringLength(&ds)));
    Tcl_DStringFree(&ds);
    if (length) *length = n;
    return n < 1 ? nullptr : buffer.data();
}

void gotoxy(int x, int y)
{
    char script[64];
    snprintf(script, sizeof script, "tkConsoleXY %d %d", x, y);
    evalInCurrent(script);
}

void clearConsole(void) { evalInCurrent("clear"); }

int consolePuts(int which, const char *text, int length)
{
    errno = 0;
    if (length < 0) length = text ? static_cast<int>(strlen(text)) : 0;
    Tcl_Interp *interp = currentInterp();
    if (interp == nullptr) {
        if (consoleState().sink) consoleState().sink(which, text, length);
        return length;
    }
    const bool err = (which == CON_STDERR);
    Tcl_Obj *cmd = Tcl_NewListObj(0, nullptr);
    Tcl_IncrRefCount(cmd);
    if (consoleState().consoleStdio) {
        Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj("tkConsoleOutput", -1));
    } else {
        Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj("puts", -1));
        Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj("-nonewline", -1));
    }
    Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj(err ? "stderr" : "stdout", -1));
    // Bytes that are not valid UTF-8 still arrive: Tcl maps them one to one.
    Tcl_ListObjAppendElement(nullptr, cmd, Tcl_NewStringObj(text, length));
    if (consoleBusy(interp) || busyCount == 16) {
        Tcl_DecrRefCount(cmd);
        writeRaw(which, text, length);
        return length;
    }
    Tcl_Preserve(interp);
    busyConsoles[busyCount++] = interp;
    // Output must not disturb the result of whatever command is printing.
    Tcl_InterpState saved = Tcl_SaveInterpState(interp, TCL_OK);
    Tcl_EvalObjEx(interp, cmd, TCL_EVAL_GLOBAL);
    Tcl_RestoreInterpState(interp, saved);
    --busyCount;
    Tcl_Release(interp);
    Tcl_DecrRefCount(cmd);
    if (consoleState().unblock) tclUpdate(nullptr, TCL_ALL_EVENTS);
    return length;
}
