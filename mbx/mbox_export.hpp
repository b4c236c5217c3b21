// A checked mailbox written out as an mbox file of the mboxrd form: each
// message after a "From SENDER DATE" separator line, lines of the text that
// start with any number of ">" and then "From " quoted by one more ">", LF
// line ends, an empty line after each message.
#pragma once

#include "mbx/mailbox_reader.hpp"
#include "mbx/message_head.hpp"

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::size_t output_block_size = 1 << 16;

struct OutputFile {
    int fd = -1;
    std::vector<unsigned char> block;
    std::size_t used = 0;
    int error = 0; // errno of the first failed write; later writes are skipped
};

void output_put(OutputFile& out, const char* bytes, std::size_t count);
// Writes what is buffered; 0, or the errno of the first failure.
int output_flush(OutputFile& out);

// How one message's text changes in the mbox: the Date header that a client
// needs, made from the "Received: ; " line where the message has no "Date: "
// line, or a "Date: " line whose day is no calendar date written with the
// date that it rolls over to.
struct MessageEdit {
    bool edit = false;
    std::uint64_t offset = 0;  // of the line where the edit is made
    std::uint64_t removed = 0; // bytes of the text replaced there (0: inserted)
    std::string line;          // the Date header, ended by LF
};

// The separator line's sender: the first word of the "From:" line's sender.
std::string separator_sender(const MessageHead& head);
// The separator line, LF included.
std::string separator_line(const MessageHead& head);
MessageEdit date_edit(const MessageHead& head);

// Writes every message of the checked mailbox; false on a read error, with
// `reader.error` set. Write errors are kept in `out.error`.
bool export_mbox(MailboxReader& reader, std::uint32_t message_count, OutputFile& out);
