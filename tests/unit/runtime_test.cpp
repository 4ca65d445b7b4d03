#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/conio.h"
#include "core/options.h"
#include "core/runtime.h"
#include "image/module_util.h"
#include "support.h"

using namespace krel;

namespace {

struct RuntimeReset {
    float savedStep = runtime().meterStep;
    int savedStatus = runtime().rimageStatus;
    Tcl_Interp *savedCurrent = currentInterp();
    ~RuntimeReset()
    {
        setCurrentInterp(savedCurrent);
        runtime().meterStep = savedStep;
        runtime().rimageStatus = savedStatus;
    }
};

TEST(ScratchRing, StaysInsideTheRingAndWrapsPastTheMark)
{
    runtime().ringPos = 0;
    const char *first = scratchFormat("%s", "x");
    EXPECT_EQ(first, runtime().ring);
    // Texts of 1000 bytes: after the position passes 15360 the next one
    // starts again at the beginning.
    std::string block(999, 'a');
    const char *last = nullptr;
    for (int i = 0; i < 16; ++i) {
        last = scratchFormat("%s", block.c_str());
        EXPECT_GE(last, runtime().ring);
        EXPECT_LE(last + strlen(last), runtime().ring + RuntimeState::kRingSize - 1);
    }
    EXPECT_EQ(std::string(last), block);
    EXPECT_LT(runtime().ringPos, RuntimeState::kRingSize);

    // Whatever is asked, nothing is written past the ring.
    runtime().ringPos = RuntimeState::kRingWrap;  // not yet past the mark
    std::string huge(5000, 'z');
    const char *cut = scratchFormat("%s", huge.c_str());
    EXPECT_EQ(strlen(cut), 1023u);  // the 1024 bytes left past the mark, less the terminator
    EXPECT_LE(runtime().ringPos, RuntimeState::kRingSize);
    const char *next = scratchFormat("%d", 42);
    EXPECT_EQ(next, runtime().ring);
    EXPECT_STREQ(next, "42");
}

TEST(CaseCompare, FoldsCaseAndOrdersNullFirst)
{
    EXPECT_EQ(caseCompare("Default", "DEFAULT"), 0);
    EXPECT_LT(caseCompare("abc", "abd"), 0);
    EXPECT_GT(caseCompare("abcd", "ABC"), 0);
    EXPECT_EQ(caseCompare(nullptr, nullptr), 0);
    EXPECT_LT(caseCompare(nullptr, ""), 0);
    EXPECT_GT(caseCompare("", nullptr), 0);
}

TEST(Meter, InertWithoutInterpreterOrWithStepZero)
{
    RuntimeReset reset;
    setCurrentInterp(nullptr);
    EXPECT_EQ(meterSet("x", 0.5f), 0);
    EXPECT_EQ(meterReset(), 0);

    // With an interpreter but step 0, no script is evaluated.
    Tcl_Interp *interp = test::interp();
    Tcl_Eval(interp, "set ::meterCalls 0; proc meter.set {args} {incr ::meterCalls}; "
                     "proc meter.reset {args} {incr ::meterCalls}");
    setCurrentInterp(interp);
    runtime().meterStep = 0.0f;
    EXPECT_EQ(meterSet("x", 0.5f), 0);
    EXPECT_EQ(meterReset(), 0);
    EXPECT_STREQ(Tcl_GetVar(interp, "meterCalls", TCL_GLOBAL_ONLY), "0");

    runtime().meterStep = 0.05f;
    EXPECT_EQ(meterSet("copy {a} [b]", 0.25f), TCL_OK);
    EXPECT_STREQ(Tcl_GetVar(interp, "meterCalls", TCL_GLOBAL_ONLY), "1");
    EXPECT_FLOAT_EQ(runtime().meterValue, 0.25f);
    EXPECT_FLOAT_EQ(meterInc(), 0.05f);
}

TEST(Meter, ProgressResumesWhenTheStepIsSwitchedOnDuringAnOperation)
{
    // The step may change while an operation runs (the status poll services
    // events, and `krel meter` is one): a meter switched off and on again
    // keeps following the operation.
    RuntimeReset reset;
    Tcl_Interp *interp = test::interp();
    Tcl_Eval(interp, "set ::meterCalls 0; proc meter.set {args} {incr ::meterCalls}");
    setCurrentInterp(interp);
    runtime().meterStep = 0.0f;
    MeterProgress progress{"copy", 0.05f};
    const long n = 10;
    progress.step(0, n);
    progress.step(1, n);
    EXPECT_STREQ(Tcl_GetVar(interp, "meterCalls", TCL_GLOBAL_ONLY), "0");
    runtime().meterStep = 0.1f;
    for (long i = 2; i < n; ++i) progress.step(i, n);
    const char *calls = Tcl_GetVar(interp, "meterCalls", TCL_GLOBAL_ONLY);
    ASSERT_NE(calls, nullptr);
    EXPECT_GT(atoi(calls), 0);
}

TEST(Meter, StepAndStatusAreClamped)
{
    RuntimeReset reset;
    setMeterStep(2);
    EXPECT_FLOAT_EQ(runtime().meterStep, 0.5f);
    setMeterStep(-1);
    EXPECT_FLOAT_EQ(runtime().meterStep, 0.0f);
    setRunStatus(7);
    EXPECT_EQ(runtime().rimageStatus, 3);
    setRunStatus(-4);
    EXPECT_EQ(runtime().rimageStatus, 0);
}

TEST(StatusPoll, NoInterpreterMeansNoPolling)
{
    RuntimeReset reset;
    setCurrentInterp(nullptr);
    runtime().rimageStatus = STATUS_ABORT;
    EXPECT_EQ(checkRimageStatus(), 0);
}

TEST(StatusPoll, AbortAndPauseRunTheApplicationProcedures)
{
    RuntimeReset reset;
    Tcl_Interp *interp = test::interp();
    setCurrentInterp(interp);
    Tcl_Eval(interp, "set ::aborts 0; proc krelAbort {} {incr ::aborts}; "
                     "proc krelPause {} {set ::paused 1}");
    runtime().rimageStatus = STATUS_ABORT;
    EXPECT_EQ(checkRimageStatus(), STATUS_ABORT);
    EXPECT_STREQ(Tcl_GetVar(interp, "aborts", TCL_GLOBAL_ONLY), "1");
    // The poll answers the status as the pause procedure leaves it: one
    // that resumes the run gives 0, one that keeps waiting gives the pause.
    Tcl_CreateObjCommand(
        interp, "resume",
        [](ClientData, Tcl_Interp *, int, Tcl_Obj *const *) {
            setRunStatus(STATUS_RUN);
            return TCL_OK;
        },
        nullptr, nullptr);
    Tcl_Eval(interp, "proc krelPause {} {set ::paused 1; resume}");
    runtime().rimageStatus = STATUS_PAUSE;
    EXPECT_EQ(checkRimageStatus(), STATUS_RUN);
    EXPECT_STREQ(Tcl_GetVar(interp, "paused", TCL_GLOBAL_ONLY), "1");
    EXPECT_EQ(runtime().rimageStatus, STATUS_RUN);
    Tcl_Eval(interp, "proc krelPause {} {set ::paused 2}");
    runtime().rimageStatus = STATUS_PAUSE;
    EXPECT_EQ(checkRimageStatus(), STATUS_PAUSE);
    EXPECT_STREQ(Tcl_GetVar(interp, "paused", TCL_GLOBAL_ONLY), "2");
    runtime().rimageStatus = STATUS_EVENTS;
    Tcl_Eval(interp, "set ::ran 0; after idle {set ::ran 1}");
    EXPECT_EQ(checkRimageStatus(), STATUS_EVENTS);
    EXPECT_STREQ(Tcl_GetVar(interp, "ran", TCL_GLOBAL_ONLY), "1");
}

TEST(StatusPoll, MissingApplicationProceduresAreSkipped)
{
    RuntimeReset reset;
    Tcl_Interp *interp = Tcl_CreateInterp();
    setCurrentInterp(interp);
    runtime().meterStep = 0.05f;
    Tcl_SetResult(interp, const_cast<char *>("kept"), TCL_STATIC);
    EXPECT_EQ(meterReset(), TCL_OK);
    EXPECT_EQ(meterSet("copy", 0.5f), TCL_OK);
    runtime().rimageStatus = STATUS_ABORT;
    EXPECT_EQ(checkRimageStatus(), STATUS_ABORT);
    runtime().rimageStatus = STATUS_PAUSE;
    EXPECT_EQ(checkRimageStatus(), STATUS_PAUSE);
    EXPECT_STREQ(Tcl_GetStringResult(interp), "kept");
    setCurrentInterp(nullptr);
    Tcl_DeleteInterp(interp);
}

TEST(PolyAlloc, KeepsPointsZeroFillsAndCutsCount)
{
    Polygon poly;
    ASSERT_NE(polyAllocPt(&poly, 4), nullptr);
    EXPECT_EQ(poly.capacity, 4);
    for (int i = 0; i < 4; ++i) poly.points[i] = {static_cast<int16_t>(i), static_cast<int16_t>(-i)};
    poly.count = 4;
    ASSERT_NE(polyAllocPt(&poly, 8), nullptr);
    EXPECT_EQ(poly.points[3].x, 3);
    EXPECT_EQ(poly.points[3].y, -3);
    EXPECT_EQ(poly.points[7].x, 0);
    EXPECT_EQ(poly.count, 4);
    polyAllocPt(&poly, 2);
    EXPECT_EQ(poly.count, 2);
    EXPECT_EQ(poly.points[1].x, 1);
    polyFree(&poly);
    EXPECT_EQ(poly.points, nullptr);
    EXPECT_EQ(poly.capacity, 0);
}

TEST(PolyAlloc, RefusesACapacityWhoseSizeDoesNotFitABlock)
{
    RuntimeReset reset;
    setCurrentInterp(nullptr);
    test::ConsoleCapture capture;
    Polygon poly;
    ASSERT_NE(polyAllocPt(&poly, 4), nullptr);
    poly.count = 3;
    // 2^30 points of 4 bytes are 4 GiB: more than one block can hold.
    EXPECT_EQ(polyAllocPt(&poly, 1 << 30), nullptr);
    EXPECT_EQ(poly.points, nullptr);
    EXPECT_EQ(poly.capacity, 0);
    EXPECT_EQ(poly.count, 0);
    EXPECT_EQ(capture.err, "Error in polyAllocPt: fail to allocate memory.\n");
}

TEST(OptionConverters, PaletteAcceptsOneOrThreeValuesAndDefault)
{
    Tcl_Interp *interp = test::interp();
    PaletteSpec p{{9, 9, 9, 9}};
    EXPECT_EQ(parsePalette(interp, "-palette", "DEFAULT", &p), TCL_OK);
    EXPECT_EQ(p.v[0], -1);
    EXPECT_EQ(printPalette(p), "Default");
    EXPECT_EQ(parsePalette(interp, "-palette", "3", &p), TCL_OK);
    EXPECT_EQ(printPalette(p), "3");
    EXPECT_EQ(parsePalette(interp, "-palette", "3/4/5", &p), TCL_OK);
    EXPECT_EQ(p.v[0], 0);
    EXPECT_EQ(printPalette(p), "3/4/5");

    Tcl_ResetResult(interp);
    EXPECT_EQ(parsePalette(interp, "-palette", "3/4", &p), TCL_ERROR);
    EXPECT_STREQ(Tcl_GetStringResult(interp), "Invalid value: 3/4 for -palette");
    EXPECT_EQ(printPalette(p), "3/4/5") << "a refused value leaves the field alone";
    for (const char *bad : {"0", "257", "1/2/0", "x", "3/4/5/6", ""}) {
        Tcl_ResetResult(interp);
        EXPECT_EQ(parsePalette(interp, "-palette", bad, &p), TCL_ERROR) << bad;
    }
}

TEST(OptionConverters, BandCombination)
{
    Tcl_Interp *interp = test::interp();
    BandComb c{};
    EXPECT_EQ(parseBandComb(interp, "-comb", "3/2/1", &c), TCL_OK);
    EXPECT_EQ(c.count, 3);
    EXPECT_EQ(printBandComb(c), "3/2/1");
    EXPECT_EQ(parseBandComb(interp, "-comb", "0/2", &c), TCL_OK);
    EXPECT_EQ(printBandComb(c), "0/2");
    for (const char *bad : {"0", "0/0/0", "-1/2", "1/2/3/4", "a"}) {
        Tcl_ResetResult(interp);
        EXPECT_EQ(parseBandComb(interp, "-comb", bad, &c), TCL_ERROR) << bad;
    }
    EXPECT_EQ(printBandComb(c), "0/2");
}

TEST(OptionConverters, NameCode)
{
    Tcl_Interp *interp = test::interp();
    int32_t v = 0;
    NameCodeOption nc{"-pixel", [](const char *w) { return strcmp(w, "BYTE") == 0 ? 3 : -1; },
                      [](int c) -> const char * { return c == 3 ? "BYTE" : nullptr; }};
    EXPECT_EQ(parseNameCode(interp, nc, "BYTE", &v), TCL_OK);
    EXPECT_EQ(printNameCode(nc, v), "BYTE");
    Tcl_ResetResult(interp);
    EXPECT_EQ(parseNameCode(interp, nc, "BYTES", &v), TCL_ERROR);
    EXPECT_EQ(v, 3);
}

TEST(Console, OutputWithoutInterpreterIsDroppedButCounted)
{
    RuntimeReset reset;
    setCurrentInterp(nullptr);
    EXPECT_EQ(consolePuts(CON_STDOUT, "abc", 3), 3);
    test::ConsoleCapture capture;
    std::string longText(5000, 'q');
    EXPECT_EQ(conEprintf("%s!", longText.c_str()), 5001) << "long output arrives whole";
    EXPECT_EQ(capture.err.size(), 5001u);
    EXPECT_TRUE(capture.out.empty());
}

}  // namespace
