// What is wrong with the date at the end of a message's "From:" line, and
// how the line is mended when it can be. Whether a line converts is never
// decided here: the converter's own date check decides, on the line as it
// stands and on the mended one; this only names the fault and proposes the
// mend.
#pragma once

#include "convert/folder_lines.hpp"
#include "convert/vax_date.hpp"

#include <cstddef>

inline constexpr std::size_t diagnosis_text_capacity = 320;
inline constexpr std::size_t mended_capacity = date_field_length + 2;

struct DateDiagnosis {
    bool converts = false;                   // the converter takes the line as it stands
    bool repairable = false;                 // and with the mend it would
    char what[diagnosis_text_capacity] = {}; // what is wrong, and whether repair mends it
    // The mend: the line's last `replaced` characters become `mended`.
    std::size_t replaced = 0;
    char mended[mended_capacity + 1] = {};
    std::size_t mended_length = 0;
    FolderDate date;  // the date checked, as it stands or mended
    bool own = false; // the user's own message, as it stands or mended
};

// The line is a message's "From:" line, taken whole.
void diagnose_from_line(const FromLine& line, DateDiagnosis& diagnosis);

// Text of `size` bytes as a message shows it: TAB as \t, other control and
// non-ASCII bytes as \xNN. Valid until the next call.
const char* shown_text(const char* text, std::size_t size);
