// The diagnosis of kestrel-folder: what is wrong with the date of a message's
// "From:" line, in words, and the mend, judged by the converter's own check;
// the internet dates that mail gateways wrote, and the VAX's zone told from
// them.
#include "app/settings.hpp"
#include "folder/date_diagnosis.hpp"
#include "folder/internet_date.hpp"
#include "folder/zone_estimate.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

class FolderCheck : public testing::Test {
  protected:
    FolderCheck() { std::strcpy(settings.user_name.data(), "SMITH"); }
    ~FolderCheck() override
    {
        settings = saved_settings;
        current_year = saved_year;
    }
    // A line of at most 511 characters, read whole.
    static DateDiagnosis diagnose(const std::string& text)
    {
        static FromLine line;
        TextInput unused;
        char buffer[line_buffer_size];
        FolderRead read;
        read.text = text.data();
        read.length = text.size();
        take_from_line(unused, buffer, read, line, nullptr);
        DateDiagnosis diagnosis;
        diagnose_from_line(line, diagnosis);
        return diagnosis;
    }
    Settings saved_settings = settings;
    std::int32_t saved_year = std::exchange(current_year, 2026);
};

TEST_F(FolderCheck, NamesTheFaultAndTheMend)
{
    const struct {
        std::string line;
        std::string what;
        std::string mended; // empty: repair cannot mend it
        std::size_t replaced = 0;
        bool own = false;
    } cases[] = {
        // clang-format off
        {"From:\tA::DYER  \"Frankie\" 15-JAN-1985 11:31",
         "old date form without seconds; repair mends it", "15-JAN-1985 11:31:00.00", 17},
        {"From:\tMAILER         30-OCT-1985 10:58  ",
         "old date form without seconds; blanks or tabs after the date; repair mends it",
         "30-OCT-1985 10:58:00.00", 19},
        {"From:\tRANI::GLANTZ          9-JAN-1985 13:54",
         "old date form without seconds; repair mends it", " 9-JAN-1985 13:54:00.00", 17},
        // A one-digit day of the old form gets its padding space.
        {"From:\tRANI::SMITH\t9-JAN-1985 13:54",
         "old date form without seconds; repair mends it", "\t 9-JAN-1985 13:54:00.00", 17, true},
        {"From:\tNODE1::SMITH  17-SEP-1996 07:05:23.33 \t ",
         "blanks or tabs after the date; repair mends it", "17-SEP-1996 07:05:23.33", 26, true},
        {"From:\tNODE1::SMITH  04-MAR-1996 13:58:04.09",
         "day written with a leading zero; repair mends it", " 4-MAR-1996 13:58:04.09", 23, true},
        {"From:\tNODE1::JONES  4-Mar-1996 13:58:04.09",
         "month not in capitals; repair mends it", " 4-MAR-1996 13:58:04.09", 23},
        {"From:\tX::Y  05-feb-1985 11:31\t",
         "old date form without seconds; blanks or tabs after the date; day written with a "
         "leading zero; month not in capitals; repair mends it", " 5-FEB-1985 11:31:00.00", 18},
        // Too short to hold a date as it stands, long enough once mended.
        {"From:\tA 15-JAN-1985 11:31",
         "old date form without seconds; repair mends it", "15-JAN-1985 11:31:00.00", 17},
        {"From:\tX::Y  15-JUX-1985 11:31",
         "old date form without seconds; month \"JUX\" is no month; repair cannot mend it", ""},
        {"From:\tX::Y  17-SEP-1977 07:05:23.33", "year 1977 is before 1978; repair cannot mend it",
         ""},
        {"From:\tX::Y  17-sep-2027 07:05:23.33",
         "month not in capitals; year 2027 is after the current year; repair cannot mend it", ""},
        {"From:\tX::Y  17-SEP-1996 07:05:23,33",
         "\",\" at character 33 where the \".\" before the hundredths belongs; repair cannot mend "
         "it", ""},
        {"From:\tX::Y\t17-SEP-1996\t07:05:23.33",
         "\"\\t\" at character 23 where the space after the year belongs; repair cannot mend it", ""},
        {"From:\tX::Y  17-SEP-96 07:05:23.33",
         "\" \" at character 12 where a day belongs; repair cannot mend it", ""},
        // A two-digit day that is no day is not taken for a one-digit one.
        {"From:\tX::Y  45-JAN-1985 11:31",
         "old date form without seconds; \"4\" at character 13 where a day belongs; repair "
         "cannot mend it", ""},
        {"From:\tX::Y  1\xC4-SEP-1985 07:05",
         "old date form without seconds; \"\\xC4\" at character 14 where a day belongs; repair "
         "cannot mend it", ""},
        {"From:\t 4-MAR-1996 13:58:04.09",
         "\"From:\" line too short to hold a date; repair cannot mend it", ""},
        {"From:\tNODE1::SMITH, no date at all",
         "\":\" at character 12 where a day belongs; repair cannot mend it", ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        DateDiagnosis d = diagnose(c.line);
        EXPECT_FALSE(d.converts);
        EXPECT_EQ(std::string(d.what), c.what);
        EXPECT_EQ(d.repairable, !c.mended.empty());
        EXPECT_EQ(std::string(d.mended, d.mended_length), c.mended);
        EXPECT_EQ(d.replaced, c.replaced);
        EXPECT_EQ(d.own, c.own);
    }
}

TEST_F(FolderCheck, TakesWhatConvertsAsItStands)
{
    for (const char* line :
         {"From:\tNODE1::SMITH  4-MAR-1996 13:58:04.09", "From:\tX 4-MAR-1996 13:58:04.09",
          "From:\tX::Y  39-FEB-2026 aa:bb:cc.dd"}) {
        SCOPED_TRACE(line);
        DateDiagnosis d = diagnose(line);
        EXPECT_TRUE(d.converts);
        EXPECT_FALSE(d.repairable);
        EXPECT_STREQ(d.what, "");
        EXPECT_EQ(d.own, std::strstr(line, "SMITH") != nullptr);
    }
    EXPECT_EQ(diagnose("From:\tX::Y  39-FEB-2026 aa:bb:cc.dd").date.day, 39);
}

std::int64_t universal(int year, int month, int day, int hour, int minute, int second)
{
    return days_since_1970(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

TEST(InternetDate, ReadsTheFormsGatewaysWrote)
{
    const struct {
        std::string text;
        bool read;
        std::int64_t at = 0; // UT
        int offset = 0;
    } cases[] = {
        // clang-format off
        {" Mon, 4 Apr 88 20:42:52 EDT", true, universal(1988, 4, 5, 0, 42, 52), -240},
        {"  2 Apr 88 20:15:30 EST", true, universal(1988, 4, 3, 1, 15, 30), -300},
        {" Thu, 20 JUL 89 16:07 edt", true, universal(1989, 7, 20, 20, 7, 0), -240},
        {"     Tue, 31 Jul 90 11:41:51 PDT", true, universal(1990, 7, 31, 18, 41, 51), -420},
        {" Fri, 19 Aug 1994 17:25:33 -0400 (EDT)", true, universal(1994, 8, 19, 21, 25, 33), -240},
        {" Tue, 3 Nov 1998 00:30:24 +0200", true, universal(1998, 11, 2, 22, 30, 24), 120},
        {" Wed 30-Oct-85 10:53:24-EST", true, universal(1985, 10, 30, 15, 53, 24), -300},
        {" Thursday, 5 January 1989 9:05 CST", true, universal(1989, 1, 5, 15, 5, 0), -360},
        {" 1 Mar 90 23:30 MDT", true, universal(1990, 3, 2, 5, 30, 0), -360},
        {" (sent) Mon (Monday), 4 (\\)) Apr (x (y)) 88 20:42:52 GMT (z)", true,
         universal(1988, 4, 4, 20, 42, 52), 0},
        {" Mon, 4 Apr 88\n\t20:42:52 UT", true, universal(1988, 4, 4, 20, 42, 52), 0},
        {" 1 Jan 00 00:00 +0530", true, universal(1999, 12, 31, 18, 30, 0), 330},
        {" 31 Dec 49 23:59:60 -0000", true, universal(2050, 1, 1, 0, 0, 0), 0},
        {" 31 Dec 149 12:00 GMT", true, universal(2049, 12, 31, 12, 0, 0), 0},
        // Military zones and other names say no zone anyone can be sure of.
        {" Mon, 4 Apr 88 20:42:52 Z", false},
        {" Mon, 4 Apr 88 20:42:52 A", false},
        {" Mon, 4 Apr 88 20:42:52 MET", false},
        {" Mon, 4 Apr 88 20:42:52", false},
        {" Mon Apr  4 20:42:52 1988", false},
        {" Mon, 4 Apr 88 20:42:52 EDT and more", false},
        {" Mon, 4 Apr 88 20:42:52 EDT (open", false},
        {" Mon, 4 Apr 88 20:42:52 +05", false},
        {" Mon, 4 Apr 88 20:42:52 +2460", false},
        {" Mon, 32 Apr 88 20:42:52 EDT", false},
        {" Mon, 4 Apx 88 20:42:52 EDT", false},
        {" Mon, 4 Apr 8 20:42:52 EDT", false},
        {" Mon, 4 Apr 88 24:00 EDT", false},
        {" Mon, 4 Apr 88 20:60 EDT", false},
        {" Mon, 4 Apr 88 20:4 EDT", false},
        {" Mon, 4 Apr 88 20:42:61 EDT", false},
        {" Mon, 4Apr 88 20:42 EDT", false},
        {" Mo, 4 Apr 88 20:42 EDT", false},
        {"", false},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        InternetDate date;
        ASSERT_EQ(parse_internet_date(c.text, date), c.read);
        if (c.read) {
            EXPECT_EQ(date.universal_seconds, c.at);
            EXPECT_EQ(date.offset_minutes, c.offset);
        }
    }
    // A setting's zone is read as a date's.
    int offset = 0;
    EXPECT_TRUE(parse_zone("-0330", offset));
    EXPECT_EQ(offset, -210);
    EXPECT_TRUE(parse_zone("edt", offset));
    EXPECT_EQ(offset, -240);
    EXPECT_FALSE(parse_zone("America/Ne", offset));
    EXPECT_FALSE(parse_zone("+0100 x", offset));
}

// The offset most messages fit, as delays only add to the difference.
TEST(ZoneEstimate, TheOffsetMostMessagesFit)
{
    const struct {
        std::vector<int> minutes; // differences between the VAX's clock and UT
        bool made;
        int offset = 0;
        std::int64_t agreeing = 0;
    } cases[] = {
        // Delays of a few minutes to an hour and a half; clocks a little early.
        {{-300, -290, -280, -272, -215}, true, -300, 5},
        {{-300, -292, -285, -272, 2000, -9000}, true, -300, 4},
        {{-248, -196, -175, -166, -295, 1057}, true, -240, 4},
        // A zone of a half hour where a message needs it; of equals, a
        // whole hour.
        {{-210, -200, -190, -140}, true, -210, 4},
        {{330, 335, 395}, true, 330, 3},
        {{-272, -265, -250}, true, -300, 3},
        {{840, 845, 900}, true, 840, 3},
        {{-720, -715, -700}, true, -720, 3},
        // Too few, or too few of the many.
        {{-300, -290}, false, -300, 2},
        {{-300, -290, -280, 100, 400, 700, 900, 1200, 1500, 2000}, false, -300, 3},
        {{}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.minutes));
        static SeasonTally season;
        season = SeasonTally{};
        for (int m : c.minutes)
            count_difference(season, static_cast<std::int64_t>(m) * 60 - 30);
        ZoneGuess guess = guess_zone(season);
        EXPECT_EQ(guess.made, c.made);
        EXPECT_EQ(guess.agreeing, c.agreeing);
        if (c.agreeing > 0) {
            EXPECT_EQ(guess.offset_minutes, c.offset);
        }
    }
}

} // namespace
