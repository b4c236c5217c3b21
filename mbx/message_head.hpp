// The head of a converted message: the lines up to the first empty line.
// The converter wrote "From:\tSENDER" (the VAX date cut off), for the user's
// own messages a "Date: " line, then always a "Received: ; " line, the other
// VAX header lines and a "Subject: " line, each ended by CR LF.
#pragma once

#include "mbx/mailbox_reader.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Head lines longer than this are not looked at as date lines, and longer
// senders and subjects are cut: the head of a message is held in memory.
inline constexpr std::size_t head_line_capacity = 1024;

struct HeadLine {
    bool found = false;
    std::uint64_t offset = 0; // of the line's first byte in the file
    std::uint64_t length = 0; // line end included
    std::string value;        // after the field name, without the line end
};

// Where a line of the head ends, as the head's reader found it: the export
// writes the head from these without searching its lines a second time.
struct HeadLineEnd {
    std::uint64_t next = 0; // after its LF, or the text's end for a last line without one
    bool inner_cr = false;  // a CR stands in it before its line end (CR LF or a last CR)
};
// The ends of a head's first lines are kept up to this many, and up to its
// first line longer than `head_line_capacity`.
inline constexpr std::size_t head_line_ends_kept = 64;

struct MessageHead {
    std::string sender;            // the "From:" line's sender, spaces around it removed
    HeadLine date;                 // the first "Date: " line of the head
    HeadLine received;             // the first "Received: ; " line of the head
    HeadLine subject;              // the first "Subject: " line of the head
    std::uint64_t head_end = 0;    // offset of the empty line, or the text's end
    std::uint64_t body_offset = 0; // offset after the empty line, or the text's end
    std::array<HeadLineEnd, head_line_ends_kept> line_ends;
    std::size_t line_ends_known = 0; // of the head's first lines
};

// Reads the head of the message whose text is at `offset`; false on a read
// error.
bool read_message_head(MailboxReader& reader, std::uint64_t offset, std::uint32_t size,
                       MessageHead& head);

// A sending date as the converter writes it, "Mon, 4 Mar 1996 13:58:04 +0000",
// with the day carried into the calendar: the VAX accepts day 0 to 39 of
// every month, and "Sun, 39 Feb 1996" is 10 March 1996.
struct SendingDate {
    int year = 0;
    unsigned month = 0;   // 1 to 12
    unsigned day = 0;     // of the month, after carrying
    unsigned weekday = 0; // 0 for Sunday
    std::string time;     // as written, "13:58:04"
    std::string zone;     // as written, "+0000"
};

std::optional<SendingDate> parse_sending_date(std::string_view value);
// "Sun, 10 Mar 1996 13:58:04 +0000"
std::string header_date(const SendingDate& date);
// "Sun Mar 10 13:58:04 1996", the form of an mbox separator line
std::string separator_date(const SendingDate& date);
// The same texts appended to `to`: the export makes them for every message
// in buffers it keeps.
void append_header_date(std::string& to, const SendingDate& date);
void append_separator_date(std::string& to, const SendingDate& date);
