// The file layer: every file operation of a conversion goes through these
// calls, so that one place decides how errors surface and a test build can
// make any single call fail (see io_fail_call_number).
//
// Calls that produce a descriptor return it, or -1. Calls that only succeed
// or fail return 0 or 1. None of them prints anything: the caller knows which
// file it was working on and prints the message that names it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>

int io_open_read(const char* path);
int io_create_new(const char* path);
int io_create_temp(char* name_template);
int io_open_anonymous();
ssize_t io_read(int fd, void* data, std::size_t size);
int io_write(int fd, const void* data, std::size_t size);
int io_write_at(int fd, const void* data, std::size_t size, std::int64_t offset);
int io_seek(int fd, std::int64_t offset);
int io_truncate(int fd);
int io_close(int fd);
int io_remove(const char* path);
bool io_entry_exists(const char* path);
bool io_path_exists(const char* path);

// Closes a file whose contents no longer matter (one only read, or thrown
// away): its result cannot lose anything the user needs.
int io_close_discarded(int fd);

// An output (the mailbox file) is made so that its name stands only for a
// complete file, whatever ends the process: kill -9, a crash, a power loss.
// io_create_uncommitted makes a new file for `path` and returns its
// descriptor, or -1. Where the platform can, the file has no name yet and
// `temporary_path` is set to "". Otherwise it is created under a fresh
// temporary name in the same directory (made from uncommitted_name_template,
// which says what the file is and never ends like a mailbox), given in
// `temporary_path` (`capacity` bytes): the caller arms it for removal on an
// interrupt. Fails as creating `path` would (a directory that cannot take a
// new file, a name too long).
inline constexpr char uncommitted_name_template[] = "kestrel-unfinished-XXXXXX.tmp";
inline constexpr std::size_t uncommitted_name_length = sizeof uncommitted_name_template - 1;
int io_create_uncommitted(const char* path, char* temporary_path, std::size_t capacity);
// Flushes the file's data to the device; 1 when the device reports an error.
int io_sync(int fd);
// Gives an uncommitted file its name `path`, never replacing anything that
// has taken the name meanwhile (then 1, with EEXIST).
int io_commit_name(int fd, const char* temporary_path, const char* path);
// Closes an uncommitted file that is given up and removes its temporary
// name, if it has one; 1 when that name could not be removed.
int io_discard_uncommitted(int fd, const char* temporary_path);
// Flushes the directory that holds `path`, so that its entry is on the device.
int io_sync_directory(const char* path);

// io_open_read refuses what is neither a regular file nor a pipe (a device,
// a socket, a directory): reading /dev/zero never ends. This is the reason
// io_error_text then gives for a device or a socket.
inline constexpr int not_a_file_error = 0x4B455354;
inline constexpr const char not_a_file_reason[] = "Not a regular file or pipe";

// The system's reason for the failure of the last call, as a short text
// ("No space left on device").
const char* io_error_text();

// In a fault-injection build, makes the mailbox be created as on a file
// system that cannot make unnamed files (and, on Windows, as after a crash
// of the system, which forgets that the file was to be removed);
// io_unnamed_files_refused tells.
void io_refuse_unnamed_files();
bool io_unnamed_files_refused();

// In a fault-injection build, makes io_rename_new of a directory lose the
// files in it and in its subdirectories, as a FAT driver (fusefat) does:
// the directory arrives empty under its new name. io_renamed_contents_lost
// tells.
void io_lose_renamed_contents();
bool io_renamed_contents_lost();

// In a fault-injection build, makes io_commit_name find, from `level` 1,
// no rename that refuses to replace (as on some network file systems), and
// from level 2 no hard links either (as on FAT); io_commit_level tells.
void io_narrow_commit(int level);
int io_commit_level();

// In a fault-injection build, the name of the call made to fail ("write",
// "close", ...), or null when none has failed yet.
const char* io_failed_call_name();
// In a fault-injection build, the name of call `number` (1 for the first)
// of those made so far, or null; the first 4,096 calls are kept.
const char* io_call_name(std::int64_t number);

// Counts a call of the file layer and tells whether it is the one chosen to
// fail, noting its name; every platform's implementation asks it first.
bool io_injected_failure(const char* call_name);

// Fills the last run of X's in `path` with upper-case letters and digits
// (names differing only in case are one name on Windows), a new choice at
// each call, for a file created exclusively under it.
void io_fill_unique_name(char* path);

// Number of file-layer calls made so far in this process.
std::int64_t io_call_count();

// Makes the call with this number (1 for the first) fail with EIO, as a
// failing disk would; 0 turns injection off. Only a build made with
// KESTREL_FAULT_INJECTION honours it.
void io_fail_call_number(std::int64_t number);

// In a fault-injection build, ends the process at once, as kill -9 would,
// before the call with this number (status 137, no clean-up at all).
void io_die_at_call_number(std::int64_t number);

// A write-behind buffer in front of a descriptor: small writes are gathered
// into large blocks, large ones go straight through.
struct OutputFile {
    int fd = -1;
    unsigned char* data = nullptr;
    std::size_t capacity = 0;
    std::size_t used = 0;
};

int out_flush(OutputFile& file);
int out_put_past_end(OutputFile& file, const void* data, std::size_t size);
inline int out_put(OutputFile& file, const void* data, std::size_t size)
{
    if (file.used + size > file.capacity)
        return out_put_past_end(file, data, size);
    std::memcpy(file.data + file.used, data, size);
    file.used += size;
    return 0;
}

// Calls of kestrel-mbx, which reads mailboxes back and exports their
// messages into files and directories of its own.

enum class IoFileKind { regular, directory, other };
struct IoFileStatus {
    IoFileKind kind = IoFileKind::other;
    std::uint64_t size = 0; // of a regular file
};

// Opens `path` for reading without waiting for a writer to come (a FIFO
// opens at once) and opens a directory too, so that the caller can ask
// io_file_status what it got and refuse anything but a regular file.
int io_open_read_at_once(const char* path);
int io_file_status(int fd, IoFileStatus& status);
// Reads at most `size` bytes from `offset` on; the count read, 0 at the
// end of the file, -1 on failure.
std::int64_t io_read_at(int fd, void* data, std::size_t size, std::int64_t offset);
// Makes a new directory; fails when anything has the name.
int io_make_directory(const char* path);
// Removes an empty directory.
int io_remove_directory(const char* path);
// Gives the file or directory `from` the name `to`, never replacing what
// has that name (then 1, with EEXIST).
int io_rename_new(const char* from, const char* to);
// Sets the file's modification time to `seconds` since 1970 (UTC), which
// mail servers take as the time a Maildir message arrived.
int io_set_modification_time(int fd, std::int64_t seconds);
