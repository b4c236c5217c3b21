#include "mbx/header_date.hpp"

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value)
{
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "hh:mm:ss" with hours to 23, minutes and seconds to 59: the VAX clock
// knows no leap second, and readers refuse a second 60 as no date.
bool is_time_of_day(std::string_view time)
{
    int h = 0, m = 0, s = 0;
    return time.size() == 8 && digits(time, 0, 2, h) && time[2] == ':' && digits(time, 3, 2, m) &&
           time[5] == ':' && digits(time, 6, 2, s) && h <= 23 && m <= 59 && s <= 59;
}

// "+hhmm" or "-hhmm" of less than a day.
bool is_numeric_zone(std::string_view zone)
{
    int h = 0, m = 0;
    return zone.size() == 5 && (zone[0] == '+' || zone[0] == '-') && digits(zone, 1, 2, h) &&
           digits(zone, 3, 2, m) && h <= 23 && m <= 59;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Where the `count`th space from `from` on is, or npos.
std::size_t space_after(std::string_view text, std::size_t from, int count)
{
    std::size_t at = from;
    for (; count > 0 && at != std::string_view::npos; --count)
        if ((at = text.find(' ', at)) != std::string_view::npos && count > 1)
            ++at;
    return at;
}

} // namespace

HeaderDate header_date_of(std::string_view converter_text)
{
    HeaderDate made;
    make_header_date(converter_text, made);
    return made;
}

void make_header_date(std::string_view converter_text, HeaderDate& made)
{
    std::string_view text = converter_text;
    // The usual text: as the converter wrote it, or with its day carried.
    if (auto date = parse_sending_date(text);
        date && is_time_of_day(date->time) && is_numeric_zone(date->zone)) {
        made.date = *date;
        made.text.clear();
        append_header_date(made.text, made.date);
        made.changed = made.text != converter_text;
        return;
    }
    // Else: the converter writes "Www, D Mon YYYY ", then the VAX's eight
    // characters of time, whatever they hold, a space and the zone text. The
    // date is read with a time that surely is one; the time and the zone are
    // judged here.
    std::size_t comma = text.find(", ");
    std::size_t year_end =
        space_after(text, comma != std::string_view::npos && comma <= 7 ? comma + 2 : 0, 3);
    std::optional<SendingDate> date;
    std::string_view rest;
    if (year_end != std::string_view::npos) {
        date = parse_sending_date(std::string(text.substr(0, year_end)) + " 00:00:00 +0000");
        rest = text.substr(year_end + 1);
    }
    if (!date) {
        date = parse_sending_date("1 Jan 1970 00:00:00 -0000");
        rest = {};
    }
    std::string_view time = rest.substr(0, rest.size() >= 8 ? 8 : rest.size());
    std::string_view zone = trimmed(rest.size() > 8 ? rest.substr(8) : std::string_view{});
    if (rest.size() > 8 && rest[8] != ' ') {
        // Not the converter's eight characters: the time ends at a space.
        std::size_t space = rest.find(' ');
        time = rest.substr(0, space);
        zone = space == std::string_view::npos ? std::string_view{} : trimmed(rest.substr(space));
    }
    made.date = *date;
    made.date.time = is_time_of_day(time) ? std::string(time) : "00:00:00";
    made.date.zone = is_numeric_zone(zone) ? std::string(zone) : "-0000";
    made.text.clear();
    append_header_date(made.text, made.date);
    made.changed = made.text != converter_text;
}
