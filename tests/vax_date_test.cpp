#include "app/settings.hpp"
#include "convert/conversion_state.hpp"
#include "convert/vax_date.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <utility>

namespace {

constexpr int test_year = 2026;

template <std::size_t N> void put(std::array<char, N>& field, const std::string& text)
{
    ASSERT_LT(text.size(), N);
    field.fill('\0');
    std::memcpy(field.data(), text.data(), text.size());
}

class VaxDate : public testing::Test {
  protected:
    VaxDate() { use_zones("+0000", "+0100", "Apr May Jun Jul Aug Sep Oct"); }
    ~VaxDate() override
    {
        settings = saved_settings;
        current_year = saved_year;
    }
    static void use_zones(const char* zone, const char* dst_zone, const char* dst_months)
    {
        put(settings.zone, zone);
        put(settings.dst_zone, dst_zone);
        put(settings.dst_months, dst_months);
    }
    // Fills the date field as message assembly does; the result and the output.
    static std::pair<int, std::string> check(const std::string& field)
    {
        folder_date = FolderDate{};
        put(folder_date.field, field);
        conversion.line_number = 7;
        std::string line = "From:\tNODE1::SMITH    " + field;
        testing::internal::CaptureStdout();
        int result = check_vax_date(line.c_str());
        return {result, testing::internal::GetCapturedStdout()};
    }
    // The "Date: " line without its label; "Received: ; " must carry the same.
    static std::string date_line_text(const std::string& field)
    {
        EXPECT_EQ(check(field).first, 0) << field;
        DateLines lines = build_date_lines();
        std::string date = lines.date.data();
        EXPECT_EQ(date.substr(0, 6), "Date: ");
        EXPECT_EQ(std::string(lines.received.data()), "Received: ; " + date.substr(6));
        return date.substr(6);
    }
    Settings saved_settings = settings;
    std::int32_t saved_year = std::exchange(current_year, test_year);
};

// Each field fails one test of the check, which the check names with the
// position of the character that failed.
TEST_F(VaxDate, RejectsAFieldFailingAnyStepOfTheCheck)
{
    using F = DateFault;
    const struct {
        const char* field;
        DateFault fault;
        int position;
    } cases[] = {
        {"04-MAR-1996 13:58:04.09", F::day_first, 0},
        {" A-MAR-1996 13:58:04.09", F::day_digit, 1},
        {" 4 MAR-1996 13:58:04.09", F::day_dash, 2},
        {" 4-mAR-1996 13:58:04.09", F::month_letter, 3},
        {" 4-Mar-1996 13:58:04.09", F::month_letter, 4},
        {" 4-MAr-1996 13:58:04.09", F::month_letter, 5},
        {" 4-\xC4PR-1996 13:58:04.09", F::month_letter, 3},
        {" 4-MRZ-1996 13:58:04.09", F::month_name, 3},
        {" 4-MAR 1996 13:58:04.09", F::month_dash, 6},
        {" 4-MAR-19x6 13:58:04.09", F::year_digit, 9},
        {" 4-MAR-199\xB6 13:58:04.09", F::year_digit, 10},
        {" 4-MAR-1996-13:58:04.09", F::year_space, 11},
        {" 4-MAR-1977 13:58:04.09", F::year_range, 7},
        {" 4-MAR-2027 13:58:04.09", F::year_range, 7},
        {"17-SEP-1996 07:05:23,33", F::point, 20},
        {"40-MAR-1996 13:58:04.09", F::day_first, 0},
        {"7-SEP-1996 07:05:23.33 ", F::day_first, 0}, // shifted by a trailing space
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        EXPECT_EQ(check(c.field),
                  std::make_pair(1, "From: line 7 in file has invalid VAX date/time\n"
                                    ">From:\tNODE1::SMITH    " +
                                        std::string(c.field) + "<\n"));
        FolderDate date;
        put(date.field, c.field);
        DateVerdict verdict = check_date_field(date);
        EXPECT_EQ(verdict.fault, c.fault);
        EXPECT_EQ(verdict.position, c.position);
    }
}

TEST_F(VaxDate, DateLines)
{
    EXPECT_EQ(date_line_text(" 4-MAR-1996 13:58:04.09"), "Mon, 4 Mar 1996 13:58:04 +0000");
    EXPECT_EQ(date_line_text("17-SEP-1996 07:05:23.33"), "Tue, 17 Sep 1996 07:05:23 +0100");
    // Day 0 and days past the month's end take the weekday of the real day.
    EXPECT_EQ(date_line_text(" 0-MAR-1996 10:00:00.00"), "Thu, 0 Mar 1996 10:00:00 +0000");
    EXPECT_EQ(date_line_text("39-FEB-1996 10:00:00.00"), "Sun, 39 Feb 1996 10:00:00 +0000");
    EXPECT_EQ(date_line_text("31-APR-1996 10:00:00.00"), "Wed, 31 Apr 1996 10:00:00 +0100");
    // Neither the time nor the hundredths are checked; the years at the ends pass.
    EXPECT_EQ(date_line_text("17-SEP-1996 xx:yy:zz.33"), "Tue, 17 Sep 1996 xx:yy:zz +0100");
    EXPECT_EQ(date_line_text("28-FEB-1996 07:05:23.\xFF\x01"), "Wed, 28 Feb 1996 07:05:23 +0000");
    EXPECT_EQ(date_line_text("31-DEC-1978 23:59:59.99"), "Sun, 31 Dec 1978 23:59:59 +0000");
    EXPECT_EQ(date_line_text(" 1-JAN-2026 00:00:00.00"), "Thu, 1 Jan 2026 00:00:00 +0000");
    EXPECT_STREQ(folder_date.field.data(), " 1 Jan 2026 00:00:00");
    use_zones("+0500", "+0600", "Oct Nov Dec Jan Feb Mar Apr");
    EXPECT_EQ(date_line_text(" 4-MAR-1996 13:58:04.09"), "Mon, 4 Mar 1996 13:58:04 +0600");
    EXPECT_EQ(date_line_text("17-SEP-1996 07:05:23.33"), "Tue, 17 Sep 1996 07:05:23 +0500");
    use_zones("+0500", "+0600", "");
    EXPECT_EQ(date_line_text(" 1-APR-1996 10:00:00.00"), "Mon, 1 Apr 1996 10:00:00 +0500");
    use_zones("+0500", "+0600", "APR MAY");
    EXPECT_EQ(date_line_text(" 1-APR-1996 10:00:00.00"), "Mon, 1 Apr 1996 10:00:00 +0500");
    use_zones("ABCDEFGHIJ", "+0600", "JunJulAug");
    EXPECT_EQ(date_line_text("17-JUL-1996 07:05:23.33"), "Wed, 17 Jul 1996 07:05:23 +0600");
    EXPECT_EQ(date_line_text("17-SEP-1996 07:05:23.33"), "Tue, 17 Sep 1996 07:05:23 ABCDEFGHIJ");
}

TEST_F(VaxDate, WeekdaysMatchAnIndependentCalendar)
{
    const char* const months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                  "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    for (int year = 1978; year <= test_year; ++year)
        for (int month = 0; month < 12; ++month)
            for (int day : {0, 1, 15, 28, 29, 30, 31, 39}) {
                std::string field = std::string(day < 10 ? " " : "").append(std::to_string(day)) +
                                    "-" + months[month] + "-" + std::to_string(year) +
                                    " 12:00:00.00";
                std::tm calendar{}; // timegm carries day 0 and 29-39 into the next month
                calendar.tm_year = year - 1900, calendar.tm_mon = month, calendar.tm_mday = day;
#ifdef _WIN32
                _mkgmtime(&calendar);
#else
                timegm(&calendar);
#endif
                ASSERT_EQ(date_line_text(field).substr(0, 3), weekdays[calendar.tm_wday]) << field;
            }
}

} // namespace
