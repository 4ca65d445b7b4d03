// The `rimage` command: the Tcl face of the image store. This file holds the
// dispatch and the answer helpers; image lifecycle and pixel operations have
// files of their own.
#include <cstring>
#include <string>

#include <tcl.h>

#include "core/conio.h"
#include "core/package.h"
#include "core/runtime.h"
#include "core/subcmd.h"
#include "core/tclutil.h"
#include "image/defoptions.h"
#include "image/modules.h"
#include "image/ramimage.h"
#include "image/registry.h"
#include "image/rimage.h"
#include "image/rimage_cmd.h"

namespace krel {

int rimageUsage(Tcl_Interp *interp, const char **argv, const char *synopsis, int code)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], synopsis, nullptr);
    return code;
}

int rimageFail(Tcl_Interp *interp, const std::string &message)
{
    setResult(interp, message);
    return TCL_ERROR;
}

int rimageFailOpen(Tcl_Interp *interp, int code, const std::string &message)
{
    Tcl_ResetResult(interp);
    Tcl_AddErrorInfo(interp, errorText(code));
    return rimageFail(interp, message);
}

RamImage *lookupTagThenFile(const char *name)
{
    RamImage *img = findByTag(name);
    return img ? img : findByFile(name);
}

namespace {

using Handler = RimageHandler;

int rimageVersion(RimageCommand *, Tcl_Interp *interp, int, const char **)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(KREL_VERSION, -1));
    return TCL_OK;
}

// Module subcommands: the module prints its own messages; a failure becomes
// "Exec error from rimage SUBCOMMAND".
int runModule(RimageCommand *, Tcl_Interp *interp, int argc, const char **argv, const char *name)
{
    ModuleEntry entry = findModule(name);
    std::string prog = std::string("rimage ") + name;
    Tcl_ResetResult(interp);
    int rc = entry(prog.c_str(), argc - 2, argv + 2);
    if (rc == MODULE_FAILED) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Exec error from ", argv[0], " ", argv[1], nullptr);
        return TCL_ERROR;
    }
    return TCL_OK;
}

#define MODULE(fn, name)                                                             \
    int fn(RimageCommand *cmd, Tcl_Interp *interp, int argc, const char **argv)     \
    {                                                                                \
        return runModule(cmd, interp, argc, argv, name);                             \
    }
MODULE(modCalc, "calc")
MODULE(modClassify, "classify")
MODULE(modCopy, "copy")
MODULE(modCrop, "crop")
MODULE(modData, "data")
MODULE(modDist, "dist")
MODULE(modEgv, "egv")
MODULE(modGfftrans, "gfftrans")
MODULE(modGconv, "gconv")
MODULE(modGeoref, "georef")
MODULE(modGisoc, "gisoc")
MODULE(modGstat, "gstat")
MODULE(modGtop, "gtop")
MODULE(modGdem, "gdem")
MODULE(modPcalc, "pcalc")
MODULE(modPtable, "ptable")
MODULE(modRform, "rform")
MODULE(modRotate, "rotate")
MODULE(modSmetric, "smetric")
MODULE(modSection, "section")
MODULE(modStatinfo, "statinfo")
MODULE(modTrans, "trans")
#undef MODULE

// Image objects and display capture are not part of this build yet.
int notInBuild(RimageCommand *, Tcl_Interp *interp, int, const char **argv)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, argv[0], " ", argv[1], " is not available in this build.", nullptr);
    return TCL_ERROR;
}

// Group letter, minimum length and order within the group decide.
const SubCommand<Handler> kRimageCommands[] = {
    {"cache", 4, rimageCache},       {"calc", 4, modCalc},
    {"cget", 4, rimageCget},         {"classify", 4, modClassify},
    {"clipboard", 4, notInBuild},    {"create", 4, rimageCreate},
    {"configure", 4, rimageConfigure}, {"copy", 4, modCopy},
    {"crop", 4, modCrop},            {"close", 4, rimageClose},
    {"canvas", 4, notInBuild},       {"data", 3, modData},
    {"dist", 3, modDist},            {"draw", 3, rimageDraw},
    {"egv", 3, modEgv},              {"gfftrans", 3, modGfftrans},
    {"gconv", 3, modGconv},          {"georef", 3, modGeoref},
    {"gisoc", 3, modGisoc},          {"getIndices", 3, rimageGetIndices},
    {"gstat", 3, modGstat},          {"gtop", 3, modGtop},
    {"gdem", 3, modGdem},            {"hist", 2, rimageHist},
    {"isvalid", 2, rimageIsValid},   {"list", 2, rimageList},
    {"lock", 2, rimageLock},         {"open", 3, rimageOpen},
    {"pcalc", 1, modPcalc},          {"ptable", 1, modPtable},
    {"bind", 2, notInBuild},         {"resident", 2, rimageResident},
    {"rform", 2, modRform},          {"rotate", 2, modRotate},
    {"smetric", 2, modSmetric},      {"section", 2, modSection},
    {"setIndices", 1, rimageSetIndices}, {"statinfo", 1, modStatinfo},
    {"trans", 2, modTrans},          {"unlock", 2, rimageUnlock},
    {"update", 2, rimageUpdate},     {"version", 1, rimageVersion},
    {"volume", 1, rimageVolume},     {"window", 1, notInBuild},
};

int rimageCommand(ClientData cd, Tcl_Interp *interp, int argc, const char **argv)
{
    auto *cmd = static_cast<RimageCommand *>(cd);
    if (argc < 2) {
        Tcl_SetResult(interp,
                      const_cast<char *>("Commands: cache calc canvas cget classify clipboard close configure copy "
                                         "create crop data dist draw egv gconv gdem georef getIndices gisoc "
                                         "gfftrans gstat gtop hist isvalid list lock open pcalc ptable resident "
                                         "rform rotate section setIndices smetric statinfo trans tiff unlock update "
                                         "version volume window"),
                      TCL_STATIC);
        return TCL_OK;
    }
    const auto *entry = findSubCommand(kRimageCommands, argv[1]);
    if (!entry) {
        Tcl_SetResult(interp, const_cast<char *>("Unknown command"), TCL_STATIC);
        return TCL_ERROR;
    }
    return guarded(interp, [&] { return entry->handler(cmd, interp, argc, argv); });
}

void rimageDeleted(ClientData cd) { delete static_cast<RimageCommand *>(cd); }

}  // namespace

}  // namespace krel

int Rimg_Init(Tcl_Interp *interp)
{
    if (krel::initStubs(interp) != TCL_OK) return TCL_ERROR;
    // Loaded on its own, the store prints to the interpreter that loaded it.
    if (krel::currentInterp() == nullptr) {
        krel::setCurrentInterp(interp);
        krel::forgetWhenDeleted(interp);
    }
    auto *cmd = new (std::nothrow) krel::RimageCommand;
    if (!cmd) return TCL_ERROR;
    cmd->defaults = krel::defaultImageDef();
    krel::applyDefOptionDefaults(&cmd->defaults);
    if (!Tcl_CreateCommand(interp, "rimage", krel::rimageCommand, cmd, krel::rimageDeleted)) {
        delete cmd;
        return TCL_ERROR;
    }
    return TCL_OK;
}

