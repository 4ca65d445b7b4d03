// The `rimage` command: the Tcl face of the image store. This file holds the
// dispatch and the answer helpers; image lifecycle and pixel operations have
// files of their own.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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
int runModule(Tcl_Interp *interp, int argc, const char **argv, const ModuleSlot &module)
{
    std::string prog = std::string("rimage ") + module.name;
    Tcl_ResetResult(interp);
    int rc = moduleEntry(module)(prog.c_str(), argc - 2, argv + 2);
    if (rc == MODULE_FAILED) {
        Tcl_ResetResult(interp);
        Tcl_AppendResult(interp, "Exec error from ", argv[0], " ", argv[1], nullptr);
        return TCL_ERROR;
    }
    return TCL_OK;
}

// Image objects and display capture are not part of this build yet.
int notInBuild(RimageCommand *, Tcl_Interp *interp, int, const char **argv)
{
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, argv[0], " ", argv[1], " is not available in this build.", nullptr);
    return TCL_ERROR;
}

// The command's own subcommands; the modules come from the module table.
// Group letter, minimum length and order within the group decide.
const SubCommand<Handler> kRimageCommands[] = {
    {"cache", 4, rimageCache},       {"cget", 4, rimageCget},
    {"clipboard", 4, notInBuild},    {"create", 4, rimageCreate},
    {"configure", 4, rimageConfigure}, {"close", 4, rimageClose},
    {"canvas", 4, notInBuild},       {"draw", 3, rimageDraw},
    {"getIndices", 3, rimageGetIndices}, {"hist", 2, rimageHist},
    {"isvalid", 2, rimageIsValid},   {"list", 2, rimageList},
    {"lock", 2, rimageLock},         {"open", 3, rimageOpen},
    {"bind", 2, notInBuild},         {"resident", 2, rimageResident},
    {"setIndices", 1, rimageSetIndices}, {"unlock", 2, rimageUnlock},
    {"update", 2, rimageUpdate},     {"version", 1, rimageVersion},
    {"volume", 1, rimageVolume},     {"window", 1, notInBuild},
};

// The command summary: every name of the command's own table and of the
// module table, in alphabetical order, as scripts have always seen it: "bind"
// is not shown, "gfftrans" comes after "gisoc", and "tiff" (listed, but no
// subcommand: it answers "Unknown command") after "trans".
const std::string &commandSummary()
{
    static const std::string summary = [] {
        static const char *const kListedOnly[] = {"tiff"};
        static const char *const kNotListed[] = {"bind"};
        static const struct {
            const char *word, *after;
        } kListedAfter[] = {{"gfftrans", "gisoc"}, {"tiff", "trans"}};
        std::vector<std::pair<std::string, const char *>> words;  // (sort key, name)
        auto add = [&](const char *name) {
            for (const char *hidden : kNotListed)
                if (strcmp(hidden, name) == 0) return;
            std::string key = name;
            for (const auto &a : kListedAfter)
                if (strcmp(a.word, name) == 0) key = std::string(a.after) + '\x7f';
            for (char &c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            words.emplace_back(key, name);
        };
        for (const auto &c : kRimageCommands) add(c.name);
        size_t count = 0;
        const ModuleSlot *slots = moduleSlots(&count);
        for (size_t i = 0; i < count; ++i) add(slots[i].name);
        for (const char *name : kListedOnly) add(name);
        std::sort(words.begin(), words.end());
        std::string text = "Commands:";
        for (const auto &w : words) text.append(" ").append(w.second);
        return text;
    }();
    return summary;
}

int rimageCommand(ClientData cd, Tcl_Interp *interp, int argc, const char **argv)
{
    auto *cmd = static_cast<RimageCommand *>(cd);
    if (argc < 2) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(commandSummary().c_str(), -1));
        return TCL_OK;
    }
    const auto *entry = findSubCommand(kRimageCommands, argv[1]);
    // A word that abbreviates both a module and one of the command's own
    // subcommands means the one that needs the longer abbreviation, the
    // command's own on equal lengths: "s" is setIndices, "se" section.
    const ModuleSlot *module = matchModule(argv[1]);
    if (module && (!entry || module->minLength > entry->minLength))
        return guarded(interp, [&] { return runModule(interp, argc, argv, *module); });
    if (!entry) {
        Tcl_SetResult(interp, const_cast<char *>("Unknown command"), TCL_STATIC);
        return TCL_ERROR;
    }
    return guarded(interp, [&] { return entry->handler(cmd, interp, argc, argv); });
}

void rimageDeleted(ClientData cd) { delete static_cast<RimageCommand *>(cd); }

}  // namespace

int registerRimageCommand(Tcl_Interp *interp)
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

}  // namespace krel
