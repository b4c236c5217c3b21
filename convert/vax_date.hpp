// The sending date at the end of a VAX MAIL "From:" line, and the "Date: "
// and "Received: ; " header lines made from it.
//
// The date field holds the last 23 characters of the line, in the form
// DD-MMM-YYYY hh:mm:ss.cc with a one-digit day padded by a space:
//   " 4-MAR-1996 13:58:04.09"   "17-SEP-1996 07:05:23.33"
// The check rewrites it in place into the date text of the header lines,
// " 4 Mar 1996 13:58:04" or "17 Sep 1996 07:05:23".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr int date_field_length = 23;
inline constexpr int earliest_year = 1978;
inline constexpr std::size_t date_text_length = 20; // "17 Sep 1996 07:05:23"
inline constexpr std::size_t date_line_capacity = 52;

struct FolderDate {
    std::array<char, date_field_length + 1> field{}; // becomes the date text
    int day = 0;                                     // as written: 0 to 39
    std::array<char, 4> month{};                     // "Mar"
    int month_number = 0;                            // 1 to 12
    int year = 0;                                    // 1978 to current_year
};

struct DateLines {
    std::array<char, date_line_capacity + 1> date{};     // "Date: Mon, 4 Mar 1996 ..."
    std::array<char, date_line_capacity + 1> received{}; // "Received: ; Mon, ..."
    std::size_t date_length = 0;
    std::size_t received_length = 0;

    std::string_view date_line() const { return {date.data(), date_length}; }
    std::string_view received_line() const { return {received.data(), received_length}; }
};

// Which test of the date field failed, in the order the tests are made.
enum class DateFault {
    none,
    day_first,    // position 0: not a space, "1", "2" or "3"
    day_digit,    // position 1: not a digit
    day_dash,     // position 2: not "-"
    month_letter, // positions 3 to 5: not an upper-case letter
    month_name,   // the three letters are no month
    month_dash,   // position 6: not "-"
    year_digit,   // positions 7 to 10: not a digit
    year_space,   // position 11: not a space
    year_range,   // before 1978 or after current_year
    point,        // position 20: not "."
};

struct DateVerdict {
    DateFault fault = DateFault::none;
    int position = 0; // in the field, of the character that failed
};

extern FolderDate folder_date;

// Latest sending year accepted: the local calendar year when the run began.
extern std::int32_t current_year;

// Makes the tests of date.field in order and stops at the first that
// fails; on success the field holds the date text and day, month and year
// are set. The one definition of a valid sending date, for the converter and
// for the folder check alike.
DateVerdict check_date_field(FolderDate& date);
// Checks folder_date.field; `from_line` is the whole line, for the message.
int check_vax_date(const char* from_line);
// A month is three letters and a zero byte, as in FolderDate::month.
int is_month_name(const char* month);
int month_index(const char* month);
int is_dst_month(const char* month);
// 0 (Sunday) to 6 for any day 0 to 39 of a month: days past the month's end
// fall into the next month, day 0 is the last day of the month before.
int weekday_number(int year, int month, int day);
DateLines build_date_lines();
