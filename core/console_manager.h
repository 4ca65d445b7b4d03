// The interpreter console manager: up to 16 pairs of an application
// interpreter and a console interpreter whose Tk window shows the
// application's output and takes its input, the `krel` command that drives
// them, and the console channels that route the standard channels to the
// current console.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <tcl.h>

namespace krel {

constexpr int kConsoleSlots = 16;

struct SlotWatch;  // a watched Tk main window (see console_manager.cpp)

// One slot: an application interpreter and its console. Both belong to the
// thread `owner`; only that thread ever calls into them.
struct ConsoleSlot {
    Tcl_Interp *app = nullptr;  // free when null
    Tcl_Interp *con = nullptr;
    Tcl_ThreadId owner = nullptr;
    bool reserved = false;  // being filled by a create in progress
    SlotWatch *appWatch = nullptr;
    SlotWatch *conWatch = nullptr;
};

// A thread started by `krel thread` that serves its own interpreters.
struct ConsoleThread {
    Tcl_ThreadId id = nullptr;
    bool stopRequested = false;
    bool closing = false;  // answers no more requests
    ConsoleThread *next = nullptr;
};

// What the manager runs for the interpreters it makes. The package entry
// supplies it before it registers the manager: the manager sits below the
// subsystems and does not name them.
struct ConsoleHooks {
    int (*registerSubsystems)(Tcl_Interp *) = nullptr;  // the commands of a console interpreter
    int (*initApplication)(Tcl_Interp *) = nullptr;     // the start-up of an application interpreter
    void (*appendImageNames)(Tcl_Interp *) = nullptr;   // `krel gimg`: the gimg image names
};

// Process-wide state of the manager. The slot table and the thread list are
// shared by threads and guarded by `lock`; nothing that evaluates Tcl runs
// while it is held.
struct ConsoleManager {
    std::mutex lock;
    std::condition_variable threadsChanged;  // signalled when a console thread ends
    ConsoleSlot slots[kConsoleSlots];
    bool initialised = false;
    int threadFlag = 0;
    std::thread threadHandle;  // the last thread started by `krel thread`, until closed
    ConsoleThread *threads = nullptr;  // running console threads
    std::vector<Tcl_ThreadId> workerIds;  // every console thread ever started
    int runningThreads = 0;
    bool exitHandlerInstalled = false;
    bool shuttingDown = false;
    ConsoleHooks hooks;  // set before any console thread starts; read only afterwards
};
ConsoleManager &consoleManager();

void setConsoleHooks(const ConsoleHooks &hooks);

// Registers the manager in an interpreter (the `krel` command, the console
// channels and the exit handler on first use), then runs the application
// start-up hook.
int registerConsoleManager(Tcl_Interp *interp);

// Closes every console: as the deferred step of `krel delete all`, or at
// exit, where it waits (up to 10 s) for the console threads to end.
void closeAllConsoles(bool atExit);

// The package exit handler's console step.
void shutdownConsoleManager();

// Creates `setConStdIO` in an interpreter (the console patch uses it).
void createSetConStdIO(Tcl_Interp *interp);

// Console channels (console_channel.cpp).
// Creates the console channels of the calling thread if needed and makes them
// the thread's standard channels; prints what it does on the console.
void setUpConsoleChannels(Tcl_Interp *interp);
// Registers the thread's standard channels with an interpreter.
void registerStandardChannels(Tcl_Interp *interp);
// Puts back the standard channels the thread had before the set-up.
void restoreStandardChannels();
// `krel stdio`: makes the console channels the standard channels again.
void reinstallConsoleStdio(Tcl_Interp *interp);
bool isConsoleChannel(Tcl_Channel chan);

}  // namespace krel
