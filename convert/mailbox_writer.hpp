// The mailbox file: the output of a conversion, in the PC mail client's
// format. All integers are 32-bit little-endian.
//
//   offset  size  MailboxHeader
//        0     4  magic               "JMF6" (4A 4D 46 36)
//        4     4  header_constant     03 00 01 00
//        8     4  message_count       number of records
//       12     4  message_count_2     the same number again
//       16     4  file_size           84 + 17 x records + sum of text sizes
//       20     4  header_constant_2   1
//       24    60  zero_fill           zero bytes
//
// Then one record per message, back to back, nothing after the last:
//
//   offset  size  MessageRecordHeader
//        0     4  record_magic        00 7F 00 7F
//        4     4  message_number      1, 2, 3, ... in file order
//        8     4  record_size         16 + text_size + 1
//       12     4  text_size           bytes of message text that follow
//       16     n  the message text, lines ended by CR LF, no zero byte in it
//     16+n     1  a zero byte
//
// The header is written first with zero counts and size, and rewritten with
// the real ones once the last record is in place.
#pragma once

#include <array>
#include <cstdint>

inline constexpr std::size_t mailbox_header_size = 84;
inline constexpr std::size_t record_header_size = 16;
inline constexpr std::int64_t record_overhead = 17; // record header and the zero byte
inline constexpr std::int64_t mailbox_size_limit = 2147483647;

struct MailboxHeader {
    std::uint32_t message_count = 0;
    std::uint32_t message_count_2 = 0;
    std::uint32_t file_size = 0;
};

struct MessageRecordHeader {
    std::uint32_t message_number = 0;
    std::uint32_t record_size = 0;
    std::uint32_t text_size = 0;
};

std::array<unsigned char, mailbox_header_size> encode_mailbox_header(const MailboxHeader& header);
std::array<unsigned char, record_header_size>
encode_record_header(const MessageRecordHeader& header);

// The fields read back from the bytes of a header; the constant fields are
// not looked at. A header is as the writer makes it exactly when encoding
// the decoded fields gives the same bytes again.
MailboxHeader decode_mailbox_header(const unsigned char* bytes);      // 84 bytes
MessageRecordHeader decode_record_header(const unsigned char* bytes); // 16 bytes

// The size of a mailbox holding `records` messages whose texts add up to
// `text_total` bytes, and whether it still fits the format's 32-bit fields.
constexpr std::int64_t mailbox_file_size(std::int64_t records, std::int64_t text_total)
{
    return static_cast<std::int64_t>(mailbox_header_size) + record_overhead * records + text_total;
}

constexpr bool mailbox_size_fits(std::int64_t records, std::int64_t text_total)
{
    return mailbox_file_size(records, text_total) <= mailbox_size_limit;
}

int start_mailbox();
int write_message_record();
int finish_mailbox();
