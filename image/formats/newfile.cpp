// Creating image files: header, then a zero-filled data area.
#include <algorithm>
#include <unistd.h>

#include "image/formats/formats.h"
#include "platform/files.h"

namespace krel {

int zeroFillData(int fd, ImageDef *def)
{
    const FormatRecord &f = formatRecord(def->imgid);
    if (f.writeWhole) return f.writeWhole(fd, def, nullptr) < 0 ? -1 : def->offset;
    int64_t bytes = static_cast<int64_t>(def->block) * def->rows;
    if (!f.rowRecords) bytes *= def->nbands;
    if (bytes < 0 || def->offset < 0) return -1;
    static const char zeros[8192] = {};
    for (int64_t done = 0; done < bytes;) {
        size_t piece = static_cast<size_t>(std::min<int64_t>(sizeof zeros, bytes - done));
        if (platform::writeAt(fd, zeros, piece, def->offset + done) != static_cast<ssize_t>(piece)) return -1;
        done += static_cast<int64_t>(piece);
    }
    return def->offset;
}

int createImageFile(ImageDef *def)
{
    platform::FileDesc fd = platform::openFile(def->file, platform::OpenMode::CreateTruncate);
    if (!fd) return -1;
    // -2 (a format without header writer) is no failure: the data area is
    // still reserved at the offset the definition gives.
    int rc = writeHeader(fd.get(), 1, def);
    if (rc == -1) return -1;
    // A file asked for without header (offset 0) keeps none: the header block
    // just written would otherwise survive behind a short data area.
    if (def->offset == 0 && ftruncate(fd.get(), 0) != 0) return -1;
    if (zeroFillData(fd.get(), def) < 0) return -1;
    if (fd.close() != 0) return -1;
    return def->offset;
}

}  // namespace krel
