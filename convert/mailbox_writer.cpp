#include "convert/mailbox_writer.hpp"

#include "app/report.hpp"
#include "convert/conversion_state.hpp"
#include "convert/interrupt.hpp"

namespace {

MailboxHeader mailbox_header;
MessageRecordHeader record_header;

void put_u32(unsigned char* at, std::uint32_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t get_u32(const unsigned char* at)
{
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

int mailbox_write_failed()
{
    report("Error writing the file %s: %s\n", conversion.mailbox_path.data(), io_error_text());
    return 1;
}

} // namespace

std::array<unsigned char, mailbox_header_size> encode_mailbox_header(const MailboxHeader& header)
{
    std::array<unsigned char, mailbox_header_size> bytes{};
    bytes[0] = 'J';
    bytes[1] = 'M';
    bytes[2] = 'F';
    bytes[3] = '6';
    put_u32(&bytes[4], 0x00010003);
    put_u32(&bytes[8], header.message_count);
    put_u32(&bytes[12], header.message_count_2);
    put_u32(&bytes[16], header.file_size);
    put_u32(&bytes[20], 1);
    return bytes;
}

std::array<unsigned char, record_header_size>
encode_record_header(const MessageRecordHeader& header)
{
    std::array<unsigned char, record_header_size> bytes{};
    put_u32(&bytes[0], 0x7F007F00);
    put_u32(&bytes[4], header.message_number);
    put_u32(&bytes[8], header.record_size);
    put_u32(&bytes[12], header.text_size);
    return bytes;
}

MailboxHeader decode_mailbox_header(const unsigned char* bytes)
{
    return {get_u32(bytes + 8), get_u32(bytes + 12), get_u32(bytes + 16)};
}

MessageRecordHeader decode_record_header(const unsigned char* bytes)
{
    return {get_u32(bytes + 4), get_u32(bytes + 8), get_u32(bytes + 12)};
}

int start_mailbox()
{
    mailbox_header = MailboxHeader{};
    auto bytes = encode_mailbox_header(mailbox_header);
    if (out_put(conversion.mailbox_file, bytes.data(), bytes.size()))
        return mailbox_write_failed();
    return 0;
}

int write_message_record()
{
    const ConversionState& s = conversion;
    record_header.message_number = static_cast<std::uint32_t>(s.message_count);
    record_header.record_size = static_cast<std::uint32_t>(s.text_size + record_overhead);
    record_header.text_size = static_cast<std::uint32_t>(s.text_size);
    auto bytes = encode_record_header(record_header);
    if (out_put(conversion.mailbox_file, bytes.data(), bytes.size()))
        return mailbox_write_failed();
    bool mailbox_failed = false;
    if (message_buffer_copy_to(conversion.message_buffer_file, conversion.mailbox_file,
                               mailbox_failed)) {
        if (mailbox_failed)
            return mailbox_write_failed();
        report("Error writing the temporary file: %s\n", io_error_text());
        return 1;
    }
    static const unsigned char terminator = 0;
    if (out_put(conversion.mailbox_file, &terminator, 1))
        return mailbox_write_failed();
    return 0;
}

// The commit point of a conversion. The final header is written and every
// byte of the file is flushed to the device before the file gets its name,
// which it takes exclusively, so that the name stands only for a complete
// mailbox and never replaces one that somebody else made meanwhile. Then
// the directory entry is flushed too, and the file closed. From the name on,
// a failure or an interrupt removes the name again; once every step has
// succeeded the mailbox is the user's, and nothing removes it.
int finish_mailbox()
{
    ConversionState& s = conversion;
    mailbox_header.message_count = static_cast<std::uint32_t>(s.message_count);
    mailbox_header.message_count_2 = mailbox_header.message_count;
    mailbox_header.file_size =
        static_cast<std::uint32_t>(mailbox_file_size(s.message_count, s.total_text_size));
    auto bytes = encode_mailbox_header(mailbox_header);
    const char* path = s.mailbox_path.data();
    int fd = s.mailbox_file.fd;
    if (out_flush(s.mailbox_file) || io_write_at(fd, bytes.data(), bytes.size(), 0) || io_sync(fd))
        return mailbox_write_failed();
    // An interrupt waits until the name is either given and armed for
    // removal, or given for good.
    block_interrupts();
    int link_failed = io_commit_name(fd, s.mailbox_temporary_path.data(), path);
    if (!link_failed) {
        s.mailbox_temporary_path[0] = '\0';
        s.mailbox_named = 1;
        arm_mailbox_removal(path);
    }
    int failed = link_failed ? 0 : io_sync_directory(path);
    if (!link_failed && !failed) {
        s.mailbox_open = 0;
        failed = io_close(fd);
    }
    if (!link_failed && !failed)
        disarm_mailbox_removal();
    unblock_interrupts();
    if (link_failed) {
        report("Error creating the file %s\n", path);
        return 1;
    }
    return failed ? mailbox_write_failed() : 0;
}
