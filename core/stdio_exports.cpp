// The console standard I/O that the shared library exports under the C
// library's names, so that a C program linked against krelcore prints to and
// reads from the current console. Compiled into the shared library only: the
// unit-test binary and every process that merely loads the package with Tcl's
// `load` (a local dlopen) keep the C library's functions, and the library's
// own calls bind here directly (-Bsymbolic-functions).
//
// The C library's header is deliberately not included: it renames scanf and
// fscanf to their ISO C99 symbols, and this file has to define both names.
#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "core/export.h"

extern "C" {
struct _IO_FILE;
typedef struct _IO_FILE FILE;
extern FILE *stdin;
extern FILE *stdout;
extern FILE *stderr;
int vfprintf(FILE *stream, const char *format, va_list ap);
int fgetc(FILE *stream);
int __isoc99_vfscanf(FILE *stream, const char *format, va_list ap);
int __isoc99_vsscanf(const char *text, const char *format, va_list ap);

// From conio.cpp.
char *conGets(int *length);
}

namespace krel {
int conVprintf(int which, const char *format, va_list ap);
}

namespace {

constexpr int kStdout = 4;
constexpr int kStderr = 8;
// Longest line gets copies into a buffer whose size it is not told.
constexpr size_t kGetsMax = 1024;
constexpr size_t kFgetcLine = 512;
constexpr size_t kFgetsLine = 1024;

// One console line without its final newline; null when none came.
char *consoleLine(int *length)
{
    int n = 0;
    char *line = conGets(&n);
    if (line == nullptr || n < 1) return nullptr;
    if (line[n - 1] == '\n') line[--n] = '\0';
    *length = n;
    return line;
}

// Copies at most room - 1 bytes of text and terminates; room > 0.
void copyCut(char *target, size_t room, const char *text, size_t length)
{
    size_t n = length < room - 1 ? length : room - 1;
    memcpy(target, text, n);
    target[n] = '\0';
}

int vscanLine(const char *format, va_list ap)
{
    int n = 0;
    char *line = consoleLine(&n);
    if (line == nullptr) return 0;
    return __isoc99_vsscanf(line, format, ap);
}

int vfprintfTo(FILE *stream, const char *format, va_list ap)
{
    if (stream == stdout) return krel::conVprintf(kStdout, format, ap);
    if (stream == stderr) return krel::conVprintf(kStderr, format, ap);
    return vfprintf(stream, format, ap);
}

char *getsInto(char *buffer, size_t room)
{
    int n = 0;
    char *line = consoleLine(&n);
    if (line == nullptr) return nullptr;
    if (buffer == nullptr) return line;
    copyCut(buffer, room, line, static_cast<size_t>(n));
    return buffer;
}

char *fgetsFrom(char *buffer, int size, FILE *stream)
{
    if (buffer == nullptr || size <= 0) return nullptr;
    if (stream == stdin) {
        int n = 0;
        char *line = consoleLine(&n);
        if (line == nullptr) return nullptr;
        size_t length = static_cast<size_t>(n) < kFgetsLine - 1 ? static_cast<size_t>(n) : kFgetsLine - 1;
        copyCut(buffer, static_cast<size_t>(size), line, length);
        return buffer;
    }
    int count = 0;
    while (count < size - 1) {
        int c = fgetc(stream);
        if (c < 0) break;
        buffer[count++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (count == 0) return nullptr;
    buffer[count] = '\0';
    return buffer;
}

}  // namespace

KREL_API int printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = krel::conVprintf(kStdout, format, ap);
    va_end(ap);
    return n;
}

KREL_API int __printf_chk(int, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = krel::conVprintf(kStdout, format, ap);
    va_end(ap);
    return n;
}

KREL_API int fprintf(FILE *stream, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vfprintfTo(stream, format, ap);
    va_end(ap);
    return n;
}

KREL_API int __fprintf_chk(FILE *stream, int, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vfprintfTo(stream, format, ap);
    va_end(ap);
    return n;
}

KREL_API int scanf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vscanLine(format, ap);
    va_end(ap);
    return n;
}

KREL_API int __isoc99_scanf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vscanLine(format, ap);
    va_end(ap);
    return n;
}

KREL_API int fscanf(FILE *stream, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = stream == stdin ? vscanLine(format, ap) : __isoc99_vfscanf(stream, format, ap);
    va_end(ap);
    return n;
}

KREL_API int __isoc99_fscanf(FILE *stream, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = stream == stdin ? vscanLine(format, ap) : __isoc99_vfscanf(stream, format, ap);
    va_end(ap);
    return n;
}

// The line, without its newline, copied into `buffer` (at most 1023
// characters and the terminating NUL: gets is not told the buffer's size),
// or the internal line buffer itself when `buffer` is null.
KREL_API char *gets(char *buffer) { return getsInto(buffer, kGetsMax); }

KREL_API char *__gets_chk(char *buffer, size_t size) { return getsInto(buffer, size > 0 ? size : 1); }

KREL_API int _fgetc(FILE *stream)
{
    if (stream != stdin) return fgetc(stream);
    int n = 0;
    char *line = conGets(&n);
    if (line == nullptr || n < 1) return -1;
    char first[kFgetcLine];
    copyCut(first, sizeof first, line, static_cast<size_t>(n));
    return static_cast<unsigned char>(first[0]);
}

KREL_API char *fgets(char *buffer, int size, FILE *stream) { return fgetsFrom(buffer, size, stream); }

KREL_API char *__fgets_chk(char *buffer, size_t bufferSize, int size, FILE *stream)
{
    if (size > 0 && static_cast<size_t>(size) > bufferSize) size = static_cast<int>(bufferSize);
    return fgetsFrom(buffer, size, stream);
}
