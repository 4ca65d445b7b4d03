// The "console" channel type: standard input, output and error of a thread
// served by the current console. Tk on X11 has no console channels of its
// own, so the manager creates console0 (input), console1 (output) and
// console2 (error) and makes them the thread's standard channels.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/conio.h"
#include "core/console_manager.h"
#include "core/runtime.h"

namespace krel {
namespace {

// Unread rest of the last console line: a line longer than the room Tcl
// offers is handed over in pieces, never cut.
thread_local std::string pendingInput;

int consoleClose(ClientData, Tcl_Interp *) { return 0; }

int consoleInput(ClientData, char *buf, int toRead, int *errorCode)
{
    *errorCode = 0;
    if (toRead <= 0) return 0;
    if (pendingInput.empty()) {
        int length = 0;
        const char *line = conGets(&length);
        if (line == nullptr || length < 1) return 0;  // end of input
        pendingInput.assign(line, static_cast<size_t>(length));
    }
    size_t n = std::min(pendingInput.size(), static_cast<size_t>(toRead));
    memcpy(buf, pendingInput.data(), n);
    pendingInput.erase(0, n);
    return static_cast<int>(n);
}

int consoleOutput(ClientData data, const char *buf, int toWrite, int *errorCode)
{
    *errorCode = 0;
    return consolePuts(static_cast<int>(reinterpret_cast<intptr_t>(data)), buf, toWrite);
}

void consoleWatch(ClientData, int) {}

int consoleGetHandle(ClientData, int, ClientData *) { return TCL_ERROR; }

Tcl_ChannelType consoleChannelType = {
    "console",            TCL_CHANNEL_VERSION_5,
    consoleClose,         consoleInput,
    consoleOutput,        nullptr,  // seek
    nullptr,              nullptr,  // set, get option
    consoleWatch,         consoleGetHandle,
    nullptr,              nullptr,  // close2, block mode
    nullptr,              nullptr,  // flush, handler
    nullptr,              nullptr,  // wide seek, thread action
    nullptr,                        // truncate
};

// The procedures of the type as they were before anything replaced them.
struct SavedProcs {
    bool saved = false;
    Tcl_DriverInputProc *input = nullptr;
    Tcl_DriverOutputProc *output = nullptr;
};
SavedProcs savedProcs;

const char *const kNames[3] = {"console0", "console1", "console2"};
const int kStdTypes[3] = {TCL_STDIN, TCL_STDOUT, TCL_STDERR};
const int kCodes[3] = {CON_STDIN, CON_STDOUT, CON_STDERR};
const int kModes[3] = {TCL_READABLE, TCL_WRITABLE, TCL_WRITABLE};

// The console channels of this thread and the standard channels it had
// before they took over.
struct ThreadChannels {
    Tcl_Channel console[3] = {nullptr, nullptr, nullptr};
    Tcl_Channel original[3] = {nullptr, nullptr, nullptr};
    bool originalSaved[3] = {false, false, false};
};
thread_local ThreadChannels threadChannels;

Tcl_Channel makeConsoleChannel(int i)
{
    Tcl_Channel chan = Tcl_CreateChannel(&consoleChannelType, kNames[i],
                                         reinterpret_cast<ClientData>(static_cast<intptr_t>(kCodes[i])), kModes[i]);
    if (chan == nullptr) return nullptr;
    Tcl_SetChannelOption(nullptr, chan, "-translation", "lf");
    Tcl_SetChannelOption(nullptr, chan, "-buffering", "none");
    Tcl_SetChannelOption(nullptr, chan, "-encoding", "utf-8");
    // The manager's own reference: the channel outlives every interpreter
    // that registers it (a standard channel whose last reference goes is
    // closed by Tcl and stops being standard).
    Tcl_RegisterChannel(nullptr, chan);
    return chan;
}

void makeStandard(int i, Tcl_Channel chan)
{
    ThreadChannels &tc = threadChannels;
    Tcl_Channel current = Tcl_GetStdChannel(kStdTypes[i]);
    if (current == chan) return;
    if (!tc.originalSaved[i]) {
        tc.original[i] = current;
        tc.originalSaved[i] = true;
    }
    Tcl_SetStdChannel(chan, kStdTypes[i]);
}

}  // namespace

bool isConsoleChannel(Tcl_Channel chan)
{
    return chan != nullptr && Tcl_GetChannelType(chan) == &consoleChannelType;
}

void setUpConsoleChannels(Tcl_Interp *interp)
{
    if (!savedProcs.saved) {
        savedProcs.input = consoleChannelType.inputProc;
        savedProcs.output = consoleChannelType.outputProc;
        savedProcs.saved = true;
    }
    ThreadChannels &tc = threadChannels;
    conPrintf("create channels...\n");
    for (int i = 0; i < 3; ++i) {
        Tcl_Channel known = nullptr;
        if (interp) {
            Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
            known = Tcl_GetChannel(interp, kNames[i], nullptr);
            Tcl_RestoreInterpState(interp, state);
        }
        if (known != nullptr) {
            conPrintf("modify %s...\n", kNames[i]);
            // The channel is ours (a console set up earlier in this thread):
            // it only has to be standard again. Channel types of other
            // drivers are constant in Tcl 8.6 and are never patched.
            if (isConsoleChannel(known)) {
                tc.console[i] = known;
                makeStandard(i, known);
            }
            continue;
        }
        conPrintf("create %s...\n", kNames[i]);
        if (tc.console[i] == nullptr) tc.console[i] = makeConsoleChannel(i);
        if (tc.console[i] == nullptr) {
            conPrintf("fail to create %s...\n", kNames[i]);
            continue;
        }
        makeStandard(i, tc.console[i]);
    }
}

void registerStandardChannels(Tcl_Interp *interp)
{
    for (int type : kStdTypes) {
        Tcl_Channel chan = Tcl_GetStdChannel(type);
        if (chan == nullptr) continue;
        // A channel of the same name that is not this one would make Tcl
        // panic; interpreters of this thread can only know ours.
        Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
        Tcl_Channel known = Tcl_GetChannel(interp, Tcl_GetChannelName(chan), nullptr);
        Tcl_RestoreInterpState(interp, state);
        if (known == nullptr) Tcl_RegisterChannel(interp, chan);
    }
}

void restoreStandardChannels()
{
    if (savedProcs.saved) {
        consoleChannelType.inputProc = savedProcs.input;
        consoleChannelType.outputProc = savedProcs.output;
    }
    ThreadChannels &tc = threadChannels;
    for (int i = 0; i < 3; ++i) {
        if (!tc.originalSaved[i]) continue;
        if (Tcl_GetStdChannel(kStdTypes[i]) == tc.console[i]) Tcl_SetStdChannel(tc.original[i], kStdTypes[i]);
        tc.originalSaved[i] = false;
    }
}

void reinstallConsoleStdio(Tcl_Interp *interp)
{
    // Input by the console, output routed by each channel's own code: where
    // the standard channels share this type, standard output still reaches
    // console standard output.
    consoleChannelType.inputProc = consoleInput;
    consoleChannelType.outputProc = consoleOutput;
    bool all = true;
    for (int type : kStdTypes)
        if (!isConsoleChannel(Tcl_GetStdChannel(type))) all = false;
    if (!all) setUpConsoleChannels(interp);
    registerStandardChannels(interp);
}

}  // namespace krel
