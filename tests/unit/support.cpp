#include "support.h"

#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <filesystem>

#include "core/conio.h"

namespace krel::test {

static ConsoleCapture *activeCapture = nullptr;

static void captureSink(int which, const char *text, int length)
{
    if (!activeCapture) return;
    (which == CON_STDERR ? activeCapture->err : activeCapture->out).append(text, static_cast<size_t>(length));
}

ConsoleCapture::ConsoleCapture()
{
    activeCapture = this;
    consoleState().sink = captureSink;
}

ConsoleCapture::~ConsoleCapture()
{
    consoleState().sink = nullptr;
    activeCapture = nullptr;
}

TempDir::TempDir()
{
    char templ[] = "/tmp/krel-test-XXXXXX";
    const char *made = mkdtemp(templ);
    path = made ? made : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (path != "/tmp") std::filesystem::remove_all(path, ec);
}

std::string sourceDir()
{
    const char *env = getenv("KREL_SOURCE_DIR");
    return env ? env : KREL_SOURCE_DIR;
}

// The real sample files lie beside the project (../shared/data); a checkout
// elsewhere can point KREL_SHARED_DATA at them.
std::string sharedDataDir()
{
    if (const char *env = getenv("KREL_SHARED_DATA")) return env;
    return sourceDir() + "/../shared/data";
}

FileSizeLimit::FileSizeLimit(unsigned long bytes)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return;
    savedCur = limit.rlim_cur;
    savedMax = limit.rlim_max;
    savedHandler = signal(SIGXFSZ, SIG_IGN);
    saved = true;
    limit.rlim_cur = bytes;
    active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    if (!saved) return;
    struct rlimit limit;
    limit.rlim_cur = savedCur;
    limit.rlim_max = savedMax;
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, savedHandler);
}

}  // namespace krel::test
