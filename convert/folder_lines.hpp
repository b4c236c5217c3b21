// How the text of a folder is read, the one definition that the converter
// and the folder check share: lines of at most 511 characters a read, longer
// ones in pieces; the line that starts a message; and a message's "From:"
// line taken whole however long it is, keeping only its start and its end.
#pragma once

#include "app/settings.hpp"
#include "app/text_input.hpp"
#include "convert/vax_date.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr int line_buffer_size = 512; // a line read: 511 characters
inline constexpr std::size_t piece_length = line_buffer_size - 1;
inline constexpr std::size_t shortest_from_line = 30; // "From:<TAB>", a sender, the date
inline constexpr std::string_view from_prefix = "From:\t";

// One read: a whole line without its newline, or a piece of a longer one.
struct FolderRead {
    const char* text = nullptr; // in the input's block or in the caller's buffer
    std::size_t length = 0;
    bool piece = false; // more of the same line follows
};

// Reads the next line or piece into `buffer` (line_buffer_size bytes) or
// points into the block. False at the end of the input, or after a read
// error (input.failed). A line of exactly 511 characters is whole.
bool read_folder_line(TextInput& input, char* buffer, FolderRead& read);

// A line read whole (not the rest of a longer one) starts a message when it
// comes right after a form-feed line and begins with "From:<TAB>".
inline bool is_form_feed_line(std::string_view line)
{
    return line.size() == 1 && line[0] == '\f';
}
inline bool starts_message(std::string_view line, bool form_feed_held)
{
    return form_feed_held && line.size() >= from_prefix.size() && line[0] == 'F' &&
           line.substr(0, from_prefix.size()) == from_prefix;
}

inline constexpr std::size_t from_head_capacity = piece_length;
inline constexpr std::size_t from_tail_capacity = 128;
// Room after the tail for a date mended in place, which may be longer.
inline constexpr std::size_t from_tail_room = 8;

// A message's "From:" line. A line of megabytes is not held: its start is
// kept for the messages that show it, its last characters for the date, and
// the text between is handed on as it is read.
struct FromLine {
    std::int64_t length = 0; // characters of the whole line
    char head[from_head_capacity + 1] = {};
    std::size_t head_length = 0;
    char tail[from_tail_capacity + from_tail_room] = {}; // the line's last characters
    std::size_t tail_length = 0;
    // Whether the user name occurs in the text handed on, and that text's
    // last characters, for a name that runs on into the tail.
    bool name_found = false;
    char seen[user_name_capacity] = {};
    std::size_t seen_length = 0;
};

// Where the text of a "From:" line before its tail goes; 1 on failure.
using FromTextSink = int (*)(const char* text, std::size_t size);

// Takes a message's "From:" line whole, starting with its first read
// `first`: the text in front of the last from_tail_capacity characters goes
// to `pass_on` (may be null) as it is read. Returns 1 when `pass_on` failed,
// else 0; a read error shows in input.failed.
int take_from_line(TextInput& input, char* buffer, FolderRead first, FromLine& line,
                   FromTextSink pass_on);

// Fills date.field with the line's last 23 characters; the line has them.
void take_date_field(const FromLine& line, FolderDate& date);

// How many characters of the tail stay on the line once the date is cut:
// the date goes, and the one space that VAX MAIL put in front of it; a
// sender's name right before a one-digit day's padding stays whole.
std::size_t tail_kept_after_cut(const FromLine& line);

// Whether the user name occurs in the line without its date: the message is
// one of the user's own. An empty name occurs in every line.
bool is_own_line(const FromLine& line, std::size_t tail_kept);

// The line as messages show it: whole when its start and end hold all of
// it, else its start, "...", and its end. Valid until the next call.
const char* shown_from_line(const FromLine& line);
