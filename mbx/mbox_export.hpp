// The messages of a checked mailbox written out for today's mail programs:
// as an mbox file of the mboxrd form (each message after a "From SENDER DATE"
// separator line, lines of the text that start with any number of ">" and
// then "From " quoted by one more ">", LF line ends, an empty line after each
// message), as Maildir files or as .eml files. Each message gets addresses a
// client can reply to (the VMS lines kept as X-VMS-From, X-VMS-To and
// X-VMS-CC), a Date header that parses, a Message-ID, and, when its text is
// not all ASCII, a declared character set with the text in UTF-8.
#pragma once

#include "mbx/mailbox_reader.hpp"
#include "mbx/message_head.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr std::size_t output_block_size = 1 << 18;

// A full block of an output, written beside the work while the next one
// is filled.
struct WriteBehind {
    std::vector<unsigned char> block;
    BackgroundJob job;
    WriteBehind() = default;
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;
    ~WriteBehind() { finish_job(job); }
};

// The output of an export: a write-behind block in front of a descriptor.
struct ExportOutput {
    int fd = -1;
    std::vector<unsigned char> block;
    std::size_t used = 0;
    int error = 0;      // errno of the first failed write; later writes are skipped
    std::string reason; // the file layer's reason for it
    // The sending date of the last message written, in seconds since 1970
    // (UTC): the time a Maildir file of it is dated.
    std::int64_t sent = 0;
    // Set for an output whose full blocks are written beside the work.
    std::unique_ptr<WriteBehind> behind;
};

// Has the full blocks of `out` written beside the work from now on.
void output_write_behind(ExportOutput& out);
void output_put(ExportOutput& out, const char* bytes, std::size_t count);
// The block is full: written, beside the work where the output allows it.
void output_pass(ExportOutput& out);
// Writes what is buffered and what is being written beside the work; 0, or
// the errno of the first failure.
int output_flush(ExportOutput& out);
// Waits for what is being written beside the work, whatever comes of it:
// the output is given up, and its descriptor may be closed.
void output_settle(ExportOutput& out);

// The forms in which a message leaves kestrel-mbx.
enum class ExportForm {
    mbox,    // after a "From " separator line, mboxrd quoting, LF line ends,
             // an empty line after the message
    maildir, // a file of its own, LF line ends
    eml,     // a file of its own, CR LF line ends
};

// The user's choices that change what is exported.
struct ExportOptions {
    std::string domain;   // of DECnet nodes, for --domain
    std::string node;     // the user's own node, for --node or found in the
                          // mailboxes; empty: not known
    std::string charset;  // of 8-bit text that is not UTF-8, for --charset;
                          // empty: dec-mcs
    bool read = false;    // the message was read: "Status: RO" in an mbox
    bool unread = false;  // --unread: every message is exported unread
    bool folders = false; // --folders: each mailbox a folder of the output
};

// Whether the options can be used; otherwise `problem` says what is wrong
// ("unknown character set: koi8"). Checked before anything is written.
bool export_options_valid(const ExportOptions& options, std::string& problem);

// Writes one message of a checked mailbox in `form`; false on a read error,
// with `reader.error` set. Write errors are kept in `out.error`.
bool export_message(MailboxReader& reader, const MailboxRecord& record, ExportForm form,
                    const ExportOptions& options, ExportOutput& out);

// Writes every message of the checked mailbox as an mbox; false on a read
// error, with `reader.error` set. Write errors are kept in `out.error`.
bool export_mbox(MailboxReader& reader, std::uint32_t message_count, const ExportOptions& options,
                 ExportOutput& out);
