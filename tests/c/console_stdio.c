/* A C program linked against krelcore: its printf, fprintf, gets and the
 * other console stdio functions reach the current console. Diagnostics of
 * the test itself go straight to file descriptor 2. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <dlfcn.h>

#include <tcl.h>
#include <tk.h>

extern int Console_Init(Tcl_Interp *interp);
extern char *gets(char *buffer);
extern int _fgetc(FILE *stream);
extern void gotoxy(int x, int y);
extern void clearConsole(void);

/* The functions under test. Linked normally, the program's own printf and
 * the rest are the library's. The sanitizer runtime intercepts the C
 * library's names ahead of every library, so under it they are taken from
 * the library by name. */
static int (*k_printf)(const char *, ...) = printf;
static int (*k_fprintf)(FILE *, const char *, ...) = fprintf;
static int (*k_scanf)(const char *, ...) = scanf;
static int (*k_fscanf)(FILE *, const char *, ...) = fscanf;
static char *(*k_gets)(char *) = gets;
static char *(*k_fgets)(char *, int, FILE *) = fgets;

static void bindFunctions(void)
{
#if defined(__SANITIZE_ADDRESS__)
    void *lib = dlopen("libkrelcore.so", RTLD_NOW | RTLD_NOLOAD);
    if (lib == NULL) return;
    k_printf = (int (*)(const char *, ...))dlsym(lib, "printf");
    k_fprintf = (int (*)(FILE *, const char *, ...))dlsym(lib, "fprintf");
    k_scanf = (int (*)(const char *, ...))dlsym(lib, "__isoc99_scanf");
    k_fscanf = (int (*)(FILE *, const char *, ...))dlsym(lib, "__isoc99_fscanf");
    k_gets = (char *(*)(char *))dlsym(lib, "gets");
    k_fgets = (char *(*)(char *, int, FILE *))dlsym(lib, "fgets");
#endif
}

static int failures = 0;

static void report(const char *format, ...)
{
    char text[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (write(2, text, strlen(text)) < 0) failures++;
}

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            report("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                               \
        }                                                             \
    } while (0)

static Tcl_Interp *interp;

static const char *eval(const char *script)
{
    if (Tcl_Eval(interp, script) != TCL_OK) {
        report("error in {%s}: %s\n", script, Tcl_GetStringResult(interp));
        failures++;
    }
    return Tcl_GetStringResult(interp);
}

static void settle(int ms)
{
    Tcl_Time end, now;
    Tcl_GetTime(&end);
    end.usec += (long)ms * 1000;
    end.sec += end.usec / 1000000;
    end.usec %= 1000000;
    for (;;) {
        while (Tcl_DoOneEvent(TCL_ALL_EVENTS | TCL_DONT_WAIT)) {
        }
        Tcl_GetTime(&now);
        if (now.sec > end.sec || (now.sec == end.sec && now.usec >= end.usec)) break;
        usleep(10000);
    }
}

int main(int argc, char **argv)
{
    (void)argc;
    char buffer[64];
    Tcl_FindExecutable(argv[0]);
    bindFunctions();
    interp = Tcl_CreateInterp();
    if (Tcl_Init(interp) != TCL_OK || Tk_Init(interp) != TCL_OK) {
        report("cannot initialise Tcl/Tk: %s\n", Tcl_GetStringResult(interp));
        return 1;
    }
    const char *dir = getenv("KREL_PKG_DIR");
    Tcl_SetVar(interp, "gimgHome", dir ? dir : ".", TCL_GLOBAL_ONLY);
    Tcl_SetVar(interp, "tcl_interactive", "0", TCL_GLOBAL_ONLY);
    if (Console_Init(interp) != TCL_OK) {
        report("Console_Init failed: %s\n", Tcl_GetStringResult(interp));
        return 1;
    }

    /* Output reaches the console that Console_Init opened, standard error in
     * its own style. */
    eval("console clear");
    CHECK(k_printf("hello %d\n", 42) == 9);
    CHECK(k_fprintf(stderr, "oops %s\n", "bad") == 9);
    CHECK(strcmp(eval("console .text get 1.0 end-1c"), "hello 42\noops bad\n") == 0);
    CHECK(strcmp(eval("console .text get {*}[console .text tag ranges stderr]"), "oops bad\n") == 0);

    /* Formatted output longer than any fixed buffer arrives whole. */
    {
        char *big = malloc(6001);
        memset(big, 'x', 6000);
        big[6000] = '\0';
        eval("console clear");
        CHECK(k_printf("<%s>", big) == 6002);
        CHECK(strlen(eval("console .text get 1.0 end-1c")) == 6002);
        free(big);
    }

    /* Input: lines typed in the console (queued here). */
    eval("console tkConsoleQueue {typed line}");
    const char *line = k_gets(NULL);
    CHECK(line != NULL && strcmp(line, "typed line") == 0);
    eval("console tkConsoleQueue {second}");
    CHECK(k_gets(buffer) == buffer && strcmp(buffer, "second") == 0);
    eval("console tkConsoleQueue abcdefgh");
    CHECK(k_fgets(buffer, 5, stdin) == buffer && strcmp(buffer, "abcd") == 0);
    eval("console tkConsoleQueue {3 4}");
    {
        int a = 0, b = 0;
        CHECK(k_scanf("%d %d", &a, &b) == 2 && a == 3 && b == 4);
    }
    eval("console tkConsoleQueue {xyz}");
    CHECK(_fgetc(stdin) == 'x');
    eval("console tkConsoleQueue {7}");
    {
        int v = 0;
        CHECK(k_fscanf(stdin, "%d", &v) == 1 && v == 7);
    }

    /* Other streams are the C library's. */
    {
        FILE *f = tmpfile();
        CHECK(f != NULL);
        if (f) {
            CHECK(k_fprintf(f, "n=%d\nrest", 5) == 8);
            rewind(f);
            CHECK(k_fgets(buffer, sizeof buffer, f) == buffer && strcmp(buffer, "n=5\n") == 0);
            CHECK(_fgetc(f) == 'r');
            int v = 0;
            rewind(f);
            CHECK(k_fscanf(f, "n=%d", &v) == 1 && v == 5);
            fclose(f);
        }
    }

    /* gotoxy and clearConsole act on the console's text. */
    eval("console clear");
    k_printf("abcdef\n");
    gotoxy(2, 0);
    k_printf("XY");
    CHECK(strcmp(eval("console .text get 1.0 end-1c"), "abXYef\n") == 0);
    clearConsole();
    CHECK(strcmp(eval("console .text get 1.0 end-1c"), "") == 0);

    /* With no console, output is dropped but reported as written, and input
     * yields nothing. */
    eval("console destroy .");
    settle(200);
    CHECK(strcmp(eval("console set x 1"), "") == 0);
    CHECK(k_printf("dropped %d\n", 1) == 10);
    CHECK(k_fprintf(stderr, "dropped\n") == 8);
    CHECK(k_gets(NULL) == NULL);
    CHECK(k_fgets(buffer, sizeof buffer, stdin) == NULL);
    CHECK(_fgetc(stdin) == -1);

    if (failures) report("%d checks failed\n", failures);
    Tcl_Exit(failures ? 1 : 0);
    return 0;
}
