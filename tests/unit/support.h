// Helpers shared by the unit tests.
#pragma once

#include <string>

#include <tcl.h>

namespace krel::test {

// An interpreter created for the test binary (stubs ready); null if none.
Tcl_Interp *interp();

// Collects what the library prints while no interpreter is current.
struct ConsoleCapture {
    ConsoleCapture();
    ~ConsoleCapture();
    std::string out, err;
};

// A fresh temporary directory, removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// While it lives, writes that would grow a file past `bytes` fail (EFBIG)
// instead of raising SIGXFSZ: a full disk, made to order.
struct FileSizeLimit {
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool active = false;

private:
    bool saved = false;
    unsigned long savedCur = 0, savedMax = 0;
    void (*savedHandler)(int) = nullptr;  // SIG_DFL is a null handler too
};

std::string sourceDir();
std::string sharedDataDir();  // ../shared/data beside the project

}  // namespace krel::test
