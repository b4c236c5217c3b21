#include "convert/folder_lines.hpp"

#include <cstring>

bool read_folder_line(TextInput& input, char* buffer, FolderRead& read)
{
    const char* line = nullptr;
    std::size_t length = read_line_in_place(line, buffer, line_buffer_size, input);
    if (length == 0)
        return false;
    read.piece = false;
    if (line[length - 1] == '\n') {
        --length;
    } else if (length == piece_length) {
        // A line of exactly 511 characters is whole, also as the last line
        // of the folder without a newline: a message's "From:" line of that
        // length must not become a piece. Looking for the newline may read
        // the next block over the line, so the line is copied out first.
        if (line != buffer) {
            std::memcpy(buffer, line, length);
            line = buffer;
        }
        read.piece = !line_ends_after_piece(input);
    }
    read.text = line;
    read.length = length;
    return true;
}

namespace {

// Notes text handed on: looks for the user name in it, together with the
// last characters handed on before, so that a name split across two reads
// is found as well.
void note_handed_on(FromLine& line, const char* text, std::size_t size)
{
    const char* name = settings.user_name.data();
    std::size_t name_length = std::strlen(name);
    if (line.name_found || size == 0)
        return;
    char window[user_name_capacity + line_buffer_size + from_tail_capacity];
    std::memcpy(window, line.seen, line.seen_length);
    std::memcpy(window + line.seen_length, text, size);
    std::string_view all(window, line.seen_length + size);
    if (all.find(std::string_view(name, name_length)) != std::string_view::npos) {
        line.name_found = true;
        return;
    }
    std::size_t keep = name_length > 0 ? name_length - 1 : 0;
    if (keep > all.size())
        keep = all.size();
    std::memcpy(line.seen, all.data() + all.size() - keep, keep);
    line.seen_length = keep;
}

int hand_on(FromLine& line, const char* text, std::size_t size, FromTextSink pass_on)
{
    if (size == 0)
        return 0;
    note_handed_on(line, text, size);
    return pass_on != nullptr ? pass_on(text, size) : 0;
}

// Adds a read to the line: its start to the head, its end to the tail,
// and what falls out of the tail handed on.
int append(FromLine& line, const char* text, std::size_t size, FromTextSink pass_on)
{
    if (line.head_length < from_head_capacity) {
        std::size_t more = from_head_capacity - line.head_length;
        if (more > size)
            more = size;
        std::memcpy(line.head + line.head_length, text, more);
        line.head_length += more;
        line.head[line.head_length] = '\0';
    }
    line.length += static_cast<std::int64_t>(size);
    if (line.tail_length + size > from_tail_capacity) {
        std::size_t excess = line.tail_length + size - from_tail_capacity;
        std::size_t from_tail = excess < line.tail_length ? excess : line.tail_length;
        if (hand_on(line, line.tail, from_tail, pass_on))
            return 1;
        std::memmove(line.tail, line.tail + from_tail, line.tail_length - from_tail);
        line.tail_length -= from_tail;
        std::size_t from_text = excess - from_tail;
        if (hand_on(line, text, from_text, pass_on))
            return 1;
        text += from_text;
        size -= from_text;
    }
    std::memcpy(line.tail + line.tail_length, text, size);
    line.tail_length += size;
    return 0;
}

} // namespace

int take_from_line(TextInput& input, char* buffer, FolderRead first, FromLine& line,
                   FromTextSink pass_on)
{
    line.length = 0;
    line.head_length = line.tail_length = line.seen_length = 0;
    line.head[0] = '\0';
    line.name_found = false;
    FolderRead read = first;
    for (;;) {
        // The read may point into the block: taken before the next read.
        if (append(line, read.text, read.length, pass_on))
            return 1;
        if (!read.piece || !read_folder_line(input, buffer, read))
            return 0;
    }
}

void take_date_field(const FromLine& line, FolderDate& date)
{
    std::memcpy(date.field.data(), line.tail + line.tail_length - date_field_length,
                date_field_length);
    date.field[date_field_length] = '\0';
}

std::size_t tail_kept_after_cut(const FromLine& line)
{
    std::size_t kept = line.tail_length - date_field_length;
    if (kept > 0 && line.tail[kept - 1] == ' ')
        --kept;
    return kept;
}

bool is_own_line(const FromLine& line, std::size_t tail_kept)
{
    if (line.name_found)
        return true;
    char window[user_name_capacity + from_tail_capacity];
    std::memcpy(window, line.seen, line.seen_length);
    std::memcpy(window + line.seen_length, line.tail, tail_kept);
    return std::string_view(window, line.seen_length + tail_kept).find(settings.user_name.data()) !=
           std::string_view::npos;
}

const char* shown_from_line(const FromLine& line)
{
    static char shown[from_head_capacity + 3 + from_tail_capacity + 1];
    std::size_t length = line.head_length;
    std::memcpy(shown, line.head, length);
    std::int64_t rest = line.length - static_cast<std::int64_t>(line.head_length);
    if (rest > 0) {
        std::size_t from_tail = line.tail_length;
        if (rest <= static_cast<std::int64_t>(line.tail_length)) {
            from_tail = static_cast<std::size_t>(rest);
        } else {
            std::memcpy(shown + length, "...", 3);
            length += 3;
        }
        std::memcpy(shown + length, line.tail + line.tail_length - from_tail, from_tail);
        length += from_tail;
    }
    shown[length] = '\0';
    return shown;
}
