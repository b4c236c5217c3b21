#include "tests/support/mailbox_validator.hpp"

#include "tests/support/test_files.hpp"

#include <cstdint>
#include <cstring>

namespace {

std::uint32_t u32_at(const std::string& bytes, std::size_t offset)
{
    auto b = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset + i]));
    };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

MailboxCheck failure(std::string problem)
{
    MailboxCheck check;
    check.problem = std::move(problem);
    return check;
}

} // namespace

MailboxCheck validate_mailbox(const std::string& bytes)
{
    if (bytes.size() < 84)
        return failure("shorter than the 84-byte header");
    if (bytes.compare(0, 8, std::string("JMF6\x03\x00\x01\x00", 8)) != 0)
        return failure("wrong magic or header constant");
    std::uint32_t count = u32_at(bytes, 8);
    if (count == 0 || u32_at(bytes, 12) != count)
        return failure("message counts zero or unequal");
    if (u32_at(bytes, 16) != bytes.size())
        return failure("file_size " + std::to_string(u32_at(bytes, 16)) + " but length " +
                       std::to_string(bytes.size()));
    if (u32_at(bytes, 20) != 1)
        return failure("second header constant not 1");
    for (std::size_t i = 24; i < 84; ++i)
        if (bytes[i] != '\0')
            return failure("zero fill holds a non-zero byte");
    MailboxCheck check;
    std::size_t at = 84;
    for (std::uint32_t number = 1; number <= count; ++number) {
        std::string where = "record " + std::to_string(number) + ": ";
        if (bytes.size() - at < 17)
            return failure(where + "cut short");
        if (bytes.compare(at, 4, std::string("\x00\x7F\x00\x7F", 4)) != 0)
            return failure(where + "wrong record magic");
        if (u32_at(bytes, at + 4) != number)
            return failure(where + "wrong message number");
        std::uint64_t text_size = u32_at(bytes, at + 12);
        if (u32_at(bytes, at + 8) != text_size + 17)
            return failure(where + "record_size is not text_size + 17");
        if (bytes.size() - at - 17 < text_size)
            return failure(where + "text runs past the end of the file");
        std::string text = bytes.substr(at + 16, text_size);
        if (text.find('\0') != std::string::npos)
            return failure(where + "zero byte inside the text");
        if (bytes[at + 16 + text_size] != '\0')
            return failure(where + "no zero byte after the text");
        check.texts.push_back(std::move(text));
        at += 17 + text_size;
    }
    if (at != bytes.size())
        return failure("bytes after the last record");
    check.valid = true;
    return check;
}

MailboxCheck validate_mailbox_file(const std::string& path)
{
    return validate_mailbox(read_file(path));
}
