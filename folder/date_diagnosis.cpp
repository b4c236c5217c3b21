#include "folder/date_diagnosis.hpp"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t old_form_length = 17;     // "15-JAN-1985 11:31"
constexpr const char* added_seconds = ":00.00"; // what the old form lacks
constexpr const char* mends_it = "repair mends it";
constexpr const char* cannot_mend_it = "repair cannot mend it";

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}
bool is_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
char to_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The faults found, joined into one text.
struct FaultText {
    char* text;
    std::size_t length = 0;
    void add(const char* part)
    {
        std::size_t room = diagnosis_text_capacity - 1 - length;
        int written = std::snprintf(text + length, room + 1, "%s%s", length > 0 ? "; " : "", part);
        std::size_t added = written < 0 ? 0 : static_cast<std::size_t>(written);
        length += added < room ? added : room;
    }
};

// The mends of the date at the end of the tail, found by its shape. The
// line's date is then the mended text checked by the converter's test.
struct Mend {
    bool old_form = false;     // no seconds and hundredths
    bool blanks = false;       // blanks or tabs after the date
    bool leading_zero = false; // day "04"
    bool month_case = false;   // month not in capitals
    bool padded = false;       // a one-digit day of the old form given its padding space
    std::size_t start = 0;     // in the tail: where the replaced text begins
    char text[mended_capacity + 1] = {};
    std::size_t length = 0;
    bool any() const { return old_form || blanks || leading_zero || month_case || padded; }
};

bool ends_in_old_form(const char* t, std::size_t e)
{
    return e >= old_form_length && is_digit(t[e - 1]) && is_digit(t[e - 2]) && t[e - 3] == ':' &&
           is_digit(t[e - 4]) && is_digit(t[e - 5]) && t[e - 6] == ' ';
}

// False when the tail holds nothing shaped like a date to mend.
bool find_mend(const FromLine& line, Mend& m)
{
    const char* t = line.tail;
    std::size_t e = line.tail_length;
    while (e > 0 && is_blank(t[e - 1]))
        --e;
    m.blanks = e < line.tail_length;
    m.old_form = ends_in_old_form(t, e);
    std::size_t core = m.old_form ? old_form_length : static_cast<std::size_t>(date_field_length);
    if (e < core)
        return false;
    m.start = e - core;
    char date[date_field_length + 1];
    std::memcpy(date, t + m.start, core);
    if (date[0] == '0' && is_digit(date[1])) {
        date[0] = ' ';
        m.leading_zero = true;
    } else if (m.old_form && date[0] != ' ' && !is_digit(date[0]) && is_digit(date[1])) {
        // "\t4-JAN-1985 11:31": the character before the day stays, and the
        // day gets the padding space that VAX MAIL writes.
        m.padded = true;
    }
    if (is_letter(date[3]) && is_letter(date[4]) && is_letter(date[5])) {
        for (int i = 3; i <= 5; ++i) {
            m.month_case = m.month_case || date[i] != to_upper(date[i]);
            date[i] = to_upper(date[i]);
        }
    }
    m.length = 0;
    if (m.padded) {
        m.text[m.length++] = date[0];
        m.text[m.length++] = ' ';
        std::memcpy(m.text + m.length, date + 1, core - 1);
        m.length += core - 1;
    } else {
        std::memcpy(m.text, date, core);
        m.length = core;
    }
    if (m.old_form) {
        std::memcpy(m.text + m.length, added_seconds, std::strlen(added_seconds));
        m.length += std::strlen(added_seconds);
    }
    m.text[m.length] = '\0';
    return true;
}

// The line with its tail's end replaced by the mend.
void apply_mend(const FromLine& line, const Mend& m, FromLine& mended)
{
    mended = line;
    std::size_t replaced = line.tail_length - m.start;
    std::size_t keep = m.start;
    // The tail has room for the few characters a mend adds.
    static_assert(from_tail_capacity + from_tail_room >=
                  from_tail_capacity + mended_capacity - old_form_length);
    std::memcpy(mended.tail + keep, m.text, m.length);
    mended.tail_length = keep + m.length;
    mended.length =
        line.length - static_cast<std::int64_t>(replaced) + static_cast<std::int64_t>(m.length);
}

// Whether the converter takes the line: long enough, and its date passes.
bool converter_takes(const FromLine& line, FolderDate& date, DateVerdict& verdict)
{
    if (line.length < static_cast<std::int64_t>(shortest_from_line))
        return false;
    take_date_field(line, date);
    verdict = check_date_field(date);
    return verdict.fault == DateFault::none;
}

// One fault of the date field that no mend covers, in words; `field` is the
// field as it was before the check changed it, `column` the line's
// character (from 1) where the field begins.
void describe_fault(const DateVerdict& v, const char* field, std::int64_t column, FaultText& out)
{
    char part[160];
    const char* shown = shown_text(field + v.position, 1);
    long long at = static_cast<long long>(column + v.position);
    switch (v.fault) {
    case DateFault::month_name:
        std::snprintf(part, sizeof part, "month \"%s\" is no month", shown_text(field + 3, 3));
        break;
    case DateFault::year_range:
        std::snprintf(part, sizeof part, "year %.4s is %s", field + 7,
                      std::memcmp(field + 7, "1978", 4) < 0 ? "before 1978"
                                                            : "after the current year");
        break;
    default: {
        const char* wanted = "";
        switch (v.fault) {
        case DateFault::day_first:
        case DateFault::day_digit:
            wanted = "a day";
            break;
        case DateFault::day_dash:
        case DateFault::month_dash:
            wanted = "\"-\"";
            break;
        case DateFault::month_letter:
            wanted = "a month";
            break;
        case DateFault::year_digit:
            wanted = "a four-digit year";
            break;
        case DateFault::year_space:
            wanted = "the space after the year";
            break;
        default:
            wanted = "the \".\" before the hundredths";
            break;
        }
        std::snprintf(part, sizeof part, "\"%s\" at character %lld where %s belongs", shown, at,
                      wanted);
    }
    }
    out.add(part);
}

} // namespace

const char* shown_text(const char* text, std::size_t size)
{
    static char shown[4 * (from_tail_capacity + mended_capacity) + 1];
    std::size_t length = 0;
    for (std::size_t i = 0; i < size && length + 4 < sizeof shown; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\t') {
            shown[length++] = '\\';
            shown[length++] = 't';
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(shown + length, 5, "\\x%02X", c);
            length += 4;
        } else {
            shown[length++] = static_cast<char>(c);
        }
    }
    shown[length] = '\0';
    return shown;
}

void diagnose_from_line(const FromLine& line, DateDiagnosis& d)
{
    d = DateDiagnosis{};
    DateVerdict verdict;
    if (converter_takes(line, d.date, verdict)) {
        d.converts = true;
        d.own = is_own_line(line, tail_kept_after_cut(line));
        return;
    }
    FaultText what{d.what};
    Mend m;
    bool shaped = find_mend(line, m);
    static FromLine mended;
    if (shaped && m.any()) {
        apply_mend(line, m, mended);
        if (converter_takes(mended, d.date, verdict)) {
            d.repairable = true;
            d.replaced = line.tail_length - m.start;
            std::memcpy(d.mended, m.text, m.length + 1);
            d.mended_length = m.length;
            d.own = is_own_line(mended, tail_kept_after_cut(mended));
        }
    }
    if (m.old_form)
        what.add("old date form without seconds");
    if (m.blanks)
        what.add("blanks or tabs after the date");
    if (m.leading_zero)
        what.add("day written with a leading zero");
    if (m.month_case)
        what.add("month not in capitals");
    if (!d.repairable) {
        // The fault that stays: that of the mended line, else of the line
        // as it stands.
        const FromLine& judged = shaped && m.any() ? mended : line;
        FolderDate date;
        if (judged.length < static_cast<std::int64_t>(shortest_from_line)) {
            what.add("\"From:\" line too short to hold a date");
        } else {
            converter_takes(judged, date, verdict);
            char field[date_field_length + 1];
            std::memcpy(field, judged.tail + judged.tail_length - date_field_length,
                        date_field_length);
            field[date_field_length] = '\0';
            std::int64_t column = line.length - date_field_length + 1;
            // The mended field's characters that can fail stood on the
            // line from where the mend begins (an added padding space
            // passes).
            if (&judged == &mended)
                column = line.length - static_cast<std::int64_t>(line.tail_length) +
                         static_cast<std::int64_t>(m.start) + 1;
            describe_fault(verdict, field, column, what);
        }
    }
    what.add(d.repairable ? mends_it : cannot_mend_it);
}
