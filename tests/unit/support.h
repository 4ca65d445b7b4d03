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

std::string sourceDir();
std::string sharedDataDir();  // ../shared/data beside the project

}  // namespace krel::test
