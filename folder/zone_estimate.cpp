#include "folder/zone_estimate.hpp"

#include "folder/internet_date.hpp"

#include <cstring>

namespace {

using Stage = ZoneEvidence::Stage;

bool is_blank_line(std::string_view line)
{
    for (char c : line)
        if (c != ' ' && c != '\t')
            return false;
    return true;
}

// "Name:" with a name of printable characters, or the "From " line that
// starts a message forwarded from a Unix mailbox.
bool is_header_field(std::string_view line)
{
    std::size_t i = 0;
    while (i < line.size() && line[i] > ' ' && line[i] < 0x7F && line[i] != ':')
        ++i;
    return (i > 0 && i < line.size() && line[i] == ':') || line.substr(0, 5) == "From ";
}

bool is_date_field(std::string_view line)
{
    return line.size() >= 5 && (line[0] == 'D' || line[0] == 'd') &&
           (line[1] == 'A' || line[1] == 'a') && (line[2] == 'T' || line[2] == 't') &&
           (line[3] == 'E' || line[3] == 'e') && line[4] == ':';
}

bool add_to_field(ZoneEvidence& e, std::string_view text)
{
    if (e.field_length + text.size() > e.field.size())
        return false;
    std::memcpy(e.field.data() + e.field_length, text.data(), text.size());
    e.field_length += text.size();
    return true;
}

// The Date field is whole: its message is counted when it holds a date.
void finish_date_field(ZoneEvidence& e)
{
    e.stage = Stage::done;
    InternetDate date;
    if (!parse_internet_date({e.field.data(), e.field_length}, date))
        return;
    count_difference(e.in_dst_months ? e.daylight : e.standard,
                     e.vax_seconds - date.universal_seconds);
}

// "hh:mm:ss" of the converter's date text, which its check leaves unread.
bool read_time(const char* text, int& seconds)
{
    auto two = [&](int at) {
        return (text[at] >= '0' && text[at] <= '9' && text[at + 1] >= '0' && text[at + 1] <= '9')
                   ? (text[at] - '0') * 10 + (text[at + 1] - '0')
                   : -1;
    };
    int hour = two(0), minute = two(3), second = two(6);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        text[2] != ':' || text[5] != ':')
        return false;
    seconds = hour * 3600 + minute * 60 + second;
    return true;
}

} // namespace

void zone_message_start(ZoneEvidence& e, const DateDiagnosis& diagnosis)
{
    zone_folder_end(e);
    const FolderDate& d = diagnosis.date;
    int seconds = 0;
    if (!(diagnosis.converts || diagnosis.repairable) || !read_time(d.field.data() + 12, seconds))
        return;
    e.vax_seconds = days_since_1970(d.year, d.month_number, d.day) * 86400 + seconds;
    e.in_dst_months = is_dst_month(d.month.data()) != 0;
    e.stage = Stage::vms_header;
}

void zone_message_line(ZoneEvidence& e, std::string_view line, bool piece)
{
    switch (e.stage) {
    case Stage::done:
        return;
    case Stage::vms_header:
        // To:, CC: and Subj: end in a blank line.
        if (is_blank_line(line))
            e.stage = Stage::before_body;
        return;
    case Stage::before_body:
        if (is_blank_line(line))
            return;
        if (!is_header_field(line)) {
            e.stage = Stage::done;
            return;
        }
        e.stage = Stage::internet_header;
        break;
    case Stage::date_field:
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (piece || !add_to_field(e, line))
                e.stage = Stage::done;
            return;
        }
        finish_date_field(e);
        return;
    case Stage::internet_header:
        break;
    }
    if (is_blank_line(line) || (line[0] != ' ' && line[0] != '\t' && !is_header_field(line))) {
        e.stage = Stage::done;
    } else if (is_date_field(line)) {
        e.field_length = 0;
        e.stage = !piece && add_to_field(e, line.substr(5)) ? Stage::date_field : Stage::done;
    }
}

void zone_folder_end(ZoneEvidence& e)
{
    if (e.stage == Stage::date_field)
        finish_date_field(e);
    e.stage = Stage::done;
}

void count_difference(SeasonTally& season, std::int64_t difference_seconds)
{
    ++season.dated;
    // Whole minutes, rounded down also below zero.
    std::int64_t minutes =
        difference_seconds >= 0 ? difference_seconds / 60 : -((-difference_seconds + 59) / 60);
    std::int64_t index = minutes - difference_base;
    if (index >= 0 && index < static_cast<std::int64_t>(difference_span))
        ++season.by_minute[static_cast<std::size_t>(index)];
}

std::int64_t agreeing_with(const SeasonTally& season, int offset_minutes)
{
    std::int64_t count = 0;
    for (int m = offset_minutes - early_minutes; m < offset_minutes + delay_minutes; ++m) {
        int index = m - difference_base;
        if (index >= 0 && index < static_cast<int>(difference_span))
            count += season.by_minute[static_cast<std::size_t>(index)];
    }
    return count;
}

ZoneGuess guess_zone(const SeasonTally& season)
{
    ZoneGuess best;
    bool best_whole = false;
    for (int offset = lowest_offset; offset <= highest_offset; offset += offset_step) {
        std::int64_t count = agreeing_with(season, offset);
        bool whole = offset % 60 == 0;
        if (count > best.agreeing || (count == best.agreeing && count > 0 && whole >= best_whole)) {
            best.agreeing = count;
            best.offset_minutes = offset;
            best_whole = whole;
        }
    }
    best.made = best.agreeing >= fewest_agreeing && best.agreeing * agreeing_share >= season.dated;
    return best;
}
