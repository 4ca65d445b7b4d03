// The system probes of calc: memory, disk, descriptors, the clock, and the
// block and integer the process keeps for scripts that test their host.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <sys/resource.h>

#include "core/conio.h"
#include "platform/files.h"
#include "script/calc.h"
#include "script/calc_state.h"

namespace krel {

CalcState &calcState()
{
    static CalcState state;
    return state;
}

bool probeAllocation(uint64_t size, uint64_t step)
{
    if (step < 1) step = 1;
    bool obtained = false;
    for (int pass = 0; pass < 2; ++pass) {
        std::unique_ptr<void, FreeDeleter> block;
        uint64_t current = 0;
        obtained = true;
        while (current < size) {
            current = size - current > step ? current + step : size;
            block.reset();
            block.reset(current <= SIZE_MAX ? malloc(static_cast<size_t>(current)) : nullptr);
            if (!block) {
                obtained = false;
                break;
            }
        }
    }
    return obtained;
}

namespace {

// Sizes are whole numbers of bytes; a word that is no number reads as 0.
int64_t leadingSize(const char *word) { return strtoll(word, nullptr, 10); }

// Fields of /proc/meminfo in bytes; -1 when missing.
struct MemInfo {
    int64_t total = -1, available = -1, swapTotal = -1, swapFree = -1;
};

int64_t fieldKb(const char *line, const char *name)
{
    size_t n = strlen(name);
    if (strncmp(line, name, n) != 0 || line[n] != ':') return -1;
    return strtoll(line + n + 1, nullptr, 10) * 1024;
}

MemInfo readMemInfo()
{
    MemInfo info;
    FILE *f = fopen("/proc/meminfo", "r");
    if (f == nullptr) return info;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        int64_t v;
        if ((v = fieldKb(line, "MemTotal")) >= 0) info.total = v;
        else if ((v = fieldKb(line, "MemAvailable")) >= 0) info.available = v;
        else if ((v = fieldKb(line, "SwapTotal")) >= 0) info.swapTotal = v;
        else if ((v = fieldKb(line, "SwapFree")) >= 0) info.swapFree = v;
    }
    fclose(f);
    return info;
}

int64_t selfVmSize()
{
    FILE *f = fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    int64_t size = 0;
    while (fgets(line, sizeof line, f)) {
        int64_t v = fieldKb(line, "VmSize");
        if (v >= 0) size = v;
    }
    fclose(f);
    return size;
}

void setMemoryStatus(Tcl_Interp *interp)
{
    MemInfo m = readMemInfo();
    int64_t total = m.total > 0 ? m.total : 0, avail = m.available > 0 ? m.available : 0;
    int64_t swapTotal = m.swapTotal > 0 ? m.swapTotal : 0, swapFree = m.swapFree > 0 ? m.swapFree : 0;
    long load = total > 0 ? lround(100.0 * static_cast<double>(total - avail) / static_cast<double>(total)) : 0;
    struct rlimit as;
    int64_t virtualTotal = int64_t(1) << 47;  // x86-64 user space
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY && as.rlim_cur < uint64_t(virtualTotal))
        virtualTotal = static_cast<int64_t>(as.rlim_cur);
    int64_t virtualAvail = virtualTotal - selfVmSize();
    if (virtualAvail < 0) virtualAvail = 0;
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%ld %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64,
                                           load, total, avail, total + swapTotal, avail + swapFree, virtualTotal,
                                           virtualAvail));
}

// The highest descriptor number open in this process, -1 when none.
int highestOpenDescriptor()
{
    int highest = -1;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 2;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        int fd = atoi(e->d_name);
        if (fd != dirfd(dir) && fd > highest) highest = fd;
    }
    closedir(dir);
    return highest;
}

}  // namespace

int calcFreeDisk(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 3) {
        Tcl_SetResult(interp, const_cast<char *>("Usage: calc freeDisk [path]\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    const char *path = argc == 3 ? argv[2] : ".";
    errno = 0;
    double bytes = platform::freeDiskSpace(path);
    if (bytes < 0) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Error in freeDisk: %s: %s", path, strerror(errno ? errno : EINVAL)));
        return TCL_ERROR;
    }
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.f", bytes));
    return TCL_OK;
}

int calcGalloc(Tcl_Interp *, int argc, const char **argv)
{
    CalcState &st = calcState();
    st.globalBlock.reset();
    int64_t size = argc > 2 ? leadingSize(argv[2]) : 1048576;
    if (size >= 1 && uint64_t(size) <= SIZE_MAX) st.globalBlock.reset(malloc(static_cast<size_t>(size)));
    if (st.globalBlock)
        conPrintf("Allocate: %" PRId64 "\n", size);
    else
        conEprintf("Error in GlobalAlloc: %" PRId64 "\n", size);
    return TCL_OK;
}

int calcGfree(Tcl_Interp *, int, const char **)
{
    calcState().globalBlock.reset();
    return TCL_OK;
}

int calcHandles(Tcl_Interp *interp, int argc, const char **argv)
{
    int64_t wanted = argc > 2 ? leadingSize(argv[2]) : 256;
    struct rlimit lim;
    // Fewer handles than the descriptors in use would leave the process
    // unable to open anything: refuse.
    if (wanted <= highestOpenDescriptor() || getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        Tcl_SetResult(interp, const_cast<char *>("-1\n"), TCL_STATIC);
        return TCL_OK;
    }
    rlim_t granted = static_cast<rlim_t>(wanted);
    if (lim.rlim_max != RLIM_INFINITY && granted > lim.rlim_max) granted = lim.rlim_max;
    lim.rlim_cur = granted;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0 || getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        Tcl_SetResult(interp, const_cast<char *>("-1\n"), TCL_STATIC);
        return TCL_OK;
    }
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%" PRIu64 "\n", static_cast<uint64_t>(lim.rlim_cur)));
    return TCL_OK;
}

int calcMalloc(Tcl_Interp *interp, int argc, const char **argv)
{
    int64_t size = argc > 2 ? leadingSize(argv[2]) : 16384;
    if (size == 0) size = 16384;
    int64_t parts = argc > 3 ? leadingSize(argv[3]) : 1;
    if (parts < 1) parts = 1;
    // A negative size cannot be allocated at all.
    bool ok = size > 0 && probeAllocation(uint64_t(size), uint64_t(size / parts));
    Tcl_SetResult(interp, const_cast<char *>(ok ? "1" : "0"), TCL_STATIC);
    return TCL_OK;
}

int calcMemory(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc > 2 && strcmp(argv[2], "clean") == 0) {
        MemInfo m = readMemInfo();
        int64_t room = (m.available > 0 ? m.available : 0) + (m.swapFree > 0 ? m.swapFree : 0);
        probeAllocation(uint64_t(room), 64000000);
    }
    setMemoryStatus(interp);
    return TCL_OK;
}

int calcMemid(Tcl_Interp *, int argc, const char **argv)
{
    int64_t &id = calcState().memoryId;
    uint64_t address = reinterpret_cast<uintptr_t>(&id);
    if (argc < 3) {
        conPrintf("memid: %" PRIu64 " value: %" PRId64 "\n", address, id);
        return TCL_OK;
    }
    uint64_t given = strtoull(argv[2], nullptr, 10);
    if (given != address) {
        conEprintf("Wrong address: %" PRIu64 "\n", given);
        return TCL_OK;
    }
    id = argc > 3 ? strtoll(argv[3], nullptr, 10) : static_cast<int64_t>(address);
    return TCL_OK;
}

int calcStime(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) {
        Tcl_SetResult(interp, const_cast<char *>("Usage: calc stime seconds\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(leadingSize(argv[2]));
    ts.tv_nsec = 0;
    if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
        Tcl_SetObjResult(interp, Tcl_ObjPrintf("Error in stime: %s", strerror(errno)));
        return TCL_ERROR;
    }
    return TCL_OK;
}

int calcLoadTime(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3 || argc > 4) {
        conPrintf("Usage: %s timeStampFile [offset]\n", argv[1]);
        return TCL_ERROR;
    }
    platform::FileDesc fd = platform::openFile(argv[2], platform::OpenMode::Read);
    if (!fd) {
        conEprintf("Error in open: %s\n", argv[2]);
        return TCL_ERROR;
    }
    int64_t offset = argc > 3 ? leadingSize(argv[3]) : 0;
    if (offset < 0) offset = 0;
    Tcl_Obj *result = Tcl_NewObj();
    Tcl_IncrRefCount(result);
    unsigned char buffer[65536];
    size_t kept = 0;
    for (;;) {
        ssize_t n = platform::readAt(fd.get(), buffer + kept, sizeof buffer - kept, offset);
        if (n <= 0) break;
        offset += n;
        size_t have = kept + static_cast<size_t>(n), i = 0;
        for (; i + 4 <= have; i += 4) {
            uint32_t u = uint32_t(buffer[i]) | uint32_t(buffer[i + 1]) << 8 | uint32_t(buffer[i + 2]) << 16 |
                         uint32_t(buffer[i + 3]) << 24;
            Tcl_AppendPrintfToObj(result, "%ld ", static_cast<long>(static_cast<int32_t>(u)));
        }
        kept = have - i;
        memmove(buffer, buffer + i, kept);
    }
    Tcl_SetObjResult(interp, result);
    Tcl_DecrRefCount(result);
    return TCL_OK;
}

int calcPanic(Tcl_Interp *interp, int argc, const char **argv)
{
    static const char kDefault[] = " messages of panic may be displayed at a console that has the focus!";
    // Tcl ends the process once a panic handler returns: only the report is
    // made, and the command fails.
    if (argc < 3) reportPanic(kDefault);
    for (int i = 2; i < argc; ++i) reportPanic(argv[i]);
    Tcl_SetResult(interp, const_cast<char *>(argc < 3 ? kDefault : argv[argc - 1]), TCL_VOLATILE);
    return TCL_ERROR;
}

}  // namespace krel
