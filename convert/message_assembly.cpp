#include "convert/message_assembly.hpp"

#include "app/report.hpp"
#include "app/settings.hpp"
#include "convert/conversion_state.hpp"
#include "convert/mailbox_writer.hpp"
#include "convert/vax_date.hpp"

#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view subject_in = "Subj:\t";
constexpr std::string_view subject_out = "Subject: ";
constexpr std::size_t subject_growth = subject_out.size() - subject_in.size();

struct Marks {
    bool form_feed_held = false;
    bool line_is_piece = false;
    bool continues_piece = false; // this read is the rest of a longer line
    bool starting_message = false;
    bool subject_done = false;
    bool own_message = false;
};

Marks marks;
DateLines date_lines;
FromLine from_line;

// A subject line is copied here to be rewritten; most lines are written
// straight from where they were read.
char head_line[line_buffer_size + subject_growth];

// Most lines differ from the prefix in their first character already.
bool starts_with(std::string_view line, std::string_view prefix)
{
    return line.size() >= prefix.size() && line[0] == prefix[0] &&
           line.substr(0, prefix.size()) == prefix;
}

// Every byte of a message's text goes through here, so that text_size is
// always the exact size of what the record will hold.
int put_text(const void* data, std::size_t size)
{
    ConversionState& s = conversion;
    if (message_buffer_put(s.message_buffer_file, data, size)) {
        report("Error writing the temporary file: %s\n", io_error_text());
        return 1;
    }
    s.text_size += static_cast<std::int64_t>(size);
    if (!mailbox_size_fits(s.message_count, s.total_text_size + s.text_size)) {
        report("Folder too large for a mailbox file\n");
        return 1;
    }
    return 0;
}

int put_line_end()
{
    return put_text("\r\n", 2);
}

int put_text_line(std::string_view text)
{
    return (put_text(text.data(), text.size()) || put_line_end()) ? 1 : 0;
}

int write_line(std::string_view line)
{
    if (marks.form_feed_held && !marks.starting_message) {
        if (put_text("\f\r\n", 3))
            return 1;
    }
    if (put_text(line.data(), line.size()))
        return 1;
    if (marks.line_is_piece)
        marks.line_is_piece = false;
    else if (put_line_end())
        return 1;
    if (marks.starting_message) {
        if (marks.own_message) {
            marks.own_message = false;
            if (put_text_line(date_lines.date_line()))
                return 1;
        }
        if (put_text_line(date_lines.received_line()))
            return 1;
    }
    marks.form_feed_held = false;
    marks.starting_message = false;
    return 0;
}

// Appends the record of the message collected so far.
int close_message()
{
    ConversionState& s = conversion;
    s.total_text_size += s.text_size;
    return write_message_record();
}

int put_from_text(const char* text, std::size_t size)
{
    return put_text(text, size);
}

int read_failed()
{
    report("Error reading the temporary VMS mail file: %s\n", io_error_text());
    return 1;
}

// Handles the "From:" line that starts a message, `first` being its first
// read: ends the previous message, takes the line whole, checks the date
// and cuts it off, and writes the line and the date lines. A long line's
// text goes into the message as it is read, all but its end.
int start_message(char* buffer, FolderRead first)
{
    ConversionState& s = conversion;
    marks.starting_message = true;
    if (s.message_count > 0) {
        if (close_message())
            return 1;
        if (message_buffer_reset(s.message_buffer_file)) {
            report("Error writing the temporary file: %s\n", io_error_text());
            return 1;
        }
        s.text_size = 0;
    }
    ++s.message_count;
    marks.subject_done = false;
    if (take_from_line(s.staged_file, buffer, first, from_line, put_from_text))
        return 1;
    if (s.staged_file.failed)
        return read_failed();
    if (from_line.length < static_cast<std::int64_t>(shortest_from_line)) {
        report("From: line too short\n%s\n", shown_from_line(from_line));
        return 1;
    }
    take_date_field(from_line, folder_date);
    if (check_vax_date(shown_from_line(from_line)))
        return 1;
    std::size_t kept = tail_kept_after_cut(from_line);
    marks.own_message = is_own_line(from_line, kept);
    date_lines = build_date_lines();
    marks.line_is_piece = false;
    return write_line({from_line.tail, kept});
}

// Most lines of a message need nothing but their CR LF. This takes the run
// of lines at the read position straight from the block into the message
// buffer's memory, without the calls that the general path makes for every
// line: whole lines lying in the block, without a CR. A line longer than one
// read of the general path comes out as its pieces would: its text and one
// CR LF, since pieces after the first are never form-feed or subject lines
// and the memory takes all of them. The message's first subject line gets
// its new label here as well, and a form-feed line is taken and held, which
// ends the run: the line after it may start the next message. The run stops
// before any other line, and before a line whose text would not fit into
// the memory part or the mailbox's size limit; the general path then takes
// that line and does exactly what it does with it in any case (the spill,
// the failure). Called only between whole lines, in a message, with no form
// feed held.
void take_plain_lines()
{
    ConversionState& s = conversion;
    TextInput& in = s.staged_file;
    MessageBuffer& buffer = s.message_buffer_file;
    if (in.block_has_nul || in.console_rules || in.start == in.end)
        return;
    const unsigned char* from = in.data + in.start;
    const unsigned char* const end = in.data + in.end;
    const unsigned char* const carriage_return = in.data + carriage_return_from_start(in);
    std::size_t space = buffer.capacity - buffer.used;
    std::int64_t room =
        mailbox_size_limit - mailbox_file_size(s.message_count, s.total_text_size + s.text_size);
    if (room < static_cast<std::int64_t>(space))
        space = room > 0 ? static_cast<std::size_t>(room) : 0;
    unsigned char* const out_start = buffer.data + buffer.used;
    unsigned char* out = out_start;
    unsigned char* const out_end = out_start + space;
    bool subject_done = marks.subject_done;
    std::int64_t lines = 0;
    while (from < end) {
        auto* newline = static_cast<const unsigned char*>(
            std::memchr(from, '\n', static_cast<std::size_t>(end - from)));
        if (newline == nullptr || newline > carriage_return)
            break;
        std::size_t length = static_cast<std::size_t>(newline - from);
        if (length == 1 && from[0] == '\f') {
            marks.form_feed_held = true;
            from = newline + 1;
            ++lines;
            break;
        }
        const unsigned char* text = from;
        std::size_t label = 0;
        if (from[0] == 'S' && !subject_done &&
            starts_with({reinterpret_cast<const char*>(from), length}, subject_in)) {
            text += subject_in.size();
            length -= subject_in.size();
            label = subject_out.size();
        }
        if (label + length + 2 > static_cast<std::size_t>(out_end - out))
            break;
        if (label > 0) {
            std::memcpy(out, subject_out.data(), label);
            out += label;
            subject_done = true;
        }
        std::memcpy(out, text, length);
        out[length] = '\r';
        out[length + 1] = '\n';
        out += length + 2;
        from = newline + 1;
        ++lines;
    }
    std::size_t taken = static_cast<std::size_t>(out - out_start);
    marks.subject_done = subject_done;
    in.start = static_cast<std::size_t>(from - in.data);
    buffer.used += taken;
    s.text_size += static_cast<std::int64_t>(taken);
    s.line_number += lines;
}

// Handles one read of the staged copy: a whole line, or a piece of a longer
// one.
int handle_line(std::string_view line)
{
    ConversionState& s = conversion;
    bool whole_start = !marks.continues_piece;
    if (whole_start && line == "\f") {
        if (marks.form_feed_held && s.message_count > 0 && put_text("\f\r\n", 3))
            return 1;
        marks.form_feed_held = true;
        return 0;
    }
    if (whole_start && starts_with(line, subject_in) && !marks.subject_done &&
        s.message_count > 0) {
        std::string_view rest = line.substr(subject_in.size());
        std::memcpy(head_line, subject_out.data(), subject_out.size());
        std::memcpy(head_line + subject_out.size(), rest.data(), rest.size());
        marks.subject_done = true;
        return write_line({head_line, subject_out.size() + rest.size()});
    }
    if (s.message_count == 0) {
        marks.line_is_piece = false;
        return 0;
    }
    return write_line(line);
}

// The end of the folder: the last message's record and the final header.
int finish_folder()
{
    ConversionState& s = conversion;
    if (s.message_count == 0) {
        report("Incorrect format file\n");
        return 1;
    }
    marks.form_feed_held = false;
    if (close_message())
        return 1;
    return finish_mailbox();
}

} // namespace

int convert_folder()
{
    ConversionState& s = conversion;
    s.line_number = s.total_text_size = s.message_count = s.text_size = 0;
    marks = Marks{};
    s.message_buffer_open = 0;
    if (message_buffer_open(s.message_buffer_file)) {
        report("Unable to open the temporary file\n");
        return 1;
    }
    s.message_buffer_open = 1;
    if (start_mailbox())
        return 1;
    char buffer[line_buffer_size];
    for (;;) {
        if (!marks.continues_piece && !marks.form_feed_held && s.message_count > 0)
            take_plain_lines();
        FolderRead read;
        if (!read_folder_line(s.staged_file, buffer, read)) {
            if (s.staged_file.failed)
                return read_failed();
            return finish_folder();
        }
        if (!marks.continues_piece)
            ++s.line_number;
        std::string_view line(read.text, read.length);
        if (!marks.continues_piece && starts_message(line, marks.form_feed_held)) {
            if (start_message(buffer, read))
                return 1;
            marks.continues_piece = false;
            continue;
        }
        marks.line_is_piece = read.piece;
        if (handle_line(line))
            return 1;
        marks.continues_piece = read.piece;
    }
}
