// kestrel-mbx's reading of mailbox files: the check of every invariant with
// the offset of the first fault, on cut, changed and lying files; the
// sending dates carried into the calendar; and what an exported message is
// made of: addresses from the VMS forms, character sets, Date headers,
// Message-IDs, the text's lines; and the names of an export, which never
// replace anything.
#include "convert/file_io.hpp"
#include "convert/vax_date.hpp"
#include "mbx/charset.hpp"
#include "mbx/header_date.hpp"
#include "mbx/mailbox_reader.hpp"
#include "mbx/mbox_export.hpp"
#include "mbx/message_head.hpp"
#include "mbx/message_id.hpp"
#include "mbx/text_copy.hpp"
#include "mbx/vms_address.hpp"
#include "tests/support/test_files.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <unistd.h>

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
// Records that cross the ends of the reading blocks, one larger than a
// block, then many of random sizes, which the blocks read beside the work
// bring with every length of the end of the block before: each checked
// record is whole in the block after hold_record where it fits in one (so
// an export reads it from the file once), its bytes are right, and the
// walk ends at the file's end.
TEST(MailboxVerdict, RecordsHeldAcrossBlockEnds)
{
    std::vector<std::size_t> sizes = {mailbox_block_size / 3,  mailbox_block_size / 2, 5,
                                      mailbox_block_size - 40, mailbox_block_size + 7, 900};
    std::mt19937 random(7);
    while (sizes.size() < 200)
        sizes.push_back(
            std::uniform_int_distribution<std::size_t>(1, mailbox_block_size / 8)(random));
    std::vector<std::string> texts;
    for (std::size_t size : sizes) {
        std::string text(size, 'x');
        for (std::size_t i = 0; i < size; ++i)
            text[i] = static_cast<char>('a' + (i * 7 + texts.size()) % 26);
        texts.push_back(text);
    }
    std::string bytes = mailbox(texts);
    TempDir dir;
    write_file(dir.file("M.MBX"), bytes);
    MailboxReader reader;
    ASSERT_EQ(open_mailbox(reader, dir.file("M.MBX").c_str()), 0);
    ASSERT_TRUE(check_mailbox_header(reader).whole);
    std::uint64_t at = mailbox_header_size;
    for (std::uint32_t n = 1; n <= texts.size(); ++n) {
        const std::string& text = texts[n - 1];
        const std::uint64_t end = at + record_header_size + text.size() + 1;
        hold_record(reader, at);
        if (end - at <= mailbox_block_size) {
            EXPECT_LE(reader.block_start, at) << n;
            EXPECT_GE(reader.block_start + reader.block_length, end) << n;
        }
        std::uint64_t next = at;
        ASSERT_TRUE(check_mailbox_record(reader, n, next).whole) << n;
        EXPECT_EQ(next, end) << n;
        std::string read(text.size(), '\0');
        ASSERT_TRUE(mailbox_read(reader, at + record_header_size,
                                 reinterpret_cast<unsigned char*>(read.data()), read.size()));
        EXPECT_TRUE(read == text) << n;
        at = next;
    }
    EXPECT_TRUE(check_mailbox_end(reader, at).whole);
    EXPECT_FALSE(check_mailbox_end(reader, at - 1).whole);
    close_mailbox(reader);
}

// A mailbox cut short after it was opened and checked (as another program
// can while an export reads it): the read fails with the reason and where
// the file now ends, never as a read error without one, nor at the offset
// of the file's old end.
TEST(MailboxVerdict, FileCutShortWhileRead)
{
    const std::string big(300000, 'x'); // the second record lies in a later block
    const std::string bytes = mailbox({big, second_text});
    const std::uint64_t second = 84 + 17 + big.size();
    const struct {
        std::uint64_t cut, offset;
        std::uint32_t record;
    } cases[] = {{second, second, 2}, {second - 1000, second - 1000, 1}};
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.file("M.MBX"), bytes);
        MailboxReader reader;
        ASSERT_EQ(open_mailbox(reader, dir.file("M.MBX").c_str()), 0);
        ASSERT_TRUE(check_mailbox_header(reader).whole);
        std::filesystem::resize_file(dir.file("M.MBX"), c.cut);
        std::uint64_t at = 84;
        MailboxVerdict check;
        for (std::uint32_t n = 1; n <= 2 && (n == 1 || check.whole); ++n)
            check = check_mailbox_record(reader, n, at);
        close_mailbox(reader);
        EXPECT_FALSE(check.whole);
        EXPECT_EQ(check.offset, c.offset);
        EXPECT_EQ(check.problem, "record " + std::to_string(c.record) +
                                     ": read failed: the file became shorter while it was read: "
                                     "it now ends at byte " +
                                     std::to_string(c.cut));
    }
    // Cut behind a block already read beside the work: the reason tells
    // the file's end, not the end of the bytes read before the cut.
    TempDir dir;
    write_file(dir.file("M.MBX"), mailbox(std::vector<std::string>(10, std::string(100000, 'y'))));
    MailboxReader reader;
    ASSERT_EQ(open_mailbox(reader, dir.file("M.MBX").c_str()), 0);
    std::uint64_t at = 84;
    MailboxVerdict check = check_mailbox_header(reader);
    std::uint32_t n = 1;
    for (; n <= 4 && check.whole; ++n)
        check = check_mailbox_record(reader, n, at);
    ASSERT_TRUE(check.whole && reader.ahead);
    finish_job(reader.ahead->job);
    const std::uint64_t cut = 2 * mailbox_block_size + 1000;
    std::filesystem::resize_file(dir.file("M.MBX"), cut);
    for (; n <= 10 && check.whole; ++n)
        check = check_mailbox_record(reader, n, at);
    close_mailbox(reader);
    EXPECT_FALSE(check.whole);
    EXPECT_NE(check.problem.find("became shorter while it was read: it now ends at byte " +
                                 std::to_string(cut)),
              std::string::npos)
        << check.problem;
}

// An mbox's blocks written beside the work arrive whole and in order,
// however the text is cut into puts; a write that fails there is told,
// with the system's reason, by the next put or flush, and nothing more is
// written after it. A read beside the work stops at the end of the file.
TEST(BackgroundIo, WritesInOrderFailuresToldReadsToTheEnd)
{
    TempDir dir;
    std::mt19937 random(11);
    std::string bytes(3 * output_block_size + 12345, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    const std::string path = dir.file("OUT");
    ExportOutput out;
    out.block.resize(output_block_size);
    out.fd = io_create_new(path.c_str());
    ASSERT_GE(out.fd, 0);
    output_write_behind(out);
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t n = std::min<std::size_t>(bytes.size() - at, random() % 70000);
        output_put(out, bytes.data() + at, n);
        at += n;
    }
    EXPECT_EQ(output_flush(out), 0);
    EXPECT_EQ(io_close(out.fd), 0);
    EXPECT_TRUE(read_file(path) == bytes);

    BackgroundJob read;
    read.fd = io_open_read(path.c_str());
    ASSERT_GE(read.fd, 0);
    std::string tail(100, '\0');
    read.data = reinterpret_cast<unsigned char*>(tail.data());
    read.size = tail.size();
    read.offset = bytes.size() - 10;
    start_job(read);
    finish_job(read);
    EXPECT_EQ(read.done, 10u);
    EXPECT_EQ(tail.substr(0, 10), bytes.substr(bytes.size() - 10));
    io_close_discarded(read.fd);

    ExportOutput full;
    full.block.resize(output_block_size);
    full.fd = ::open("/dev/full", O_WRONLY);
    if (full.fd < 0)
        GTEST_SKIP() << "no /dev/full";
    output_write_behind(full);
    output_put(full, bytes.data(), bytes.size());
    EXPECT_EQ(full.error, ENOSPC);
    EXPECT_EQ(full.reason, "No space left on device");
    EXPECT_EQ(output_flush(full), ENOSPC);
    output_settle(full);
    ::close(full.fd);
}

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
        // A time or zone as long as the line allows goes out as written; the
        // date's text is made in a buffer, these fill it and more.
        {"Mon, 4 Mar 1996 13:58:04.00000000000000000000000000000000 +0000",
         "Mon, 4 Mar 1996 13:58:04.00000000000000000000000000000000 +0000",
         "Mon Mar  4 13:58:04.00000000000000000000000000000000 1996"},
        {"Mon, 4 Mar 1996 13:58:04.000000000000000000000000000000000 +0000",
         "Mon, 4 Mar 1996 13:58:04.000000000000000000000000000000000 +0000",
         "Mon Mar  4 13:58:04.000000000000000000000000000000000 1996"},
        {"Mon, 4 Mar 1996 13:58:04.0000000000000000000000000000000000 +0000",
         "Mon, 4 Mar 1996 13:58:04.0000000000000000000000000000000000 +0000",
         "Mon Mar  4 13:58:04.0000000000000000000000000000000000 1996"},
        {"Mon, 4 Mar 1996 13:58:04 +0000000000000000000000000000000000000000000000000",
         "Mon, 4 Mar 1996 13:58:04 +0000000000000000000000000000000000000000000000000",
         "Mon Mar  4 13:58:04 1996"},
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

// Every form of sender and recipient that VMS MAIL and its gateways write,
// as the header value a client reads: the example forms of the gateways'
// manuals (PMDF, MX, the TCP/IP Services' SMTP, the Message Router and
// ALL-IN-1, DECnet, UUCP), read where they were written.
TEST(VmsAddress, EveryFormGivesAReplyableAddress)
{
    struct Row {
        const char* value;
        const char* domain;
        const char* header;
        const char* node = "";      // of users named without one
        const char* user_node = ""; // the user's own
    };
    const Row rows[] = {
        {"\tNODE1::SMITH", "", "SMITH@NODE1"},
        {"\tNODE1::SMITH", "example.org", "SMITH@NODE1.example.org"},
        {"\tHUB::NODE2::JONES", "", "JONES@NODE2"},
        {"\tNODE1::SMITH      \"Al Smith\"", "", "\"Al Smith\" <SMITH@NODE1>"},
        {"\tNODE1::SMITH \"Say \"\"hi\"\"\"", "", "\"Say \\\"hi\\\"\" <SMITH@NODE1>"},
        {"\tNODE1::SMITH \"Kim (B2, 4711)\"", "", "\"Kim (B2, 4711)\" <SMITH@NODE1>"},
        {"\tIN%\"kim@host.example.edu\"", "", "kim@host.example.edu"},
        {"\tMX%\"kim@host.example.edu\"  \"Kim Lee\"", "x.org",
         "\"Kim Lee\" <kim@host.example.edu>"},
        {"\tSMTP%\"Kim@Host.Example\"", "", "Kim@Host.Example"},
        {"\tGATE::IN%\"a%b.example@relay.example\"", "", "a%b.example@relay.example"},
        {"\tGATE::\"kim@host.example.edu\" \" \"", "", "kim@host.example.edu"},
        {"\tGW1::GW1::MRGATE::\"SMTP::HOST.EXAMPLE.EDU::KIM\"", "", "KIM@HOST.EXAMPLE.EDU"},
        {"\tGW2::MRGATE!a%b.example@c.example@SMTP", "", "a%b.example@c.example"},
        // Behind the Message Router: ALL-IN-1's A1::JONES stays behind the
        // gateway, unless its node is the user's own.
        {"\tMRGATE::\"NODE3::LEE\"", "", "\"MRGATE::\\\"NODE3::LEE\\\"\"@localhost"},
        {"\tDELTA::MRGATE::\"A1::JONES\"", "", "\"MRGATE::\\\"A1::JONES\\\"\"@DELTA"},
        {"\tDELTA::MRGATE::\"A1::JONES\" \"Jim\"", "d.org",
         "\"Jim\" <\"MRGATE::\\\"A1::JONES\\\"\"@DELTA.d.org>"},
        {"\tMRGATE::\"A1::JONES\"", "", "\"MRGATE::\\\"A1::JONES\\\"\"@GW", "GW", "A2"},
        {"\tMRGATE::\"ARISIA::EVERHART\"", "", "EVERHART@ARISIA", "GW", "arisia"},
        {"\tCSBVAX::MRGATE::\"SMTP::PFC.EXAMPLE::MRL\"", "", "MRL@PFC.EXAMPLE"},
        // UUCP: the user at the last host that is a domain name; a path of
        // UUCP names alone through the gateway that passed it on, else as
        // RFC 976 reads it.
        {"\tUUGATE::\"uunet!host.example!kim\"", "", "kim@host.example"},
        {"\tUUGATE::\"uunet!host.example!lab!kim\"", "", "lab!kim@host.example"},
        {"\tUUGATE::\"decvax!ucbvax!kim\"", "example.org", "decvax!ucbvax!kim@UUGATE.example.org"},
        {"\tUUCP%\"decvax!ucbvax!kim\"", "", "ucbvax!kim@decvax.UUCP"},
        {"\t<mcnc!rutgers.edu!pfc-vax.mit.edu!MRL>", "", "MRL@pfc-vax.mit.edu"},
        {"\tuunet!rutgers.edu!Postmaster (Mail Delivery Subsystem)", "",
         "\"Mail Delivery Subsystem\" <Postmaster@rutgers.edu>"},
        // PMDF and MX: RFC 822 inside the quotes, a quote doubled or, in
        // PMDF's, written as "'"; comments, source routes, several at once.
        {"\tIN%\"kim@host.example (Kim Lee)\"", "", "\"Kim Lee\" <kim@host.example>"},
        {"\tIN%\"\"\"Kim Lee\"\" <kim@host.example>\"", "", "\"Kim Lee\" <kim@host.example>"},
        {"\tIN%\"'Kim Lee' <kim@host.example>\"", "", "\"Kim Lee\" <kim@host.example>"},
        {"\tIN%\"'k lee'@host.example\"", "", "\"k lee\"@host.example"},
        {"\tIN%\"o'brien@host.example\"", "", "o'brien@host.example"},
        {"\tIN%\"a@b.example, Kim <c@d.example>\"", "", "a@b.example, \"Kim\" <c@d.example>"},
        {"\tIN%\"JONES at CUNYVM.BITNET\"", "", "JONES@CUNYVM.BITNET"},
        {"\tIN%\"@AAMRL.EXAMPLE:TNIELAND@FALCON\"", "", "TNIELAND@FALCON"},
        {"\tMX%\"@relay.example,@r2.example:kim@host.example\"", "", "kim@host.example"},
        {"\tMX%\"<@relay.example:kim@host.example>\"  \"Kim\"", "", "\"Kim\" <kim@host.example>"},
        // The TCP/IP Services' SMTP: a cent sign for a quote.
        {"\tSMTP%\"\xC2\xA2Kim Lee\xC2\xA2 <kim@host.example>\"", "",
         "\"Kim Lee\" <kim@host.example>"},
        {"\tSMTP%\"\xC2\xA2k lee\xC2\xA2@host.example\"", "", "\"k lee\"@host.example"},
        // Forms broken in the middle stay text, whole.
        {"\tUUCP%\"!a!b\"", "", "\"UUCP%\\\"!a!b\\\"\"@localhost"},
        {"\tIN%\"a@b.example (Kim\"", "", "\"IN%\\\"a@b.example (Kim\\\"\"@localhost"},
        {"\tIN%\"a@b.example, some text\"", "", "\"IN%\\\"a@b.example, some text\\\"\"@H", "H"},
        {"\tMX%\"@relay.example\"", "", "\"MX%\\\"@relay.example\\\"\"@localhost"},
        // Users without a node are users of the node the line was written on.
        {"\tJONES", "d.org", "JONES@NODE1.d.org", "NODE1"},
        {"\tROGER_W,@STAFF", "", "ROGER_W@N, \"@STAFF\"@N", "N"},
        {"\tkim%lab%relay.example@gw.example", "", "kim%lab%relay.example@gw.example"},
        {"\tKIM <KIM@HOST>, LEE <lee%lab@relay.example>, ", "",
         "\"KIM\" <KIM@HOST>, \"LEE\" <lee%lab@relay.example>"},
        {"\tJONES", "", "JONES@localhost"},
        {"\tA,B,NODE1::C", "", "A@localhost, B@localhost, C@NODE1"},
        {"\tNODE1::A, NODE2::B, C", "d.org", "A@NODE1.d.org, B@NODE2.d.org, C@localhost"},
        {"\tROGER_W,@STAFF", "", "ROGER_W@localhost, \"@STAFF\"@localhost"},
        {"\tvarious...", "", "\"various...\"@localhost"},
        {"\tNODE1::\"odd \\ \"\"text\"\"\"", "", "\"odd \\\\ \\\"text\\\"\"@NODE1"},
        {"\t\"Gr\xC3\xBC\xC3\x9F"
         "e\"",
         "", "=?utf-8?b?Ikdyw7zDn2Ui?= <unknown@localhost>"},
        {"\tNODE1::SMITH \"J\xC3\xBCrgen\"", "", "=?utf-8?b?SsO8cmdlbg==?= <SMITH@NODE1>"},
        // A name a gateway passed on as encoded words stays encoded words.
        {"\tMX%\"j@x.example\" \"=?ISO-8859-1?Q?J=FCrgen?= M\"", "",
         "=?ISO-8859-1?Q?J=FCrgen?= M <j@x.example>"},
        {"\tNODE1::SMITH \"=?x?Q?a b?=\"", "", "\"=?x?Q?a b?=\" <SMITH@NODE1>"},
        {"\t", "", ""},
        {"", "", ""},
    };
    for (const Row& row : rows) {
        auto addresses = vms_addresses(row.value, row.domain, row.node, row.user_node);
        EXPECT_EQ(address_list_text(addresses), row.header) << row.value;
        for (const auto& a : addresses)
            EXPECT_TRUE(is_addr_spec(a.addr_spec)) << row.value << ": " << a.addr_spec;
    }
    // The node that wrote a message's To and CC lines, from its From line.
    const std::pair<const char*, const char*> senders[] = {
        {"\tNODE2::JONES \"Al Jones\"", "NODE2"},
        {"\tHUB::NODE2::JONES", "NODE2"},
        {"\tGW::\"kim@host.example\" \" \"", "GW"},
        {"\tHENRY::IN%\"a@b.example\"", "HENRY"},
        {"\tCRDGW2::CRDGW2::MRGATE::\"SMTP::X.EXAMPLE::Y\"", "CRDGW2"},
        {"\tMRGATE::\"A1::JONES\"", ""},
        {"\tIN%\"a@b.example\"", ""},
        {"\tSMITH", ""}};
    for (const auto& [from, node] : senders)
        EXPECT_EQ(sender_node(from), node) << from;
    // A long list is folded between addresses.
    std::string many = "\t";
    for (int i = 0; i < 20; ++i)
        many += "NODE" + std::to_string(i) + "::USER" + std::to_string(i) + ", ";
    std::string folded = address_list_text(vms_addresses(many, ""));
    EXPECT_NE(folded.find(",\n USER"), std::string::npos);
    std::size_t longest = 0, start = 0;
    for (std::size_t lf = folded.find('\n'); start != std::string::npos;
         start = lf == std::string::npos ? lf : lf + 1, lf = folded.find('\n', start))
        longest = std::max(longest, (lf == std::string::npos ? folded.size() : lf) - start);
    EXPECT_LE(longest, 78u);
    // A list's elements end at its commas but for those inside quotes; a
    // quote without its end is one more character.
    const std::pair<const char*, std::vector<std::string_view>> lists[] = {
        {"\tA, \"x,y\" B ,,C,", {"A", "\"x,y\" B", "C"}},
        {"A\"B,C", {"A\"B", "C"}},
        {"\"a\"\",\"\"b\",\"c", {"\"a\"\",\"\"b\"", "\"c"}},
        {" , ", {}},
    };
    std::vector<std::string_view> elements;
    for (const auto& [value, expected] : lists) {
        list_elements(value, elements);
        EXPECT_EQ(elements, expected) << value;
    }
}

// The VAX's own character set, position by position: Latin-1 but for five,
// and the positions it leaves undefined keep their Latin-1 meaning.
TEST(Charset, DecMultinationalEveryPosition)
{
    for (unsigned b = 0; b < 256; ++b) {
        char32_t expected = b;
        switch (b) {
        case 0xA8:
            expected = 0x00A4;
            break;
        case 0xD7:
            expected = 0x0152;
            break;
        case 0xDD:
            expected = 0x0178;
            break;
        case 0xF7:
            expected = 0x0153;
            break;
        case 0xFD:
            expected = 0x00FF;
            break;
        }
        EXPECT_EQ(single_byte_code_point(Charset::dec_mcs, static_cast<unsigned char>(b)), expected)
            << std::hex << b;
        EXPECT_EQ(single_byte_code_point(Charset::latin1, static_cast<unsigned char>(b)),
                  char32_t(b));
    }
    EXPECT_TRUE(charset_named("dec-mcs") && charset_named("utf-8") && charset_named("cp850"));
    EXPECT_FALSE(charset_named("koi8") || charset_named("UTF-8") || charset_named(""));
}

// Which texts are ASCII, which valid UTF-8, however they are cut into
// pieces; and how broken UTF-8 is mended when the user names it.
TEST(Charset, ScanAndDecode)
{
    struct Row {
        std::string text;
        bool ascii, utf8;
    };
    const Row rows[] = {
        {"plain text\r\n", true, true},
        {std::string(200, 'x') + "\xC3\xA9", false, true},
        {"Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80",
         false, true},
        {"Gr\xFC\xDF"
         "e",
         false, false},                     // Latin-1
        {"\xC0\xAF", false, false},         // overlong
        {"\xE0\x80\xAF", false, false},     // overlong
        {"\xED\xA0\x80", false, false},     // a surrogate
        {"\xF4\x90\x80\x80", false, false}, // past U+10FFFF
        {"\xE2\x82", false, false},         // cut off at the end
        {"\xE2\x82x", false, false},
        {"\x80", false, false},
    };
    for (const Row& row : rows)
        for (std::size_t cut = 0; cut <= row.text.size(); ++cut) {
            TextScan scan;
            auto bytes = reinterpret_cast<const unsigned char*>(row.text.data());
            scan_text(scan, bytes, cut);
            scan_text(scan, bytes + cut, row.text.size() - cut);
            end_scan(scan);
            EXPECT_EQ(scan.ascii, row.ascii) << row.text << " cut at " << cut;
            EXPECT_EQ(scan.utf8, row.utf8) << row.text << " cut at " << cut;
        }
    TextScan latin1;
    scan_text(latin1, reinterpret_cast<const unsigned char*>("K\xF6ln \xA8\xD7"), 7);
    end_scan(latin1);
    EXPECT_EQ(decoded(decoding_for(latin1, Charset::dec_mcs), "K\xF6ln \xA8\xD7"),
              "K\xC3\xB6ln \xC2\xA4\xC5\x92");
    EXPECT_EQ(decoded(decoding_for(latin1, Charset::latin1), "\xA8\xD7"), "\xC2\xA8\xC3\x97");
    EXPECT_EQ(decoded(decoding_for(latin1, Charset::cp437), "\x81"), "\xC3\xBC");
    // Named UTF-8: good sequences pass, each broken one is one U+FFFD, even
    // when a sequence is split between two pieces.
    const std::string mixed = "a\xC3\xA9"
                              "b\xE2\x82"
                              "c\xFF"
                              "d\xF0\x9F\x98\x80";
    const std::string mended = "a\xC3\xA9"
                               "b\xEF\xBF\xBD"
                               "c\xEF\xBF\xBD"
                               "d\xF0\x9F\x98\x80";
    for (std::size_t cut = 0; cut <= mixed.size(); ++cut) {
        TextDecoding d = decoding_for(latin1, Charset::utf8);
        std::string out;
        auto bytes = reinterpret_cast<const unsigned char*>(mixed.data());
        decode_text(d, bytes, cut, out);
        decode_text(d, bytes + cut, mixed.size() - cut, out);
        end_decoding(d, out);
        EXPECT_EQ(out, mended) << "cut at " << cut;
    }
    TextScan ascii;
    EXPECT_EQ(decoded(decoding_for(ascii, Charset::cp850), "\x81"), "\x81") << "not decoded";
}

TEST(Charset, EncodedWords)
{
    EXPECT_EQ(encoded_words("plain"), "plain");
    EXPECT_EQ(encoded_words("Gr\xC3\xBC\xC3\x9F"
                            "e"),
              "=?utf-8?b?R3LDvMOfZQ==?=");
    // A long text: words of at most 75 characters, on lines of their own,
    // each the UTF-8 of whole characters, together the text.
    auto base64_decoded = [](const std::string& digits) {
        const std::string alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string bytes;
        std::uint32_t group = 0;
        int bits = 0;
        for (char c : digits) {
            if (c == '=')
                break;
            group = (group << 6) | static_cast<std::uint32_t>(alphabet.find(c));
            if ((bits += 6) >= 8) {
                bits -= 8;
                bytes += static_cast<char>((group >> bits) & 0xFF);
            }
        }
        return bytes;
    };
    std::string text = "x";
    for (int i = 0; i < 40; ++i)
        text += "\xE2\x82\xAC\xC3\xA9";
    std::string words = encoded_words(text), joined;
    std::size_t start = 0, count = 0;
    while (start < words.size()) {
        std::size_t end = words.find("\n ", start);
        std::string word = words.substr(start, end - start);
        EXPECT_LE(word.size(), 75u);
        ASSERT_EQ(word.substr(0, 10), "=?utf-8?b?");
        ASSERT_EQ(word.substr(word.size() - 2), "?=");
        std::string bytes = base64_decoded(word.substr(10, word.size() - 12));
        TextScan scan;
        scan_text(scan, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        end_scan(scan);
        EXPECT_TRUE(scan.utf8) << word;
        joined += bytes;
        start = end == std::string::npos ? end : end + 2;
        ++count;
    }
    EXPECT_EQ(joined, text);
    EXPECT_GT(count, 3u);
}

// The Date header made from the converter's date text: carried days, times
// the VAX never checked, zones that are no offset.
TEST(HeaderDate, ParsesWhateverTheVaxWrote)
{
    struct Row {
        const char* converter;
        const char* header;
        bool changed;
    };
    const Row rows[] = {
        {"Mon, 4 Mar 1996 13:58:04 +0000", "Mon, 4 Mar 1996 13:58:04 +0000", false},
        {"Sun, 39 Feb 1996 10:00:00 +0100", "Sun, 10 Mar 1996 10:00:00 +0100", true},
        {"Unknown, 1 Jan 2100 00:00:00 +0000", "Fri, 1 Jan 2100 00:00:00 +0000", true},
        {"Tue, 17 Sep 1996 25:61:99 +0000", "Tue, 17 Sep 1996 00:00:00 +0000", true},
        {"Tue, 17 Sep 1996 23:59:60 -0500", "Tue, 17 Sep 1996 00:00:00 -0500", true},
        {"Tue, 17 Sep 1996 23:59:59 -0500", "Tue, 17 Sep 1996 23:59:59 -0500", false},
        {"Tue, 17 Sep 1996         +0000", "Tue, 17 Sep 1996 00:00:00 +0000", true},
        {"Tue, 17 Sep 1996 xx:yy:zz +0000", "Tue, 17 Sep 1996 00:00:00 +0000", true},
        {"Tue, 17 Sep 1996 24:00:00 +0000", "Tue, 17 Sep 1996 00:00:00 +0000", true},
        {"Tue, 17 Sep 1996 1:2:3 +0000", "Tue, 17 Sep 1996 00:00:00 +0000", true},
        {"Tue, 17 Sep 1996 07:05:23 EST", "Tue, 17 Sep 1996 07:05:23 -0000", true},
        {"Tue, 17 Sep 1996 07:05:23 +2400", "Tue, 17 Sep 1996 07:05:23 -0000", true},
        {"Tue, 17 Sep 1996 07:05:23 +0160", "Tue, 17 Sep 1996 07:05:23 -0000", true},
        {"Tue, 17 Sep 1996 07:05:23 +01000", "Tue, 17 Sep 1996 07:05:23 -0000", true},
        {"Tue, 17 Sep 1996 07:05:23 ", "Tue, 17 Sep 1996 07:05:23 -0000", true},
        {"Tue, 17 Sep 1996 07:05:23 +0100 GMT", "Tue, 17 Sep 1996 07:05:23 -0000", true},
        {"Tue, 17 Sep 1996 07:05:23 -0930", "Tue, 17 Sep 1996 07:05:23 -0930", false},
        {"", "Thu, 1 Jan 1970 00:00:00 -0000", true},
        {"Tue, 17 Mrz 1996 07:05:23 +0100", "Thu, 1 Jan 1970 00:00:00 -0000", true},
    };
    for (const Row& row : rows) {
        HeaderDate made = header_date_of(row.converter);
        EXPECT_EQ(made.text, row.header) << row.converter;
        EXPECT_EQ(made.changed, row.changed) << row.converter;
    }
}

// The head's last line counts also when the text ends without its line end.
TEST(MessageHead, LastLineWithoutLineEnd)
{
    for (std::string text :
         {"From:\tA::B", "From:\tA::B\r\nReceived: ; Mon, 4 Mar 1996 13:58:04 +0000\r"}) {
        TempDir dir;
        write_file(dir.file("M.MBX"), mailbox({text}));
        MailboxReader reader;
        ASSERT_EQ(open_mailbox(reader, dir.file("M.MBX").c_str()), 0);
        MessageHead head;
        ASSERT_TRUE(read_message_head(reader, 100, static_cast<std::uint32_t>(text.size()), head));
        close_mailbox(reader);
        EXPECT_EQ(head.sender, "A::B") << text;
        EXPECT_EQ(head.received.found, text.size() > 11) << text;
        if (head.received.found) {
            EXPECT_EQ(head.received.value, "Mon, 4 Mar 1996 13:58:04 +0000");
        }
        EXPECT_EQ(head.head_end, 100 + text.size());
    }
}

// The made Message-ID: the same for the same text however it is fed, another
// for another text, and a valid id, also when made into a kept buffer.
TEST(MessageId, MadeFromTheText)
{
    auto id_of = [](const std::string& text, std::size_t piece) {
        TextHash h;
        for (std::size_t at = 0; at < text.size(); at += piece)
            hash_text(h, reinterpret_cast<const unsigned char*>(text.data()) + at,
                      std::min(piece, text.size() - at));
        return made_message_id(h);
    };
    const std::string text = "From:\tA::B\r\nSubject: x\r\n\r\n" + std::string(100, 'y');
    const std::string id = id_of(text, text.size());
    EXPECT_TRUE(is_message_id(id)) << id;
    for (std::size_t piece : {1, 3, 7, 15, 16, 17, 64})
        EXPECT_EQ(id_of(text, piece), id) << piece;
    std::string other = text;
    other.back() = 'z';
    EXPECT_NE(id_of(other, 64), id);
    EXPECT_NE(id_of(text + '\0', 64), id) << "the length counts";
    EXPECT_NE(id_of("", 1), id_of(std::string(1, '\0'), 1));
    // The same pass tells an all-ASCII text, wherever an 8-bit byte stands.
    for (std::size_t at : {std::size_t{0}, std::size_t{15}, std::size_t{16}, text.size() - 1}) {
        std::string eight_bit = text;
        eight_bit[at] = '\x80';
        for (std::size_t piece : {5, 16, 200}) {
            TextHash h;
            for (std::size_t from = 0; from < text.size(); from += piece)
                hash_text(h, reinterpret_cast<const unsigned char*>(eight_bit.data()) + from,
                          std::min(piece, text.size() - from));
            EXPECT_FALSE(hashed_ascii(h)) << at << " " << piece;
        }
    }
    // The export makes each id into the buffer of the message before.
    std::string kept = id_of(other, 64);
    TextHash h;
    hash_text(h, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    make_message_id(h, kept);
    EXPECT_EQ(kept, id);
    EXPECT_TRUE(hashed_ascii(h));
    // The converter's date lines give way to the VAX's date and time, where
    // ever the pieces the text comes in begin and end.
    const std::string dated = "From:\tA::B\r\nDate: x\r\nReceived: ; y\r\nTo:\tC\r\n\r\nz";
    IdText skipped{1012, 1036, "4 Mar 1996 13:58:04"};
    const std::string stands_for = "From:\tA::B\r\n4 Mar 1996 13:58:04To:\tC\r\n\r\nz";
    // A byte outside ASCII in a line left out still counts for the ASCII check.
    std::string dated_8bit = dated;
    dated_8bit[18] = '\xE9';
    for (std::size_t piece : {1, 2, 5, 12, 13, 29, 36, 64}) {
        for (const std::string& given : {dated, dated_8bit}) {
            TextHash fed;
            for (std::size_t at = 0; at < given.size(); at += piece)
                hash_id_text(fed, skipped,
                             reinterpret_cast<const unsigned char*>(given.data()) + at, 1000 + at,
                             std::min(piece, given.size() - at));
            EXPECT_EQ(made_message_id(fed), id_of(stands_for, 64)) << piece;
            EXPECT_EQ(hashed_ascii(fed), given == dated) << piece;
        }
    }
}

// The text as each form writes it, made by the rules, not by the copy's
// way: in an mbox and a Maildir a CR LF becomes LF (a lone CR stays), in an
// mbox a line of any number of ">" followed by "From " gets one more ">",
// and a last line without its line end gets one.
std::string text_as_written(const std::string& text, ExportForm form)
{
    if (text.empty())
        return text;
    if (form == ExportForm::eml)
        return text.back() == '\n' ? text : text + "\r\n";
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t lf = text.find('\n', at);
        std::string line = text.substr(at, lf == std::string::npos ? lf : lf - at);
        if (lf != std::string::npos && !line.empty() && line.back() == '\r')
            line.pop_back();
        std::size_t word = std::min(line.find_first_not_of('>'), line.size());
        if (form == ExportForm::mbox && line.compare(word, 5, "From ") == 0)
            out += '>';
        out += line + '\n';
        at = lf == std::string::npos ? text.size() : lf + 1;
    }
    return out;
}

// The text's copy into the output block gives the same bytes however the
// text is cut into pieces and however small the block: a CR LF, a line
// start of ">"s and "From " and a long line may straddle two pieces or the
// block's end.
TEST(ExportText, SameLinesHoweverTheTextIsCut)
{
    TempDir dir;
    const std::string name = dir.file("out");
    const ExportForm forms[] = {ExportForm::mbox, ExportForm::maildir, ExportForm::eml};
    // Each piece is a string of its own, so that a look past its end finds
    // no text.
    auto written = [&name](const std::vector<std::string>& pieces, ExportForm form,
                           std::size_t block) {
        ExportOutput out;
        out.fd = io_create_new(name.c_str());
        out.block.resize(block);
        LineWriter w;
        w.form = form;
        w.line_start = form == ExportForm::mbox;
        for (const std::string& piece : pieces)
            write_string(out, w, piece);
        end_text(out, w);
        EXPECT_EQ(output_flush(out), 0);
        EXPECT_EQ(io_close(out.fd), 0);
        std::string bytes = read_file(name);
        EXPECT_EQ(io_remove(name.c_str()), 0);
        return bytes;
    };
    // Lines of every length around the copy's chunks, each followed by one
    // to quote or not, cut in two at every byte.
    std::string lines;
    const char* next[] = {">>From x\r\n", "From y\n", "Fro\r\n", "F\r\r\n", ">\r\n"};
    for (std::size_t length = 13; length < 36; ++length)
        lines += std::string(length, 'a') + "\r\n" + next[length % std::size(next)];
    for (ExportForm form : forms)
        for (std::size_t cut = 0; cut <= lines.size(); ++cut)
            for (std::size_t block : {16, 4096})
                EXPECT_EQ(written({lines.substr(0, cut), lines.substr(cut)}, form, block),
                          text_as_written(lines, form))
                    << "form " << static_cast<int>(form) << ", cut at " << cut << ", block "
                    << block;
    // Random texts rich in line ends, CRs and starts of "From " lines, in
    // pieces of random sizes, through blocks of 1 to 258 bytes.
    const std::string parts[] = {"\r\n",  "\r\n", "\n",  "\r",   ">",           ">>",
                                 "From ", "From", "Fro", "F",    " ",           "x\r",
                                 "word ", "\r\r", "\t",  "\xE9", ">>>>>>>>>>>>"};
    std::mt19937 random(21);
    auto below = [&random](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    for (int trial = 0; trial < 600; ++trial) {
        std::string text;
        for (std::size_t count = below(60); count > 0; --count)
            text += below(4) == 0 ? std::string(below(120), 'a' + static_cast<char>(below(26)))
                                  : parts[below(std::size(parts))];
        const std::size_t block = (std::size_t{1} << below(9)) + below(3);
        const std::size_t largest_piece = 1 + below(below(2) == 0 ? 8 : 300);
        std::vector<std::string> pieces;
        for (std::size_t at = 0; at < text.size(); at += pieces.back().size())
            pieces.push_back(text.substr(at, 1 + below(largest_piece)));
        for (ExportForm form : forms)
            EXPECT_EQ(written(pieces, form, block), text_as_written(text, form))
                << "form " << static_cast<int>(form) << ", block " << block << ", pieces up to "
                << largest_piece << ", text:\n"
                << text;
    }
}

// The message's own id, from the internet header block that opens its body.
TEST(MessageId, OwnFromTheBodysHeaderBlock)
{
    struct Row {
        const char* body;
        const char* id; // nullptr: none
    };
    const Row rows[] = {
        {"Received: by a.example\r\n\tfrom b\r\nMessage-Id: <1@a.example>\r\n\r\ntext",
         "<1@a.example>"},
        {"\r\nReturn-Path: <x@y>\r\nMESSAGE-ID:   <2.3@b.example>  \r\n\r\n", "<2.3@b.example>"},
        {"X-A: 1\r\nMessage-ID:\r\n <4@c.example>\r\n\r\n", "<4@c.example>"},
        {"Hello,\r\nMessage-ID: <5@d.example>\r\n", nullptr},
        {" indented\r\nMessage-ID: <5@d.example>\r\n", nullptr},
        {"Dear all: hello\r\nMessage-ID: <5@d.example>\r\n", nullptr},
        {"X-A: 1\r\n\r\nMessage-ID: <6@e.example>\r\n", nullptr},
        {"Message-ID: <no at sign>\r\n\r\n", nullptr},
        {"Message-ID: 7@f.example\r\n\r\n", nullptr},
        {"Message-ID: <8@g.example>", "<8@g.example>"},
        {"", nullptr},
    };
    for (const Row& row : rows) {
        std::string text = "From:\tA::B\r\nSubject: x\r\n\r\n" + std::string(row.body);
        TempDir dir;
        write_file(dir.file("M.MBX"), mailbox({text}));
        MailboxReader reader;
        ASSERT_EQ(open_mailbox(reader, dir.file("M.MBX").c_str()), 0);
        MessageHead head;
        ASSERT_TRUE(read_message_head(reader, 100, static_cast<std::uint32_t>(text.size()), head));
        EXPECT_EQ(head.head_end, 100u + 24u);
        EXPECT_EQ(head.body_offset, 100u + 26u);
        auto id = own_message_id(reader, head.body_offset, 100 + text.size());
        close_mailbox(reader);
        EXPECT_EQ(id.has_value(), row.id != nullptr) << row.body;
        if (id && row.id) {
            EXPECT_EQ(*id, row.id);
        }
    }
}

} // namespace
