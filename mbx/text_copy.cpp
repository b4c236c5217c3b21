#include "mbx/text_copy.hpp"

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

// The text goes through the block sixteen bytes at a time: each chunk is
// copied whole, and its first LF found by one comparison of all sixteen.
constexpr std::size_t chunk_size = 16;
using Chunk = unsigned char __attribute__((vector_size(chunk_size)));
using ChunkWords = std::uint64_t __attribute__((vector_size(chunk_size)));
static_assert(std::endian::native == std::endian::little,
              "the first byte of a chunk is the low byte of its first word");

// Where the chunk's first LF is, or chunk_size when it holds none.
std::size_t first_lf(const Chunk& chunk)
{
    const ChunkWords lf = reinterpret_cast<ChunkWords>(chunk == '\n');
    if (lf[0] != 0)
        return static_cast<std::size_t>(std::countr_zero(lf[0])) / 8;
    if (lf[1] != 0)
        return 8 + static_cast<std::size_t>(std::countr_zero(lf[1])) / 8;
    return chunk_size;
}

// Copies the text from `p[i]`, inside a line whose start is judged, up to
// where a chunk no longer fits the piece or the block, or a line starts
// that an mbox may have to quote; returns where it stopped.
std::size_t copy_lines(ExportOutput& out, LineWriter& w, const unsigned char* p, std::size_t i,
                       std::size_t n)
{
    const bool mbox = w.form == ExportForm::mbox;
    const std::size_t start = i;
    unsigned char* const first = out.block.data() + out.used;
    unsigned char* const last = out.block.data() + out.block.size() - chunk_size;
    unsigned char* to = first;
    // Each turn: the text before `p[i]` is in the block before `to`, and
    // `p[i]` is inside a line. The chunk at `p[i]` goes to `to` whole, but
    // only what comes before its first LF counts; the rest is copied again
    // by the next turn, or overwritten.
    while (n - i >= chunk_size && to <= last) {
        Chunk chunk;
        std::memcpy(&chunk, p + i, chunk_size);
        std::memcpy(to, &chunk, chunk_size);
        const std::size_t lf = first_lf(chunk);
        if (lf == chunk_size) {
            i += chunk_size;
            to += chunk_size;
            continue;
        }
        // The line ends: the CR of a CR LF, copied already, is taken back,
        // and the LF goes in its place.
        to += lf;
        i += lf;
        if (i > start && p[i - 1] == '\r')
            --to;
        *to++ = '\n';
        ++i;
        // The next line starts: in an mbox one that starts with ">" or "F"
        // goes byte by byte until it is known whether it is quoted, as does
        // one whose first byte is in the next piece.
        if (mbox && (i == n || p[i] == '>' || p[i] == 'F')) {
            w.line_start = true;
            break;
        }
    }
    // A CR at the end of what was copied waits for what follows it.
    if (!w.line_start && i > start && p[i - 1] == '\r') {
        --to;
        w.held_cr = true;
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
        // Inside a line, with a chunk's room in the piece and in the block,
        // the text goes by chunks; the held CR, an mbox line's start, the
        // piece's last bytes and those that fill the block go byte by byte.
        if (w.held_cr || w.line_start || n - i < chunk_size ||
            out.block.size() - out.used < chunk_size) {
            text_byte(out, w, static_cast<char>(p[i++]));
            continue;
        }
        i = copy_lines(out, w, p, i, n);
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
