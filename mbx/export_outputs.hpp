// The outputs of an export: an mbox file (or standard output), a Maildir,
// or a directory of .eml files. Each is made new, never in place of
// anything, and gets the name the user gave only when it is complete and
// on the device: the mbox file is made unnamed where the system can (else
// under its name, and removed after a failure); a directory is filled
// under a name of its own beside the final one, "DIRECTORY.kestrel-partial",
// and renamed at the end. A failure midway, Ctrl-C or a termination signal
// removes what the run made; after kill -9 or a power loss only the
// directory under its other name can stay, never a partial output under the
// user's name.
#pragma once

#include "mbx/mailbox_reader.hpp"
#include "mbx/mbox_export.hpp"
#include "mbx/platform.hpp"

#include <cstdint>
#include <string>
#include <vector>

// A mailbox's place in the output. Several mailboxes go into one output, one
// after another, or, as folders, into a Maildir++ tree (DIRECTORY/.MAIL/cur)
// or a directory of mbox files (DIRECTORY/MAIL.mbox).
struct TargetFolder {
    std::string mailbox; // as the user named it
    std::string name;    // the folder, "MAIL"; empty: the output itself
    std::string note;    // why the name is not the mailbox's own, when it is not
    std::uint32_t messages = 0;
    bool read = true; // its messages are exported as read
    // Set by open_target: the folder after the stage ("/.MAIL", "/MAIL.mbox"
    // or ""), and the run's number of its first message.
    std::string place;
    std::uint32_t first = 1;
};

struct ExportTarget {
    ExportForm form = ExportForm::mbox;
    std::string path;       // as the user named it; empty: standard output
    std::string stage;      // the directory being filled, under its other name
    std::string unique;     // the front of the Maildir file names
    std::uint32_t made = 0; // message files complete in the stage
    // Between a Maildir name and its flags: ':', or ';' where the system or
    // the file system refuses a ':' in a name.
    char maildir_separator = maildir_info_separator;
    // Maildir files that keep the time they were written, the file system
    // having refused their sending dates (fusefat does), and why.
    std::uint32_t undated = 0;
    std::string undated_reason;
    std::size_t digits = 4; // of the numbers in the .eml file names
    // The mbox file's temporary name until it is named, where the file
    // system cannot make unnamed files; empty otherwise.
    std::string temporary;
    int named = 0;     // the mbox file has its name already
    bool open = false; // the mbox file's descriptor is open
    std::vector<TargetFolder> folders;
    std::size_t folder = 0; // the one being filled
    bool tree = false;      // the mailboxes are folders of the output
    ExportOutput out;
};

// Makes the output for the messages of `folders` in `form` at `path`
// (standard output when null, for an mbox); folders with names make a tree.
// 0, or 1 after saying why.
int open_target(ExportTarget& target, ExportForm form, const char* path,
                std::vector<TargetFolder> folders);
// Makes folder `index` the one that the next messages go into, in the order
// of `folders`. 0, or 1 after saying why; the caller then discards the target.
int enter_folder(ExportTarget& target, std::size_t index);
// Where folder `index` went: "Maildir/.MAIL", "OUT.mbox", "standard output".
std::string folder_destination(const ExportTarget& target, std::size_t index);
// Writes one message of the checked mailbox at `mailbox_path`. 0, or 1
// after saying why; the caller then discards the target.
int put_message(ExportTarget& target, MailboxReader& reader, const MailboxRecord& record,
                const ExportOptions& options, const char* mailbox_path);
// Gives the output its name. 0, or 1 after saying why; nothing is left then.
int commit_target(ExportTarget& target);
// Removes what the run made of the output.
void discard_target(ExportTarget& target);
