// The diagnosis of kestrel-folder: what is wrong with the date of a message's
// "From:" line, in words, and the mend, judged by the converter's own check.
#include "app/settings.hpp"
#include "folder/date_diagnosis.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

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

} // namespace
