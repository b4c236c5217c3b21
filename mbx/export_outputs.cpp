#include "mbx/export_outputs.hpp"

#include "convert/file_io.hpp"
#include "convert/interrupt.hpp"
#include "mbx/complaint.hpp"
#include "mbx/imap_protocol.hpp"
#include "mbx/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* stage_suffix = ".kestrel-partial";
constexpr std::size_t path_capacity = 4096;
constexpr std::size_t unique_capacity = 64;
constexpr int standard_output_fd = 1;

// What a signal handler removes: the fields are plain bytes and integers,
// set while the signals are held off, so that it reads them without
// calling anything unsafe there.
struct ArmedOutput {
    char path[path_capacity + unique_capacity + 32]; // the mbox file, or the stage
    char unique[unique_capacity];
    ExportForm form;
    bool tree;
    char separator; // of a Maildir name's flags
    std::size_t digits;
    // The target's, made before it is armed and unchanged while it is.
    const TargetFolder* folders;
    std::size_t folder_count;
    volatile std::size_t folder; // the one being filled
    volatile std::uint32_t made; // message files complete in the stage
    volatile int kind;           // 0 nothing, 1 a file, 2 a directory
};

ArmedOutput armed{};

// Appends `text` to `to`, which holds `length` bytes of `capacity`; no
// library call, as the signal handler uses it.
void append(char* to, std::size_t& length, std::size_t capacity, const char* text)
{
    for (; *text != '\0' && length + 1 < capacity; ++text)
        to[length++] = *text;
    to[length] = '\0';
}

void append_number(char* to, std::size_t& length, std::size_t capacity, std::uint64_t value,
                   std::size_t digits)
{
    char reversed[24];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < sizeof reversed);
    while (count < digits && count < sizeof reversed)
        reversed[count++] = '0';
    char text[25];
    for (std::size_t i = 0; i < count; ++i)
        text[i] = reversed[count - 1 - i];
    text[count] = '\0';
    append(to, length, capacity, text);
}

constexpr std::size_t name_capacity = sizeof armed.path + 64;

// The file of message `n` in the stage: "STAGE/0001.eml", or for a Maildir
// "STAGE/FOLDER/tmp/UNIQUE0007.kestrel" while it is written and
// "STAGE/FOLDER/cur/UNIQUE0007.kestrel:2,S" when complete ("S" when it was
// read). The number is padded, so that the names sort in the mailbox's
// order and a server gives the messages UIDs in that order.
void message_file_name(char* to, const char* stage, ExportForm form, const char* unique,
                       std::uint64_t n, std::size_t digits, char separator,
                       const TargetFolder& folder, bool in_tmp)
{
    std::size_t length = 0;
    to[0] = '\0';
    append(to, length, name_capacity, stage);
    if (form == ExportForm::eml) {
        append(to, length, name_capacity, "/");
        append_number(to, length, name_capacity, n, digits);
        append(to, length, name_capacity, ".eml");
        return;
    }
    append(to, length, name_capacity, folder.place.c_str());
    append(to, length, name_capacity, in_tmp ? "/tmp/" : "/cur/");
    append(to, length, name_capacity, unique);
    append_number(to, length, name_capacity, n, digits);
    append(to, length, name_capacity, ".kestrel");
    if (in_tmp)
        return;
    const char info[] = {separator, '2', ',', '\0'};
    append(to, length, name_capacity, info);
    if (folder.read)
        append(to, length, name_capacity, "S");
}

void subdirectory_name(char* to, const char* stage, const char* sub, const char* place = "")
{
    std::size_t length = 0;
    to[0] = '\0';
    append(to, length, name_capacity, stage);
    append(to, length, name_capacity, place);
    append(to, length, name_capacity, sub);
}

constexpr const char* maildir_parts[] = {"/tmp", "/new", "/cur"};

// The file that finds out whether the file system takes a ':' in a name:
// "STAGE/tmp/UNIQUE0.probe:2,".
void probe_name(char* to, const char* stage, const char* unique)
{
    std::size_t length = 0;
    to[0] = '\0';
    append(to, length, name_capacity, stage);
    append(to, length, name_capacity, "/tmp/");
    append(to, length, name_capacity, unique);
    append(to, length, name_capacity, "0.probe:2,");
}

// Removes what the armed record names; errors are ignored, as nothing
// more can be done about them. Safe in a signal handler.
void remove_armed()
{
    int kind = armed.kind;
    if (kind == 1) {
        io_remove(armed.path);
    } else if (kind == 2) {
        char name[name_capacity];
        const TargetFolder* folders = armed.folders;
        std::size_t count = armed.folder_count;
        if (armed.form == ExportForm::mbox) {
            // The mbox files made so far, the one being filled the last.
            for (std::size_t k = 0; k <= armed.folder && k < count; ++k) {
                subdirectory_name(name, armed.path, folders[k].place.c_str());
                io_remove(name);
            }
            io_remove_directory(armed.path);
            return;
        }
        std::uint64_t made = armed.made;
        std::size_t k = 0;
        for (std::uint64_t n = 1; n <= made + 1 && count > 0; ++n) {
            while (k + 1 < count && folders[k + 1].first <= n)
                ++k;
            message_file_name(name, armed.path, armed.form, armed.unique, n, armed.digits,
                              armed.separator, folders[k], false);
            io_remove(name);
            if (armed.form == ExportForm::maildir) {
                message_file_name(name, armed.path, armed.form, armed.unique, n, armed.digits,
                                  armed.separator, folders[k], true);
                io_remove(name);
            }
        }
        if (armed.form == ExportForm::maildir) {
            probe_name(name, armed.path, armed.unique);
            io_remove(name);
            for (std::size_t f = 0; f < count; ++f) {
                if (folders[f].place.empty())
                    continue;
                for (const char* part : maildir_parts) {
                    subdirectory_name(name, armed.path, part, folders[f].place.c_str());
                    io_remove_directory(name);
                }
                subdirectory_name(name, armed.path, folders[f].place.c_str());
                io_remove_directory(name);
            }
            for (const char* part : maildir_parts) {
                subdirectory_name(name, armed.path, part);
                io_remove_directory(name);
            }
        }
        io_remove_directory(armed.path);
    }
}

void arm(int kind, const std::string& path, const ExportTarget& target)
{
    armed.kind = 0;
    std::size_t length = 0;
    append(armed.path, length, sizeof armed.path, path.c_str());
    length = 0;
    append(armed.unique, length, sizeof armed.unique, target.unique.c_str());
    armed.form = target.form;
    armed.tree = target.tree;
    armed.separator = target.maildir_separator;
    armed.folders = target.folders.data();
    armed.folder_count = target.folders.size();
    armed.folder = target.folder;
    armed.digits = target.digits;
    armed.made = target.made;
    armed.kind = kind;
    arm_removal_procedure(remove_armed);
}

void disarm()
{
    armed.kind = 0;
    arm_removal_procedure(nullptr);
}

// The reason of the last failure of the file layer, with `error` as the
// errno where the layer kept none of its own.
std::string failure_text(int error = 0)
{
    if (error != 0)
        errno = error;
    return io_error_text();
}

std::string output_name(const ExportTarget& target)
{
    return target.path.empty() ? "standard output" : target.path;
}

// A directory filled under its other name: a Maildir, .eml files, the mbox
// files of a tree.
bool is_directory(const ExportTarget& target)
{
    return target.form != ExportForm::mbox || target.tree;
}

std::size_t digit_count(std::uint64_t value)
{
    std::size_t count = 1;
    while (value >= 10) {
        value /= 10;
        ++count;
    }
    return count;
}

int open_mbox_file(ExportTarget& target)
{
    const char* path = target.path.c_str();
    std::string temporary(target.path.size() + uncommitted_name_length + 1, '\0');
    block_interrupts();
    int fd = io_create_uncommitted(path, temporary.data(), temporary.size());
    target.temporary = fd >= 0 ? temporary.c_str() : "";
    if (!target.temporary.empty())
        arm(1, target.temporary, target);
    unblock_interrupts();
    if (fd < 0) {
        complain(target.path, failure_text());
        return 1;
    }
    target.out.fd = fd;
    target.named = 0;
    target.open = true;
    return 0;
}

// The stage beside the final directory, made new: a stage of an earlier
// run that was killed is left alone and the next free name taken.
int open_stage(ExportTarget& target)
{
    for (int attempt = 1; attempt <= 100; ++attempt) {
        target.stage = target.path + stage_suffix;
        if (attempt > 1)
            target.stage += std::to_string(attempt);
        block_interrupts();
        int failed = io_make_directory(target.stage.c_str());
        if (!failed)
            arm(2, target.stage, target);
        unblock_interrupts();
        std::string reason = failed ? failure_text() : std::string();
        if (!failed)
            break;
        bool taken = io_entry_exists(target.stage.c_str());
        if (!taken || attempt == 100) {
            complain(target.path, !taken ? reason
                                         : "the names " + target.path + stage_suffix + " to " +
                                               target.stage +
                                               " are all taken, by earlier runs that were "
                                               "stopped; remove them");
            target.stage.clear();
            return 1;
        }
    }
    if (target.form != ExportForm::maildir)
        return 0;
    // The tree's root is a Maildir too, empty; each folder one of its own.
    std::vector<std::string> places{""};
    if (target.tree)
        for (const auto& folder : target.folders)
            places.push_back(folder.place);
    for (const auto& place : places) {
        if (!place.empty() && io_make_directory((target.stage + place).c_str())) {
            complain(target.stage + place, failure_text());
            return 1;
        }
        for (const char* part : maildir_parts)
            if (io_make_directory((target.stage + place + part).c_str())) {
                complain(target.stage + place + part, failure_text());
                return 1;
            }
    }
    // A file system that refuses a ':' in a name (FAT) gets the flags after
    // a ';', as Windows does. (On Windows a ':' would name a stream of the
    // file: there is nothing to find out.)
    if (target.maildir_separator != ':')
        return 0;
    char probe[name_capacity];
    probe_name(probe, target.stage.c_str(), target.unique.c_str());
    int fd = io_create_new(probe);
    if (fd < 0 && (errno == EPERM || errno == EINVAL)) {
        target.maildir_separator = armed.separator = ';';
        return 0;
    }
    int failed = fd < 0 || io_close(fd);
    if (fd >= 0 && io_remove(probe))
        failed = 1;
    if (failed) {
        complain(probe, failure_text());
        return 1;
    }
    return 0;
}

// Writes what is buffered and checks it; 0, or 1 after saying why.
int flush_output(ExportTarget& target)
{
    if (output_flush(target.out) == 0)
        return 0;
    complain(output_name(target), target.out.reason);
    return 1;
}

// One message as a file of its own, written, flushed to the device and
// closed, and for a Maildir moved from tmp into cur, while the signals are
// held off: an interrupt finds every file complete and counted.
int put_message_file(ExportTarget& target, MailboxReader& reader, const MailboxRecord& record,
                     const ExportOptions& options, const char* mailbox_path)
{
    char name[name_capacity], final_name[name_capacity];
    std::uint64_t n = static_cast<std::uint64_t>(target.made) + 1;
    bool maildir = target.form == ExportForm::maildir;
    const TargetFolder& folder = target.folders[target.folder];
    message_file_name(name, target.stage.c_str(), target.form, target.unique.c_str(), n,
                      target.digits, target.maildir_separator, folder, maildir);
    message_file_name(final_name, target.stage.c_str(), target.form, target.unique.c_str(), n,
                      target.digits, target.maildir_separator, folder, false);
    block_interrupts();
    int fd = io_create_new(name);
    int failed = 0;
    if (fd < 0) {
        complain(output_name(target), failure_text());
        failed = 1;
    } else {
        target.out.fd = fd;
        target.out.used = 0;
        if (!export_message(reader, record, target.form, options, target.out)) {
            complain(mailbox_path, reader.error_text);
            failed = 1;
        }
        if (!failed)
            failed = flush_output(target);
        // A Maildir file is dated when the message was sent: a server shows
        // that as the time it arrived. A file system that keeps no such
        // dates loses only that: the message is whole all the same, and the
        // end of the export says so.
        if (!failed && maildir && io_set_modification_time(fd, target.out.sent)) {
            if (target.undated++ == 0)
                target.undated_reason = failure_text();
        }
        if (!failed && io_sync(fd)) {
            complain(output_name(target), failure_text());
            failed = 1;
        }
        if (failed) {
            io_close_discarded(fd);
        } else if (io_close(fd)) {
            complain(output_name(target), failure_text());
            failed = 1;
        }
        if (!failed && maildir && io_rename_new(name, final_name)) {
            complain(output_name(target), failure_text());
            failed = 1;
        }
        if (failed)
            io_remove(name);
        else
            armed.made = ++target.made;
    }
    unblock_interrupts();
    return failed;
}

// The mbox file of the folder being filled in a tree, made new in the stage.
int open_folder_file(ExportTarget& target)
{
    std::string name = target.stage + target.folders[target.folder].place;
    block_interrupts();
    armed.folder = target.folder;
    int fd = io_create_new(name.c_str());
    unblock_interrupts();
    if (fd < 0) {
        complain(name, failure_text());
        return 1;
    }
    target.out.fd = fd;
    target.out.used = 0;
    target.open = true;
    return 0;
}

// The mbox file of a tree's folder, complete: written, on the device, closed.
int close_folder_file(ExportTarget& target)
{
    if (target.form != ExportForm::mbox || !target.tree || !target.open)
        return 0;
    if (flush_output(target))
        return 1;
    int fd = target.out.fd;
    if (io_sync(fd)) {
        complain(output_name(target), failure_text());
        return 1;
    }
    target.open = false;
    if (io_close(fd)) {
        complain(output_name(target), failure_text());
        return 1;
    }
    return 0;
}

int commit_mbox_file(ExportTarget& target)
{
    const char* path = target.path.c_str();
    int fd = target.out.fd;
    if (flush_output(target))
        return 1;
    if (io_sync(fd)) {
        complain(target.path, failure_text());
        return 1;
    }
    block_interrupts();
    int link_failed = io_commit_name(fd, target.temporary.c_str(), path);
    if (!link_failed) {
        target.temporary.clear();
        target.named = 1;
        arm(1, target.path, target);
    }
    int failed = link_failed ? 0 : io_sync_directory(path);
    if (!link_failed && !failed) {
        target.open = false;
        failed = io_close(fd);
    }
    if (!link_failed && !failed)
        disarm();
    unblock_interrupts();
    if (link_failed || failed) {
        complain(target.path, failure_text());
        return 1;
    }
    return 0;
}

// Whether the directory under its final name holds every file the export
// wrote: a file system can lose a directory's contents when it renames it
// (the FAT driver fusefat does), and an export is complete only when its
// output is seen whole. 0, or 1 after saying what is missing.
int verify_directory(const ExportTarget& target)
{
    char name[name_capacity];
    std::uint64_t missing = 0, written = target.made;
    // Counts `name` when it is not there; false after a failure to look.
    auto look = [&]() {
        errno = 0;
        if (io_entry_exists(name))
            return true;
        if (errno != ENOENT && errno != 0) {
            complain(name, failure_text());
            return false;
        }
        ++missing;
        return true;
    };
    const std::vector<TargetFolder>& folders = target.folders;
    if (target.form == ExportForm::mbox) {
        // A directory of mbox files, one per folder.
        for (const TargetFolder& folder : folders) {
            subdirectory_name(name, target.path.c_str(), folder.place.c_str());
            ++written;
            if (!look())
                return 1;
        }
    }
    if (target.form == ExportForm::maildir) {
        for (const char* part : maildir_parts) {
            subdirectory_name(name, target.path.c_str(), part);
            ++written;
            if (!look())
                return 1;
        }
        for (const TargetFolder& folder : folders) {
            if (folder.place.empty())
                continue;
            for (const char* part : maildir_parts) {
                subdirectory_name(name, target.path.c_str(), part, folder.place.c_str());
                ++written;
                if (!look())
                    return 1;
            }
        }
    }
    std::size_t k = 0;
    for (std::uint64_t n = 1; target.form != ExportForm::mbox && n <= target.made; ++n) {
        while (k + 1 < folders.size() && folders[k + 1].first <= n)
            ++k;
        message_file_name(name, target.path.c_str(), target.form, target.unique.c_str(), n,
                          target.digits, target.maildir_separator, folders[k], false);
        if (!look())
            return 1;
    }
    if (missing == 0)
        return 0;
    complain(target.path, "the file system lost " + std::to_string(missing) + " of the " +
                              std::to_string(written) +
                              " entries written when the directory took its name");
    return 1;
}

// The stage's entries go to the device, then the stage takes the final
// name, which it never replaces, and that entry goes to the device too;
// the output is complete when every file is seen there.
int commit_directory(ExportTarget& target)
{
    if (close_folder_file(target))
        return 1;
    // The directories that got entries: each Maildir's cur, the stage
    // itself for .eml files, mbox files and the folders of a tree.
    std::vector<std::string> entries;
    if (target.form == ExportForm::maildir)
        for (const auto& folder : target.folders) {
            entries.push_back(target.stage + folder.place + "/cur/x");
            if (target.tree)
                entries.push_back(target.stage + folder.place + "/x");
        }
    if (target.form != ExportForm::maildir || target.tree)
        entries.push_back(target.stage + "/x");
    for (const auto& entry : entries)
        if (io_sync_directory(entry.c_str())) {
            complain(target.path, failure_text());
            return 1;
        }
    block_interrupts();
    int rename_failed = io_rename_new(target.stage.c_str(), target.path.c_str());
    int saved = errno;
    if (!rename_failed) {
        target.stage = target.path;
        arm(2, target.stage, target);
    }
    int failed = rename_failed ? 0 : io_sync_directory(target.path.c_str());
    unblock_interrupts();
    if (rename_failed || failed) {
        complain(target.path, failure_text(rename_failed ? saved : 0));
        return 1;
    }
    if (verify_directory(target))
        return 1;
    block_interrupts();
    target.stage.clear();
    disarm();
    unblock_interrupts();
    if (target.maildir_separator != maildir_info_separator)
        complain(target.path, "the file system refuses a ':' in a name: the message files "
                              "carry their flags after a ';' instead");
    if (target.undated > 0)
        complain(target.path, std::to_string(target.undated) +
                                  " message files show the day of the export, not their "
                                  "sending date, as their arrival: the file system refused "
                                  "the date (" +
                                  target.undated_reason + ")");
    return 0;
}

} // namespace

int open_target(ExportTarget& target, ExportForm form, const char* path,
                std::vector<TargetFolder> folders)
{
    target = ExportTarget{};
    target.form = form;
    target.folders = std::move(folders);
    std::uint64_t message_count = 0;
    for (auto& folder : target.folders) {
        target.tree = target.tree || !folder.name.empty();
        folder.first = static_cast<std::uint32_t>(message_count + 1);
        message_count += folder.messages;
        if (!folder.name.empty())
            folder.place = form == ExportForm::mbox ? "/" + folder.name + ".mbox"
                                                    : "/." + modified_utf7(folder.name);
    }
    if (target.folders.empty())
        target.folders.emplace_back();
    target.out.block.resize(output_block_size);
    target.digits = std::max<std::size_t>(4, digit_count(message_count));
    if (path == nullptr) {
        target.out.fd = standard_output_fd;
        return 0;
    }
    target.path = path;
    // "OUT/" names the directory OUT, whose stage is "OUT.kestrel-partial".
    while (is_directory(target) && target.path.size() > 1 &&
           (target.path.back() == '/' || target.path.back() == '\\'))
        target.path.pop_back();
    if (target.path.size() > path_capacity) {
        complain(target.path, "name too long");
        return 1;
    }
    if (io_entry_exists(target.path.c_str())) {
        complain(target.path, "File exists");
        return 1;
    }
    // An mbox's blocks are written beside the work; a message file is
    // written whole before the next one is made.
    if (form == ExportForm::mbox)
        output_write_behind(target.out);
    if (!is_directory(target))
        return open_mbox_file(target);
    target.unique = std::to_string(static_cast<long long>(std::time(nullptr))) + ".P" +
                    std::to_string(process_number()) + "Q";
    if (open_stage(target)) {
        discard_target(target);
        return 1;
    }
    return 0;
}

int enter_folder(ExportTarget& target, std::size_t index)
{
    if (index >= target.folders.size())
        return 0;
    if (close_folder_file(target))
        return 1;
    target.folder = index;
    armed.folder = index;
    if (target.form == ExportForm::mbox && target.tree)
        return open_folder_file(target);
    return 0;
}

std::string folder_destination(const ExportTarget& target, std::size_t index)
{
    std::string place = index < target.folders.size() ? target.folders[index].place : "";
    return output_name(target) + place;
}

int put_message(ExportTarget& target, MailboxReader& reader, const MailboxRecord& record,
                const ExportOptions& options, const char* mailbox_path)
{
    if (target.form != ExportForm::mbox)
        return put_message_file(target, reader, record, options, mailbox_path);
    if (!export_message(reader, record, target.form, options, target.out)) {
        complain(mailbox_path, reader.error_text);
        return 1;
    }
    if (target.out.error != 0) {
        complain(output_name(target), target.out.reason);
        return 1;
    }
    return 0;
}

int commit_target(ExportTarget& target)
{
    int failed = 0;
    if (target.path.empty())
        failed = flush_output(target);
    else if (is_directory(target))
        failed = commit_directory(target);
    else
        failed = commit_mbox_file(target);
    if (failed)
        discard_target(target);
    return failed;
}

void discard_target(ExportTarget& target)
{
    output_settle(target.out);
    block_interrupts();
    if (target.tree && target.form == ExportForm::mbox && target.open) {
        io_close_discarded(target.out.fd);
        target.open = false;
    }
    if (!is_directory(target) && !target.path.empty()) {
        if (target.open && !target.temporary.empty()) {
            if (io_discard_uncommitted(target.out.fd, target.temporary.c_str()))
                complain(target.temporary, "cannot remove the partial file: " + failure_text());
        } else if (target.open) {
            io_close_discarded(target.out.fd);
        }
        target.temporary.clear();
        target.open = false;
        if (target.named && io_remove(target.path.c_str()))
            complain(target.path, "cannot remove the partial file: " + failure_text());
    } else if (!target.stage.empty()) {
        // The handler's removal, which skips the names that are not there.
        remove_armed();
        if (io_entry_exists(target.stage.c_str()))
            complain(target.stage, "cannot remove the partial directory");
    }
    disarm();
    unblock_interrupts();
}
