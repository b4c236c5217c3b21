#include "convert/vax_date.hpp"

#include "app/report.hpp"
#include "app/settings.hpp"
#include "convert/conversion_state.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
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

// The tests of the field, in order; false at the first that fails.
bool field_is_valid(FolderDate& date)
{
    char* f = date.field.data();
    if (f[0] != ' ' && f[0] != '1' && f[0] != '2' && f[0] != '3')
        return false;
    if (!is_digit(f[1]))
        return false;
    date.day = (f[0] == ' ' ? 0 : (f[0] - '0') * 10) + (f[1] - '0');
    if (f[2] != '-')
        return false;
    f[2] = ' ';
    for (int i = 3; i <= 5; ++i) {
        if (!is_upper(f[i]))
            return false;
        if (i > 3)
            f[i] = to_lower(f[i]);
        date.month[static_cast<std::size_t>(i - 3)] = f[i];
    }
    date.month[3] = '\0';
    if (!is_month_name(date.month.data()))
        return false;
    if (f[6] != '-')
        return false;
    f[6] = ' ';
    date.year = 0;
    for (int i = 7; i <= 10; ++i) {
        if (!is_digit(f[i]))
            return false;
        date.year = date.year * 10 + (f[i] - '0');
    }
    if (f[11] != ' ')
        return false;
    if (date.year > current_year || date.year < earliest_year)
        return false;
    if (f[20] != '.')
        return false;
    f[20] = '\0';
    return true;
}

// Joins the parts into a header line; the parts of a date line always fit.
std::size_t compose(std::array<char, date_line_capacity + 1>& line,
                    std::initializer_list<std::string_view> parts)
{
    std::size_t length = 0;
    for (std::string_view part : parts) {
        std::size_t n = std::min(part.size(), date_line_capacity - length);
        std::memcpy(line.data() + length, part.data(), n);
        length += n;
    }
    line[length] = '\0';
    return length;
}

} // namespace

int check_vax_date(const char* from_line)
{
    if (field_is_valid(folder_date))
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
    std::string_view weekday = weekday_names[static_cast<std::size_t>(
        weekday_number(d.year, month_index(d.month.data()), d.day))];
    std::string_view text = d.field.data() + (d.day < 10 ? 1 : 0);
    std::string_view zone =
        is_dst_month(d.month.data()) ? settings.dst_zone.data() : settings.zone.data();
    DateLines lines;
    lines.date_length = compose(lines.date, {"Date: ", weekday, ", ", text, " ", zone});
    lines.received_length =
        compose(lines.received, {"Received: ; ", weekday, ", ", text, " ", zone});
    return lines;
}
