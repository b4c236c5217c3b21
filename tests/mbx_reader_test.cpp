// kestrel-mbx's reading of mailbox files: the check of every invariant with
// the offset of the first fault, on cut, changed and lying files; and the
// sending dates carried into the calendar.
#include "convert/file_io.hpp"
#include "convert/vax_date.hpp"
#include "mbx/mailbox_reader.hpp"
#include "mbx/message_head.hpp"
#include "tests/support/test_files.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace std::string_literals;

std::string record(std::uint32_t number, const std::string& text)
{
    auto size = static_cast<std::uint32_t>(text.size());
    auto head = encode_record_header({number, size + 17, size});
    return std::string(head.begin(), head.end()) + text + '\0';
}

std::string mailbox(const std::vector<std::string>& texts)
{
    std::string records;
    for (std::size_t i = 0; i < texts.size(); ++i)
        records += record(static_cast<std::uint32_t>(i + 1), texts[i]);
    auto count = static_cast<std::uint32_t>(texts.size());
    auto head =
        encode_mailbox_header({count, count, static_cast<std::uint32_t>(84 + records.size())});
    return std::string(head.begin(), head.end()) + records;
}

void put_u32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

// Patches the file size field to the real length, so that a fault further on
// is the first one.
std::string with_true_size(std::string bytes)
{
    if (bytes.size() >= 20)
        put_u32(bytes, 16, static_cast<std::uint32_t>(bytes.size()));
    return bytes;
}

MailboxVerdict check_bytes(const std::string& bytes)
{
    TempDir dir;
    write_file(dir.file("M.MBX"), bytes);
    MailboxReader reader;
    EXPECT_EQ(open_mailbox(reader, dir.file("M.MBX").c_str()), 0);
    MailboxVerdict check = check_mailbox(reader);
    close_mailbox(reader);
    return check;
}

const std::string first_text = "From:\tA::B\r\nSubject: x\r\n\r\nbody\r\n"; // record at 84
const std::string second_text = "From:\tC::D\r\n\r\n\xE9t\xE9\r\n"s;        // record after it
const std::string small = mailbox({first_text, second_text});
const std::size_t second_at = 84 + 17 + first_text.size();

// Where the check must find the fault after byte `at` of `small` changed.
std::size_t fault_offset(std::size_t at)
{
    if (at >= 8 && at < 16)
        return 8; // a count: zero or unequal
    if (at >= 16 && at < 20)
        return 16;
    for (std::size_t r : {std::size_t{84}, second_at})
        if (at >= r + 4 && at < r + 16)
            return at < r + 8 ? r + 4 : r + 8; // number; sizes
    return at;
}

TEST(MailboxVerdict, CutAtEveryLength)
{
    ASSERT_TRUE(check_bytes(small).whole);
    for (std::size_t length = 0; length < small.size(); ++length) {
        std::string cut = small.substr(0, length);
        MailboxVerdict check = check_bytes(cut);
        EXPECT_FALSE(check.whole) << length;
        EXPECT_EQ(check.offset, length < 84 ? length : 16) << length << check.problem;
        // With the size field telling the truth the records give it away.
        if (length < 84)
            continue;
        check = check_bytes(with_true_size(cut));
        std::size_t expected = length; // cut in a record header: at the end
        for (std::size_t r : {std::size_t{84}, second_at})
            if (length >= r + 16 && length <= r + 16 + (r == 84 ? first_text : second_text).size())
                expected = r + 12; // the text runs past the end
        EXPECT_FALSE(check.whole) << length;
        EXPECT_EQ(check.offset, expected) << length << ": " << check.problem;
    }
}

TEST(MailboxVerdict, EveryByteChanged)
{
    for (std::size_t at = 0; at < small.size(); ++at)
        for (unsigned char value : {0x00, 0x7F, 0xFF}) {
            std::string changed = small;
            if (static_cast<unsigned char>(changed[at]) == value)
                continue;
            changed[at] = static_cast<char>(value);
            bool in_text = (at >= 100 && at < 100 + first_text.size()) ||
                           (at >= second_at + 16 && at < second_at + 16 + second_text.size());
            MailboxVerdict check = check_bytes(changed);
            if (in_text && value != 0) {
                EXPECT_TRUE(check.whole) << at; // a text may hold any other byte
                continue;
            }
            EXPECT_FALSE(check.whole) << at << " " << int(value);
            EXPECT_EQ(check.offset, fault_offset(at))
                << at << " " << int(value) << ": " << check.problem;
        }
}

// Size fields that point past the end or wrap in 32 bits, and counts that
// promise more records than the file holds.
TEST(MailboxVerdict, LyingSizeFields)
{
    struct Row {
        const char* what;
        std::size_t field;
        std::uint32_t value;
        std::size_t second_field; // 0: none
        std::uint32_t second_value;
        std::size_t offset;
    };
    const Row rows[] = {
        {"text size alone changed", 84 + 12, 0xFFFFFFFF, 0, 0, 84 + 8},
        {"record size alone changed", 84 + 8, 16, 0, 0, 84 + 8},
        {"text size + 17 wraps to the record size", 84 + 12, 0xFFFFFFFF, 84 + 8, 16, 84 + 8},
        {"both past the end", 84 + 12, 0xFFFFFFF0 - 17, 84 + 8, 0xFFFFFFF0, 84 + 12},
        {"both past the end, second record", second_at + 12, 0x7FFFFFFF, second_at + 8,
         0x7FFFFFFF + 17u, second_at + 12},
        {"file size says 4 GiB", 16, 0xFFFFFFFF, 0, 0, 16},
        {"count far too high", 8, 0xFFFFFFFF, 0, 0, 8},
        {"both counts one too high", 8, 3, 12, 3, small.size()},
    };
    for (const Row& row : rows) {
        std::string bytes = small;
        put_u32(bytes, row.field, row.value);
        if (row.second_field)
            put_u32(bytes, row.second_field, row.second_value);
        MailboxVerdict check = check_bytes(bytes);
        EXPECT_FALSE(check.whole) << row.what;
        EXPECT_EQ(check.offset, row.offset) << row.what << ": " << check.problem;
    }
    EXPECT_EQ(check_bytes(with_true_size(small + "x")).offset, small.size());
}

// The dates of the "Date: " and "Received: ; " lines, with VAX days that are
// no calendar dates carried over as the converter's weekday already is.
TEST(SendingDate, CarriedIntoTheCalendar)
{
    struct Row {
        const char* value;
        const char* header; // nullptr: not a date
        const char* separator;
    };
    const Row rows[] = {
        {"Mon, 4 Mar 1996 13:58:04 +0000", "Mon, 4 Mar 1996 13:58:04 +0000",
         "Mon Mar  4 13:58:04 1996"},
        {"Tue, 17 Sep 1996 07:05:23 +0100", "Tue, 17 Sep 1996 07:05:23 +0100",
         "Tue Sep 17 07:05:23 1996"},
        {"Sun, 39 Feb 1996 10:00:00 +0000", "Sun, 10 Mar 1996 10:00:00 +0000",
         "Sun Mar 10 10:00:00 1996"},
        {"Thu, 0 Mar 1996 10:00:00 +0000", "Thu, 29 Feb 1996 10:00:00 +0000",
         "Thu Feb 29 10:00:00 1996"},
        {"Wed, 31 Apr 1996 10:00:00 +0000", "Wed, 1 May 1996 10:00:00 +0000",
         "Wed May  1 10:00:00 1996"},
        {"Sat, 39 Dec 1999 23:59:59 -0500", "Sat, 8 Jan 2000 23:59:59 -0500",
         "Sat Jan  8 23:59:59 2000"},
        {"Unknown, 1 Jan 2100 00:00:00 +0000", "Fri, 1 Jan 2100 00:00:00 +0000",
         "Fri Jan  1 00:00:00 2100"},
        {"4 Mar 1996 13:58:04 +0000", "Mon, 4 Mar 1996 13:58:04 +0000", "Mon Mar  4 13:58:04 1996"},
        {"Mon, 4 Mrz 1996 13:58:04 +0000", nullptr, nullptr},
        {"Mon, 4 Mar 96 13:58:04 +0000", nullptr, nullptr},
        {"Mon, 4 Mar 1996 13:58:04", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const Row& row : rows) {
        auto date = parse_sending_date(row.value);
        ASSERT_EQ(date.has_value(), row.header != nullptr) << row.value;
        if (!date)
            continue;
        EXPECT_EQ(header_date(*date), row.header);
        EXPECT_EQ(separator_date(*date), row.separator);
    }
    // Every day the VAX lets through lands on the weekday the converter gave it.
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int year : {1978, 1996, 2000, 2038})
        for (int month = 1; month <= 12; ++month)
            for (int day = 0; day <= 39; ++day) {
                std::string value = std::to_string(day) + " " + months[month - 1] + " " +
                                    std::to_string(year) + " 12:00:00 +0000";
                auto date = parse_sending_date(value);
                ASSERT_TRUE(date) << value;
                EXPECT_EQ(date->weekday, static_cast<unsigned>(weekday_number(year, month, day)))
                    << value;
            }
}

// An export's names are given only where nothing has them: neither a file
// nor a directory, even an empty one (which rename would replace), is ever
// replaced.
TEST(ExportNames, RenameNeverReplacesAndDirectoriesAreMadeNew)
{
    TempDir dir;
    ASSERT_EQ(io_make_directory(dir.file("full").c_str()), 0);
    write_file(dir.file("full/x"), "x");
    ASSERT_EQ(io_make_directory(dir.file("empty").c_str()), 0);
    EXPECT_EQ(io_make_directory(dir.file("empty").c_str()), 1);
    write_file(dir.file("F"), "f");
    write_file(dir.file("G"), "g");
    const struct {
        const char* from;
        const char* to;
    } taken[] = {{"full", "empty"}, {"full", "F"}, {"F", "G"}, {"F", "empty"}, {"empty", "full"}};
    for (const auto& t : taken) {
        errno = 0;
        EXPECT_EQ(io_rename_new(dir.file(t.from).c_str(), dir.file(t.to).c_str()), 1) << t.to;
        EXPECT_EQ(errno, EEXIST) << t.from << " -> " << t.to;
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"F", "G", "empty", "full"}));
    EXPECT_EQ(read_file(dir.file("full/x")), "x");
    EXPECT_EQ(read_file(dir.file("G")), "g");
    EXPECT_EQ(io_rename_new(dir.file("full").c_str(), dir.file("new").c_str()), 0);
    EXPECT_EQ(io_rename_new(dir.file("F").c_str(), dir.file("new/F").c_str()), 0);
    EXPECT_EQ(io_remove_directory(dir.file("empty").c_str()), 0);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"G", "new"}));
    EXPECT_EQ(TempDir::entries_of(dir.file("new")), (std::vector<std::string>{"F", "x"}));
}

} // namespace
