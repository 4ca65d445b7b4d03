#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace krel::platform {

void FileDesc::reset(int fd)
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int FileDesc::close()
{
    int fd = release();
    return fd >= 0 ? ::close(fd) : 0;
}

FileDesc openFile(const char *path, OpenMode mode)
{
    int flags = O_CLOEXEC;
    switch (mode) {
    case OpenMode::Read: flags |= O_RDONLY; break;
    case OpenMode::ReadWrite: flags |= O_RDWR; break;
    case OpenMode::CreateTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    int fd;
    do fd = ::open(path, flags, 0666);
    while (fd < 0 && errno == EINTR);
    return FileDesc(fd);
}

template <class Op, class Ptr>
static ssize_t loopIo(Op op, Ptr buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        size_t chunk = size - done;
        if (chunk > (1u << 30)) chunk = 1u << 30;
        ssize_t n = op(buffer + done, chunk, done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? static_cast<ssize_t>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t readAt(int fd, void *buffer, size_t size, int64_t offset)
{
    return loopIo([&](char *p, size_t n, size_t done) { return ::pread(fd, p, n, offset + done); },
                  static_cast<char *>(buffer), size);
}

ssize_t writeAt(int fd, const void *buffer, size_t size, int64_t offset)
{
    return loopIo([&](const char *p, size_t n, size_t done) { return ::pwrite(fd, p, n, offset + done); },
                  static_cast<const char *>(buffer), size);
}

ssize_t readAll(int fd, void *buffer, size_t size)
{
    return loopIo([&](char *p, size_t n, size_t) { return ::read(fd, p, n); }, static_cast<char *>(buffer), size);
}

ssize_t writeAll(int fd, const void *buffer, size_t size)
{
    return loopIo([&](const char *p, size_t n, size_t) { return ::write(fd, p, n); },
                  static_cast<const char *>(buffer), size);
}

namespace {

constexpr int64_t kChunk = 32768;

template <class Op, class Ptr>
ChunkResult moveChunked(int fd, Op op, Ptr buffer, int64_t count, int64_t offset)
{
    ChunkResult r;
    if (count <= 0) return r;
    if (offset >= 0 && lseek(fd, offset, SEEK_SET) < 0) {
        r.stop = ChunkStop::SeekFailed;
        return r;
    }
    while (r.done < count) {
        size_t piece = static_cast<size_t>(count - r.done < kChunk ? count - r.done : kChunk);
        ssize_t n = op(fd, buffer + r.done, piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            r.stop = ChunkStop::Short;
            return r;
        }
        r.done += n;
    }
    return r;
}

}  // namespace

ChunkResult readChunked(int fd, void *buffer, int64_t count, int64_t offset)
{
    return moveChunked(fd, ::read, static_cast<char *>(buffer), count, offset);
}

ChunkResult writeChunked(int fd, const void *buffer, int64_t count, int64_t offset)
{
    return moveChunked(fd, ::write, static_cast<const char *>(buffer), count, offset);
}

int64_t fileSize(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return st.st_size;
}

bool isSpecialFile(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && !S_ISREG(st.st_mode);
}

double freeDiskSpace(const char *path)
{
    struct statvfs vfs;
    std::string dir = path && *path ? path : ".";
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        size_t slash = dir.find_last_of('/');
        dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    }
    if (statvfs(dir.c_str(), &vfs) != 0) return -1;
    return static_cast<double>(vfs.f_bavail) * static_cast<double>(vfs.f_frsize);
}

}  // namespace krel::platform

namespace krel::platform {

int replaceWholeFile(int fd, const std::function<int(int)> &write)
{
    // The name comes from the descriptor, not from the name the image was
    // opened by: the working directory may have changed since.
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[4096];
    ssize_t n = readlink(link, path, sizeof path - 1);
    struct stat st;
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path - 16 || fstat(fd, &st) != 0 || st.st_nlink == 0 ||
        !S_ISREG(st.st_mode))
        return write(fd);
    path[n] = '\0';
    std::string temp = std::string(path) + ".XXXXXX";
    int tfd = mkostemp(temp.data(), O_CLOEXEC);
    if (tfd < 0) return write(fd);
    FileDesc made(tfd);
    // A new file that cannot take the old mode keeps the default one.
    if (fchmod(tfd, st.st_mode & 07777) != 0) errno = 0;
    int rc = write(tfd);
    if (rc < 0 || rename(temp.c_str(), path) != 0) {
        unlink(temp.c_str());
        return rc < 0 ? rc : -1;
    }
    // The image keeps its descriptor number, now on the new file.
    if (dup3(tfd, fd, O_CLOEXEC) < 0) return -1;
    return rc;
}

}  // namespace krel::platform

namespace krel::platform {

bool writeWholeFile(const char *path, const void *data, size_t size)
{
    if (isSpecialFile(path)) {
        errno = EINVAL;
        return false;
    }
    auto write = [&](int fd) {
        return writeAt(fd, data, size, 0) == static_cast<ssize_t>(size) && ftruncate(fd, static_cast<off_t>(size)) == 0
                   ? 0
                   : -1;
    };
    FileDesc fd = openFile(path, OpenMode::ReadWrite);
    if (fd) {
        if (replaceWholeFile(fd.get(), write) < 0) return false;
        return fd.close() == 0;
    }
    fd = openFile(path, OpenMode::CreateTruncate);
    if (!fd) return false;
    if (write(fd.get()) < 0 || fd.close() != 0) {
        int saved = errno;
        unlink(path);
        errno = saved;
        return false;
    }
    return true;
}

}  // namespace krel::platform
