#include "mbx/message_head.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<const char*, 7> weekday_names = {"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> month_names = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool starts_with(const std::string& line, std::string_view prefix)
{
    return line.compare(0, prefix.size(), prefix) == 0;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

void note(HeadLine& field, std::string_view name, const std::string& line, bool whole,
          std::uint64_t offset, std::uint64_t length)
{
    if (field.found || !whole || !starts_with(line, name))
        return;
    field.found = true;
    field.offset = offset;
    field.length = length;
    field.value = line.substr(name.size());
}

// Takes one line of the head: `line` holds its first bytes (whole when
// `whole`), without the line end.
void take_head_line(MessageHead& head, const std::string& line, bool whole, bool first,
                    std::uint64_t offset, std::uint64_t length)
{
    if (first && starts_with(line, "From:"))
        head.sender = trim(std::string_view(line).substr(5));
    note(head.date, "Date: ", line, whole, offset, length);
    note(head.received, "Received: ; ", line, whole, offset, length);
    if (!head.subject.found && starts_with(line, "Subject: ")) {
        head.subject.found = true;
        head.subject.offset = offset;
        head.subject.length = length;
        head.subject.value = line.substr(9);
    }
}

bool parse_number(std::string_view& text, std::size_t min_digits, std::size_t max_digits,
                  int& value)
{
    std::size_t n = 0;
    value = 0;
    while (n < text.size() && n < max_digits && text[n] >= '0' && text[n] <= '9')
        value = value * 10 + (text[n++] - '0');
    if (n < min_digits)
        return false;
    text.remove_prefix(n);
    return true;
}

bool skip(std::string_view& text, std::string_view what)
{
    if (text.substr(0, what.size()) != what)
        return false;
    text.remove_prefix(what.size());
    return true;
}

} // namespace

bool read_message_head(MailboxReader& reader, std::uint64_t offset, std::uint32_t size,
                       MessageHead& head)
{
    head = MessageHead{};
    const std::uint64_t end = offset + size;
    head.head_end = head.body_offset = end;
    std::string line;
    bool first = true;
    std::uint64_t line_start = offset;
    for (std::uint64_t at = offset; at < end;) {
        std::size_t available = 0;
        const unsigned char* p = mailbox_bytes_at(reader, at, available);
        if (!p)
            return false;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(available, end - at));
        for (std::size_t i = 0; i < n;) {
            // A line's bytes up to its LF, or to the end of what is here.
            const void* lf = std::memchr(p + i, '\n', n - i);
            std::size_t stop =
                lf ? static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - p) : n;
            if (line.size() <= head_line_capacity)
                line.append(reinterpret_cast<const char*>(p + i),
                            std::min(stop - i, head_line_capacity + 1 - line.size()));
            i = stop;
            if (!lf)
                break;
            ++i;
            bool whole = line.size() <= head_line_capacity;
            if (whole && !line.empty() && line.back() == '\r')
                line.pop_back();
            std::uint64_t next = at + i;
            if (line.empty()) { // the empty line after the head
                head.head_end = line_start;
                head.body_offset = next;
                return true;
            }
            take_head_line(head, line, whole, first, line_start, next - line_start);
            first = false;
            line.clear();
            line_start = next;
        }
        at += n;
    }
    return true;
}

std::optional<SendingDate> parse_sending_date(std::string_view value)
{
    // The weekday in front ("Unknown" where the converter's calendar failed)
    // is made again from the date.
    if (std::size_t comma = value.find(", "); comma != std::string_view::npos && comma <= 7)
        value.remove_prefix(comma + 2);
    int day = 0, year = 0;
    if (!parse_number(value, 1, 2, day) || !skip(value, " "))
        return std::nullopt;
    unsigned month = 0;
    for (unsigned i = 0; i < month_names.size() && month == 0; ++i)
        if (value.substr(0, 3) == month_names[i])
            month = i + 1;
    if (month == 0)
        return std::nullopt;
    value.remove_prefix(3);
    if (!skip(value, " ") || !parse_number(value, 4, 4, year) || !skip(value, " "))
        return std::nullopt;
    std::size_t space = value.find(' ');
    if (space == 0 || space == std::string_view::npos)
        return std::nullopt;

    using namespace std::chrono;
    sys_days first{std::chrono::year{year} / std::chrono::month{month} / 1};
    sys_days date = first + days{day - 1};
    year_month_day calendar{date};
    SendingDate result;
    result.year = static_cast<int>(calendar.year());
    result.month = static_cast<unsigned>(calendar.month());
    result.day = static_cast<unsigned>(calendar.day());
    result.weekday = weekday{date}.c_encoding();
    result.time = value.substr(0, space);
    result.zone = trim(value.substr(space + 1));
    if (result.zone.empty())
        return std::nullopt;
    return result;
}

std::string header_date(const SendingDate& date)
{
    return std::string(weekday_names[date.weekday]) + ", " + std::to_string(date.day) + " " +
           month_names[date.month - 1] + " " + std::to_string(date.year) + " " + date.time + " " +
           date.zone;
}

std::string separator_date(const SendingDate& date)
{
    char day[4];
    std::snprintf(day, sizeof day, "%2u", date.day);
    return std::string(weekday_names[date.weekday]) + " " + month_names[date.month - 1] + " " +
           day + " " + date.time + " " + std::to_string(date.year);
}
