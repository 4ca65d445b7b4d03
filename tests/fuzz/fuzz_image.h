// The harness shared by the format fuzz targets: the input becomes a file
// (an anonymous memory file reached through /proc/self/fd), is opened through
// the image store like any file a user brings, every line of every band is
// read, the volumes are stepped forward, backward and to the last, and the
// image is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

#include "image/ramimage.h"
#include "image/registry.h"
#include "platform/files.h"

namespace krel::fuzz {

inline void readAll(RamImage *img)
{
    const ImageDef &d = img->def;
    for (int r = 0; r < d.rows; ++r)
        for (int b = 0; b < d.nbands; ++b) {
            volatile const uint8_t *line = getLine(img, r, b, 1);
            if (line && img->lineBytes > 0) (void)line[img->lineBytes - 1];
        }
}

inline int openAndRead(const uint8_t *data, size_t size)
{
    platform::FileDesc fd(memfd_create("krel-fuzz", 0));
    if (!fd) return 0;
    if (size && platform::writeAt(fd.get(), data, size, 0) != static_cast<ssize_t>(size)) return 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd.get());
    int err = 0;
    RamImage *img = getImage("", path, nullptr, nullptr, &err);
    if (img == nullptr) return 0;
    // Whole reads of huge (but consistent) images only cost time: the native
    // readers give a 1-column image of 500000 rows and 30 bands line by line.
    const int64_t lines = static_cast<int64_t>(img->def.rows) * img->def.nbands;
    if (lines <= 65536 && lines * img->lineBytes <= (int64_t(16) << 20)) {
        readAll(img);
        for (int step = 0; step < 4 && selectVolume(img, 0) > 0; ++step) readAll(img);
        if (selectVolume(img, 1) > 0) readAll(img);
        if (selectVolume(img, -1) > 0) readAll(img);
    }
    releaseImage(img, nullptr);
    return 0;
}

}  // namespace krel::fuzz
