#include "app/text_input.hpp"
#include "convert/file_io.hpp"
#include "convert/folder_lines.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A descriptor of the file layer from which `content` is read: a pipe on
// POSIX, a temporary file on Windows, whose file layer reads its own
// handles only.
int source_of(const std::string& content)
{
#ifdef _WIN32
    int fd = io_open_anonymous();
    EXPECT_GE(fd, 0);
    EXPECT_EQ(io_write(fd, content.data(), content.size()), 0);
    EXPECT_EQ(io_seek(fd, 0), 0);
    return fd;
#else
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    EXPECT_EQ(write(ends[1], content.data(), content.size()), ssize_t(content.size()));
    close(ends[1]);
    return ends[0];
#endif
}

// A descriptor whose every read fails: a directory on POSIX, a file open
// only for writing on Windows.
int unreadable_source()
{
#ifdef _WIN32
    char name[] = "kestrelXXXXXX";
    int fd = io_create_temp(name);
    io_remove(name);
    return fd;
#else
    return open("/", O_RDONLY | O_DIRECTORY);
#endif
}

// Every non-empty read of `content` from source_of, with a block buffer of
// `capacity` bytes and the 512-byte line buffer of the callers.
std::vector<std::string> read_lines(const std::string& content, std::size_t capacity, bool console)
{
    int fd = source_of(content);
    std::vector<unsigned char> block(capacity);
    TextInput input;
    text_input_open(input, fd, block.data(), block.size(), console);
    std::vector<std::string> lines;
    char buffer[512];
    while (std::size_t length = read_list_line(buffer, sizeof buffer, input)) {
        EXPECT_EQ(length, std::strlen(buffer));
        lines.emplace_back(buffer, length);
    }
    EXPECT_EQ(read_list_line(buffer, sizeof buffer, input), 0u);
    EXPECT_FALSE(input.failed);
    io_close(fd);
    return lines;
}

std::string x(std::size_t n)
{
    return std::string(n, 'x');
}

TEST(ListLineReading, LinesPiecesAndRules)
{
    enum Rules { both, console_only, staged_only };
    struct Row {
        Rules rules;
        std::string input;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {both, "ab\ncd\n", {"ab\n", "cd\n"}},
        {both, "ab\r\ncd\r\n", {"ab\n", "cd\n"}},
        {both, "\ra\rb\r\r\n\n", {"ab\n", "\n"}},
        {both, "ab\ncd", {"ab\n", "cd"}},
        {both, "", {}},
        {both, x(510) + "\n", {x(510) + "\n"}},
        {both, x(511) + "\n", {x(511), "\n"}},
        {both, x(511) + "\r\nz\n", {x(511), "\n", "z\n"}},
        {both, x(505) + "\r\r" + x(6) + "\r\n", {x(511), "\n"}}, // CRs do not count
        {both, x(512) + "\n", {x(511), "x\n"}},
        {both, x(600) + "\nz\n", {x(511), x(89) + "\n", "z\n"}},
        {both, x(1100), {x(511), x(511), x(78)}},
        {console_only, "ab\ncd\032ef\ngh\n", {"ab\n", "cd"}}, // Ctrl-Z ends the input
        {console_only, std::string("a\0b\n\0\n", 6), {"ab\n", "\n"}},
        {staged_only, "ab\032cd\n\032\n", {"ab\032cd\n", "\032\n"}},
    };
    for (const Row& row : rows)
        for (std::size_t capacity : {7, 65536})
            for (bool console : {false, true}) {
                if (row.rules != both && (row.rules == console_only) != console)
                    continue;
                EXPECT_EQ(read_lines(row.input, capacity, console), row.lines)
                    << testing::PrintToString(row.input) << ", capacity " << capacity;
            }
}

TEST(ListLineReading, ReadErrorEndsInput)
{
    int fd = unreadable_source();
    ASSERT_GE(fd, 0);
    unsigned char block[16];
    char buffer[512] = "junk";
    TextInput input;
    text_input_open(input, fd, block, sizeof block, false);
    EXPECT_EQ(read_list_line(buffer, sizeof buffer, input), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_TRUE(input.failed);
    io_close(fd);
}

} // namespace

// Reading lines in place must give exactly the reads of read_list_line,
// wherever lines, CRs and NULs fall against the block boundaries.
TEST(ReadLineInPlace, GivesTheSameReadsAsCopying)
{
    std::mt19937 random(7);
    std::string content;
    while (content.size() < 300000) {
        std::size_t length = random() % 1200;
        for (std::size_t i = 0; i < length; ++i) {
            unsigned pick = random() % 200;
            content += pick == 0 ? '\r' : pick == 1 ? '\0' : static_cast<char>('a' + pick % 26);
        }
        content += random() % 3 == 0 ? "\r\n" : "\n";
    }
    int fd = io_open_anonymous();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(io_write(fd, content.data(), content.size()), 0);
    for (std::size_t capacity : {7u, 512u, 4096u, 65536u}) {
        std::vector<std::string> copied, in_place;
        for (int pass = 0; pass < 2; ++pass) {
            ASSERT_EQ(io_seek(fd, 0), 0);
            std::vector<unsigned char> block(capacity);
            TextInput input;
            text_input_open(input, fd, block.data(), block.size(), false);
            char buffer[512];
            const char* line = nullptr;
            for (;;) {
                std::size_t length = pass == 0 ? read_list_line(buffer, sizeof buffer, input)
                                               : read_line_in_place(line, buffer, 512, input);
                if (length == 0)
                    break;
                (pass == 0 ? copied : in_place).emplace_back(pass == 0 ? buffer : line, length);
            }
        }
        EXPECT_EQ(copied, in_place) << "block of " << capacity;
        EXPECT_GT(copied.size(), 300u);
    }
    io_close(fd);
}

namespace {

std::string handed_on;

int collect(const char* text, std::size_t size)
{
    handed_on.append(text, size);
    return 0;
}

} // namespace

// A message's "From:" line is taken whole whatever its length: the text in
// front of its end is handed on as it is read, its start and end are kept,
// and the user name is found wherever it stands, also split between two
// reads or between the text handed on and the end. The folder is read
// without its Ctrl-Z and NUL bytes, as the staged copy is.
TEST(FromLineReading, TakesTheWholeLineInBoundedPieces)
{
    Settings saved = settings;
    std::strcpy(settings.user_name.data(), "SMITH");
    std::mt19937 random(11);
    const std::string date = "  4-MAR-1996 13:58:04.09";
    for (int round = 0; round < 400; ++round) {
        std::size_t length = 30 + random() % (round < 200 ? 700 : 5000);
        std::string line = "From:\t" + std::string(length - 6 - date.size(), 'a') + date;
        std::size_t cut = line.size() - date.size();
        bool own = round % 3 != 0;
        std::size_t at = 6 + random() % (cut - 6 + 1);
        if (own && at + 5 <= cut)
            line.replace(at, 5, "SMITH");
        else
            own = false;
        std::string stored = line + "\r\nnext\n";
        if (round % 4 == 0)
            stored.insert(random() % stored.size(), std::string("\x1A\0\x1A", 3));
        SCOPED_TRACE(testing::Message() << line.size() << " characters, name at " << at);
        int fd = source_of(stored);
        std::vector<unsigned char> block(1 + random() % 700);
        TextInput input;
        text_input_open(input, fd, block.data(), block.size(), false);
        input.drops_ctrl_z_and_nul = true;
        char buffer[line_buffer_size];
        FolderRead first;
        ASSERT_TRUE(read_folder_line(input, buffer, first));
        handed_on.clear();
        static FromLine from;
        ASSERT_EQ(take_from_line(input, buffer, first, from, collect), 0);
        EXPECT_EQ(from.length, static_cast<std::int64_t>(line.size()));
        EXPECT_EQ(handed_on + std::string(from.tail, from.tail_length), line);
        EXPECT_EQ(std::string(from.head, from.head_length), line.substr(0, 511));
        std::size_t kept = tail_kept_after_cut(from);
        EXPECT_EQ(handed_on.size() + kept, cut);
        EXPECT_EQ(is_own_line(from, kept), own);
        FolderDate field;
        take_date_field(from, field);
        EXPECT_EQ(std::string(field.field.data()), date.substr(1));
        std::string shown = shown_from_line(from);
        if (line.size() <= 511 + from_tail_capacity)
            EXPECT_EQ(shown, line);
        else
            EXPECT_EQ(shown, line.substr(0, 511) + "..." + line.substr(line.size() - 128));
        FolderRead next;
        ASSERT_TRUE(read_folder_line(input, buffer, next));
        EXPECT_EQ(std::string(next.text, next.length), "next");
        io_close(fd);
    }
    settings = saved;
}
