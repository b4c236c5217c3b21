// Reading a mailbox file back: block reads through one fixed buffer, and the
// check of every invariant of the format. Memory stays the same whatever
// the file's size fields say; a text is never held whole.
#pragma once

#include "convert/mailbox_writer.hpp"
#include "mbx/background_io.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What one read takes from the file. A block in hand holds up to twice as
// much: the end of the last one before what was read after it.
inline constexpr std::size_t mailbox_block_size = 1 << 18;
inline constexpr std::size_t mailbox_block_room = 2 * mailbox_block_size;

// The next block, read beside the work once the reads run front to back.
// `spare` takes it behind room for the end of the block in hand.
struct ReadAhead {
    std::vector<unsigned char> spare = std::vector<unsigned char>(mailbox_block_room);
    BackgroundJob job;
    ReadAhead() = default;
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead() { finish_job(job); }
};

struct MailboxReader {
    int fd = -1;                      // of the file layer
    std::uint64_t length = 0;         // of the file, when opened
    std::uint64_t block_start = 0;    // file offset of the block's first byte
    std::size_t block_length = 0;     // valid bytes in the block
    std::vector<unsigned char> block; // mailbox_block_room bytes
    std::size_t block_from = 0;       // where in `block` the block begins
    std::unique_ptr<ReadAhead> ahead;
    int error = 0;          // 1 after a failed open or read, else 0
    std::string error_text; // the reason then ("Input/output error")
};

inline const unsigned char* block_bytes(const MailboxReader& reader)
{
    return reader.block.data() + reader.block_from;
}

// Opens a mailbox, which must be a regular file: a FIFO, a device or a
// directory is refused, and opening never waits for a FIFO's writer. 0, or
// 1 with the reason in `error_text`.
int open_mailbox(MailboxReader& reader, const char* path);
void close_mailbox(MailboxReader& reader);

// The bytes from `offset` on that are in the buffer after reading the block
// holding it: at least 1, at most to the block's end. nullptr at the end of
// the file or after a read error (then `error` is set).
const unsigned char* mailbox_bytes_at(MailboxReader& reader, std::uint64_t offset,
                                      std::size_t& available);
// Makes the block hold the whole record at `offset` (header, text and
// terminator) when it fits in a block and is not all there yet, reading
// from `offset` on: a record that is checked and then exported is read from
// the file once. A read error is left for the next read to find.
void hold_record(MailboxReader& reader, std::uint64_t offset);
// Copies `count` bytes from `offset`; false when the file ends first or a
// read fails.
bool mailbox_read(MailboxReader& reader, std::uint64_t offset, unsigned char* to,
                  std::size_t count);

struct MailboxVerdict {
    bool whole = false;
    std::uint32_t message_count = 0;
    std::uint64_t offset = 0; // where the first fault is, when not whole
    std::string problem;      // what it is
};

// Reads the whole file front to back and stops at the first fault.
MailboxVerdict check_mailbox(MailboxReader& reader);

// The same check in its three parts, for a reader that checks each record
// just before it uses it: the 84-byte header (whole with the message count
// when right); record `expected` at `at`, which then moves past it; the
// end of the file after the last record, at `at`.
MailboxVerdict check_mailbox_header(MailboxReader& reader);
MailboxVerdict check_mailbox_record(MailboxReader& reader, std::uint32_t expected,
                                    std::uint64_t& at);
MailboxVerdict check_mailbox_end(const MailboxReader& reader, std::uint64_t at);

// One record of a whole mailbox, as found by walking it.
struct MailboxRecord {
    std::uint32_t number = 0;
    std::uint64_t offset = 0; // of the record header
    std::uint64_t text_offset = 0;
    std::uint32_t text_size = 0;
};

// The record at `offset` of a checked mailbox; false on a read error.
bool read_record(MailboxReader& reader, std::uint64_t offset, MailboxRecord& record);
