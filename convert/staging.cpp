#include "convert/staging.hpp"

#include "app/driver.hpp"
#include "app/report.hpp"
#include "convert/conversion_state.hpp"
#include "convert/interrupt.hpp"

#include <cstring>

namespace {

#ifdef _WIN32
constexpr const char directory_separator = '\\';
#else
constexpr const char directory_separator = '/';
#endif
constexpr const char* staged_name_template = "kestrelXXXXXX";

// Appends `text` to the mailbox path; false when it would not fit.
bool append_to_path(const char* text)
{
    char* path = conversion.mailbox_path.data();
    std::size_t length = std::strlen(path);
    std::size_t more = std::strlen(text);
    if (length + more > mailbox_path_capacity)
        return false;
    std::memcpy(path + length, text, more + 1);
    return true;
}

// A file that stays on disk against the program's will is worth a word:
// a broken mailbox, or a copy of the folder.
void remove_or_report(const char* path)
{
    if (io_remove(path))
        report("Cannot remove the file %s: %s\n", path, io_error_text());
}

// The undoing of a staging that failed half way: closes what it opened and
// removes what it created, and nothing else.
int undo_staging()
{
    ConversionState& s = conversion;
    if (s.staged_write_fd >= 0) {
        io_close_discarded(s.staged_write_fd);
        s.staged_write_fd = -1;
    }
    close_and_clean(1);
    return 1;
}

// Builds the path of the mailbox file in the output directory (or the
// current one) and picks ".MBX", or ".MB_" when ".MBX" is taken.
int choose_mailbox_path(const char* directory)
{
    ConversionState& s = conversion;
    s.mailbox_path[0] = '\0';
    if (directory != nullptr) {
        if (check_directory(directory))
            return 1;
        const char separator[2] = {directory_separator, '\0'};
        if (!append_to_path(directory) || !append_to_path(separator)) {
            report("Cannot create file: path longer than 259 characters\n");
            return 1;
        }
    }
    if (!append_to_path(s.base_name.data()) || !append_to_path(".MBX")) {
        report("Cannot create file: path longer than 259 characters\n");
        return 1;
    }
    if (io_entry_exists(s.mailbox_path.data())) {
        std::strcpy(s.mailbox_path.data() + std::strlen(s.mailbox_path.data()) - 4, ".MB_");
        if (io_entry_exists(s.mailbox_path.data())) {
            report("Cannot create file: existing .MBX and .MB_ files\n");
            return 1;
        }
    }
    return 0;
}

// The mailbox file is made without its name, or under a temporary one: the
// name is given at the commit point, to a complete file.
int create_mailbox_file()
{
    ConversionState& s = conversion;
    char* temporary = s.mailbox_temporary_path.data();
    block_interrupts();
    int fd =
        io_create_uncommitted(s.mailbox_path.data(), temporary, s.mailbox_temporary_path.size());
    if (fd >= 0 && temporary[0] != '\0')
        arm_mailbox_removal(temporary);
    unblock_interrupts();
    if (fd < 0) {
        report("Error creating the file %s\n", s.mailbox_path.data());
        return 1;
    }
    s.mailbox_file.fd = fd;
    s.mailbox_file.used = 0;
    s.mailbox_open = 1;
    return 0;
}

int create_staged_copy()
{
    ConversionState& s = conversion;
    std::memcpy(s.staged_name.data(), staged_name_template, std::strlen(staged_name_template) + 1);
    block_interrupts();
    int fd = io_create_temp(s.staged_name.data());
    if (fd >= 0)
        arm_staged_removal(s.staged_name.data());
    unblock_interrupts();
    if (fd < 0) {
        report("Error creating the temporary VMS mail file\n");
        return 1;
    }
    s.staged_write_fd = fd;
    s.staged_created = 1;
    return 0;
}

// Copies the folder into the staged copy, leaving out every Ctrl-Z byte
// (which would end a text read there) and every NUL byte (which would end a
// line there), so that the text on both sides of them is converted.
int copy_folder(const char* folder_path)
{
    ConversionState& s = conversion;
    unsigned char* block = s.staged_file.data;
    for (;;) {
        ssize_t got = io_read(s.folder_file, block, s.staged_file.capacity);
        if (got == 0)
            break;
        if (got < 0) {
            report("Error reading the file %s: %s\n", folder_path, io_error_text());
            return 1;
        }
        std::size_t kept = remove_ctrl_z_and_nul(block, static_cast<std::size_t>(got));
        if (io_write(s.staged_write_fd, block, kept)) {
            report("Error writing the temporary VMS mail file: %s\n", io_error_text());
            return 1;
        }
    }
    int fd = s.staged_write_fd;
    s.staged_write_fd = -1;
    if (io_close(fd)) {
        report("Error writing the temporary VMS mail file: %s\n", io_error_text());
        return 1;
    }
    return 0;
}

int open_staged_copy()
{
    ConversionState& s = conversion;
    int fd = io_open_read(s.staged_name.data());
    if (fd < 0) {
        report("Cannot open temporary VMS mail file for reading\n");
        return 1;
    }
    text_input_open(s.staged_file, fd, s.staged_file.data, s.staged_file.capacity, false);
    s.staged_open = 1;
    return 0;
}

} // namespace

void take_base_name(const char* folder_path, char* base_name, std::size_t capacity)
{
    const char* component = folder_path;
    for (const char* p = folder_path; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/')
            component = p + 1;
    bool drive_letter = (folder_path[0] >= 'A' && folder_path[0] <= 'Z') ||
                        (folder_path[0] >= 'a' && folder_path[0] <= 'z');
    if (component == folder_path && drive_letter && folder_path[1] == ':')
        component = folder_path + 2;
    const char* dot = std::strrchr(component, '.');
    std::size_t length =
        dot != nullptr ? static_cast<std::size_t>(dot - component) : std::strlen(component);
    if (length > capacity)
        length = capacity;
    std::memcpy(base_name, component, length);
    base_name[length] = '\0';
}

int stage_folder(const char* folder_path, const char* directory)
{
    ConversionState& s = conversion;
    s.folder_open = s.staged_created = s.staged_open = s.mailbox_open = s.mailbox_named = 0;
    s.mailbox_temporary_path[0] = '\0';
    // An empty name (an empty line of a list, a script's unset variable)
    // names no file; said so, rather than with the system's odd reason.
    if (folder_path[0] == '\0') {
        report("Cannot open file: empty name\n");
        return 1;
    }
    s.folder_file = io_open_read(folder_path);
    if (s.folder_file < 0) {
        report("Cannot open file %s\n", folder_path);
        return 1;
    }
    s.folder_open = 1;
    take_base_name(folder_path, s.base_name.data(), base_name_capacity);
    if (choose_mailbox_path(directory) || create_mailbox_file() || create_staged_copy() ||
        copy_folder(folder_path) || open_staged_copy())
        return undo_staging();
    return 0;
}

void close_and_clean(int failed)
{
    ConversionState& s = conversion;
    if (s.folder_open)
        io_close_discarded(s.folder_file);
    if (s.staged_open)
        io_close_discarded(s.staged_file.fd);
    // Still open only when the conversion failed: an unnamed mailbox is gone
    // with its descriptor, one under a temporary name is removed.
    char* temporary = s.mailbox_temporary_path.data();
    if (s.mailbox_open && temporary[0] != '\0') {
        if (io_discard_uncommitted(s.mailbox_file.fd, temporary))
            report("Cannot remove the file %s: %s\n", temporary, io_error_text());
        disarm_mailbox_removal();
    } else if (s.mailbox_open) {
        io_close_discarded(s.mailbox_file.fd);
    }
    temporary[0] = '\0';
    if (s.message_buffer_open)
        message_buffer_close(s.message_buffer_file);
    if (s.staged_created) {
        remove_or_report(s.staged_name.data());
        disarm_staged_removal();
    }
    if (failed && s.mailbox_named) {
        remove_or_report(s.mailbox_path.data());
        disarm_mailbox_removal();
    }
    s.folder_open = s.staged_open = s.mailbox_open = s.message_buffer_open = 0;
    s.staged_created = s.mailbox_named = 0;
}
