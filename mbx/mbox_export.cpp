#include "mbx/mbox_export.hpp"

#include "convert/file_io.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::string_view from_word = "From ";
constexpr std::string_view no_sender = "MAILER-DAEMON";
// A message whose head holds no readable date gets the epoch in its separator.
constexpr std::string_view no_date = "Thu Jan  1 00:00:00 1970";

void put_byte(ExportOutput& out, char c)
{
    if (out.used == out.block.size())
        output_flush(out);
    out.block[out.used++] = static_cast<unsigned char>(c);
}

// The text of a message on its way out. In an mbox and a Maildir CR LF
// becomes LF; in an mbox a line of ">"s followed by "From " also gets one
// more ">". An .eml file keeps the text's CR LF. Works byte by byte, so
// lines of any length pass through a bounded state.
struct LineQuoter {
    ExportForm form = ExportForm::mbox;
    bool line_start = true;  // still in the line's run of ">" and "From "
    std::size_t matched = 0; // characters of "From " matched so far
    bool held_cr = false;
    bool ended_line = true; // the last byte written was a LF
};

void put_text(ExportOutput& out, LineQuoter& q, char c)
{
    put_byte(out, c);
    q.ended_line = c == '\n';
}

void quote_byte(ExportOutput& out, LineQuoter& q, char c)
{
    if (q.form == ExportForm::eml) {
        put_text(out, q, c);
        return;
    }
    if (q.held_cr) {
        q.held_cr = false;
        if (c == '\n') {
            put_text(out, q, '\n');
            q.line_start = true;
            return;
        }
        put_text(out, q, '\r');
    }
    if (q.line_start && q.form == ExportForm::mbox) {
        if (q.matched == 0 && c == '>') {
            put_text(out, q, '>');
            return;
        }
        if (c == from_word[q.matched]) {
            if (++q.matched == from_word.size()) {
                put_text(out, q, '>');
                for (char f : from_word)
                    put_text(out, q, f);
                q.line_start = false;
                q.matched = 0;
            }
            return;
        }
        for (std::size_t i = 0; i < q.matched; ++i)
            put_text(out, q, from_word[i]);
        q.line_start = false;
        q.matched = 0;
    }
    if (c == '\r') {
        q.held_cr = true;
        return;
    }
    put_text(out, q, c);
    if (c == '\n')
        q.line_start = true;
}

void end_text(ExportOutput& out, LineQuoter& q)
{
    if (q.held_cr)
        put_text(out, q, '\r');
    for (std::size_t i = 0; i < q.matched; ++i)
        put_text(out, q, from_word[i]);
    if (!q.ended_line) {
        if (q.form == ExportForm::eml)
            put_text(out, q, '\r');
        put_text(out, q, '\n');
    }
}

bool quote_range(MailboxReader& reader, std::uint64_t from, std::uint64_t to, ExportOutput& out,
                 LineQuoter& q)
{
    while (from < to) {
        std::size_t available = 0;
        const unsigned char* p = mailbox_bytes_at(reader, from, available);
        if (!p)
            return false;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(available, to - from));
        for (std::size_t i = 0; i < n; ++i)
            quote_byte(out, q, static_cast<char>(p[i]));
        from += n;
    }
    return true;
}

std::optional<SendingDate> head_date(const MessageHead& head)
{
    if (head.date.found)
        if (auto date = parse_sending_date(head.date.value))
            return date;
    if (head.received.found)
        return parse_sending_date(head.received.value);
    return std::nullopt;
}

} // namespace

void output_put(ExportOutput& out, const char* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        put_byte(out, bytes[i]);
}

// Through the file layer, which writes standard output (descriptor 1) as
// bytes on every platform. A failure without an errno (the Win32 layer
// keeps its own reason) still counts as one.
int output_flush(ExportOutput& out)
{
    if (out.error == 0 && out.used > 0) {
        errno = 0;
        if (io_write(out.fd, out.block.data(), out.used))
            out.error = errno != 0 ? errno : EIO;
    }
    out.used = 0;
    return out.error;
}

std::string separator_sender(const MessageHead& head)
{
    std::string_view sender = head.sender;
    sender = sender.substr(0, sender.find_first_of(" \t"));
    return sender.empty() ? std::string(no_sender) : std::string(sender);
}

std::string separator_line(const MessageHead& head)
{
    auto date = head_date(head);
    return "From " + separator_sender(head) + " " +
           (date ? separator_date(*date) : std::string(no_date)) + "\n";
}

MessageEdit date_edit(const MessageHead& head)
{
    MessageEdit edit;
    if (head.date.found) {
        auto date = parse_sending_date(head.date.value);
        if (!date || header_date(*date) == head.date.value)
            return edit;
        edit.removed = head.date.length;
        edit.offset = head.date.offset;
        edit.line = "Date: " + header_date(*date) + "\n";
    } else if (head.received.found) {
        auto date = parse_sending_date(head.received.value);
        edit.offset = head.received.offset;
        edit.line = "Date: " + (date ? header_date(*date) : head.received.value) + "\n";
    } else {
        return edit;
    }
    edit.edit = true;
    return edit;
}

bool export_options_valid(const ExportOptions& options, std::string& problem)
{
    constexpr std::array<std::string_view, 5> charsets = {"dec-mcs", "latin1", "cp437", "cp850",
                                                          "utf-8"};
    if (options.charset.empty() ||
        std::find(charsets.begin(), charsets.end(), options.charset) != charsets.end())
        return true;
    problem = "unknown character set: " + options.charset;
    return false;
}

bool export_message(MailboxReader& reader, const MailboxRecord& record, ExportForm form,
                    const ExportOptions& /*options*/, ExportOutput& out)
{
    MessageHead head;
    if (!read_message_head(reader, record.text_offset, record.text_size, head))
        return false;
    if (form == ExportForm::mbox) {
        std::string separator = separator_line(head);
        output_put(out, separator.data(), separator.size());
    }
    MessageEdit edit = date_edit(head);
    const std::uint64_t end = record.text_offset + record.text_size;
    LineQuoter q;
    q.form = form;
    std::uint64_t from = record.text_offset;
    if (edit.edit) {
        if (!quote_range(reader, from, edit.offset, out, q))
            return false;
        if (form == ExportForm::eml)
            edit.line.insert(edit.line.size() - 1, 1, '\r');
        output_put(out, edit.line.data(), edit.line.size());
        from = edit.offset + edit.removed;
    }
    if (!quote_range(reader, from, end, out, q))
        return false;
    end_text(out, q);
    if (form == ExportForm::mbox)
        put_byte(out, '\n');
    return true;
}

bool export_mbox(MailboxReader& reader, std::uint32_t message_count, const ExportOptions& options,
                 ExportOutput& out)
{
    std::uint64_t at = mailbox_header_size;
    for (std::uint32_t n = 0; n < message_count && out.error == 0; ++n) {
        MailboxRecord record;
        if (!read_record(reader, at, record) ||
            !export_message(reader, record, ExportForm::mbox, options, out))
            return false;
        at = record.text_offset + record.text_size + 1;
    }
    return true;
}
