#include "convert/mailbox_writer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

template <std::size_t N> Bytes as_bytes(const std::array<unsigned char, N>& bytes)
{
    return Bytes(bytes.begin(), bytes.end());
}

TEST(MailboxEncoding, HeaderOfTheTwoMessageExample)
{
    Bytes expected = {0x4A, 0x4D, 0x46, 0x36, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00,
                      0x02, 0x00, 0x00, 0x00, 0x9D, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    expected.resize(mailbox_header_size, 0);
    EXPECT_EQ(as_bytes(encode_mailbox_header({2, 2, 413})), expected);
    // Every byte of a field lands in little-endian order.
    Bytes wide = as_bytes(encode_mailbox_header({0x01020304, 0xA1B2C3D4, 0x7FFFFFFF}));
    EXPECT_EQ(Bytes(wide.begin() + 8, wide.begin() + 20),
              Bytes({0x04, 0x03, 0x02, 0x01, 0xD4, 0xC3, 0xB2, 0xA1, 0xFF, 0xFF, 0xFF, 0x7F}));
}

TEST(MailboxEncoding, RecordHeadersOfTheTwoMessageExample)
{
    EXPECT_EQ(as_bytes(encode_record_header({1, 180, 163})),
              Bytes({0x00, 0x7F, 0x00, 0x7F, 0x01, 0x00, 0x00, 0x00, 0xB4, 0x00, 0x00, 0x00, 0xA3,
                     0x00, 0x00, 0x00}));
    EXPECT_EQ(as_bytes(encode_record_header({2, 149, 132})),
              Bytes({0x00, 0x7F, 0x00, 0x7F, 0x02, 0x00, 0x00, 0x00, 0x95, 0x00, 0x00, 0x00, 0x84,
                     0x00, 0x00, 0x00}));
    EXPECT_EQ(as_bytes(encode_record_header({0x01020304, 0xFFFFFFFF, 0x80000000})),
              Bytes({0x00, 0x7F, 0x00, 0x7F, 0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                     0x00, 0x00, 0x80}));
}

// The "Folder too large for a mailbox file" limit: 84 + 17 per record + the
// texts must stay within 2147483647, and counts that would wrap a 32-bit
// size must not slip under it.
TEST(MailboxEncoding, SizeAccountingAtTheLimit)
{
    struct Row {
        std::int64_t records;
        std::int64_t text_total;
        std::int64_t size;
        bool fits;
    };
    const Row rows[] = {
        {2, 163 + 132, 413, true},
        {1, 0, 101, true},
        {1, 2147483546, 2147483647, true},
        {1, 2147483547, 2147483648, false},
        {126322562, 9, 2147483647, true},
        {126322562, 10, 2147483648, false},
        {126322563, 0, 2147483655, false},
        {252645136, 0, 4294967396, false},  // 32-bit arithmetic would give 100
        {1, 4294967296, 4294967397, false}, // 32-bit arithmetic would give 101
        {3, 4294967295, 4294967430, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(mailbox_file_size(row.records, row.text_total), row.size) << row.records;
        EXPECT_EQ(mailbox_size_fits(row.records, row.text_total), row.fits) << row.records;
    }
}

} // namespace
