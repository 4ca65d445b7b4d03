// Creating image files: header, then a zero-filled data area.
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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
    static const char zeros[65536] = {};
    auto writeZeros = [&](int64_t from, int64_t to) {
        for (int64_t at = from; at < to;) {
            size_t piece = static_cast<size_t>(std::min<int64_t>(sizeof zeros, to - at));
            if (platform::writeAt(fd, zeros, piece, at) != static_cast<ssize_t>(piece)) return false;
            at += static_cast<int64_t>(piece);
        }
        return true;
    };
    // What the file already holds there (a header writer's trailer) is
    // overwritten; past its end the space is reserved with fallocate, which
    // reads back as zeros and fails as a write would on a full disk, without
    // writing the zeros through the page cache. Without fallocate the zeros
    // are written.
    const int64_t end = def->offset + bytes;
    struct stat st;
    const int64_t size = fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : end;
    const int64_t held = std::clamp<int64_t>(size, def->offset, end);
    if (!writeZeros(def->offset, held)) return -1;
    if (held < end) {
        if (fallocate(fd, 0, held, end - held) != 0) {
            if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) return -1;
            if (!writeZeros(held, end)) return -1;
        }
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
