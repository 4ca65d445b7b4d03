#include "script/calc.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <vector>

#include "core/conio.h"
#include "core/package.h"
#include "core/runtime.h"
#include "core/subcmd.h"
#include "image/modargs.h"
#include "core/prng.h"
#include "image/modules.h"

namespace krel {

double leadingDouble(const char *word)
{
    return strtod(word, nullptr);
}

long leadingLong(const char *word)
{
    return strtol(word, nullptr, 10);
}

namespace {

void usage(Tcl_Interp *interp, const char **argv, const char *synopsis)
{
    Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], synopsis, nullptr);
}

int calcChars(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3 || argc > 4) {
        Tcl_SetResult(interp, const_cast<char *>("Usage: calc chars characters [offset]\n"), TCL_STATIC);
        return TCL_OK;
    }
    long offset = argc > 3 ? leadingLong(argv[3]) : 0;
    Tcl_Obj *result = Tcl_NewObj();
    for (const char *p = argv[2]; *p;) {
        Tcl_UniChar ch = 0;
        p += Tcl_UtfToUniChar(p, &ch);
        // An offset at the edge of the range wraps as the machine word does.
        long code = static_cast<long>(static_cast<unsigned long>(ch) + static_cast<unsigned long>(offset));
        Tcl_AppendPrintfToObj(result, "%ld ", code);
    }
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

int calcD2r(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) {
        usage(interp, argv, " degree\n");
        return TCL_OK;
    }
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%f", leadingDouble(argv[2]) * M_PI / 180.0));
    return TCL_OK;
}

int calcR2d(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) {
        usage(interp, argv, " radian\n");
        return TCL_OK;
    }
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%f", leadingDouble(argv[2]) * 180.0 / M_PI));
    return TCL_OK;
}

int calcRand(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 3) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Usage: %s %s [seed|max]", argv[0], argv[1]));
        return TCL_ERROR;
    }
    if (argc == 3) {
        if (strcmp(argv[2], "max") == 0) {
            Tcl_SetObjResult(interp, Tcl_NewIntObj(32767));
            return TCL_OK;
        }
        sharedPrng().seed(static_cast<uint32_t>(leadingLong(argv[2])));
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(sharedPrng().next()));
    return TCL_OK;
}

int calcRrand(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 3) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Usage: %s %s [density]", argv[0], argv[1]));
        return TCL_ERROR;
    }
    long density = argc == 3 ? leadingLong(argv[2]) : 1;
    // One draw per unit: a density beyond the integer range would draw for
    // ever, and is no integer density either.
    if (density < 1 || density > INT_MAX) {
        Tcl_SetResult(interp, const_cast<char *>("density must be an integer."), TCL_STATIC);
        return TCL_ERROR;
    }
    double sum = 0;
    for (long i = 0; i < density; ++i) sum += sharedPrng().next();
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.8f", sum / (density * 32767.0)));
    return TCL_OK;
}

int calcMeter(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc == 2) {
        meterReset();
        return TCL_OK;
    }
    if (argc != 4) {
        Tcl_SetResult(interp, const_cast<char *>("Usage: calc meter msg pct"), TCL_STATIC);
        return TCL_ERROR;
    }
    double pct = leadingDouble(argv[3]);
    conEprintf("pct: %s %f\n", argv[3], pct);
    meterSet(argv[2], static_cast<float>(pct / 100.0));
    return TCL_OK;
}

int calcFtime(Tcl_Interp *interp, int argc, const char **argv)
{
    static const char kUsage[] = "Usage: calc ftime [short|long]\n";
    bool shortForm = argc == 2 || (argc == 3 && strcmp(argv[2], "short") == 0);
    bool longForm = argc == 3 && strcmp(argv[2], "long") == 0;
    if (!shortForm && !longForm) {
        Tcl_SetResult(interp, const_cast<char *>(kUsage), TCL_STATIC);
        return TCL_ERROR;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    long ms = tv.tv_usec / 1000;
    if (shortForm) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.3f", tv.tv_sec + ms / 1000.0));
    } else {
        struct tm local;
        time_t now = tv.tv_sec;
        localtime_r(&now, &local);
        long west = -local.tm_gmtoff / 60 + (local.tm_isdst > 0 ? 60 : 0);
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("%ld %ld %ld %ld", static_cast<long>(tv.tv_sec), ms, west,
                                               static_cast<long>(local.tm_isdst > 0)));
    }
    return TCL_OK;
}

int calcBands(Tcl_Interp *, int argc, const char **argv)
{
    std::vector<BandPair> pairs;
    const char *spec = argc > 2 ? argv[2] : "";
    if (!parseBandList(spec, &pairs)) {
        conPrintf("Error in parse bands: %s\n", spec);
        return TCL_OK;
    }
    for (const BandPair &p : pairs) conPrintf("%d %d\n", p.in, p.out);
    return TCL_OK;
}

// The eigenvector module under the name "calc egv"; what it prints is its
// answer, and the command itself always succeeds with an empty result.
int calcEgv(Tcl_Interp *interp, int argc, const char **argv)
{
    Tcl_ResetResult(interp);
    findModule("egv")("calc egv", argc - 2, argv + 2);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

// Table order decides between names of one letter; minimum lengths per letter.
const SubCommand<CalcHandler> kCalcCommands[] = {
    {"chars", 5, calcChars},
    {"correl", 5, calcCorrel},
    {"comptest", 5, calcCompTest},
    {"compsave", 5, calcCompSave},
    {"clrscr", 5, calcClrscr},
    {"bands", 4, calcBands},
    {"d2r", 3, calcD2r},
    {"decompload", 4, calcDecompLoad},
    {"egv", 3, calcEgv},
    {"ftime", 3, calcFtime},
    {"fplane", 3, calcFplane},
    {"freeDisk", 3, calcFreeDisk},
    {"fgets", 3, calcFgets},
    {"galloc", 5, calcGalloc},
    {"gfree", 5, calcGfree},
    {"gotoxy", 5, calcGotoxy},
    {"geocalc", 5, calcGeocalc},
    {"handles", 5, calcHandles},
    {"loadtime", 4, calcLoadTime},
    {"makefft", 4, calcMakefft},
    {"malloc", 4, calcMalloc},
    {"memory", 4, calcMemory},
    {"memid", 4, calcMemid},
    {"meter", 4, calcMeter},
    {"panic", 3, calcPanic},
    {"r2d", 3, calcR2d},
    {"refImgCoord", 3, calcRefImgCoord},
    {"rand", 3, calcRand},
    {"rrand", 3, calcRrand},
    {"stime", 4, calcStime},
    {"scramble", 4, calcScramble},
    {"test", 4, calcTest},
    {"xyzRotate", 3, calcXyzRotate},
};

int calcCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 2) {
        Tcl_SetResult(interp,
                      const_cast<char *>("Commands: bands chars clrscr correl comptest compsave egv decompload d2r "
                                         "fgets fplane ftime freeDisk galloc gfree geocalc handles loadtime makefft "
                                         "malloc memid memory meter panic test rand refImgCoord rrand r2d scramble "
                                         "stime xyzRotate"),
                      TCL_STATIC);
        return TCL_OK;
    }
    const auto *entry = findSubCommand(kCalcCommands, argv[1]);
    if (!entry) {
        Tcl_SetResult(interp, const_cast<char *>("Unknown command"), TCL_STATIC);
        return TCL_OK;
    }
    return entry->handler(interp, argc, argv);
}

}  // namespace

int registerCalcCommand(Tcl_Interp *interp)
{
    if (krel::initStubs(interp) != TCL_OK) return TCL_ERROR;
    // Loaded on its own, calc prints to the interpreter that loaded it.
    if (krel::currentInterp() == nullptr) {
        krel::setCurrentInterp(interp);
        krel::forgetWhenDeleted(interp);
    }
    return Tcl_CreateCommand(interp, "calc", krel::calcCommand, nullptr, nullptr) ? TCL_OK : TCL_ERROR;
}

}  // namespace krel
