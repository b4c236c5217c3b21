#include "app/settings.hpp"

#include "app/report.hpp"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#define environ _environ // the C library's own, in the ANSI code page
#else
extern char** environ;
#endif

Settings settings;

namespace {

char ascii_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Copies at most the field's capacity of the value, always terminated.
template <std::size_t N> void set_field(std::array<char, N>& field, const char* value)
{
    std::size_t length = strnlen(value, N - 1);
    std::memcpy(field.data(), value, length);
    field[length] = '\0';
}

template <std::size_t N>
void set_field_or_default(std::array<char, N>& field, const char* name, const char* fallback)
{
    const char* value = find_environment_value(name);
    set_field(field, value != nullptr ? value : fallback);
}

} // namespace

const char* find_environment_value(const char* name)
{
    std::size_t length = std::strlen(name);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* text = *entry;
        std::size_t i = 0;
        while (i < length && text[i] != '\0' && ascii_upper(text[i]) == ascii_upper(name[i]))
            ++i;
        if (i == length && text[i] == '=')
            return text + i + 1;
    }
    return nullptr;
}

int require_user_name()
{
    const char* value = find_environment_value(user_name_variable);
    if (value == nullptr) {
        report("\nMust set the %s environment variable with your VAX username.\n",
               user_name_variable);
        report(
            "Use what appears in the 'From: ' line in your mail messages (case is important).\n");
        return 1;
    }
    set_field(settings.user_name, value);
    return 0;
}

void load_settings()
{
    set_field_or_default(settings.zone, zone_variable, "+0000");
    set_field_or_default(settings.dst_zone, dst_zone_variable, "+0100");
    set_field_or_default(settings.dst_months, dst_months_variable, "Apr May Jun Jul Aug Sep Oct");
}
