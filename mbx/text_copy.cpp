#include "mbx/text_copy.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view from_word = "From ";

void put_bytes(ExportOutput& out, const unsigned char* bytes, std::size_t count)
{
    output_put(out, reinterpret_cast<const char*>(bytes), count);
}

void put_byte(ExportOutput& out, char c)
{
    if (out.used == out.block.size())
        output_flush(out);
    out.block[out.used++] = static_cast<unsigned char>(c);
}

void put_text(ExportOutput& out, LineWriter& w, char c)
{
    put_byte(out, c);
    w.ended_line = c == '\n';
}

// One byte of the text, through the whole state: the held CR, the start of
// an mbox line, the line end.
void text_byte(ExportOutput& out, LineWriter& w, char c)
{
    if (w.held_cr) {
        w.held_cr = false;
        if (c == '\n') {
            put_text(out, w, '\n');
            w.line_start = w.form == ExportForm::mbox;
            return;
        }
        put_text(out, w, '\r');
    }
    if (w.line_start) {
        if (w.matched == 0 && c == '>') {
            put_text(out, w, '>');
            return;
        }
        if (c == from_word[w.matched]) {
            if (++w.matched == from_word.size()) {
                put_text(out, w, '>');
                put_bytes(out, reinterpret_cast<const unsigned char*>(from_word.data()),
                          from_word.size());
                w.line_start = false;
                w.matched = 0;
            }
            return;
        }
        put_bytes(out, reinterpret_cast<const unsigned char*>(from_word.data()), w.matched);
        w.line_start = false;
        w.matched = 0;
    }
    if (c == '\r') {
        w.held_cr = true;
        return;
    }
    put_text(out, w, c);
    if (c == '\n')
        w.line_start = w.form == ExportForm::mbox;
}

// At the start of the line at `p[at]` of a piece of `n` bytes: a line of
// ">"s and "From " gets its one more ">" at `to` when `room` says the block
// holds it. False when the line's start cannot be judged here, as the piece
// ends first, or the ">" has no room: the byte-wise state takes it then.
bool quote_here(const unsigned char* p, std::size_t at, std::size_t n, unsigned char*& to,
                bool room)
{
    std::size_t word = at;
    while (word < n && p[word] == '>')
        ++word;
    if (word < n && p[word] != from_word[0])
        return true;
    if (n - word < from_word.size())
        return false;
    if (std::memcmp(p + word, from_word.data(), from_word.size()) != 0)
        return true;
    if (!room)
        return false;
    *to++ = '>';
    return true;
}

} // namespace

void write_text(ExportOutput& out, LineWriter& w, const unsigned char* p, std::size_t n)
{
    if (n == 0)
        return;
    if (w.form == ExportForm::eml) {
        put_bytes(out, p, n);
        w.ended_line = p[n - 1] == '\n';
        return;
    }
    const bool mbox = w.form == ExportForm::mbox;
    const std::size_t capacity = out.block.size();
    std::size_t i = 0;
    while (i < n) {
        if (w.held_cr || w.line_start) {
            text_byte(out, w, static_cast<char>(p[i++]));
            continue;
        }
        // Inside a line: the text is copied as it is up to a CR LF, which
        // becomes LF, and on through the lines that follow, quoted where
        // they need it, as far as the output block has room. The block
        // holds what is left of the piece's text: a ">" is added only where
        // a dropped CR made room.
        if (out.used == capacity)
            output_flush(out);
        unsigned char* const start = out.block.data() + out.used;
        unsigned char* const block_end = out.block.data() + capacity;
        unsigned char* to = start;
        const std::size_t stop = i + std::min(n - i, capacity - out.used);
        while (i < stop) {
            const void* found = std::memchr(p + i, '\n', stop - i);
            if (!found) {
                // The line goes on after this piece, or after the block is
                // written; a CR at the end waits for what follows it.
                std::size_t length = stop - i;
                bool cr = p[stop - 1] == '\r';
                length -= cr ? 1 : 0;
                std::memcpy(to, p + i, length);
                to += length;
                w.held_cr = cr;
                i = stop;
                break;
            }
            const std::size_t lf =
                static_cast<std::size_t>(static_cast<const unsigned char*>(found) - p);
            const std::size_t length = lf - i - (lf > i && p[lf - 1] == '\r' ? 1 : 0);
            std::memcpy(to, p + i, length);
            to += length;
            *to++ = '\n';
            i = lf + 1;
            const bool room = static_cast<std::size_t>(block_end - to) > stop - i;
            if (mbox && !quote_here(p, i, n, to, room)) {
                w.line_start = true;
                break;
            }
        }
        if (to != start)
            w.ended_line = to[-1] == '\n';
        out.used += static_cast<std::size_t>(to - start);
    }
}

void write_string(ExportOutput& out, LineWriter& w, std::string_view text)
{
    write_text(out, w, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

void end_text(ExportOutput& out, LineWriter& w)
{
    if (w.held_cr)
        put_text(out, w, '\r');
    w.held_cr = false;
    put_bytes(out, reinterpret_cast<const unsigned char*>(from_word.data()), w.matched);
    if (w.matched > 0)
        w.ended_line = false;
    w.matched = 0;
    if (!w.ended_line) {
        if (w.form == ExportForm::eml)
            put_text(out, w, '\r');
        put_text(out, w, '\n');
    }
}
