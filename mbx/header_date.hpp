// The Date header of an exported message, made from the converter's date
// text so that every mail client can read it: the day carried into the
// calendar, the weekday made again, a time that is no time of day written as
// 00:00:00 and a zone that is no numeric offset as -0000, "no zone known".
#pragma once

#include "mbx/message_head.hpp"

#include <string>
#include <string_view>

struct HeaderDate {
    SendingDate date;     // what goes out, time and zone mended
    std::string text;     // "Sun, 10 Mar 1996 00:00:00 -0000"
    bool changed = false; // the text differs from the converter's
};

// A date the converter's text yields; a text without a readable day, month
// and year gives the epoch with no zone, marked changed.
HeaderDate header_date_of(std::string_view converter_text);
// The same into `made`, whose text keeps its room from message to message.
void make_header_date(std::string_view converter_text, HeaderDate& made);
