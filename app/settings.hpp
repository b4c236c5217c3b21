// The run's configuration, taken from four environment variables once,
// before the first folder, and only read afterwards.
#pragma once

#include <array>
#include <cstddef>

inline constexpr std::size_t user_name_capacity = 50;
inline constexpr std::size_t zone_capacity = 10;
inline constexpr std::size_t dst_months_capacity = 50;

struct Settings {
    std::array<char, user_name_capacity + 1> user_name{};
    std::array<char, zone_capacity + 1> zone{};
    std::array<char, zone_capacity + 1> dst_zone{};
    std::array<char, dst_months_capacity + 1> dst_months{};
};

extern Settings settings;

inline constexpr const char* user_name_variable = "KESTREL_VAX_USERNAME";
inline constexpr const char* zone_variable = "KESTREL_TZ";
inline constexpr const char* dst_zone_variable = "KESTREL_DST";
inline constexpr const char* dst_months_variable = "KESTREL_DST_MTHS";

// Looks a variable up by name without regard to the case of ASCII letters;
// the first matching entry of the environment wins. Null when absent.
const char* find_environment_value(const char* name);

int require_user_name();
void load_settings();
