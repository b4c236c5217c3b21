#include "mbx/message_head.hpp"

#include "mbx/record_lines.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

namespace {

constexpr std::array<std::string_view, 7> weekday_names = {"Sun", "Mon", "Tue", "Wed",
                                                           "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> month_names = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// An equality of a few bytes, which the compiler makes without a call
// where the prefix is a constant.
bool starts_with(std::string_view line, std::string_view prefix)
{
    return line.size() >= prefix.size() &&
           std::memcmp(line.data(), prefix.data(), prefix.size()) == 0;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

void note(HeadLine& field, std::string_view name, std::string_view line, bool whole,
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
void take_head_line(MessageHead& head, std::string_view line, bool whole, bool first,
                    std::uint64_t offset, std::uint64_t length)
{
    if (first && starts_with(line, "From:"))
        head.sender = trim(line.substr(5));
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

bool skip(std::string_view& text, char what)
{
    if (text.empty() || text.front() != what)
        return false;
    text.remove_prefix(1);
    return true;
}

} // namespace

void forget(HeadLine& field)
{
    field.found = false;
    field.offset = field.length = 0;
    field.value.clear(); // keeps its room for the next message
}

bool read_message_head(MailboxReader& reader, std::uint64_t offset, std::uint32_t size,
                       MessageHead& head)
{
    head.sender.clear();
    forget(head.date);
    forget(head.received);
    forget(head.subject);
    const std::uint64_t end = offset + size;
    head.head_end = head.body_offset = end;
    head.line_ends_known = 0;
    bool ends_kept = true; // each line so far has its end in line_ends
    std::string held;      // a line begun in an earlier block
    bool first = true;
    return walk_record_lines(
        reader, offset, end, head_line_capacity, held, [&](const RecordLine& line) {
            if (line.text.empty()) { // the empty line after the head
                head.head_end = line.offset;
                head.body_offset = line.next;
                return false;
            }
            take_head_line(head, line.text, line.whole, first, line.offset,
                           line.next - line.offset);
            ends_kept = ends_kept && line.whole && head.line_ends_known < head_line_ends_kept;
            if (ends_kept)
                head.line_ends[head.line_ends_known++] = {line.next, line.text.find('\r') !=
                                                                         std::string_view::npos};
            first = false;
            return true;
        });
}

std::optional<SendingDate> parse_sending_date(std::string_view value)
{
    // The weekday in front ("Unknown" where the converter's calendar failed)
    // is made again from the date.
    if (std::size_t comma = value.find(", "); comma != std::string_view::npos && comma <= 7)
        value.remove_prefix(comma + 2);
    int day = 0, year = 0;
    if (!parse_number(value, 1, 2, day) || !skip(value, ' '))
        return std::nullopt;
    // Each name is compared, without a branch that would depend on which
    // month it is.
    unsigned month = 0;
    if (value.size() >= 3) {
        auto three = [](std::string_view name) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) |
                   static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 8 |
                   static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 16;
        };
        const std::uint32_t written = three(value);
        for (unsigned i = 0; i < month_names.size(); ++i)
            month = written == three(month_names[i]) ? i + 1 : month;
    }
    if (month == 0)
        return std::nullopt;
    value.remove_prefix(3);
    if (!skip(value, ' ') || !parse_number(value, 4, 4, year) || !skip(value, ' '))
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

namespace {

// A date is made for every exported message: its fixed-width parts go into
// a small buffer, which goes onto the text in one append.
struct DateText {
    char bytes[64];
    std::size_t length = 0;

    // A few bytes each time: copied one by one, without a call.
    void put(std::string_view text)
    {
        for (char c : text)
            bytes[length++] = c;
    }
    // Whether `count` more bytes fit.
    bool has_room(std::size_t count) const { return count <= sizeof bytes - length; }
    void put(char c) { bytes[length++] = c; }
    // The digits of a number, from the right in a buffer of their own.
    void put_number(unsigned value)
    {
        char digits[12];
        char* start = digits + sizeof digits;
        do {
            *--start = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0);
        put(std::string_view(start, static_cast<std::size_t>(digits + sizeof digits - start)));
    }
    void put_year(int year)
    {
        if (year < 0)
            put('-');
        put_number(static_cast<unsigned>(year < 0 ? -year : year));
    }
};

} // namespace

void append_header_date(std::string& text, const SendingDate& date)
{
    DateText made;
    made.put(weekday_names[date.weekday]);
    made.put(", ");
    made.put_number(date.day);
    made.put(' ');
    made.put(month_names[date.month - 1]);
    made.put(' ');
    made.put_year(date.year);
    made.put(' ');
    // The time and the zone as written: of any length where the text was
    // not checked.
    if (date.time.size() < sizeof made.bytes && date.zone.size() < sizeof made.bytes &&
        made.has_room(date.time.size() + 1 + date.zone.size())) {
        made.put(date.time);
        made.put(' ');
        made.put(date.zone);
        text.append(made.bytes, made.length);
        return;
    }
    text.append(made.bytes, made.length);
    text += date.time;
    text += ' ';
    text += date.zone;
}

void append_separator_date(std::string& text, const SendingDate& date)
{
    DateText made;
    made.put(weekday_names[date.weekday]);
    made.put(' ');
    made.put(month_names[date.month - 1]);
    made.put(date.day < 10 ? "  " : " ");
    made.put_number(date.day);
    made.put(' ');
    // The year after the time: a '-' and ten digits at most.
    if (date.time.size() < sizeof made.bytes && made.has_room(date.time.size() + 12)) {
        made.put(date.time);
    } else {
        text.append(made.bytes, made.length);
        text += date.time;
        made.length = 0;
    }
    made.put(' ');
    made.put_year(date.year);
    text.append(made.bytes, made.length);
}

std::string header_date(const SendingDate& date)
{
    std::string text;
    text.reserve(40);
    append_header_date(text, date);
    return text;
}

std::string separator_date(const SendingDate& date)
{
    std::string text;
    text.reserve(32);
    append_separator_date(text, date);
    return text;
}
