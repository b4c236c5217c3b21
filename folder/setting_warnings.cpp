#include "folder/setting_warnings.hpp"

#include "app/settings.hpp"
#include "app/standard_streams.hpp"
#include "convert/vax_date.hpp"

#include <cstdio>
#include <cstring>

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
