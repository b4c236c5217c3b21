// The file layer on POSIX systems.
#include "convert/file_io.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
        if (put == 0)
            errno = EIO;
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

namespace {

// The descriptor is released even when close reports an error (on Linux it
// must not be closed again), so a failed close still frees the slot.
int close_counted_as(const char* call_name, int fd)
{
    if (io_injected_failure(call_name)) {
        close(fd);
        return 1;
    }
    return close(fd) == 0 ? 0 : 1;
}

int fsync_retrying(int fd)
{
    int status;
    do
        status = fsync(fd);
    while (status != 0 && errno == EINTR);
    return status;
}

} // namespace

int io_close(int fd)
{
    return close_counted_as("close", fd);
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

int io_close_discarded(int fd)
{
    return close_counted_as("close_discarded", fd);
}

namespace {

// The directory part of `path`, through its last slash, or "." when it has
// none; false when it does not fit.
bool directory_of(const char* path, char* directory, std::size_t capacity)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(directory, ".");
        return true;
    }
    std::size_t length = static_cast<std::size_t>(slash - path) + 1;
    if (length >= capacity)
        return false;
    std::memcpy(directory, path, length);
    directory[length] = '\0';
    return true;
}

// Whether a file linked in by its /proc/self/fd entry can be given a name:
// without /proc the link could never be made. Asked once per run.
bool can_link_unnamed_files()
{
    static const bool proc_mounted = access("/proc/self/fd", X_OK) == 0;
    return proc_mounted;
}

// The file systems a mailbox goes to take names of 255 bytes; only a longer
// name needs the directory's own limit (which may be larger). A file system
// with a smaller limit refuses the name at the commit instead, as a failed
// creation.
constexpr std::size_t common_name_limit = 255;

} // namespace

// An unnamed file in the mailbox's directory (O_TMPFILE): until it is
// linked in at the commit point, kill -9, a crash or a power loss leave no
// name behind. A file system that cannot make one gets the named file as
// before. The name's length is checked here, since the unnamed file would
// only meet it at the commit.
int io_create_uncommitted(const char* path, int& named)
{
    named = 0;
    if (io_injected_failure("create_uncommitted"))
        return -1;
    char directory[PATH_MAX];
    if (!directory_of(path, directory, sizeof directory)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    std::size_t name_length = std::strlen(name);
    long name_max = name_length > common_name_limit ? pathconf(directory, _PC_NAME_MAX) : -1;
    if (name_max > 0 && name_length > static_cast<std::size_t>(name_max)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (can_link_unnamed_files() && !io_unnamed_files_refused()) {
        int fd = open(directory, O_WRONLY | O_TMPFILE | O_CLOEXEC, new_file_mode);
        if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
            return fd;
    }
    named = 1;
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, new_file_mode);
}

int io_sync(int fd)
{
    if (io_injected_failure("sync"))
        return 1;
    return fsync_retrying(fd) == 0 ? 0 : 1;
}

// linkat fails rather than replace a name that somebody else has taken
// since the mailbox was staged.
int io_commit_name(int fd, const char* path, int named)
{
    if (io_injected_failure("commit_name"))
        return 1;
    if (named)
        return 0;
    char fd_path[32];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, fd_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0 ? 0 : 1;
}

// A file system that cannot flush a directory (EINVAL) keeps its entries
// by other means.
int io_sync_directory(const char* path)
{
    if (io_injected_failure("sync_directory"))
        return 1;
    char directory[PATH_MAX];
    if (!directory_of(path, directory, sizeof directory)) {
        errno = ENAMETOOLONG;
        return 1;
    }
    // A directory the user may write to but not read (a drop box) cannot be
    // opened for its flush; the mailbox must not fail for that.
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return (errno == EACCES || errno == EPERM) ? 0 : 1;
    bool failed = fsync_retrying(fd) != 0 && errno != EINVAL;
    int saved = errno;
    close(fd);
    errno = saved;
    return failed ? 1 : 0;
}

const char* io_error_text()
{
    return std::strerror(errno);
}

// The calls of kestrel-mbx.

// O_NONBLOCK: opening a FIFO that has no writer returns at once instead
// of waiting; the caller refuses the FIFO then. A regular file ignores it.
int io_open_read_at_once(const char* path)
{
    if (io_injected_failure("open_read_at_once"))
        return -1;
    int fd;
    do
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int io_file_status(int fd, IoFileStatus& status)
{
    if (io_injected_failure("file_status"))
        return 1;
    struct stat info;
    if (fstat(fd, &info) != 0)
        return 1;
    status.kind = S_ISREG(info.st_mode)   ? IoFileKind::regular
                  : S_ISDIR(info.st_mode) ? IoFileKind::directory
                                          : IoFileKind::other;
    status.size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    return 0;
}

std::int64_t io_read_at(int fd, void* data, std::size_t size, std::int64_t offset)
{
    if (io_injected_failure("read_at"))
        return -1;
    ssize_t got;
    do
        got = pread(fd, data, size, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    return got;
}

int io_make_directory(const char* path)
{
    if (io_injected_failure("make_directory"))
        return 1;
    return mkdir(path, 0777) == 0 ? 0 : 1;
}

int io_remove_directory(const char* path)
{
    if (io_injected_failure("remove_directory"))
        return 1;
    return rmdir(path) == 0 ? 0 : 1;
}

// renameat2 with RENAME_NOREPLACE fails rather than replace anything, an
// empty directory too (which rename would replace). A file system that
// cannot do that gets a hard link for a file, which never replaces either,
// and for a directory a look first, then the rename.
int io_rename_new(const char* from, const char* to)
{
    if (io_injected_failure("rename_new"))
        return 1;
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return 1;
    if (link(from, to) == 0)
        return unlink(from) == 0 ? 0 : 1;
    if (errno == EEXIST)
        return 1;
    struct stat info;
    if (lstat(to, &info) == 0) {
        errno = EEXIST;
        return 1;
    }
    return rename(from, to) == 0 ? 0 : 1;
}
