#include "mbx/text_copy.hpp"

#include <array>
#include <bit>
#include <cstdint>
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
        output_pass(out);
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

// Inside a line the text goes through the block sixteen bytes at a time,
// each chunk compared and copied whole.
constexpr std::size_t chunk_size = 16;
using Chunk = unsigned char __attribute__((vector_size(chunk_size)));
using ChunkWords = std::uint64_t __attribute__((vector_size(chunk_size)));
static_assert(std::endian::native == std::endian::little,
              "the first byte of a chunk is the low byte of its first word");
// For each place in a chunk of a CR to leave out (chunk_size: none), the
// bytes that come before it: those are copied from the chunk, the others
// from the chunk one byte on.
constexpr auto ones_before = [] {
    std::array<std::array<unsigned char, chunk_size>, chunk_size + 1> masks{};
    for (std::size_t cr = 0; cr <= chunk_size; ++cr)
        for (std::size_t k = 0; k < cr; ++k)
            masks[cr][k] = 0xFF;
    return masks;
}();

// The bytes a comparison of chunks found (all ones), as bit k for byte k.
// Of each word's found bytes the mask keeps one bit each, in a place of its
// own, which the multiplication gathers in the top byte without a carry.
std::uint32_t found_bits(const Chunk& found)
{
    const ChunkWords words = reinterpret_cast<ChunkWords>(found);
    auto bits = [](std::uint64_t word) {
        return static_cast<std::uint32_t>(((word & 0x8040201008040201u) * 0x0101010101010101u) >>
                                          56);
    };
    return bits(words[0]) | bits(words[1]) << 8;
}

bool found_any(const Chunk& found)
{
    const ChunkWords words = reinterpret_cast<ChunkWords>(found);
    return (words[0] | words[1]) != 0;
}

// At the start of the line at `p[at]` of a piece of `n` bytes, after the
// copy by chunks found it starting with ">" or "F": a line of ">"s and
// "From " gets its one more ">" at `to`. False when the line's start
// cannot be judged here, as the piece ends first.
bool quote_here(const unsigned char* p, std::size_t at, std::size_t n, unsigned char*& to)
{
    std::size_t word = at;
    while (word < n && p[word] == '>')
        ++word;
    if (word < n && p[word] != from_word[0])
        return true;
    if (n - word < from_word.size())
        return false;
    if (std::memcmp(p + word, from_word.data(), from_word.size()) == 0)
        *to++ = '>';
    return true;
}

// Copies the text from `p[i]`, inside a line whose start is judged, while
// the piece holds a chunk and two bytes more and the block has room for a
// chunk and a ">"; returns where it stopped. An mbox line whose start
// cannot be judged in the piece is left to the byte-wise state.
std::size_t copy_chunks(ExportOutput& out, LineWriter& w, const unsigned char* p, std::size_t i,
                        std::size_t n)
{
    const bool mbox = w.form == ExportForm::mbox;
    unsigned char* const first = out.block.data() + out.used;
    unsigned char* const last = out.block.data() + out.block.size() - chunk_size - 1;
    unsigned char* to = first;
    // Each turn: the text before `p[i]` is in the block before `to`, line
    // ends made and lines quoted, and `p[i]` is inside a line. The turn
    // compares the chunk at `p[i]` with the chunks one and two bytes on,
    // so that it sees what follows each of its bytes: a CR followed by a
    // LF, even the next chunk's first byte, is dropped; a LF followed by
    // "Fr", ">F" or ">>" starts a line of an mbox that may need its ">".
    // The chunk goes to `to` with its first dropped CR left out; the turn
    // takes the whole chunk, or stops in front of a second CR to drop, or
    // behind a LF that starts a line to judge.
    while (n - i >= chunk_size + 2 && to <= last) {
        Chunk here, next;
        std::memcpy(&here, p + i, chunk_size);
        std::memcpy(&next, p + i + 1, chunk_size);
        const std::uint32_t drop = found_bits((here == '\r') & (next == '\n'));
        const auto cr = static_cast<std::size_t>(std::countr_zero(drop | 1u << chunk_size));
        Chunk before_cr;
        std::memcpy(&before_cr, ones_before[cr].data(), chunk_size);
        const Chunk copy = (here & before_cr) | (next & ~before_cr);
        std::memcpy(to, &copy, chunk_size);
        std::uint32_t starts = 0;
        if (mbox) {
            Chunk after;
            std::memcpy(&after, p + i + 2, chunk_size);
            const Chunk found =
                (here == '\n') & (((next == 'F') & (after == 'r')) |
                                  ((next == '>') & ((after == '>') | (after == 'F'))));
            if (found_any(found))
                starts = found_bits(found);
        }
        const std::uint32_t stops = (drop & (drop - 1)) | starts << 1;
        if (stops == 0) {
            i += chunk_size;
            to += chunk_size - (drop != 0 ? 1 : 0);
            continue;
        }
        const auto end = static_cast<std::size_t>(std::countr_zero(stops));
        i += end;
        to += end - (cr < end ? 1 : 0);
        if ((starts >> (end - 1) & 1) != 0 && !quote_here(p, i, n, to)) {
            w.line_start = true;
            break;
        }
    }
    if (to != first)
        w.ended_line = to[-1] == '\n';
    out.used += static_cast<std::size_t>(to - first);
    return i;
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
    std::size_t i = 0;
    while (i < n) {
        // Inside a line, with room in the piece and in the block, the text
        // goes by chunks; the held CR, an mbox line's start, the piece's
        // last bytes and those that fill the block go byte by byte.
        if (w.held_cr || w.line_start || n - i < chunk_size + 2 ||
            out.block.size() - out.used <= chunk_size) {
            text_byte(out, w, static_cast<char>(p[i++]));
            continue;
        }
        i = copy_chunks(out, w, p, i, n);
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
