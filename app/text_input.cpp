#include "app/text_input.hpp"

#include "convert/file_io.hpp"

#include <cstring>

namespace {

constexpr unsigned char carriage_return = 0x0D;
constexpr unsigned char ctrl_z = 0x1A;

bool refill(TextInput& input)
{
    if (input.at_end)
        return false;
    std::size_t kept = 0;
    while (kept == 0) {
        ssize_t got = io_read(input.fd, input.data, input.capacity);
        if (got <= 0) {
            input.at_end = true;
            input.failed = got < 0;
            return false;
        }
        kept = static_cast<std::size_t>(got);
        if (input.drops_ctrl_z_and_nul)
            kept = remove_ctrl_z_and_nul(input.data, kept);
    }
    input.start = 0;
    input.end = kept;
    auto* cr =
        static_cast<const unsigned char*>(std::memchr(input.data, carriage_return, input.end));
    input.next_cr = cr != nullptr ? static_cast<std::size_t>(cr - input.data) : input.end;
    input.block_has_nul = std::memchr(input.data, '\0', input.end) != nullptr;
    return true;
}

} // namespace

// Most folders hold neither byte, and a block without them is recognised
// without touching it byte by byte.
std::size_t remove_ctrl_z_and_nul(unsigned char* block, std::size_t size)
{
    if (std::memchr(block, ctrl_z, size) == nullptr && std::memchr(block, '\0', size) == nullptr)
        return size;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char c = block[i];
        block[kept] = c;
        kept += (c != ctrl_z && c != '\0') ? 1 : 0;
    }
    return kept;
}

// Found once per CR rather than once per line.
std::size_t carriage_return_from_start(TextInput& input)
{
    if (input.next_cr < input.start) {
        auto* cr = static_cast<const unsigned char*>(
            std::memchr(input.data + input.start, carriage_return, input.end - input.start));
        input.next_cr = cr != nullptr ? static_cast<std::size_t>(cr - input.data) : input.end;
    }
    return input.next_cr;
}

namespace {

// Byte by byte, where CR and NUL bytes are dropped and, on standard input,
// Ctrl-Z ends the input. Returns true when a newline was taken.
bool take_bytes_one_by_one(TextInput& input, char* buffer, std::size_t& length, std::size_t limit)
{
    while (length < limit && input.start < input.end) {
        unsigned char c = input.data[input.start++];
        if (c == ctrl_z && input.console_rules) {
            input.at_end = true;
            input.start = input.end;
            return false;
        }
        if (c == carriage_return || c == '\0')
            continue;
        buffer[length++] = static_cast<char>(c);
        if (c == '\n')
            return true;
    }
    return false;
}

// Block-wise, for the staged copy: find the newline, copy around the CRs.
// The staged copy holds no NUL byte; should one have got in all the same,
// the block is read byte by byte so that it is left out.
bool take_text_bytes(TextInput& input, char* buffer, std::size_t& length, std::size_t limit)
{
    if (input.block_has_nul)
        return take_bytes_one_by_one(input, buffer, length, limit);
    while (length < limit && input.start < input.end) {
        const unsigned char* from = input.data + input.start;
        std::size_t window = input.end - input.start;
        if (window > limit - length)
            window = limit - length;
        auto* newline = static_cast<const unsigned char*>(std::memchr(from, '\n', window));
        std::size_t span =
            newline != nullptr ? static_cast<std::size_t>(newline - from) + 1 : window;
        std::size_t cr = carriage_return_from_start(input);
        if (cr < input.start + span) {
            std::size_t before = cr - input.start;
            std::memcpy(buffer + length, from, before);
            length += before;
            input.start += before + 1;
            continue;
        }
        std::memcpy(buffer + length, from, span);
        length += span;
        input.start += span;
        if (newline != nullptr)
            return true;
    }
    return false;
}

} // namespace

void text_input_open(TextInput& input, int fd, unsigned char* data, std::size_t capacity,
                     bool console_rules)
{
    input.fd = fd;
    input.data = data;
    input.capacity = capacity;
    input.start = 0;
    input.end = 0;
    input.next_cr = 0;
    input.block_has_nul = false;
    input.at_end = false;
    input.failed = false;
    input.console_rules = console_rules;
    input.drops_ctrl_z_and_nul = false;
}

std::size_t read_list_line(char* buffer, std::size_t size, TextInput& input)
{
    std::size_t length = 0;
    std::size_t limit = size - 1;
    while (length < limit) {
        if (input.start == input.end && !refill(input))
            break;
        bool newline = input.console_rules ? take_bytes_one_by_one(input, buffer, length, limit)
                                           : take_text_bytes(input, buffer, length, limit);
        if (newline)
            break;
    }
    buffer[length] = '\0';
    return length;
}

std::size_t read_line_in_place(const char*& line, char* buffer, std::size_t size, TextInput& input)
{
    std::size_t available = input.end - input.start;
    if (!input.console_rules && !input.block_has_nul && available > 0) {
        const unsigned char* from = input.data + input.start;
        std::size_t window = available < size - 1 ? available : size - 1;
        auto* newline = static_cast<const unsigned char*>(std::memchr(from, '\n', window));
        // Whole in the block: up to its newline, or a full piece.
        std::size_t span = newline != nullptr   ? static_cast<std::size_t>(newline - from) + 1
                           : window == size - 1 ? window
                                                : 0;
        if (span > 0 && carriage_return_from_start(input) >= input.start + span) {
            line = reinterpret_cast<const char*>(from);
            input.start += span;
            return span;
        }
    }
    line = buffer;
    return read_list_line(buffer, size, input);
}

bool line_ends_after_piece(TextInput& input)
{
    for (;;) {
        if (input.start == input.end && !refill(input))
            return true;
        unsigned char c = input.data[input.start];
        if (c == '\n') {
            ++input.start;
            return true;
        }
        if (c == ctrl_z && input.console_rules) {
            input.at_end = true;
            input.start = input.end;
            return true;
        }
        // CR and NUL bytes would be dropped by the next read as well.
        if (c != carriage_return && c != '\0')
            return false;
        ++input.start;
    }
}

void skip_rest_of_line(TextInput& input)
{
    char rest[512];
    std::size_t length;
    do
        length = read_list_line(rest, sizeof rest, input);
    while (length == sizeof rest - 1 && rest[length - 1] != '\n');
}
