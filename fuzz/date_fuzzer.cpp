// The sending-date check on arbitrary 23-byte date fields: each one either
// fails the check, or passes and gives header lines whose date text has 19 or
// 20 characters and whose weekday is the real one.
//
// Input: the 23 bytes of the field; an optional 24th byte picks the latest
// acceptable year (1978 + the byte; 9999 without it) and a 25th the zone
// settings. A field cut from a line never holds a zero byte, so such inputs
// are skipped.

#include "app/settings.hpp"
#include "convert/conversion_state.hpp"
#include "convert/vax_date.hpp"
#include "fuzz/vax_date_model.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <std::size_t N> void set_field(std::array<char, N>& field, const char* value)
{
    std::snprintf(field.data(), N, "%s", value);
}

[[noreturn]] void violated(const std::string& field, const std::string& what)
{
    std::fprintf(stderr, "date_fuzzer: field >%s<: %s\n", field.c_str(), what.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 23 || std::memchr(data, 0, 23) != nullptr)
        return 0;
    std::string field(reinterpret_cast<const char*>(data), 23);
    current_year = size > 23 ? 1978 + data[23] : 9999;
    const model::ZoneSet& zones =
        model::zone_sets[size > 24 ? data[24] % std::size(model::zone_sets) : 0];
    set_field(settings.zone, zones.zone);
    set_field(settings.dst_zone, zones.dst_zone);
    set_field(settings.dst_months, zones.dst_months);
    conversion.line_number = 1;

    std::memcpy(folder_date.field.data(), field.data(), 23);
    folder_date.field[23] = '\0';
    std::string from_line = "From:\tNODE::SMITH " + field;
    int status = check_vax_date(from_line.c_str());
    model::VaxDate expected = model::read_vax_date(field, current_year);
    if (status != (expected.valid ? 0 : 1))
        violated(field, "check gave " + std::to_string(status));
    if (status != 0)
        return 0;

    DateLines lines = build_date_lines();
    std::string date = lines.date.data();
    std::string received = lines.received.data();
    // "Date: Www, " then the date text, a space and the zone of the month.
    std::string weekday = date.substr(6, 3);
    if (date.compare(0, 6, "Date: ") != 0 || date.compare(9, 2, ", ") != 0 ||
        std::find(model::weekday_names.begin(), model::weekday_names.end(), weekday) ==
            model::weekday_names.end())
        violated(field, "Date line >" + date + "< has no real weekday");
    std::size_t text_length = 0;
    for (const char* zone : {zones.zone, zones.dst_zone}) {
        std::string suffix = std::string(" ") + zone;
        if (date.size() >= 11 + suffix.size() &&
            date.compare(date.size() - suffix.size(), suffix.size(), suffix) == 0)
            text_length = date.size() - 11 - suffix.size();
    }
    if (text_length != 19 && text_length != 20)
        violated(field, "Date line >" + date + "< has no date text of 19 or 20 characters");
    std::string rest =
        model::date_line_rest(expected, zones.zone, zones.dst_zone, zones.dst_months);
    if (date != "Date: " + rest)
        violated(field, "Date line >" + date + "<, expected >Date: " + rest + "<");
    if (received != "Received: ; " + rest)
        violated(field, "Received line >" + received + "<, expected >Received: ; " + rest + "<");
    return 0;
}
