// The file layer on Windows. Descriptors are small integers as on POSIX:
// 0, 1 and 2 stand for the standard handles, the others index a table of
// the handles this layer opened. Paths arrive in UTF-8 and are opened by
// their UTF-16 names, so a name is never replaced by a look-alike of the
// ANSI code page.
#include "convert/file_io.hpp"

#include <windows.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {

constexpr int first_own_descriptor = 3;
constexpr int descriptor_count = 64;
constexpr std::size_t wide_path_capacity = 1024;
constexpr DWORD largest_transfer = 1u << 30;
constexpr int max_name_units = 255;

std::array<HANDLE, descriptor_count> handles{};

// The Win32 error of the thread's last failed call, or 0 when the last
// failure was an injected one (then errno tells it).
thread_local DWORD last_error = 0;

bool injected(const char* call_name)
{
    if (!io_injected_failure(call_name))
        return false;
    last_error = 0;
    return true;
}

void note_error()
{
    last_error = GetLastError();
    if (last_error == 0)
        last_error = ERROR_GEN_FAILURE;
}

void note_error(DWORD error)
{
    last_error = error;
    SetLastError(error);
}

HANDLE handle_of(int fd)
{
    switch (fd) {
    case 0:
        return GetStdHandle(STD_INPUT_HANDLE);
    case 1:
        return GetStdHandle(STD_OUTPUT_HANDLE);
    case 2:
        return GetStdHandle(STD_ERROR_HANDLE);
    default:
        if (fd >= first_own_descriptor && fd < descriptor_count && handles[fd] != nullptr)
            return handles[fd];
        return INVALID_HANDLE_VALUE;
    }
}

// Takes a table slot for a freshly opened handle; -1 (and the handle
// closed) when the open failed or the table is full.
int adopt(HANDLE handle)
{
    if (handle == INVALID_HANDLE_VALUE) {
        note_error();
        return -1;
    }
    for (int fd = first_own_descriptor; fd < descriptor_count; ++fd)
        if (handles[fd] == nullptr) {
            handles[fd] = handle;
            return fd;
        }
    CloseHandle(handle);
    note_error(ERROR_TOO_MANY_OPEN_FILES);
    return -1;
}

// The UTF-16 form of a UTF-8 path; false (ERROR_INVALID_NAME) when the path
// is not UTF-8 or too long, so that nothing is opened under a guessed name.
bool widen(const char* path, wchar_t (&wide)[wide_path_capacity])
{
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide,
                                     static_cast<int>(wide_path_capacity));
    if (length == 0) {
        note_error(ERROR_INVALID_NAME);
        return false;
    }
    return true;
}

HANDLE open_by_name(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    wchar_t wide[wide_path_capacity];
    if (!widen(path, wide))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILE_FLAG_OPEN_REPARSE_POINT: CREATE_NEW never follows a link or junction
// of the name; whatever is there makes the creation fail.
constexpr DWORD new_file_flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

bool set_delete_mark(HANDLE handle, bool marked)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = marked ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Creates a file under a fresh name made from `name_template`, trying
// another name while the chosen one is taken.
HANDLE create_unique(char* name_template, DWORD access, DWORD share, DWORD flags)
{
    std::size_t length = std::strlen(name_template);
    char pattern[wide_path_capacity];
    if (length >= sizeof pattern) {
        note_error(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(pattern, name_template, length + 1);
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::memcpy(name_template, pattern, length + 1);
        io_fill_unique_name(name_template);
        HANDLE handle = open_by_name(name_template, access, share, CREATE_NEW, flags);
        if (handle != INVALID_HANDLE_VALUE)
            return handle;
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS &&
            error != ERROR_ACCESS_DENIED)
            return INVALID_HANDLE_VALUE;
        // Access is denied to a name whose removal is pending, worth another
        // name; where nothing has the name, the directory itself refuses
        // the file (read-only), and that is the reason.
        wchar_t wide[wide_path_capacity];
        if (error == ERROR_ACCESS_DENIED && widen(name_template, wide) &&
            GetFileAttributesW(wide) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND) {
            note_error(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }
    note_error(error);
    return INVALID_HANDLE_VALUE;
}

// The file pointer of `handle`, so that a positioned call can leave it as
// it found it.
bool file_pointer(HANDLE handle, LARGE_INTEGER& at)
{
    LARGE_INTEGER zero{};
    return SetFilePointerEx(handle, zero, &at, FILE_CURRENT) != 0;
}

bool set_file_pointer(HANDLE handle, std::int64_t offset)
{
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) != 0;
}

int close_descriptor(int fd)
{
    HANDLE handle = handle_of(fd);
    if (fd >= first_own_descriptor && fd < descriptor_count)
        handles[fd] = nullptr;
    if (handle == INVALID_HANDLE_VALUE) {
        note_error(ERROR_INVALID_HANDLE);
        return 1;
    }
    if (!CloseHandle(handle)) {
        note_error();
        return 1;
    }
    return 0;
}

} // namespace

// Only files on a disk and pipes are read: a device (CON, NUL, COM1) would
// wait for a keyboard or never end. A directory fails to open as a file.
int io_open_read(const char* path)
{
    if (injected("open_read"))
        return -1;
    HANDLE handle =
        open_by_name(path, GENERIC_READ, share_all, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (handle != INVALID_HANDLE_VALUE) {
        DWORD type = GetFileType(handle);
        if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) {
            CloseHandle(handle);
            last_error = 0;
            errno = not_a_file_error;
            return -1;
        }
    }
    return adopt(handle);
}

int io_create_new(const char* path)
{
    if (injected("create_new"))
        return -1;
    return adopt(open_by_name(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                              new_file_flags));
}

// The staged copy: written, closed, reopened by name and removed by name.
// FILE_SHARE_DELETE lets the console handler remove it while it is open.
int io_create_temp(char* name_template)
{
    if (injected("create_temp"))
        return -1;
    return adopt(create_unique(name_template, GENERIC_WRITE, share_all, new_file_flags));
}

// The message buffer: a file in the current directory that the system
// removes when it is closed, also by the end of the process however it
// comes.
int io_open_anonymous()
{
    if (injected("open_anonymous"))
        return -1;
    char name[] = "kestrelXXXXXX";
    return adopt(create_unique(name, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE |
                                   FILE_FLAG_OPEN_REPARSE_POINT));
}

// A pipe whose writer has gone is at its end, as on POSIX.
ssize_t io_read(int fd, void* data, std::size_t size)
{
    if (injected("read"))
        return -1;
    DWORD got = 0;
    DWORD wanted = size > largest_transfer ? largest_transfer : static_cast<DWORD>(size);
    if (!ReadFile(handle_of(fd), data, wanted, &got, nullptr)) {
        if (GetLastError() == ERROR_BROKEN_PIPE)
            return 0;
        note_error();
        return -1;
    }
    return static_cast<ssize_t>(got);
}

namespace {

// Writes every byte at the file pointer, in pieces WriteFile can take; a
// write that takes nothing is a full disk.
int write_all(HANDLE handle, const void* data, std::size_t size)
{
    auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        DWORD put = 0;
        DWORD chunk = size > largest_transfer ? largest_transfer : static_cast<DWORD>(size);
        if (!WriteFile(handle, bytes, chunk, &put, nullptr)) {
            note_error();
            return 1;
        }
        if (put == 0) {
            note_error(ERROR_DISK_FULL);
            return 1;
        }
        bytes += put;
        size -= put;
    }
    return 0;
}

} // namespace

int io_write(int fd, const void* data, std::size_t size)
{
    if (injected("write"))
        return 1;
    return write_all(handle_of(fd), data, size);
}

// Writes at `offset` and puts the file pointer back where it was, as a
// positioned write on POSIX leaves it.
int io_write_at(int fd, const void* data, std::size_t size, std::int64_t offset)
{
    if (injected("write_at"))
        return 1;
    HANDLE handle = handle_of(fd);
    LARGE_INTEGER was;
    if (!file_pointer(handle, was) || !set_file_pointer(handle, offset)) {
        note_error();
        return 1;
    }
    if (write_all(handle, data, size))
        return 1;
    if (!set_file_pointer(handle, was.QuadPart)) {
        note_error();
        return 1;
    }
    return 0;
}

int io_seek(int fd, std::int64_t offset)
{
    if (injected("seek"))
        return 1;
    if (!set_file_pointer(handle_of(fd), offset)) {
        note_error();
        return 1;
    }
    return 0;
}

// Cuts the file to length 0 and leaves the file pointer where it was.
int io_truncate(int fd)
{
    if (injected("truncate"))
        return 1;
    HANDLE handle = handle_of(fd);
    LARGE_INTEGER was;
    if (!file_pointer(handle, was) || !set_file_pointer(handle, 0) || !SetEndOfFile(handle) ||
        !set_file_pointer(handle, was.QuadPart)) {
        note_error();
        return 1;
    }
    return 0;
}

namespace {

// The handle is released even when the close fails or is made to fail.
int close_counted_as(const char* call_name, int fd)
{
    if (injected(call_name)) {
        int ignored = close_descriptor(fd);
        (void)ignored;
        last_error = 0;
        return 1;
    }
    return close_descriptor(fd);
}

} // namespace

int io_close(int fd)
{
    return close_counted_as("close", fd);
}

int io_close_discarded(int fd)
{
    return close_counted_as("close_discarded", fd);
}

int io_remove(const char* path)
{
    if (injected("remove"))
        return 1;
    wchar_t wide[wide_path_capacity];
    if (!widen(path, wide))
        return 1;
    if (!DeleteFileW(wide)) {
        note_error();
        return 1;
    }
    return 0;
}

// Any entry counts, a link whose target is missing and a file whose removal
// is pending too: only a name the system does not find is free.
bool io_entry_exists(const char* path)
{
    if (injected("entry_exists"))
        return false;
    wchar_t wide[wide_path_capacity];
    if (!widen(path, wide))
        return false;
    if (GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES)
        return true;
    DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

bool io_path_exists(const char* path)
{
    if (injected("path_exists"))
        return false;
    wchar_t wide[wide_path_capacity];
    if (!widen(path, wide))
        return false;
    return GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

// The output is created under a temporary name in its directory and marked
// for deletion: until io_commit_name clears the mark and moves it to its
// name, the system removes it when its handle is closed, however the
// process ends. After a crash of the system or a power loss, which may
// forget the mark, the temporary name is what stays, never a mailbox name.
int io_create_uncommitted(const char* path, char* temporary_path, std::size_t capacity)
{
    temporary_path[0] = '\0';
    if (injected("create_uncommitted"))
        return -1;
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/' || (*p == ':' && p == path + 1))
            name = p + 1;
    // The name itself is met only by the move at the end: a name longer
    // than a directory entry takes (255 UTF-16 units) fails here instead,
    // as creating it would.
    int name_units = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0) - 1;
    if (name_units > max_name_units) {
        note_error(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    std::size_t directory_length = static_cast<std::size_t>(name - path);
    if (directory_length + uncommitted_name_length >= capacity) {
        note_error(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    std::memcpy(temporary_path, path, directory_length);
    std::memcpy(temporary_path + directory_length, uncommitted_name_template,
                uncommitted_name_length + 1);
    int fd = adopt(create_unique(temporary_path, GENERIC_READ | GENERIC_WRITE | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, new_file_flags));
    if (fd < 0) {
        temporary_path[0] = '\0';
        return -1;
    }
    if (!io_unnamed_files_refused())
        set_delete_mark(handle_of(fd), true);
    return fd;
}

int io_sync(int fd)
{
    if (injected("sync"))
        return 1;
    if (!FlushFileBuffers(handle_of(fd))) {
        note_error();
        return 1;
    }
    return 0;
}

// MoveFileExW without MOVEFILE_REPLACE_EXISTING fails rather than replace a
// name that somebody else has taken meanwhile; MOVEFILE_WRITE_THROUGH
// returns only once the move is on the disk. The mark is cleared first (a
// file about to be deleted cannot be moved), and set again if the move fails.
int io_commit_name(int fd, const char* temporary_path, const char* path)
{
    if (injected("commit_name"))
        return 1;
    wchar_t wide_temporary[wide_path_capacity], wide_path[wide_path_capacity];
    if (!widen(temporary_path, wide_temporary) || !widen(path, wide_path))
        return 1;
    HANDLE handle = handle_of(fd);
    bool marked = !io_unnamed_files_refused();
    if (marked && !set_delete_mark(handle, false)) {
        note_error();
        return 1;
    }
    if (!MoveFileExW(wide_temporary, wide_path, MOVEFILE_WRITE_THROUGH)) {
        note_error();
        if (marked)
            set_delete_mark(handle, true);
        SetLastError(last_error);
        return 1;
    }
    return 0;
}

// A file still marked for deletion is gone with its handle; one that is not
// is removed by its name.
int io_discard_uncommitted(int fd, const char* temporary_path)
{
    bool failed = injected("discard_uncommitted");
    int ignored = close_descriptor(fd);
    (void)ignored;
    if (failed) {
        last_error = 0;
        return 1;
    }
    wchar_t wide[wide_path_capacity];
    if (temporary_path[0] == '\0' || !widen(temporary_path, wide))
        return temporary_path[0] == '\0' ? 0 : 1;
    if (DeleteFileW(wide) || GetLastError() == ERROR_FILE_NOT_FOUND)
        return 0;
    note_error();
    return 1;
}

// Nothing to do: MOVEFILE_WRITE_THROUGH has put the mailbox's name on the
// disk. The call is counted all the same, so that a run makes
// the same sequence of calls on every platform.
int io_sync_directory(const char* path)
{
    (void)path;
    if (injected("sync_directory"))
        return 1;
    return 0;
}

// The system's text for the last failure, in UTF-8, without the final full
// stop and line end that Windows puts there.
const char* io_error_text()
{
    thread_local char text[512];
    if (last_error == 0)
        return errno == not_a_file_error ? not_a_file_reason : std::strerror(errno);
    wchar_t wide[256];
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       last_error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), wide, 256, nullptr);
    while (length > 0 && (wide[length - 1] == L'\r' || wide[length - 1] == L'\n' ||
                          wide[length - 1] == L' ' || wide[length - 1] == L'.'))
        --length;
    int size = length == 0 ? 0
                           : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), text,
                                                 sizeof text - 1, nullptr, nullptr);
    if (size <= 0)
        return "Unknown error";
    text[size] = '\0';
    return text;
}

// The calls of kestrel-mbx.

// FILE_FLAG_BACKUP_SEMANTICS opens a directory too, so that the caller
// can tell it apart; a named pipe opens at once or fails.
int io_open_read_at_once(const char* path)
{
    if (injected("open_read_at_once"))
        return -1;
    return adopt(open_by_name(path, GENERIC_READ, share_all, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS));
}

// A disk file is regular unless it is a directory; a console, a printer,
// NUL or a pipe is something else.
int io_file_status(int fd, IoFileStatus& status)
{
    if (injected("file_status"))
        return 1;
    HANDLE handle = handle_of(fd);
    status = IoFileStatus{};
    DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
        note_error();
        return 1;
    }
    if (type != FILE_TYPE_DISK)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        note_error();
        return 1;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        status.kind = IoFileKind::directory;
        return 0;
    }
    status.kind = IoFileKind::regular;
    status.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return 0;
}

std::int64_t io_read_at(int fd, void* data, std::size_t size, std::int64_t offset)
{
    if (injected("read_at"))
        return -1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD got = 0;
    DWORD wanted = size > largest_transfer ? largest_transfer : static_cast<DWORD>(size);
    if (!ReadFile(handle_of(fd), data, wanted, &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        note_error();
        return -1;
    }
    return got;
}

int io_make_directory(const char* path)
{
    if (injected("make_directory"))
        return 1;
    wchar_t wide[wide_path_capacity];
    if (!widen(path, wide))
        return 1;
    if (!CreateDirectoryW(wide, nullptr)) {
        note_error();
        return 1;
    }
    return 0;
}

int io_remove_directory(const char* path)
{
    if (injected("remove_directory"))
        return 1;
    wchar_t wide[wide_path_capacity];
    if (!widen(path, wide))
        return 1;
    if (!RemoveDirectoryW(wide)) {
        note_error();
        return 1;
    }
    return 0;
}

// MoveFileExW without MOVEFILE_REPLACE_EXISTING fails when the new name is
// taken, by a file or a directory.
int io_rename_new(const char* from, const char* to)
{
    if (injected("rename_new"))
        return 1;
    wchar_t wide_from[wide_path_capacity], wide_to[wide_path_capacity];
    if (!widen(from, wide_from) || !widen(to, wide_to))
        return 1;
    if (!MoveFileExW(wide_from, wide_to, 0)) {
        note_error();
        return 1;
    }
    return 0;
}

// A FILETIME counts tenths of microseconds since 1601.
int io_set_modification_time(int fd, std::int64_t seconds)
{
    if (injected("set_modification_time"))
        return 1;
    constexpr std::int64_t seconds_1601_to_1970 = 11644473600;
    std::int64_t ticks = (seconds + seconds_1601_to_1970) * 10000000;
    FILETIME written;
    written.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFU);
    written.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
    if (!SetFileTime(handle_of(fd), nullptr, nullptr, &written)) {
        note_error();
        return 1;
    }
    return 0;
}
