#include "mbx/mailbox_reader.hpp"

#include "convert/file_io.hpp"

#include <algorithm>
#include <cstring>

namespace {

MailboxVerdict fault(std::uint64_t offset, std::string problem)
{
    MailboxVerdict check;
    check.offset = offset;
    check.problem = std::move(problem);
    return check;
}

std::string number(std::uint64_t value)
{
    return std::to_string(value);
}

// The first byte where `bytes` differ from what the writer makes of the
// fields decoded from them, or `size` when there is none.
template <std::size_t N>
std::size_t first_difference(const unsigned char* bytes, const std::array<unsigned char, N>& made)
{
    return static_cast<std::size_t>(std::mismatch(made.begin(), made.end(), bytes).first -
                                    made.begin());
}

MailboxVerdict check_header(MailboxReader& reader, const unsigned char* bytes)
{
    MailboxHeader header = decode_mailbox_header(bytes);
    std::size_t at = first_difference(bytes, encode_mailbox_header(header));
    if (at < 24)
        return fault(at, "wrong header constant");
    if (at < mailbox_header_size)
        return fault(at, "zero fill holds a non-zero byte");
    if (header.message_count == 0)
        return fault(8, "message count is 0");
    if (header.message_count_2 != header.message_count)
        return fault(8, "message counts differ: " + number(header.message_count) + " and " +
                            number(header.message_count_2));
    if (header.file_size != reader.length)
        return fault(16, "file size field says " + number(header.file_size) + ", the file has " +
                             number(reader.length) + " bytes");
    MailboxVerdict check;
    check.whole = true;
    check.message_count = header.message_count;
    return check;
}

// One record at `at`; on success `at` is moved past it.
MailboxVerdict check_record(MailboxReader& reader, std::uint32_t expected, std::uint64_t& at)
{
    // Said of a fault only: the check runs before every exported message.
    auto which = [expected] { return "record " + number(expected) + ": "; };
    unsigned char bytes[record_header_size];
    if (!mailbox_read(reader, at, bytes, sizeof bytes)) {
        if (reader.error)
            return fault(at, which() + "read failed: " + reader.error_text);
        return fault(reader.length, which() + "cut short in its header");
    }
    MessageRecordHeader header = decode_record_header(bytes);
    std::size_t wrong = first_difference(bytes, encode_record_header(header));
    if (wrong < record_header_size)
        return fault(at + wrong, which() + "wrong record magic");
    if (header.message_number != expected)
        return fault(at + 4, which() + "message number is " + number(header.message_number));
    if (header.record_size != static_cast<std::uint64_t>(header.text_size) + record_overhead)
        return fault(at + 8, which() + "record size " + number(header.record_size) +
                                 " is not text size " + number(header.text_size) + " + 17");
    const std::uint64_t text = at + record_header_size;
    const std::uint64_t end = text + header.text_size; // the terminator
    if (end >= reader.length)
        return fault(at + 12, which() + "text size " + number(header.text_size) +
                                  " runs past the end of the file");
    for (std::uint64_t offset = text; offset < end;) {
        std::size_t available = 0;
        const unsigned char* p = mailbox_bytes_at(reader, offset, available);
        if (!p)
            return fault(offset, which() + "read failed: " + reader.error_text);
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(available, end - offset));
        if (const void* zero = std::memchr(p, 0, n))
            return fault(offset +
                             static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - p),
                         which() + "zero byte inside the text");
        offset += n;
    }
    unsigned char terminator = 1;
    if (!mailbox_read(reader, end, &terminator, 1))
        return fault(end, which() + "read failed: " + reader.error_text);
    if (terminator != 0)
        return fault(end, which() + "no zero byte after the text");
    at = end + 1;
    MailboxVerdict check;
    check.whole = true;
    return check;
}

} // namespace

namespace {

int open_failed(MailboxReader& reader, const char* reason)
{
    reader.error = 1;
    reader.error_text = reason;
    return 1;
}

} // namespace

int open_mailbox(MailboxReader& reader, const char* path)
{
    reader = MailboxReader{};
    reader.fd = io_open_read_at_once(path);
    if (reader.fd < 0)
        return open_failed(reader, io_error_text());
    IoFileStatus status;
    if (io_file_status(reader.fd, status)) {
        open_failed(reader, io_error_text());
        close_mailbox(reader);
        return 1;
    }
    if (status.kind != IoFileKind::regular) {
        close_mailbox(reader);
        return open_failed(reader, status.kind == IoFileKind::directory
                                       ? "Is a directory"
                                       : "not a regular file, so no mailbox");
    }
    reader.length = status.size;
    reader.block.resize(mailbox_block_room);
    return 0;
}

void close_mailbox(MailboxReader& reader)
{
    if (reader.ahead)
        finish_job(reader.ahead->job);
    if (reader.fd >= 0)
        io_close_discarded(reader.fd); // opened for reading only: nothing to lose
    reader.fd = -1;
}

namespace {

// Reads the block from `start` on into the front of `block`; false on a
// read error.
bool read_block(MailboxReader& reader, std::uint64_t start)
{
    reader.block_start = start;
    reader.block_length = 0;
    reader.block_from = 0;
    while (reader.block_length < mailbox_block_size) {
        std::int64_t got =
            io_read_at(reader.fd, reader.block.data() + reader.block_length,
                       mailbox_block_size - reader.block_length,
                       static_cast<std::int64_t>(reader.block_start + reader.block_length));
        if (got < 0) {
            reader.error = 1;
            reader.error_text = io_error_text();
            reader.block_length = 0;
            return false;
        }
        if (got == 0)
            break;
        reader.block_length += static_cast<std::size_t>(got);
    }
    return true;
}

// Makes the block the bytes from `start` on out of the block in hand, from
// `start` to its end, and the next block, read beside the work; false when
// that read was not of those bytes or failed (the caller then reads them
// itself, and finds the failure again).
bool take_read_ahead(MailboxReader& reader, std::uint64_t start)
{
    if (!reader.ahead)
        return false;
    ReadAhead& next = *reader.ahead;
    finish_job(next.job);
    const std::uint64_t end = reader.block_start + reader.block_length;
    const bool fits = next.job.size > 0 && next.job.offset == end && next.job.error == 0 &&
                      start > reader.block_start && start <= end &&
                      end - start <= mailbox_block_room - mailbox_block_size;
    next.job.size = 0;
    if (!fits)
        return false;
    const std::size_t kept = static_cast<std::size_t>(end - start);
    const std::size_t from = mailbox_block_room - mailbox_block_size - kept;
    std::memcpy(next.spare.data() + from, block_bytes(reader) + (start - reader.block_start), kept);
    std::swap(reader.block, next.spare);
    reader.block_from = from;
    reader.block_start = start;
    reader.block_length = kept + next.job.done;
    return true;
}

// Reads the block after the one in hand beside the work.
void read_ahead(MailboxReader& reader)
{
    const std::uint64_t end = reader.block_start + reader.block_length;
    if (end >= reader.length)
        return;
    if (!reader.ahead)
        reader.ahead = std::make_unique<ReadAhead>();
    BackgroundJob& job = reader.ahead->job;
    job.write = false;
    job.fd = reader.fd;
    job.data = reader.ahead->spare.data() + (mailbox_block_room - mailbox_block_size);
    job.size = mailbox_block_size;
    job.offset = end;
    start_job(job);
}

// Fills the block with the file's bytes from `start` on; false on a read
// error. Once a block begins inside or right after the last one, the
// reads run front to back, and the one after it is read beside the work.
bool fill_block(MailboxReader& reader, std::uint64_t start)
{
    const bool onward = reader.block_length > 0 && start > reader.block_start &&
                        start <= reader.block_start + reader.block_length;
    if (!take_read_ahead(reader, start) && !read_block(reader, start))
        return false;
    if (onward)
        read_ahead(reader);
    return true;
}

} // namespace

const unsigned char* mailbox_bytes_at(MailboxReader& reader, std::uint64_t offset,
                                      std::size_t& available)
{
    if (offset < reader.block_start || offset >= reader.block_start + reader.block_length) {
        if (offset >= reader.length)
            return nullptr;
        if (!fill_block(reader, offset - offset % mailbox_block_size))
            return nullptr;
        if (offset >= reader.block_start + reader.block_length) {
            // The file became shorter since it was opened (and checked):
            // a read error with its reason, not the end of the file. The
            // bytes in hand may have been read before it was cut: the
            // file's own size tells where it ends now.
            std::uint64_t now = reader.block_start + reader.block_length;
            IoFileStatus status;
            if (io_file_status(reader.fd, status) == 0 && status.size < now)
                now = status.size;
            reader.error = 1;
            reader.error_text = "the file became shorter while it was read: it now ends at byte " +
                                std::to_string(now);
            return nullptr;
        }
    }
    std::size_t in_block = static_cast<std::size_t>(offset - reader.block_start);
    available = reader.block_length - in_block;
    return block_bytes(reader) + in_block;
}

void hold_record(MailboxReader& reader, std::uint64_t offset)
{
    unsigned char bytes[record_header_size];
    if (!mailbox_read(reader, offset, bytes, sizeof bytes))
        return;
    const std::uint64_t end =
        offset + record_header_size + decode_record_header(bytes).text_size + 1;
    const bool held =
        offset >= reader.block_start && end <= reader.block_start + reader.block_length;
    if (!held && end - offset <= mailbox_block_size && end <= reader.length)
        fill_block(reader, offset);
}

bool mailbox_read(MailboxReader& reader, std::uint64_t offset, unsigned char* to, std::size_t count)
{
    while (count > 0) {
        std::size_t available = 0;
        const unsigned char* p = mailbox_bytes_at(reader, offset, available);
        if (!p)
            return false;
        std::size_t n = std::min(available, count);
        std::memcpy(to, p, n);
        to += n;
        offset += n;
        count -= n;
    }
    return true;
}

MailboxVerdict check_mailbox_header(MailboxReader& reader)
{
    unsigned char bytes[mailbox_header_size];
    if (!mailbox_read(reader, 0, bytes, sizeof bytes)) {
        if (reader.error)
            return fault(0, std::string("read failed: ") + reader.error_text);
        return fault(reader.length, "cut short in the 84-byte header");
    }
    return check_header(reader, bytes);
}

MailboxVerdict check_mailbox_record(MailboxReader& reader, std::uint32_t expected,
                                    std::uint64_t& at)
{
    return check_record(reader, expected, at);
}

MailboxVerdict check_mailbox_end(const MailboxReader& reader, std::uint64_t at)
{
    if (at != reader.length)
        return fault(at, "bytes after the last record");
    MailboxVerdict check;
    check.whole = true;
    return check;
}

MailboxVerdict check_mailbox(MailboxReader& reader)
{
    MailboxVerdict check = check_mailbox_header(reader);
    if (!check.whole)
        return check;
    std::uint64_t at = mailbox_header_size;
    for (std::uint32_t expected = 1; expected <= check.message_count; ++expected) {
        MailboxVerdict record = check_record(reader, expected, at);
        if (!record.whole)
            return record;
        if (expected == UINT32_MAX)
            break;
    }
    MailboxVerdict end = check_mailbox_end(reader, at);
    return end.whole ? check : end;
}

bool read_record(MailboxReader& reader, std::uint64_t offset, MailboxRecord& record)
{
    unsigned char bytes[record_header_size];
    if (!mailbox_read(reader, offset, bytes, sizeof bytes))
        return false;
    MessageRecordHeader header = decode_record_header(bytes);
    record.number = header.message_number;
    record.offset = offset;
    record.text_offset = offset + record_header_size;
    record.text_size = header.text_size;
    return true;
}
