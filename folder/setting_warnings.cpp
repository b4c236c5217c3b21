#include "folder/setting_warnings.hpp"

#include "app/settings.hpp"
#include "app/standard_streams.hpp"
#include "convert/vax_date.hpp"
#include "folder/internet_date.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void warn(const char* text)
{
    print_text(stderr, "kestrel-folder: warning: %s\n", text);
}

// "+0100", "-0500": a sign and four digits.
bool is_numeric_offset(const char* zone)
{
    if (std::strlen(zone) != 5 || (zone[0] != '+' && zone[0] != '-'))
        return false;
    for (int i = 1; i < 5; ++i)
        if (zone[i] < '0' || zone[i] > '9')
            return false;
    return true;
}

void check_zone(const char* variable, const char* zone, const char* which)
{
    if (is_numeric_offset(zone))
        return;
    const char* value = find_environment_value(variable);
    char text[400];
    bool cut = value != nullptr && std::strlen(value) > zone_capacity;
    std::snprintf(text, sizeof text,
                  "%s is \"%s\"%s%s%s, not a numeric offset such as -0500: the date lines of %s "
                  "end in \"%s\"",
                  variable, value != nullptr ? value : zone, cut ? ", cut to \"" : "",
                  cut ? zone : "", cut ? "\"" : "", which, zone);
    warn(text);
}

const char* plural(std::int64_t count)
{
    return count == 1 ? "" : "s";
}

// "-0400", "+0530".
std::string offset_text(int minutes)
{
    char text[16];
    int size = std::abs(minutes);
    std::snprintf(text, sizeof text, "%c%02d%02d", minutes < 0 ? '-' : '+', size / 60, size % 60);
    return text;
}

// "5 hours", "1 hour 30 minutes".
std::string hours_text(int minutes)
{
    char text[40];
    int hours = minutes / 60;
    int rest = minutes % 60;
    int length = std::snprintf(text, sizeof text, "%d hour%s", hours, plural(hours));
    if (rest > 0)
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), " %d minutes",
                      rest);
    return text;
}

struct SeasonVerdict {
    const SeasonTally* tally;
    const char* variable;
    const char* setting;
    const char* months;
    ZoneGuess guess;
    bool known = false; // the setting is a zone that mail clients read
    int setting_minutes = 0;
    bool wrong = false;
};

// The setting leaves most of the season's dated messages more than an hour
// away from the offset that enough of them fit.
void judge(SeasonVerdict& v)
{
    v.guess = guess_zone(*v.tally);
    v.known = parse_zone(v.setting, v.setting_minutes);
    if (!v.guess.made)
        return;
    if (!v.known) {
        v.wrong = true;
        return;
    }
    v.wrong = std::abs(v.guess.offset_minutes - v.setting_minutes) > 60 &&
              agreeing_with(*v.tally, v.setting_minutes) * 2 < v.tally->dated;
}

} // namespace

bool load_and_warn_about_settings()
{
    bool user_known = find_environment_value(user_name_variable) != nullptr;
    if (user_known)
        require_user_name();
    else
        warn("KESTREL_VAX_USERNAME is not set: kestrel does not run without it, and your own "
             "messages are not counted");
    load_settings();
    check_zone(zone_variable, settings.zone.data(), "messages sent outside KESTREL_DST_MTHS");
    check_zone(dst_zone_variable, settings.dst_zone.data(), "messages sent in KESTREL_DST_MTHS");
    bool any_month = false;
    for (const char* month : month_names)
        any_month = any_month || is_dst_month(month) != 0;
    if (!any_month && settings.dst_months[0] != '\0') {
        char text[200];
        std::snprintf(text, sizeof text,
                      "KESTREL_DST_MTHS \"%s\" holds no month name written as Jul: no message "
                      "gets the zone of KESTREL_DST",
                      settings.dst_months.data());
        warn(text);
    }
    return user_known;
}

void warn_about_zones(const ZoneEvidence& evidence)
{
    SeasonVerdict seasons[] = {
        {&evidence.standard, zone_variable, settings.zone.data(), "outside KESTREL_DST_MTHS", {}},
        {&evidence.daylight,
         dst_zone_variable,
         settings.dst_zone.data(),
         "in KESTREL_DST_MTHS",
         {}}};
    for (SeasonVerdict& v : seasons)
        judge(v);
    if (!seasons[0].wrong && !seasons[1].wrong)
        return;
    std::string fitting;
    char text[600];
    for (const SeasonVerdict& v : seasons) {
        long long dated = static_cast<long long>(v.tally->dated);
        if (v.wrong) {
            std::string off =
                v.known
                    ? "are " + hours_text(std::abs(v.guess.offset_minutes - v.setting_minutes)) +
                          " off"
                    : "have no zone a mail client knows";
            std::snprintf(text, sizeof text,
                          "%lld of the %lld message%s sent %s that came through a mail gateway "
                          "put the VAX's clock at %s (their internet Date against the date of "
                          "their \"From:\" line); with %s \"%s\" their times %s",
                          static_cast<long long>(v.guess.agreeing), dated, plural(dated), v.months,
                          offset_text(v.guess.offset_minutes).c_str(), v.variable, v.setting,
                          off.c_str());
            warn(text);
            std::string setting =
                std::string(v.variable) + "=" + offset_text(v.guess.offset_minutes);
            if (shell_sets_variables_with_set)
                fitting += (fitting.empty() ? "set " : " and set ") + setting;
            else
                fitting += (fitting.empty() ? "export " : " ") + setting;
        } else if (!v.guess.made) {
            std::string count = dated == 0   ? "no message"
                                : dated == 1 ? "only 1 message"
                                             : (dated < fewest_agreeing ? "only " : "") +
                                                   std::to_string(dated) + " messages";
            std::snprintf(text, sizeof text,
                          "%s sent %s came through a mail gateway with an internet Date%s: %s "
                          "stays as it is",
                          count.c_str(), v.months,
                          dated == 0                ? ""
                          : dated < fewest_agreeing ? ", too few to tell the VAX's clock"
                                                    : ", too few of them agree on the VAX's clock",
                          v.variable);
            warn(text);
        }
    }
    warn(("settings that fit them: " + fitting).c_str());
}
