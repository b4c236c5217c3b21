// The date of an internet mail header, as the mail gateways of the VAX's
// time wrote it at the top of the messages they delivered: "Mon, 4 Apr 88
// 20:42:52 EDT", "25 May 88 14:59:09 EDT", "Wed 30-Oct-85 10:53:24-EST",
// "Tue, 31 Jul 1990 11:41:51 -0700 (PDT)". Weekday optional, two-digit
// years, seconds optional, comments and folding anywhere between the parts,
// a numeric zone or one of the North American names; a date in a military
// zone (one letter) or another name gives no instant, for no one can say
// which zone it meant.
#pragma once

#include <cstdint>
#include <string_view>

struct InternetDate {
    std::int64_t universal_seconds = 0; // since 1 Jan 1970 00:00 UT
    int offset_minutes = 0;             // the zone written, east of UT
};

// Reads the text after "Date:"; false when it holds no date in a known zone.
bool parse_internet_date(std::string_view text, InternetDate& date);

// A zone on its own, as a date or a setting writes it: "-0500", "EDT",
// "GMT"; false for anything else.
bool parse_zone(std::string_view text, int& offset_minutes);

// Days from 1 Jan 1970 to the day of a month; a day past the month's end
// falls into the next month, day 0 is the last day of the month before.
std::int64_t days_since_1970(int year, int month, int day);
