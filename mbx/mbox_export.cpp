#include "mbx/mbox_export.hpp"

#include "mbx/charset.hpp"
#include "mbx/header_date.hpp"
#include "mbx/message_id.hpp"
#include "mbx/vms_address.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr std::string_view from_word = "From ";
constexpr std::string_view no_sender = "MAILER-DAEMON";
// Head lines up to this length are rewritten; a longer one passes as it is.
constexpr std::size_t export_line_capacity = 1 << 14;

void put_bytes(ExportOutput& out, const unsigned char* bytes, std::size_t count)
{
    while (count > 0) {
        if (out.used == out.block.size())
            output_flush(out);
        std::size_t n = std::min(count, out.block.size() - out.used);
        std::memcpy(out.block.data() + out.used, bytes, n);
        out.used += n;
        bytes += n;
        count -= n;
    }
}

void put_byte(ExportOutput& out, char c)
{
    if (out.used == out.block.size())
        output_flush(out);
    out.block[out.used++] = static_cast<unsigned char>(c);
}

// The text of a message on its way out. In an mbox and a Maildir CR LF
// becomes LF; in an mbox a line of ">"s followed by "From " also gets one
// more ">". An .eml file keeps the text's CR LF. The start of each line goes
// byte by byte through a bounded state; the rest of the line is copied
// whole.
struct LineWriter {
    ExportForm form = ExportForm::mbox;
    bool line_start = true;  // still in the line's run of ">" and "From "
    std::size_t matched = 0; // characters of "From " matched so far
    bool held_cr = false;
    bool ended_line = true; // the last byte written was a LF
};

void put_text(ExportOutput& out, LineWriter& w, char c)
{
    put_byte(out, c);
    w.ended_line = c == '\n';
}

// One byte at the start of an mbox line.
void quote_byte(ExportOutput& out, LineWriter& w, char c)
{
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
        if (w.held_cr) {
            w.held_cr = false;
            if (p[i] == '\n') {
                put_text(out, w, '\n');
                w.line_start = true;
                ++i;
                continue;
            }
            put_text(out, w, '\r');
        }
        if (w.line_start && w.form == ExportForm::mbox) {
            quote_byte(out, w, static_cast<char>(p[i]));
            if (w.line_start) {
                ++i;
                continue;
            }
        }
        w.line_start = false;
        const void* lf = std::memchr(p + i, '\n', n - i);
        std::size_t line_end =
            lf ? static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - p) : n;
        std::size_t length = line_end - i;
        bool cr = length > 0 && p[line_end - 1] == '\r';
        if (cr)
            --length;
        if (length > 0) {
            put_bytes(out, p + i, length);
            w.ended_line = false;
        }
        if (lf) {
            put_text(out, w, '\n');
            w.line_start = true;
            i = line_end + 1;
        } else {
            w.held_cr = cr;
            i = n;
        }
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

// What the first pass over a message decides.
struct MessagePlan {
    MessageHead head;
    TextDecoding decoding;
    bool eight_bit = false; // the text is not all ASCII
    HeaderDate date;
    std::string message_id;
};

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if ((text[i] | 0x20) != (prefix[i] | 0x20))
            return false;
    return true;
}

bool plan_message(MailboxReader& reader, const MailboxRecord& record, const ExportOptions& options,
                  MessagePlan& plan)
{
    MessageHead& head = plan.head;
    if (!read_message_head(reader, record.text_offset, record.text_size, head))
        return false;
    const std::uint64_t end = record.text_offset + record.text_size;
    TextScan scan;
    TextHash hash;
    for (std::uint64_t at = record.text_offset; at < end;) {
        std::size_t available = 0;
        const unsigned char* p = mailbox_bytes_at(reader, at, available);
        if (!p)
            return false;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(available, end - at));
        scan_text(scan, p, n);
        hash_text(hash, p, n);
        at += n;
    }
    end_scan(scan);
    plan.eight_bit = !scan.ascii;
    plan.decoding = decoding_for(scan, charset_named(options.charset).value_or(Charset::dec_mcs));
    if (auto own = own_message_id(reader, head.body_offset, end))
        plan.message_id = *own;
    else if (reader.error)
        return false;
    else
        plan.message_id = made_message_id(hash);
    const HeadLine& dated = head.date.found ? head.date : head.received;
    plan.date = header_date_of(dated.found ? std::string_view(dated.value) : std::string_view());
    return true;
}

// A header value as it goes out: decoded, and outside ASCII as encoded
// words after the blanks it starts with.
std::string header_value(const MessagePlan& plan, std::string_view bytes)
{
    std::string text = decoded(plan.decoding, bytes);
    std::size_t blanks = text.find_first_not_of(" \t");
    if (blanks == std::string::npos)
        return text;
    return text.substr(0, blanks) + encoded_words(text.substr(blanks));
}

std::vector<MailAddress> addresses_of(const MessagePlan& plan, std::string_view bytes,
                                      const ExportOptions& options)
{
    return vms_addresses(decoded(plan.decoding, bytes), options.domain);
}

// The Date header, and the converter's text beside it when it was mended.
std::string date_lines(const MessagePlan& plan, const HeadLine* original)
{
    std::string lines = "Date: " + plan.date.text + "\n";
    if (plan.date.changed && original)
        lines += "X-VMS-Date: " + header_value(plan, original->value) + "\n";
    return lines;
}

// What one head line becomes, each line ended by LF.
std::string head_line_out(const MessagePlan& plan, const ExportOptions& options,
                          std::string_view line, std::uint64_t offset, bool first, bool& to_seen,
                          bool& cc_seen)
{
    const MessageHead& head = plan.head;
    if (first && line.substr(0, 5) == "From:") {
        auto from = addresses_of(plan, line.substr(5), options);
        std::string text = from.empty() ? "unknown@localhost" : address_list_text(from);
        return "From: " + text + "\nX-VMS-From:" + header_value(plan, line.substr(5)) + "\n";
    }
    if (head.date.found && offset == head.date.offset)
        return date_lines(plan, &head.date);
    if (!head.date.found && head.received.found && offset == head.received.offset)
        return date_lines(plan, &head.received) + header_value(plan, line) + "\n";
    bool to = !to_seen && starts_with_ignoring_case(line, "To:");
    bool cc = !cc_seen && starts_with_ignoring_case(line, "CC:");
    if (to || cc) {
        (to ? to_seen : cc_seen) = true;
        std::string_view name = to ? "To" : "CC";
        auto addresses = addresses_of(plan, line.substr(3), options);
        std::string lines;
        if (!addresses.empty())
            lines = std::string(name) + ": " + address_list_text(addresses) + "\n";
        return lines + "X-VMS-" + std::string(name) + ":" + header_value(plan, line.substr(3)) +
               "\n";
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || line.find_first_of(" \t") < colon)
        return decoded(plan.decoding, line) + "\n";
    return std::string(line.substr(0, colon + 1)) + header_value(plan, line.substr(colon + 1)) +
           "\n";
}

// Text whose bytes go out decoded as the plan says.
bool write_range(MailboxReader& reader, std::uint64_t from, std::uint64_t to, MessagePlan& plan,
                 std::string& scratch, ExportOutput& out, LineWriter& w)
{
    while (from < to) {
        std::size_t available = 0;
        const unsigned char* p = mailbox_bytes_at(reader, from, available);
        if (!p)
            return false;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(available, to - from));
        if (plan.decoding.decode) {
            scratch.clear();
            decode_text(plan.decoding, p, n, scratch);
            write_string(out, w, scratch);
        } else {
            write_text(out, w, p, n);
        }
        from += n;
    }
    return true;
}

void write_head_text(ExportOutput& out, LineWriter& w, const std::string& text)
{
    if (w.form != ExportForm::eml) {
        write_string(out, w, text);
        return;
    }
    std::string crlf;
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    write_string(out, w, crlf);
}

// The head, line by line, then the headers every exported message gets.
bool write_head(MailboxReader& reader, const MailboxRecord& record, const ExportOptions& options,
                MessagePlan& plan, std::string& scratch, ExportOutput& out, LineWriter& w)
{
    const MessageHead& head = plan.head;
    std::uint64_t at = record.text_offset;
    bool first = true, to_seen = false, cc_seen = false;
    bool dated = head.date.found || head.received.found;
    std::string line;
    while (at < head.head_end) {
        line.clear();
        std::uint64_t line_end = at;
        bool whole = true, ended = false;
        while (line_end < head.head_end && !ended) {
            std::size_t available = 0;
            const unsigned char* p = mailbox_bytes_at(reader, line_end, available);
            if (!p)
                return false;
            std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(available, head.head_end - line_end));
            const void* lf = std::memchr(p, '\n', n);
            std::size_t take =
                lf ? static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - p) + 1 : n;
            if (line.size() + take <= export_line_capacity)
                line.append(reinterpret_cast<const char*>(p), take);
            else
                whole = false;
            line_end += take;
            ended = lf != nullptr;
        }
        if (!whole) {
            // Too long to hold: passes as it is.
            if (!write_range(reader, at, line_end, plan, scratch, out, w))
                return false;
            end_text(out, w);
        } else {
            std::string_view text = line;
            if (!text.empty() && text.back() == '\n')
                text.remove_suffix(1);
            if (!text.empty() && text.back() == '\r')
                text.remove_suffix(1);
            write_head_text(out, w,
                            head_line_out(plan, options, text, at, first, to_seen, cc_seen));
        }
        first = false;
        at = line_end;
    }
    std::string added;
    if (!dated)
        added += date_lines(plan, nullptr);
    added += "Message-ID: " + plan.message_id + "\n";
    if (plan.eight_bit)
        added += "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
                 "Content-Transfer-Encoding: 8bit\n";
    write_head_text(out, w, added);
    return true;
}

bool is_charset_name(const std::string& name)
{
    return charset_named(name).has_value();
}

// A domain of letters, digits and hyphens in dot-separated labels.
bool is_domain(const std::string& domain)
{
    if (domain.empty() || domain.front() == '.' || domain.back() == '.' ||
        domain.find("..") != std::string::npos)
        return false;
    return std::all_of(domain.begin(), domain.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    });
}

} // namespace

void output_put(ExportOutput& out, const char* bytes, std::size_t count)
{
    put_bytes(out, reinterpret_cast<const unsigned char*>(bytes), count);
}

int output_flush(ExportOutput& out)
{
    std::size_t done = 0;
    while (out.error == 0 && done < out.used) {
        ssize_t n = ::write(out.fd, out.block.data() + done, out.used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            out.error = errno;
        else
            done += static_cast<std::size_t>(n);
    }
    out.used = 0;
    return out.error;
}

bool export_options_valid(const ExportOptions& options, std::string& problem)
{
    if (!options.charset.empty() && !is_charset_name(options.charset)) {
        problem = "unknown character set: " + options.charset;
        return false;
    }
    if (!options.domain.empty() && !is_domain(options.domain)) {
        problem = "not a domain name: " + options.domain;
        return false;
    }
    return true;
}

bool export_message(MailboxReader& reader, const MailboxRecord& record, ExportForm form,
                    const ExportOptions& options, ExportOutput& out)
{
    MessagePlan plan;
    if (!plan_message(reader, record, options, plan))
        return false;
    if (form == ExportForm::mbox) {
        // The separator's sender is the From header's address, when it has
        // no blank that would end it early.
        auto from = addresses_of(plan, plan.head.sender, options);
        std::string sender = from.empty() ? "" : from.front().addr_spec;
        if (sender.empty() || sender.find_first_of(" \t") != std::string::npos)
            sender = no_sender;
        std::string separator = "From " + sender + " " + separator_date(plan.date.date) + "\n";
        output_put(out, separator.data(), separator.size());
    }
    LineWriter w;
    w.form = form;
    std::string scratch;
    const std::uint64_t end = record.text_offset + record.text_size;
    if (!write_head(reader, record, options, plan, scratch, out, w) ||
        !write_range(reader, plan.head.head_end, end, plan, scratch, out, w))
        return false;
    scratch.clear();
    end_decoding(plan.decoding, scratch);
    write_string(out, w, scratch);
    end_text(out, w);
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
