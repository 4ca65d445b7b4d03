// Files and module runs shared by the numpy cross-check and the
// classification benchmark.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/formats/formats.h"
#include "image/modules.h"
#include "platform/files.h"

namespace krel::scene {

// An ERDAS 7.4 (line-interleaved) BYTE file from band planes.
inline bool writeErdas(const std::string &path, const uint8_t *planes, int bands, int rows, int cols)
{
    ImageDef def = defaultImageDef();
    snprintf(def.file, sizeof def.file, "%s", path.c_str());
    def.nbands = bands;
    def.rows = rows;
    def.columns = cols;
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
    if (!fd || writeHeader(fd.get(), 0, &def) != 128) return false;
    std::vector<uint8_t> row(static_cast<size_t>(bands) * cols);
    const size_t plane = static_cast<size_t>(rows) * cols;
    for (int r = 0; r < rows; ++r) {
        for (int b = 0; b < bands; ++b)
            memcpy(&row[static_cast<size_t>(b) * cols], planes + b * plane + static_cast<size_t>(r) * cols, cols);
        int64_t at = 128 + static_cast<int64_t>(r) * static_cast<int64_t>(row.size());
        if (platform::writeAt(fd.get(), row.data(), row.size(), at) != static_cast<ssize_t>(row.size())) return false;
    }
    return true;
}

// Runs a module as `rimage` would, with the words after the subcommand.
inline int runModule(ModuleEntry entry, const char *prog, const std::vector<std::string> &words)
{
    std::vector<const char *> argv;
    for (const std::string &w : words) argv.push_back(w.c_str());
    return entry(prog, static_cast<int>(argv.size()), argv.data());
}

// Whether this build writes DIB files (a new class image is one).
inline bool dibAvailable()
{
    ImageDef probe = defaultImageDef();
    probe.imgid = IMG_DIB;
    platform::FileDesc fd = platform::openFile("/dev/null", platform::OpenMode::ReadWrite);
    return fd && writeHeader(fd.get(), 0, &probe) != -2;
}

}  // namespace krel::scene
