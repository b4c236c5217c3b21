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
    ssize_t got = io_read(input.fd, input.data, input.capacity);
    if (got <= 0) {
        input.at_end = true;
        input.failed = got < 0;
        return false;
    }
    input.start = 0;
    input.end = static_cast<std::size_t>(got);
    return true;
}

// Byte by byte, for standard input, where Ctrl-Z and NUL have meanings.
// Returns true when a newline was taken.
bool take_console_bytes(TextInput& input, char* buffer, std::size_t& length, std::size_t limit)
{
    while (length < limit && input.start < input.end) {
        unsigned char c = input.data[input.start++];
        if (c == ctrl_z) {
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
bool take_text_bytes(TextInput& input, char* buffer, std::size_t& length, std::size_t limit)
{
    while (length < limit && input.start < input.end) {
        const unsigned char* from = input.data + input.start;
        std::size_t window = input.end - input.start;
        if (window > limit - length)
            window = limit - length;
        auto* newline = static_cast<const unsigned char*>(std::memchr(from, '\n', window));
        std::size_t span =
            newline != nullptr ? static_cast<std::size_t>(newline - from) + 1 : window;
        auto* cr = static_cast<const unsigned char*>(std::memchr(from, carriage_return, span));
        if (cr != nullptr) {
            std::size_t before = static_cast<std::size_t>(cr - from);
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
    input.at_end = false;
    input.failed = false;
    input.console_rules = console_rules;
}

std::size_t read_list_line(char* buffer, std::size_t size, TextInput& input)
{
    std::size_t length = 0;
    std::size_t limit = size - 1;
    while (length < limit) {
        if (input.start == input.end && !refill(input))
            break;
        bool newline = input.console_rules ? take_console_bytes(input, buffer, length, limit)
                                           : take_text_bytes(input, buffer, length, limit);
        if (newline)
            break;
    }
    buffer[length] = '\0';
    return length;
}
