#include "folder/folder_repair.hpp"

#include "app/standard_streams.hpp"
#include "convert/conversion_state.hpp"
#include "convert/file_io.hpp"
#include "convert/interrupt.hpp"
#include "folder/problem_report.hpp"
#include "mbx/complaint.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t copy_block_size = 256 * 1024;
constexpr unsigned char carriage_return = 0x0D;
constexpr unsigned char ctrl_z = 0x1A;

// The folder's bytes as they stand, read in step with the pass.
struct RawCopy {
    const char* folder_path = nullptr;
    const char* output_path = nullptr;
    int in_fd = -1;
    OutputFile out;
    // The copy's temporary name until it is named, where the file system
    // cannot make unnamed files; empty otherwise.
    std::string temporary;
    bool named = false; // the copy has its name OUTPUT
    unsigned char in_block[copy_block_size];
    unsigned char out_block[copy_block_size];
    std::size_t start = 0;
    std::size_t end = 0;
    std::int64_t line = 1; // the line at the read position
    bool read_error = false;
    bool write_error = false;
    char why[160] = {}; // the system's reason for the first failure
};

RawCopy copy;

void note_failure(bool& flag)
{
    if (!copy.read_error && !copy.write_error)
        std::snprintf(copy.why, sizeof copy.why, "%s", io_error_text());
    flag = true;
}

bool refill()
{
    if (copy.read_error)
        return false;
    ssize_t got = io_read(copy.in_fd, copy.in_block, copy_block_size);
    if (got <= 0) {
        if (got < 0)
            note_failure(copy.read_error);
        return false;
    }
    copy.start = 0;
    copy.end = static_cast<std::size_t>(got);
    return true;
}

void put(const void* data, std::size_t size)
{
    if (!copy.write_error && out_put(copy.out, data, size))
        note_failure(copy.write_error);
}

// Copies the lines in front of line `target` unchanged.
void copy_lines_before(std::int64_t target)
{
    while (copy.line < target) {
        if (copy.start == copy.end && !refill())
            return;
        const unsigned char* from = copy.in_block + copy.start;
        std::size_t size = copy.end - copy.start;
        auto* newline = static_cast<const unsigned char*>(std::memchr(from, '\n', size));
        std::size_t span = newline != nullptr ? static_cast<std::size_t>(newline - from) + 1 : size;
        put(from, span);
        copy.start += span;
        if (newline != nullptr)
            ++copy.line;
    }
}

// Copies the current line with its text from character `kept` on replaced
// by `mended`. The bytes that are no text of the line (CR, NUL, Ctrl-Z)
// stay, in their order, and so does its line end.
void copy_mended_line(std::int64_t kept, const char* mended, std::size_t mended_length)
{
    std::int64_t taken = 0;
    bool written = false;
    for (;;) {
        if (copy.start == copy.end && !refill())
            break;
        unsigned char c = copy.in_block[copy.start++];
        if (c == '\n') {
            if (!written)
                put(mended, mended_length);
            put(&c, 1);
            ++copy.line;
            return;
        }
        bool text = c != carriage_return && c != '\0' && c != ctrl_z;
        if (!text || taken < kept) {
            put(&c, 1);
        } else if (!written) {
            put(mended, mended_length);
            written = true;
        }
        taken += text ? 1 : 0;
    }
    if (!written)
        put(mended, mended_length);
}

void copy_rest()
{
    do
        put(copy.in_block + copy.start, copy.end - copy.start);
    while (refill());
    copy.start = copy.end;
}

int on_problem(std::int64_t line_number, const FromLine& line, const DateDiagnosis& diagnosis)
{
    if (!diagnosis.repairable) {
        print_problem(copy.folder_path, line_number, diagnosis);
        return 0;
    }
    copy_lines_before(line_number);
    std::int64_t kept = line.length - static_cast<std::int64_t>(diagnosis.replaced);
    copy_mended_line(kept, diagnosis.mended, diagnosis.mended_length);
    print_mend(copy.folder_path, line_number, line, diagnosis);
    return copy.read_error || copy.write_error ? 1 : 0;
}

int say(const char* path, const char* what)
{
    complain(path, what);
    return 1;
}

// What an interrupt removes: the copy, under its temporary name or its own,
// held in bytes that the handler reads without calling anything unsafe.
// Any name that the copy can have fits: a longer output name is refused
// before anything is made.
constexpr std::size_t removal_path_capacity = 4096;
char armed_path[removal_path_capacity + uncommitted_name_length + 1];

void remove_armed_copy()
{
    io_remove(armed_path);
}

// Called while the signals are held off.
void arm_removal(const char* path)
{
    arm_removal_procedure(nullptr);
    std::size_t length = std::min(std::strlen(path), sizeof armed_path - 1);
    std::memcpy(armed_path, path, length);
    armed_path[length] = '\0';
    arm_removal_procedure(remove_armed_copy);
}

void disarm_removal()
{
    arm_removal_procedure(nullptr);
}

// The copy has failed: it goes, under whatever name it has.
int discard_copy(const char* why)
{
    say(copy.output_path, why);
    if (!copy.temporary.empty()) {
        if (io_discard_uncommitted(copy.out.fd, copy.temporary.c_str()))
            say(copy.temporary.c_str(), "cannot remove the partial copy");
        copy.temporary.clear();
        disarm_removal();
    } else {
        io_close_discarded(copy.out.fd);
    }
    if (copy.named) {
        if (io_remove(copy.output_path))
            say(copy.output_path, "cannot remove the partial copy");
        copy.named = false;
        disarm_removal();
    }
    return 1;
}

// Flushed to the device, then named exclusively, then the directory
// flushed and the file closed: the name stands only for a complete copy.
int commit_copy()
{
    if (out_flush(copy.out) || io_sync(copy.out.fd))
        return discard_copy(io_error_text());
    block_interrupts();
    int link_failed = io_commit_name(copy.out.fd, copy.temporary.c_str(), copy.output_path);
    if (!link_failed) {
        copy.temporary.clear();
        copy.named = true;
        arm_removal(copy.output_path);
    }
    unblock_interrupts();
    if (link_failed)
        return discard_copy(io_error_text());
    if (io_sync_directory(copy.output_path))
        return discard_copy(io_error_text());
    if (io_close(copy.out.fd)) {
        const char* why = io_error_text();
        copy.out.fd = -1;
        return discard_copy(why);
    }
    copy.named = false;
    disarm_removal();
    return 0;
}

} // namespace

int repair_folder(const char* folder_path, const char* output_path, FolderSummary& summary)
{
    copy.folder_path = folder_path;
    copy.output_path = output_path;
    copy.start = copy.end = 0;
    copy.line = 1;
    copy.read_error = copy.write_error = false;
    if (std::strlen(output_path) > removal_path_capacity)
        return say(output_path, "name too long");
    if (io_entry_exists(output_path))
        return say(output_path, "exists already; it is left as it is");
    copy.in_fd = io_open_read(folder_path);
    if (copy.in_fd < 0)
        return say(folder_path, io_error_text());
    // The pass and the copy read the folder each through a descriptor of
    // its own: a pipe would hand each byte to one of them only.
    if (io_seek(copy.in_fd, 0)) {
        io_close_discarded(copy.in_fd);
        return say(folder_path, "not a file that can be read twice (a pipe?); repair it from a "
                                "regular file");
    }
    std::string temporary(std::strlen(output_path) + uncommitted_name_length + 1, '\0');
    block_interrupts();
    int fd = io_create_uncommitted(output_path, temporary.data(), temporary.size());
    copy.temporary = fd >= 0 ? temporary.c_str() : "";
    copy.named = false;
    if (fd >= 0 && !copy.temporary.empty())
        arm_removal(copy.temporary.c_str());
    unblock_interrupts();
    if (fd < 0) {
        say(output_path, io_error_text());
        io_close_discarded(copy.in_fd);
        return 1;
    }
    copy.out.fd = fd;
    copy.out.data = copy.out_block;
    copy.out.capacity = copy_block_size;
    copy.out.used = 0;
    int status = scan_folder(folder_path, summary, on_problem);
    if (status == 0 && !copy.read_error && !copy.write_error)
        copy_rest();
    io_close_discarded(copy.in_fd);
    if (copy.read_error) {
        say(folder_path, copy.why);
        return discard_copy("not written");
    }
    if (copy.write_error)
        return discard_copy(copy.why);
    if (status != 0)
        return discard_copy("not written");
    // What the summary tells is the copy: its problems are those left.
    summary.problems -= summary.repairable;
    summary.repairable = 0;
    return commit_copy();
}
