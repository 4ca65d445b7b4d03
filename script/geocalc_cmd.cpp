// calc geocalc -order ORDER -data DATA -file FILE: fits the records of DATA
// and answers {residuals} {J} {I} {RMS}; calc geocalc alone runs the console
// program.
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "core/conio.h"
#include "image/goerechd.h"
#include "image/modargs.h"
#include "script/calc.h"
#include "script/geocalc.h"

namespace krel {

GeocalcState &geocalcState()
{
    static GeocalcState state;
    return state;
}

const char *fitFailureText(FitStatus status)
{
    switch (status) {
    case FitStatus::BadOrder: return "The power of the polynorm must be >= 0";
    case FitStatus::Singular: return "Singular GCP configuration !";
    default: return "Not enough GCPs !";
    }
}

namespace {

void geocalcUsage()
{
    conPrintf("Usage: geocalc -order ORDER -data DATA -file FILE\n");
    conPrintf("       geocalc -help\n\n");
    conPrintf("    where:     ORDER    the order of the polynomial.\n");
    conPrintf("               DATA     the list of GCP records.\n");
    conPrintf("               FILE     the file of the result.\n");
}

Tcl_Obj *coefficientText(const std::vector<double> &values)
{
    Tcl_Obj *text = Tcl_NewObj();
    for (size_t i = 0; i < values.size(); ++i) Tcl_AppendPrintfToObj(text, "%s%15.7E", i ? " " : "", values[i]);
    return text;
}

int fail(Tcl_Interp *interp, const char *message)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(message, -1));
    return TCL_ERROR;
}

int geocalcRun(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc == 2) {
        runGeocalcConsole(interp);
        Tcl_ResetResult(interp);
        return TCL_OK;
    }
    ModuleOption opts[] = {{"-order", nullptr}, {"-data", nullptr}, {"-file", nullptr}, {nullptr, nullptr}};
    if (parseModuleArgs(opts, argc - 2, argv + 2) > 0) {
        geocalcUsage();
        Tcl_ResetResult(interp);
        return TCL_OK;
    }
    const char *data = moduleOption(opts, "-data"), *file = moduleOption(opts, "-file");
    if (!data) return fail(interp, "Missing GCP records (-data DATA).");
    const int order = optionInt(moduleOption(opts, "-order"), 1);
    if (order < 0) return fail(interp, "The power of the polynorm must be >= 0");

    int count = 0;
    const char **records = nullptr;
    if (Tcl_SplitList(interp, data, &count, &records) != TCL_OK) return TCL_ERROR;
    std::vector<Gcp> gcps;
    bool overflow = false;
    for (int i = 0; i < count; ++i) {
        Gcp g{};
        if (sscanf(records[i], "%d %d %lf %lf %lf %lf", &g.selected, &g.id, &g.x1, &g.y1, &g.x2, &g.y2) != 6) {
            conEprintf("Invalid record:\n%s\n", records[i]);
            continue;
        }
        if (gcps.size() == kMaxGcps) {
            overflow = true;
            break;
        }
        gcps.push_back(g);
    }
    Tcl_Free(reinterpret_cast<char *>(records));
    if (overflow) {
        conEprintf("GCP number overflow.\n");
        return fail(interp, "GCP number overflow.");
    }

    // Orders beyond the largest term count can never have enough points.
    GeoFit fit = fitGcps(gcps, std::min(order, kMaxGeoOrder + 1));
    GeocalcState &state = geocalcState();
    state.gcps = gcps;
    if (fit.status != FitStatus::Ok) {
        conEprintf("%s\n", fitFailureText(fit.status == FitStatus::BadOrder ? FitStatus::NotEnough : fit.status));
        return fail(interp, fit.status == FitStatus::Singular ? "Singular GCP configuration!"
                                                              : "Not enough selected GCPs!");
    }
    if (file) {
        std::string error = writeGeoFile(file, fit.poly);
        if (!error.empty()) return fail(interp, error.c_str());
    }

    Tcl_Obj *residuals = Tcl_NewListObj(0, nullptr);
    // Residuals that print as zero print without a sign.
    auto shown = [](float v) { return std::fabs(v) < 0.0005f ? 0.0 : static_cast<double>(v); };
    for (const Gcp &g : gcps)
        Tcl_ListObjAppendElement(nullptr, residuals, Tcl_ObjPrintf("%d %.3f %.3f", g.id, shown(g.dx), shown(g.dy)));
    Tcl_Obj *rms = coefficientText({fit.rmsX, fit.rmsY, fit.rms});
    Tcl_Obj *parts[] = {residuals, coefficientText(fit.poly.J), coefficientText(fit.poly.I), rms};
    Tcl_SetObjResult(interp, Tcl_NewListObj(4, parts));
    return TCL_OK;
}

}  // namespace

int calcGeocalc(Tcl_Interp *interp, int argc, const char **argv)
{
    // No exception leaves for Tcl.
    try {
        return geocalcRun(interp, argc, argv);
    } catch (const std::bad_alloc &) {
        return fail(interp, "Error in memory allocation.");
    }
}

}  // namespace krel
