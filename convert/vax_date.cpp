#include "convert/vax_date.hpp"

#include "app/report.hpp"
#include "app/settings.hpp"
#include "convert/conversion_state.hpp"

#include <chrono>
#include <cstring>
#include <string_view>

FolderDate folder_date;
std::int32_t current_year = 0;

namespace {

constexpr std::array<const char*, 8> weekday_names = {"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat", "Unknown"};
constexpr std::array<const char*, 13> month_names = {
    "None", "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* month_list = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
bool is_upper(char c)
{
    return c >= 'A' && c <= 'Z';
}
char to_lower(char c)
{
    return static_cast<char>(c - 'A' + 'a');
}

DateVerdict failed(DateFault fault, int position)
{
    return {fault, position};
}

// The zone of each month, found once for a list of daylight-saving months
// rather than once per message: a month's zone is the daylight-saving one
// when its name appears in the list.
struct MonthZones {
    std::array<char, dst_months_capacity + 1> dst_months{};
    std::array<bool, 13> dst{};
    bool known = false;
};

MonthZones month_zones;

bool month_is_dst(int month)
{
    MonthZones& z = month_zones;
    if (!z.known || z.dst_months != settings.dst_months) {
        z.dst_months = settings.dst_months;
        for (std::size_t i = 1; i < month_names.size(); ++i)
            z.dst[i] = is_dst_month(month_names[i]) != 0;
        z.known = true;
    }
    return z.dst[static_cast<std::size_t>(month)];
}

// "<label><weekday>, <text> <zone>"; the longest label, weekday name, date
// text and zone fit the line.
std::size_t compose(std::array<char, date_line_capacity + 1>& line, std::string_view label,
                    std::string_view tail)
{
    std::memcpy(line.data(), label.data(), label.size());
    std::memcpy(line.data() + label.size(), tail.data(), tail.size());
    std::size_t length = label.size() + tail.size();
    line[length] = '\0';
    return length;
}

constexpr std::string_view date_label = "Date: ";
constexpr std::string_view received_label = "Received: ; ";
constexpr std::size_t longest_tail =
    7 + 2 + date_text_length + 1 + zone_capacity; // "Unknown, ", text, zone
static_assert(received_label.size() + longest_tail <= date_line_capacity);

} // namespace

DateVerdict check_date_field(FolderDate& date)
{
    char* f = date.field.data();
    if (f[0] != ' ' && f[0] != '1' && f[0] != '2' && f[0] != '3')
        return failed(DateFault::day_first, 0);
    if (!is_digit(f[1]))
        return failed(DateFault::day_digit, 1);
    date.day = (f[0] == ' ' ? 0 : (f[0] - '0') * 10) + (f[1] - '0');
    if (f[2] != '-')
        return failed(DateFault::day_dash, 2);
    f[2] = ' ';
    for (int i = 3; i <= 5; ++i) {
        if (!is_upper(f[i]))
            return failed(DateFault::month_letter, i);
        if (i > 3)
            f[i] = to_lower(f[i]);
        date.month[static_cast<std::size_t>(i - 3)] = f[i];
    }
    date.month[3] = '\0';
    // An upper-case letter and two lower-case ones are a month name exactly
    // when they are one of the twelve.
    date.month_number = month_index(date.month.data());
    if (date.month_number == 0)
        return failed(DateFault::month_name, 3);
    if (f[6] != '-')
        return failed(DateFault::month_dash, 6);
    f[6] = ' ';
    date.year = 0;
    for (int i = 7; i <= 10; ++i) {
        if (!is_digit(f[i]))
            return failed(DateFault::year_digit, i);
        date.year = date.year * 10 + (f[i] - '0');
    }
    if (f[11] != ' ')
        return failed(DateFault::year_space, 11);
    if (date.year > current_year || date.year < earliest_year)
        return failed(DateFault::year_range, 7);
    if (f[20] != '.')
        return failed(DateFault::point, 20);
    f[20] = '\0';
    return {};
}

int check_vax_date(const char* from_line)
{
    if (check_date_field(folder_date).fault == DateFault::none)
        return 0;
    report("From: line %lld in file has invalid VAX date/time\n>%s<\n",
           static_cast<long long>(conversion.line_number), from_line);
    return 1;
}

int is_month_name(const char* month)
{
    return std::strstr(month_list, month) != nullptr ? 1 : 0;
}

int month_index(const char* month)
{
    for (std::size_t i = 1; i < month_names.size(); ++i)
        if (std::memcmp(month_names[i], month, 4) == 0)
            return static_cast<int>(i);
    return 0;
}

int is_dst_month(const char* month)
{
    return std::strstr(settings.dst_months.data(), month) != nullptr ? 1 : 0;
}

int weekday_number(int year, int month, int day)
{
    using namespace std::chrono;
    year_month_day first{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                         std::chrono::day{1}};
    sys_days date = sys_days{first} + days{day - 1};
    return static_cast<int>(weekday{date}.c_encoding());
}

DateLines build_date_lines()
{
    const FolderDate& d = folder_date;
    std::string_view weekday =
        weekday_names[static_cast<std::size_t>(weekday_number(d.year, d.month_number, d.day))];
    std::string_view text = d.field.data() + (d.day < 10 ? 1 : 0);
    const char* zone =
        month_is_dst(d.month_number) ? settings.dst_zone.data() : settings.zone.data();
    std::size_t zone_length = std::strlen(zone);
    char tail[longest_tail];
    std::size_t length = 0;
    std::memcpy(tail, weekday.data(), weekday.size());
    length += weekday.size();
    tail[length++] = ',';
    tail[length++] = ' ';
    std::memcpy(tail + length, text.data(), text.size());
    length += text.size();
    tail[length++] = ' ';
    std::memcpy(tail + length, zone, zone_length);
    length += zone_length;
    DateLines lines;
    lines.date_length = compose(lines.date, date_label, {tail, length});
    lines.received_length = compose(lines.received, received_label, {tail, length});
    return lines;
}
