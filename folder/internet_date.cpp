#include "folder/internet_date.hpp"

#include <chrono>
#include <cstddef>

namespace {

constexpr const char* weekday_names[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                         "Thursday", "Friday", "Saturday"};
constexpr const char* month_names[] = {"January",   "February", "March",    "April",
                                       "May",       "June",     "July",     "August",
                                       "September", "October",  "November", "December"};

struct NamedZone {
    const char* name;
    int offset_minutes;
};
constexpr NamedZone named_zones[] = {
    {"UT", 0},        {"GMT", 0},       {"EST", -5 * 60}, {"EDT", -4 * 60}, {"CST", -6 * 60},
    {"CDT", -5 * 60}, {"MST", -7 * 60}, {"MDT", -6 * 60}, {"PST", -8 * 60}, {"PDT", -7 * 60}};

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
bool is_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
char to_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_letters(std::string_view word, std::string_view name)
{
    if (word.size() != name.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (to_lower(word[i]) != to_lower(name[i]))
            return false;
    return true;
}

// A weekday or month written short ("Thu", "JUL") or in full ("Thursday").
bool names(std::string_view word, std::string_view full)
{
    return same_letters(word, full.substr(0, 3)) || same_letters(word, full);
}

struct Reader {
    std::string_view text;
    std::size_t at = 0;

    bool done() const { return at >= text.size(); }
    char next() const { return done() ? '\0' : text[at]; }
    char after_next() const { return at + 1 < text.size() ? text[at + 1] : '\0'; }

    // Skips blanks, line breaks of a folded field and comments, which nest
    // and may quote a character with "\". False on a comment left open.
    bool skip_blanks_and_comments()
    {
        while (!done()) {
            char c = text[at];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ++at;
                continue;
            }
            if (c != '(')
                return true;
            int depth = 0;
            do {
                c = text[at++];
                if (c == '\\')
                    ++at;
                else if (c == '(')
                    ++depth;
                else if (c == ')')
                    --depth;
            } while (depth > 0 && at < text.size());
            if (depth > 0)
                return false;
        }
        return true;
    }

    std::string_view word()
    {
        std::size_t start = at;
        while (is_letter(next()))
            ++at;
        return text.substr(start, at - start);
    }

    // From `fewest` to `most` digits; -1 when there are none or more.
    int number(std::size_t fewest, std::size_t most, std::size_t* count = nullptr)
    {
        std::size_t start = at;
        int value = 0;
        while (is_digit(next()) && at - start < most + 1) {
            value = value * 10 + (text[at] - '0');
            ++at;
        }
        std::size_t digits = at - start;
        if (count != nullptr)
            *count = digits;
        return digits >= fewest && digits <= most ? value : -1;
    }

    // Between day, month and year: blanks, or "-" as older mailers wrote.
    bool separator()
    {
        std::size_t start = at;
        if (!skip_blanks_and_comments())
            return false;
        if (next() == '-') {
            ++at;
            return skip_blanks_and_comments();
        }
        return at > start;
    }
};

int month_number(std::string_view word)
{
    for (int i = 0; i < 12; ++i)
        if (names(word, month_names[i]))
            return i + 1;
    return 0;
}

bool is_weekday(std::string_view word)
{
    for (const char* name : weekday_names)
        if (names(word, name))
            return true;
    return false;
}

// "+hhmm", "-hhmm" or a name; -0000, "no zone said", is a time in UT all
// the same.
bool read_zone(Reader& r, int& offset_minutes)
{
    if (r.next() == '+' || r.next() == '-') {
        int sign = r.next() == '-' ? -1 : 1;
        ++r.at;
        int value = r.number(4, 4);
        if (value < 0 || value / 100 > 23 || value % 100 > 59)
            return false;
        offset_minutes = sign * (value / 100 * 60 + value % 100);
        return true;
    }
    std::string_view name = r.word();
    for (const NamedZone& zone : named_zones)
        if (same_letters(name, zone.name)) {
            offset_minutes = zone.offset_minutes;
            return true;
        }
    return false;
}

int full_year(int year, std::size_t digits)
{
    if (digits == 2)
        return year < 50 ? 2000 + year : 1900 + year;
    if (digits == 3)
        return 1900 + year;
    return year;
}

} // namespace

std::int64_t days_since_1970(int year, int month, int day)
{
    using namespace std::chrono;
    year_month_day first{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                         std::chrono::day{1}};
    return (sys_days{first} + days{day - 1}).time_since_epoch().count();
}

bool parse_zone(std::string_view text, int& offset_minutes)
{
    Reader r{text};
    return r.skip_blanks_and_comments() && read_zone(r, offset_minutes) &&
           r.skip_blanks_and_comments() && r.done();
}

bool parse_internet_date(std::string_view text, InternetDate& date)
{
    Reader r{text};
    if (!r.skip_blanks_and_comments())
        return false;
    if (is_letter(r.next())) {
        if (!is_weekday(r.word()) || !r.skip_blanks_and_comments())
            return false;
        if (r.next() == ',')
            ++r.at;
        if (!r.skip_blanks_and_comments())
            return false;
    }
    int day = r.number(1, 2);
    if (day < 1 || day > 31 || !r.separator())
        return false;
    int month = month_number(r.word());
    if (month == 0 || !r.separator())
        return false;
    std::size_t year_digits = 0;
    int year = r.number(2, 4, &year_digits);
    if (year < 0 || !r.skip_blanks_and_comments())
        return false;
    year = full_year(year, year_digits);
    int hour = r.number(1, 2);
    if (hour < 0 || hour > 23 || !r.skip_blanks_and_comments() || r.next() != ':')
        return false;
    ++r.at;
    if (!r.skip_blanks_and_comments())
        return false;
    int minute = r.number(2, 2);
    if (minute < 0 || minute > 59 || !r.skip_blanks_and_comments())
        return false;
    int second = 0;
    if (r.next() == ':') {
        ++r.at;
        if (!r.skip_blanks_and_comments())
            return false;
        second = r.number(2, 2);
        if (second < 0 || second > 60 || !r.skip_blanks_and_comments())
            return false;
    }
    // "10:53:24-EST": a dash in front of a zone name.
    if (r.next() == '-' && is_letter(r.after_next()))
        ++r.at;
    int offset = 0;
    if (!read_zone(r, offset) || !r.skip_blanks_and_comments() || !r.done())
        return false;
    std::int64_t local =
        days_since_1970(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    date.universal_seconds = local - static_cast<std::int64_t>(offset) * 60;
    date.offset_minutes = offset;
    return true;
}
