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

#include <cstdint>
#include <string>

struct ExportTarget {
    ExportForm form = ExportForm::mbox;
    std::string path;       // as the user named it; empty: standard output
    std::string stage;      // the directory being filled, under its other name
    std::string unique;     // the front of the Maildir file names
    std::uint32_t made = 0; // message files complete in the stage
    std::size_t digits = 4; // of the numbers in the .eml file names
    // The mbox file's temporary name until it is named, where the file
    // system cannot make unnamed files; empty otherwise.
    std::string temporary;
    int named = 0;     // the mbox file has its name already
    bool open = false; // the mbox file's descriptor is open
    ExportOutput out;
};

// Makes the output for `message_count` messages in `form` at `path`
// (standard output when null, for an mbox). 0, or 1 after saying why.
int open_target(ExportTarget& target, ExportForm form, const char* path,
                std::uint64_t message_count);
// Writes one message of the checked mailbox at `mailbox_path`. 0, or 1
// after saying why; the caller then discards the target.
int put_message(ExportTarget& target, MailboxReader& reader, const MailboxRecord& record,
                const ExportOptions& options, const char* mailbox_path);
// Gives the output its name. 0, or 1 after saying why; nothing is left then.
int commit_target(ExportTarget& target);
// Removes what the run made of the output.
void discard_target(ExportTarget& target);
