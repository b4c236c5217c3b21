// The file layer on POSIX systems.
#include "convert/file_io.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t new_file_mode = 0666;

} // namespace

// A FIFO is opened without waiting for a writer (one that never comes would
// hold the run forever; without a writer it reads as empty), and then read
// as a blocking pipe. Only regular files and pipes are read: a device such
// as /dev/zero never ends, and a directory or a socket holds no text.
int io_open_read(const char* path)
{
    if (io_injected_failure("open_read"))
        return -1;
    int fd;
    do
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (S_ISDIR(info.st_mode))
        error = EISDIR;
    else if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode))
        error = not_a_file_error;
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error == 0)
        return fd;
    close(fd);
    errno = error;
    return -1;
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

namespace {

// The temporary name of an uncommitted file: `path`'s directory part and
// the template; false when it does not fit.
bool temporary_name_for(const char* path, char* temporary_path, std::size_t capacity)
{
    const char* slash = std::strrchr(path, '/');
    std::size_t directory_length =
        slash != nullptr ? static_cast<std::size_t>(slash - path) + 1 : 0;
    if (directory_length + uncommitted_name_length >= capacity)
        return false;
    std::memcpy(temporary_path, path, directory_length);
    std::memcpy(temporary_path + directory_length, uncommitted_name_template,
                uncommitted_name_length + 1);
    return true;
}

// Creates the file under a fresh temporary name, with the mode of any new
// file (0666 less the umask), trying another name while one is taken.
int create_temporary(char* temporary_path)
{
    char* name = temporary_path + std::strlen(temporary_path) - uncommitted_name_length;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::memcpy(name, uncommitted_name_template, uncommitted_name_length);
        io_fill_unique_name(temporary_path);
        int fd = open(temporary_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, new_file_mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

// An unnamed file in the output's directory (O_TMPFILE): until it is
// linked in at the commit point, kill -9, a crash or a power loss leave no
// name behind. A file system that cannot make one (FAT, or no /proc to link
// it by) gets a file under a temporary name, which a kill leaves behind but
// which is never taken for a mailbox. The name's length is checked here,
// since the output would only meet it at the commit.
int io_create_uncommitted(const char* path, char* temporary_path, std::size_t capacity)
{
    temporary_path[0] = '\0';
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
    if (!temporary_name_for(path, temporary_path, capacity)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = create_temporary(temporary_path);
    if (fd < 0)
        temporary_path[0] = '\0';
    return fd;
}

int io_sync(int fd)
{
    if (io_injected_failure("sync"))
        return 1;
    return fsync_retrying(fd) == 0 ? 0 : 1;
}

namespace {

// What the file system says when it lacks a way of naming.
bool not_supported(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

// Moves a temporary name to `path`, never over a file that has the name:
// a rename that refuses to replace; where the file system has none, a hard
// link and the removal of the temporary name; where it has neither (some
// FUSE file systems), a test that the name is free and a plain rename,
// which would replace only a file made in the instant between the two.
int move_without_replacing(const char* temporary_path, const char* path)
{
    errno = EINVAL; // what a file system without the rename says
    if (io_commit_level() < 1 &&
        renameat2(AT_FDCWD, temporary_path, AT_FDCWD, path, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return 1;
    errno = EPERM; // what a file system without hard links says
    if (io_commit_level() < 2 && link(temporary_path, path) == 0) {
        if (unlink(temporary_path) == 0)
            return 0;
        int saved = errno;
        unlink(path);
        errno = saved;
        return 1;
    }
    if (!not_supported(errno))
        return 1;
    struct stat info;
    if (lstat(path, &info) == 0) {
        errno = EEXIST;
        return 1;
    }
    if (errno != ENOENT)
        return 1;
    return rename(temporary_path, path) == 0 ? 0 : 1;
}

} // namespace

// linkat fails rather than replace a name that somebody else has taken
// since the output was staged.
int io_commit_name(int fd, const char* temporary_path, const char* path)
{
    if (io_injected_failure("commit_name"))
        return 1;
    if (temporary_path[0] != '\0')
        return move_without_replacing(temporary_path, path);
    char fd_path[32];
    std::snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, fd_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0 ? 0 : 1;
}

// The descriptor is closed whatever becomes of the name.
int io_discard_uncommitted(int fd, const char* temporary_path)
{
    bool injected = io_injected_failure("discard_uncommitted");
    close(fd);
    if (injected)
        return 1;
    if (temporary_path[0] == '\0')
        return 0;
    return unlink(temporary_path) == 0 ? 0 : 1;
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
    return errno == not_a_file_error ? not_a_file_reason : std::strerror(errno);
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
namespace {

// What a FAT driver's rename of a directory can do: the files in it and in
// its subdirectories are gone (the fault-injection build only).
void lose_contents(const std::string& directory)
{
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr)
        return;
    while (const dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = directory + "/" + name;
        if (unlink(path.c_str()) != 0)
            lose_contents(path);
    }
    closedir(listing);
}

int rename_without_replacing(const char* from, const char* to)
{
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

} // namespace

int io_rename_new(const char* from, const char* to)
{
    if (io_injected_failure("rename_new"))
        return 1;
    int failed = rename_without_replacing(from, to);
    if (!failed && io_renamed_contents_lost())
        lose_contents(to);
    return failed;
}

int io_set_modification_time(int fd, std::int64_t seconds)
{
    if (io_injected_failure("set_modification_time"))
        return 1;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT; // the access time stays
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    return futimens(fd, times) == 0 ? 0 : 1;
}
