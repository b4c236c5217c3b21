#include "app/settings.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#define environ _environ // the C library's own, in the ANSI code page
#else
extern char** environ;
#endif

namespace {

// Puts exactly `entries`, in this order, in place of the process
// environment; the real one and the settings come back afterwards.
class EnvironmentSettings : public testing::Test {
  protected:
    ~EnvironmentSettings() override
    {
        environ = saved_environ;
        settings = saved_settings;
    }
    void use_environment(std::vector<std::string> entries)
    {
        texts = std::move(entries);
        pointers.clear();
        for (std::string& text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        environ = pointers.data();
    }
    char** saved_environ = environ;
    Settings saved_settings = settings;
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

TEST_F(EnvironmentSettings, LookUpIgnoresAsciiCaseAndTakesTheFirstMatch)
{
    struct Row {
        std::vector<std::string> environment;
        const char* name;
        const char* value; // null: absent
    };
    const Row rows[] = {
        {{"PATH=/bin", "kestrel_tz=+0200"}, "KESTREL_TZ", "+0200"},
        {{"Kestrel_Tz=x"}, "kestrel_tZ", "x"},
        {{"kestrel_dst=a", "KESTREL_DST=b"}, "KESTREL_DST", "a"},
        {{"KESTREL_DST=b", "kestrel_dst=a"}, "KESTREL_DST", "b"},
        {{"KESTREL_DST=", "KESTREL_DST=b"}, "KESTREL_DST", ""},
        {{"KESTREL_DST=a=b"}, "KESTREL_DST", "a=b"},
        {{"KESTREL_TZX=1", "KESTREL_T=2", "KESTREL_TZ"}, "KESTREL_TZ", nullptr},
        {{"KESTREL\x7FTZ=1"}, "KESTREL_TZ", nullptr}, // only letters fold
        {{"KESTREL\xDFTZ=1"}, "KESTREL\xFFTZ", nullptr},
        {{}, "KESTREL_TZ", nullptr},
    };
    for (const Row& row : rows) {
        use_environment(row.environment);
        const char* value = find_environment_value(row.name);
        EXPECT_EQ(value ? std::string(value) : "(absent)", row.value ? row.value : "(absent)")
            << row.name << " in " << testing::PrintToString(texts);
    }
}

TEST_F(EnvironmentSettings, UserName)
{
    std::string sixty(60, 'U');
    use_environment({"kestrel_vax_username=" + sixty});
    EXPECT_EQ(require_user_name(), 0);
    EXPECT_EQ(std::string(settings.user_name.data()), sixty.substr(0, 50));
    use_environment({"KESTREL_VAX_USERNAME="});
    EXPECT_EQ(require_user_name(), 0);
    EXPECT_STREQ(settings.user_name.data(), "");
    use_environment({"KESTREL_VAX_USER=SMITH"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(require_user_name(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nMust set the KESTREL_VAX_USERNAME environment variable with your VAX username.\n"
              "Use what appears in the 'From: ' line in your mail messages (case is important).\n");
}

TEST_F(EnvironmentSettings, ZonesAndMonths)
{
    auto loaded = [this](std::vector<std::string> entries) {
        use_environment(std::move(entries));
        load_settings();
        return std::vector<std::string>{settings.zone.data(), settings.dst_zone.data(),
                                        settings.dst_months.data()};
    };
    using Texts = std::vector<std::string>;
    EXPECT_EQ(loaded({}), Texts({"+0000", "+0100", "Apr May Jun Jul Aug Sep Oct"}));
    std::string months = "Oct Nov Dec Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
    EXPECT_EQ(loaded({"kestrel_tz=+0123456789AB", "KESTREL_DST=summer time",
                      "Kestrel_Dst_Mths=" + months}),
              Texts({"+012345678", "summer tim", months.substr(0, 50)}));
    EXPECT_EQ(loaded({"KESTREL_TZ=", "KESTREL_DST=", "KESTREL_DST_MTHS="}), Texts({"", "", ""}));
}

} // namespace
