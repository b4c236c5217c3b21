// One exported message held until it is sent: APPEND names a message's
// size before its text, and a message can be hundreds of MiB. Its text is
// kept in the export's block while it fits and runs on into an unnamed
// temporary file beyond that, so memory stays the same whatever its size.
#pragma once

#include "mbx/mbox_export.hpp"

#include <cstdint>
#include <functional>
#include <string>

struct MessageSpool {
    ExportOutput out;              // its descriptor: the temporary file
    std::uint64_t on_disk = 0;     // bytes of the message in the file
    std::uint64_t size = 0;        // of the whole message
    std::string message_id;        // of its head, "<...>"
    std::vector<char> read_buffer; // for the part in the file
};

// Makes the temporary file. 0, or 1 after saying why.
int open_spool(MessageSpool& spool);
void close_spool(MessageSpool& spool);

// Exports the message as .eml text (CR LF line ends) into the spool. 0, or
// 1 after saying why, naming `mailbox_path`.
int spool_message(MessageSpool& spool, MailboxReader& reader, const MailboxRecord& record,
                  const ExportOptions& options, const std::string& mailbox_path);

// Hands the message's bytes in order to `take`, which returns 0 to go on.
// 0; 1 after a read of the file failed (said) or when `take` failed.
int spool_bytes(MessageSpool& spool, const std::function<int(const char*, std::size_t)>& take);
