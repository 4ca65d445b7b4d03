// The console-reporting forms of the chunked transfers (platform/files.h),
// and comma-separated number lists used by modules.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/conio.h"
#include "core/runtime.h"
#include "image/formats/formats.h"
#include "platform/files.h"

namespace krel {

namespace {

void reportSystemError(const char *text) { conEprintf("%s: %s\n", text, strerror(errno)); }

// Splits a copy of `text` at commas (empty items are skipped) and converts
// up to n items; returns the number of items, -1 when the copy fails.
template <class T, class Convert>
int passItems(const char *text, T *out, int n, const char *mallocMessage, Convert convert)
{
    if (text == nullptr) return 0;
    size_t len = strlen(text);
    std::unique_ptr<char, GmemDeleter> copy(
        len + 1 <= UINT32_MAX ? static_cast<char *>(gmemAlloc(static_cast<uint32_t>(len + 1))) : nullptr);
    if (!copy) {
        conEprintf("%s", mallocMessage);
        return -1;
    }
    memcpy(copy.get(), text, len + 1);
    int items = 0;
    char *save = nullptr;
    for (char *item = strtok_r(copy.get(), ",", &save); item; item = strtok_r(nullptr, ",", &save)) {
        if (items < n && out) out[items] = convert(item);
        ++items;
    }
    return items;
}

}  // namespace

int64_t getFileData(int fd, void *buffer, int64_t count, int64_t offset, int fatal)
{
    platform::ChunkResult r = platform::readChunked(fd, buffer, count, offset);
    switch (r.stop) {
    case platform::ChunkStop::Complete: return r.done;
    case platform::ChunkStop::SeekFailed:
        reportSystemError("lseek in getFileData");
        return fatal ? -1 : 0;
    case platform::ChunkStop::Short: break;
    }
    reportSystemError("read in getFileData");
    return fatal ? -1 : r.done;
}

int64_t putFileData(int fd, const void *buffer, int64_t count, int64_t offset, int quiet)
{
    platform::ChunkResult r = platform::writeChunked(fd, buffer, count, offset);
    switch (r.stop) {
    case platform::ChunkStop::Complete: return r.done;
    case platform::ChunkStop::SeekFailed:
        if (!quiet) conEprintf("putFileData error in lseek: %s\n", strerror(errno));
        return 0;
    case platform::ChunkStop::Short: break;
    }
    if (!quiet) conEprintf("putFileData error in write\n");
    return r.done;
}

int passLongs(const char *text, int32_t *out, int n)
{
    return passItems(text, out, n, "Error in passLongs: malloc.\n",
                     [](const char *s) { return static_cast<int32_t>(strtol(s, nullptr, 10)); });
}

int passFloats(const char *text, float *out, int n)
{
    return passItems(text, out, n, "Error in passFloats: malloc\n",
                     [](const char *s) { return static_cast<float>(strtod(s, nullptr)); });
}

}  // namespace krel
