#include "mbx/imap_protocol.hpp"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t send_block = 1 << 18;
constexpr std::size_t receive_block = 1 << 16;

std::string upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Makes at least one more byte available; 0, or 1 when the server closed
// the connection or it failed.
int fill(ImapSession& s)
{
    if (s.in.size() < receive_block)
        s.in.resize(receive_block);
    if (s.in_start == s.in_end)
        s.in_start = s.in_end = 0;
    if (s.in_end == s.in.size()) {
        std::memmove(s.in.data(), s.in.data() + s.in_start, s.in_end - s.in_start);
        s.in_end -= s.in_start;
        s.in_start = 0;
    }
    long n = transport_read(s.transport, s.in.data() + s.in_end, s.in.size() - s.in_end);
    s.refused = false;
    if (n == 0) {
        s.problem = "the server " + s.host + " closed the connection";
        return 1;
    }
    if (n < 0) {
        s.problem = s.transport.problem;
        return 1;
    }
    s.in_end += static_cast<std::size_t>(n);
    return 0;
}

// Appends to `line` the text up to the next CR LF, which is consumed.
int read_line(ImapSession& s, std::string& line, std::size_t limit)
{
    for (;;) {
        const char* start = s.in.data() + s.in_start;
        const void* lf = std::memchr(start, '\n', s.in_end - s.in_start);
        std::size_t n = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start)
                           : s.in_end - s.in_start;
        if (line.size() + n > limit) {
            s.problem = "the server " + s.host + " sent an answer too long to take";
            return 1;
        }
        line.append(start, n);
        s.in_start += n;
        if (lf) {
            ++s.in_start;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return 0;
        }
        if (fill(s))
            return 1;
    }
}

// The N of a "{N}" that ends `line`, or -1.
long long literal_size(const std::string& line)
{
    if (line.empty() || line.back() != '}')
        return -1;
    std::size_t open = line.rfind('{');
    if (open == std::string::npos || open + 2 > line.size() - 1)
        return -1;
    long long n = 0;
    for (std::size_t i = open + 1; i + 1 < line.size(); ++i) {
        if (line[i] < '0' || line[i] > '9' || n > (1LL << 40))
            return -1;
        n = n * 10 + (line[i] - '0');
    }
    return n;
}

bool is_tagged(const std::string& line, const std::string& tag)
{
    return line.size() > tag.size() && line.compare(0, tag.size(), tag) == 0 &&
           line[tag.size()] == ' ';
}

// "OK", "NO" or "BAD" after the tag.
std::string status_word(const std::string& line, const std::string& tag)
{
    std::size_t at = tag.size() + 1;
    std::size_t end = line.find(' ', at);
    return upper(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
}

const char base64_letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

// The code points of `utf8`; a byte that does not begin a well-formed
// sequence stands for itself, as Latin-1.
std::vector<std::uint32_t> code_points(const std::string& utf8)
{
    std::vector<std::uint32_t> points;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    std::size_t n = utf8.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char c = p[i];
        std::size_t length = c < 0x80         ? 1
                             : (c >> 5) == 6  ? 2
                             : (c >> 4) == 14 ? 3
                             : (c >> 3) == 30 ? 4
                                              : 0;
        std::uint32_t point = length == 1   ? c
                              : length == 2 ? c & 0x1F
                              : length == 3 ? c & 0x0F
                                            : c & 0x07;
        bool good = length > 0 && i + length <= n;
        for (std::size_t k = 1; good && k < length; ++k) {
            good = (p[i + k] & 0xC0) == 0x80;
            point = (point << 6) | (p[i + k] & 0x3F);
        }
        static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (good &&
            (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)))
            good = false;
        if (!good) {
            points.push_back(c);
            ++i;
            continue;
        }
        points.push_back(point);
        i += length;
    }
    return points;
}

} // namespace

bool has_capability(const ImapSession& s, const std::string& capability)
{
    std::string word(1, ' ');
    word += capability;
    word += ' ';
    return s.capabilities.find(word) != std::string::npos;
}

bool take_capabilities(ImapSession& s, const std::string& line)
{
    std::string text = upper(line);
    std::size_t at = text.find("[CAPABILITY ");
    std::size_t end;
    if (at != std::string::npos) {
        at += 12;
        end = text.find(']', at);
    } else if (text.rfind("* CAPABILITY ", 0) == 0) {
        at = 13;
        end = text.size();
    } else {
        return false;
    }
    // Built by appending: g++ 12 for mingw-w64 warns wrongly of a
    // literal + string here.
    s.capabilities.assign(1, ' ');
    s.capabilities += text.substr(at, end == std::string::npos ? end : end - at);
    s.capabilities += ' ';
    return true;
}

int imap_flush(ImapSession& s)
{
    if (s.out.empty())
        return 0;
    int failed = transport_write(s.transport, s.out.data(), s.out.size());
    s.out.clear();
    if (failed) {
        s.refused = false;
        s.problem = s.transport.problem;
        return 1;
    }
    return 0;
}

int imap_send(ImapSession& s, const char* bytes, std::size_t count)
{
    if (s.out.size() + count > send_block) {
        if (imap_flush(s))
            return 1;
        if (count >= send_block) {
            if (transport_write(s.transport, bytes, count)) {
                s.refused = false;
                s.problem = s.transport.problem;
                return 1;
            }
            return 0;
        }
    }
    s.out.append(bytes, count);
    return 0;
}

int imap_send(ImapSession& s, const std::string& text)
{
    return imap_send(s, text.data(), text.size());
}

int imap_read_response(ImapSession& s, ImapResponse& response)
{
    response.line.clear();
    response.literals.clear();
    std::size_t total = 0;
    if (s.in.empty() && fill(s))
        return 1;
    for (;;) {
        std::size_t before = response.line.size();
        if (read_line(s, response.line, imap_response_limit - total))
            return 1;
        total += response.line.size() - before;
        long long size = literal_size(response.line);
        if (size < 0)
            return 0;
        if (static_cast<unsigned long long>(size) > imap_response_limit - total) {
            s.problem = "the server " + s.host + " sent an answer too long to take";
            return 1;
        }
        std::string literal;
        literal.reserve(static_cast<std::size_t>(size));
        while (literal.size() < static_cast<std::size_t>(size)) {
            if (s.in_start == s.in_end && fill(s))
                return 1;
            std::size_t n =
                std::min(s.in_end - s.in_start, static_cast<std::size_t>(size) - literal.size());
            literal.append(s.in.data() + s.in_start, n);
            s.in_start += n;
        }
        total += literal.size();
        response.literals.push_back(std::move(literal));
    }
}

std::string imap_new_tag(ImapSession& s)
{
    std::string tag(1, 'K');
    tag += std::to_string(s.next_tag++);
    return tag;
}

std::string imap_shown(const ImapSession& s, const std::string& text)
{
    std::string shown = text;
    for (const auto& secret : s.secrets) {
        if (secret.empty())
            continue;
        for (std::size_t at = shown.find(secret); at != std::string::npos;
             at = shown.find(secret, at + 5))
            shown.replace(at, secret.size(), "*****");
    }
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    if (shown.size() > 300)
        shown = shown.substr(0, 300) + "...";
    return shown;
}

namespace {

// The server's tagged answer refused the command: 1, with the problem said.
int refused(ImapSession& s, const std::string& tag, const std::string& what,
            const std::string& line)
{
    s.refused = true;
    s.problem = "the server " + s.host + " refused " + what + ": " +
                imap_shown(s, line.substr(tag.size() + 1));
    return 1;
}

// The server said "* BYE" before the command's end: 1, with the problem said.
int ended(ImapSession& s, const std::string& what, const std::string& line)
{
    s.problem = "the server " + s.host + " ended the session during " + what + ": " +
                imap_shown(s, line.substr(2));
    return 1;
}

} // namespace

int imap_finish(ImapSession& s, const std::string& tag, const std::string& what,
                const std::function<void(const ImapResponse&)>& untagged,
                const std::function<int()>& go_ahead)
{
    s.refused = false;
    if (imap_flush(s))
        return 1;
    ImapResponse response;
    for (;;) {
        if (imap_read_response(s, response))
            return 1;
        const std::string& line = response.line;
        if (is_tagged(line, tag)) {
            take_capabilities(s, line);
            if (status_word(line, tag) == "OK")
                return 0;
            return refused(s, tag, what, line);
        }
        if (line.rfind("* ", 0) == 0) {
            if (upper(line).rfind("* BYE", 0) == 0 && what != "LOGOUT") {
                return ended(s, what, line);
            }
            take_capabilities(s, line);
            if (untagged)
                untagged(response);
        }
        // Otherwise a "+" asks for a literal that was sent already.
        if (line.rfind("+", 0) == 0 && go_ahead && (go_ahead() || imap_flush(s)))
            return 1;
    }
}

int imap_await_go_ahead(ImapSession& s, const std::string& tag, const std::string& what,
                        std::string* go_ahead_text)
{
    s.refused = false;
    if (imap_flush(s))
        return 1;
    ImapResponse response;
    for (;;) {
        if (imap_read_response(s, response))
            return 1;
        const std::string& line = response.line;
        if (line.rfind("+", 0) == 0) {
            if (go_ahead_text)
                *go_ahead_text = line.size() > 2 ? line.substr(2) : "";
            return 0;
        }
        if (is_tagged(line, tag)) {
            return refused(s, tag, what, line);
        }
        if (upper(line).rfind("* BYE", 0) == 0) {
            return ended(s, what, line);
        }
    }
}

int imap_command(ImapSession& s, const std::string& command, const std::string& what,
                 const std::function<void(const ImapResponse&)>& untagged)
{
    std::string tag = imap_new_tag(s);
    if (imap_send(s, tag + " " + command + "\r\n"))
        return 1;
    return imap_finish(s, tag, what, untagged);
}

std::string imap_quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

int imap_send_string(ImapSession& s, const std::string& tag, const std::string& text,
                     const std::string& what)
{
    bool plain = true;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            plain = false;
    if (plain)
        return imap_send(s, imap_quoted(text));
    bool at_once = has_capability(s, "LITERAL+");
    std::string head(1, '{');
    head += std::to_string(text.size());
    head += at_once ? "+}\r\n" : "}\r\n";
    if (imap_send(s, head) || (!at_once && imap_await_go_ahead(s, tag, what)))
        return 1;
    return imap_send(s, text);
}

std::string modified_utf7(const std::string& utf8)
{
    std::string encoded;
    std::vector<std::uint32_t> points = code_points(utf8);
    for (std::size_t i = 0; i < points.size();) {
        std::uint32_t c = points[i];
        if (c >= 0x20 && c <= 0x7E) {
            encoded += c == '&' ? std::string("&-") : std::string(1, static_cast<char>(c));
            ++i;
            continue;
        }
        // A run of other characters: their UTF-16 in base64 with "," for
        // "/", unpadded, between "&" and "-".
        std::vector<unsigned char> units;
        for (; i < points.size() && (points[i] < 0x20 || points[i] > 0x7E); ++i) {
            std::uint32_t p = points[i];
            auto put = [&units](std::uint32_t unit) {
                units.push_back(static_cast<unsigned char>(unit >> 8));
                units.push_back(static_cast<unsigned char>(unit & 0xFF));
            };
            if (p >= 0x10000) {
                p -= 0x10000;
                put(0xD800 + (p >> 10));
                put(0xDC00 + (p & 0x3FF));
            } else {
                put(p);
            }
        }
        encoded += '&';
        std::uint32_t bits = 0;
        int held = 0;
        for (unsigned char b : units) {
            bits = (bits << 8) | b;
            held += 8;
            while (held >= 6) {
                held -= 6;
                encoded += base64_letters[(bits >> held) & 0x3F];
            }
        }
        if (held > 0)
            encoded += base64_letters[(bits << (6 - held)) & 0x3F];
        encoded += '-';
    }
    return encoded;
}
