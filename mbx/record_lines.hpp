// The lines of a stretch of a record's text, one by one, read through the
// reader's block: the head reader, the search for a gateway's Message-ID and
// the look for the user's node all walk lines this way. A line is held whole
// up to a capacity; of a longer one its start is handed on, marked as not
// whole, so that memory stays the same whatever the text holds.
#pragma once

#include "mbx/mailbox_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

struct RecordLine {
    // The line without its LF, and without its CR when whole; of a line
    // longer than the capacity its first capacity + 1 bytes.
    std::string_view text;
    bool whole = true;
    std::uint64_t offset = 0; // of its first byte
    std::uint64_t next = 0;   // after its LF, or the stretch's end for a last line without one
};

// Hands each line from `from` up to `end` to `take`, which returns false to
// stop the walk; a last line without its LF comes too. `held` keeps a line
// that lies across blocks (its room is kept for the next walk). False on a
// read error, with `reader.error` set.
template <typename Take>
bool walk_record_lines(MailboxReader& reader, std::uint64_t from, std::uint64_t end,
                       std::size_t capacity, std::string& held, Take&& take)
{
    held.clear();
    RecordLine line;
    line.offset = from;
    auto hand_on = [&](std::string_view text, std::uint64_t next) {
        line.whole = text.size() <= capacity;
        text = text.substr(0, capacity + 1);
        if (line.whole && !text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        line.text = text;
        line.next = next;
        bool more = take(static_cast<const RecordLine&>(line));
        held.clear();
        line.offset = next;
        return more;
    };
    for (std::uint64_t at = from; at < end;) {
        std::size_t available = 0;
        const unsigned char* p = mailbox_bytes_at(reader, at, available);
        if (!p)
            return false;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(available, end - at));
        for (std::size_t i = 0; i < n;) {
            // A line's bytes up to its LF, or to the end of what is here.
            const void* lf = std::memchr(p + i, '\n', n - i);
            std::size_t stop =
                lf ? static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - p) : n;
            std::string_view piece(reinterpret_cast<const char*>(p + i), stop - i);
            if (!lf || !held.empty()) {
                if (held.size() <= capacity)
                    held.append(piece.substr(0, capacity + 1 - held.size()));
                if (!lf)
                    break;
                piece = held;
            }
            i = stop + 1;
            if (!hand_on(piece, at + i))
                return true;
        }
        at += n;
    }
    if (!held.empty()) // a last line without its line end
        hand_on(held, end);
    return true;
}
