// POSIX file services standing in for the Windows ones: descriptors with
// 64-bit offsets, creation mode 0666 filtered by the umask, free disk space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <sys/types.h>

namespace krel::platform {

// Owns one file descriptor.
class FileDesc {
public:
    FileDesc() = default;
    explicit FileDesc(int fd) : fd_(fd) {}
    FileDesc(FileDesc &&o) noexcept : fd_(o.release()) {}
    FileDesc &operator=(FileDesc &&o) noexcept
    {
        if (this != &o) reset(o.release());
        return *this;
    }
    FileDesc(const FileDesc &) = delete;
    FileDesc &operator=(const FileDesc &) = delete;
    ~FileDesc() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    int close();  // returns close()'s result

private:
    int fd_ = -1;
};

enum class OpenMode { Read, ReadWrite, CreateTruncate };
FileDesc openFile(const char *path, OpenMode mode);

// Reads/writes exactly `size` bytes at `offset` unless the file ends or an
// error occurs; returns the byte count done, or -1 on an error with none done.
ssize_t readAt(int fd, void *buffer, size_t size, int64_t offset);
ssize_t writeAt(int fd, const void *buffer, size_t size, int64_t offset);
// Sequential forms that retry on EINTR and short counts.
ssize_t readAll(int fd, void *buffer, size_t size);
ssize_t writeAll(int fd, const void *buffer, size_t size);

// Chunked transfers: `count` bytes in pieces of at most 32 KiB from `offset`
// (negative: the current position), interrupted calls retried. They print
// nothing; on a stop short of `count` errno still tells the cause.
enum class ChunkStop { Complete, SeekFailed, Short };
struct ChunkResult {
    int64_t done = 0;
    ChunkStop stop = ChunkStop::Complete;
};
ChunkResult readChunked(int fd, void *buffer, int64_t count, int64_t offset);
ChunkResult writeChunked(int fd, const void *buffer, int64_t count, int64_t offset);

int64_t fileSize(int fd);  // -1 on error
// Whether `path` names something other than a regular file (a device, a FIFO,
// a directory). Asked before opening: opening a FIFO for reading blocks.
bool isSpecialFile(const char *path);

// Bytes available to the caller on the file system holding `path` (a file
// that may not exist yet: its directory is asked). -1 on error.
double freeDiskSpace(const char *path);

// Rewrites the whole file open on `fd`: `write` fills a new file beside it,
// which then takes the old one's name and its descriptor number `fd`, so a
// failure midway leaves the old file as it was. Where no file can be made
// beside it (an unwritable directory, a file no longer named), `write` gets
// `fd` itself. Returns what `write` returned, or -1 when the swap failed.
int replaceWholeFile(int fd, const std::function<int(int)> &write);

}  // namespace krel::platform

namespace krel::platform {

// Writes `size` bytes as the whole content of the file `path`. An existing
// file is replaced only by a complete new one (replaceWholeFile); a new file
// is created with mode 0666 less the umask and removed again when it could
// not be written whole. Devices, FIFOs and directories are refused. False on
// failure, with errno telling why.
bool writeWholeFile(const char *path, const void *data, size_t size);

}  // namespace krel::platform
