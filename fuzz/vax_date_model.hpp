// A second, independent reading of the VAX sending date and its calendar,
// written apart from the program's own code so that the fuzz targets can
// hold the program to it.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace model {

// The zone settings both fuzz targets choose from: the defaults, the usage
// screen's example, an empty month list, and texts that are no offsets.
struct ZoneSet {
    const char* zone;
    const char* dst_zone;
    const char* dst_months;
};

constexpr ZoneSet zone_sets[] = {
    {"+0000", "+0100", "Apr May Jun Jul Aug Sep Oct"},
    {"+0500", "+0600", "Oct Nov Dec Jan Feb Mar Apr"},
    {"-0800", "-0700", ""},
    {"+1234567890", "EST", "JanFebMarAprMayJunJulAugSepOctNovDec"},
};

struct VaxDate {
    bool valid = false;
    int day = 0;   // as written: 0 to 39
    int month = 0; // 1 to 12
    int year = 0;
    std::string month_name; // "Mar"
    std::string text;       // "4 Mar 1996 13:58:04" or "17 Sep 1996 07:05:23"
};

inline constexpr std::array<const char*, 12> upper_months = {
    "JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
inline constexpr std::array<const char*, 7> weekday_names = {"Sun", "Mon", "Tue", "Wed",
                                                             "Thu", "Fri", "Sat"};

inline bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The 23-character field DD-MMM-YYYY hh:mm:ss.cc, the day padded by a space;
// the time and the hundredths may hold anything.
inline VaxDate read_vax_date(std::string_view f, int latest_year)
{
    VaxDate date;
    if (f.size() != 23)
        return date;
    bool day_ok = (f[0] == ' ' || (f[0] >= '1' && f[0] <= '3')) && is_digit(f[1]);
    bool punctuation_ok = f[2] == '-' && f[6] == '-' && f[11] == ' ' && f[20] == '.';
    bool year_digits_ok = is_digit(f[7]) && is_digit(f[8]) && is_digit(f[9]) && is_digit(f[10]);
    if (!day_ok || !punctuation_ok || !year_digits_ok)
        return date;
    for (std::size_t m = 0; m < upper_months.size(); ++m)
        if (f.substr(3, 3) == upper_months[m])
            date.month = static_cast<int>(m) + 1;
    date.year = std::stoi(std::string(f.substr(7, 4)));
    if (date.month == 0 || date.year < 1978 || date.year > latest_year)
        return date;
    date.valid = true;
    date.day = (f[0] == ' ' ? 0 : (f[0] - '0') * 10) + (f[1] - '0');
    date.month_name = {f[3], static_cast<char>(f[4] - 'A' + 'a'),
                       static_cast<char>(f[5] - 'A' + 'a')};
    date.text = std::to_string(date.day) + " " + date.month_name + " " +
                std::string(f.substr(7, 4)) + " " + std::string(f.substr(12, 8));
    return date;
}

// Zeller's congruence for the first of the month, then the days counted on
// from there, so that day 0 and days past the month's end land in the
// neighbouring months. 0 is Sunday.
inline int weekday(int year, int month, int day)
{
    int y = month < 3 ? year - 1 : year;
    int m = month < 3 ? month + 12 : month;
    int k = y % 100;
    int j = y / 100;
    int h = (1 + 13 * (m + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7; // 0 is Saturday
    int first = (h + 6) % 7;
    return ((first + day - 1) % 7 + 7) % 7;
}

// What follows "Date: " and "Received: ; " for a valid date.
inline std::string date_line_rest(const VaxDate& date, std::string_view zone,
                                  std::string_view dst_zone, std::string_view dst_months)
{
    bool dst = dst_months.find(date.month_name) != std::string_view::npos;
    return std::string(
               weekday_names[static_cast<std::size_t>(weekday(date.year, date.month, date.day))]) +
           ", " + date.text + " " + std::string(dst ? dst_zone : zone);
}

} // namespace model
