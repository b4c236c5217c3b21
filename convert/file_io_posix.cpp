// The file layer on POSIX systems.
#include "convert/file_io.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t new_file_mode = 0666;

} // namespace

int io_open_read(const char* path)
{
    if (io_injected_failure("open_read"))
        return -1;
    int fd;
    do
        fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// O_EXCL: an existing file, or a symbolic link pointing anywhere, is never
// opened, so nothing of the user's can be truncated or written through.
int io_create_new(const char* path)
{
    if (io_injected_failure("create_new"))
        return -1;
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, new_file_mode);
}

int io_create_temp(char* name_template)
{
    if (io_injected_failure("create_temp"))
        return -1;
    return mkostemp(name_template, O_CLOEXEC);
}

// An unnamed file in the current directory: it has no name to leave behind,
// whatever happens to the process. Where the file system cannot make one, a
// named file is made and its name removed at once.
int io_open_anonymous()
{
    if (io_injected_failure("open_anonymous"))
        return -1;
    int fd = open(".", O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    char name[] = "kestrelXXXXXX";
    fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0)
        unlink(name);
    return fd;
}

ssize_t io_read(int fd, void* data, std::size_t size)
{
    if (io_injected_failure("read"))
        return -1;
    ssize_t got;
    do
        got = read(fd, data, size);
    while (got < 0 && errno == EINTR);
    return got;
}

int io_write(int fd, const void* data, std::size_t size)
{
    if (io_injected_failure("write"))
        return 1;
    auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t put = write(fd, bytes, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return 1;
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

int io_write_at(int fd, const void* data, std::size_t size, std::int64_t offset)
{
    if (io_injected_failure("write_at"))
        return 1;
    auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t put = pwrite(fd, bytes, size, offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return 1;
        bytes += put;
        size -= static_cast<std::size_t>(put);
        offset += put;
    }
    return 0;
}

int io_seek(int fd, std::int64_t offset)
{
    if (io_injected_failure("seek"))
        return 1;
    return lseek(fd, offset, SEEK_SET) == offset ? 0 : 1;
}

int io_truncate(int fd)
{
    if (io_injected_failure("truncate"))
        return 1;
    return ftruncate(fd, 0) == 0 ? 0 : 1;
}

// The descriptor is released even when close reports an error (on Linux it
// must not be closed again), so a failed close still frees the slot.
int io_close(int fd)
{
    if (io_injected_failure("close")) {
        close(fd);
        return 1;
    }
    return close(fd) == 0 ? 0 : 1;
}

int io_remove(const char* path)
{
    if (io_injected_failure("remove"))
        return 1;
    return unlink(path) == 0 ? 0 : 1;
}

// Any directory entry counts, a symbolic link whose target is missing too.
bool io_entry_exists(const char* path)
{
    if (io_injected_failure("entry_exists"))
        return false;
    struct stat info;
    return lstat(path, &info) == 0;
}

bool io_path_exists(const char* path)
{
    if (io_injected_failure("path_exists"))
        return false;
    return access(path, F_OK) == 0;
}
