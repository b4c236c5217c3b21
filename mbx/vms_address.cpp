#include "mbx/vms_address.hpp"

#include "mbx/charset.hpp"

#include <optional>

namespace {

constexpr std::string_view no_node = "localhost";

bool is_atext(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

bool is_dot_atom(std::string_view text)
{
    if (text.empty() || text.front() == '.' || text.back() == '.' ||
        text.find("..") != std::string_view::npos)
        return false;
    for (char c : text)
        if (c != '.' && !is_atext(c))
            return false;
    return true;
}

// A VMS user or node name: letters, digits, "$", "_" and "-".
bool is_vms_name(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '$' || c == '_' || c == '-'))
            return false;
    return true;
}

// Printable ASCII, the blank included.
bool is_ascii(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x7F || static_cast<unsigned char>(c) < 0x20)
            return false;
    return true;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20))
            return false;
    return true;
}

// Where the quoted text that starts at `open` ends (its closing quote), VMS
// writing a quote inside as two; npos when it is never closed.
std::size_t quote_end(std::string_view text, std::size_t open)
{
    for (std::size_t i = open + 1; i < text.size(); ++i)
        if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"')
                ++i;
            else
                return i;
        }
    return std::string_view::npos;
}

// The text inside quotes, a doubled quote made one.
std::string unquoted(std::string_view quoted)
{
    std::string text;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        text += quoted[i];
        if (quoted[i] == '"' && quoted[i + 1] == '"')
            ++i;
    }
    return text;
}

bool is_quoted(std::string_view text)
{
    return text.size() >= 2 && text.front() == '"' && quote_end(text, 0) == text.size() - 1;
}

// Whether `text` is a quoted-string of RFC 5322: printable ASCII between
// quotes, a quote or "\\" inside escaped by a "\\".
bool is_quoted_string(std::string_view text)
{
    if (text.size() < 2 || text.front() != '"' || text.back() != '"' || !is_ascii(text))
        return false;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '"')
            return false;
        if (text[i] == '\\' && ++i + 1 >= text.size())
            return false;
    }
    return true;
}

// A quoted-string of RFC 5322: the text between quotes, "\" and quotes escaped.
std::string quoted_string(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// "user@node", or "user@node.domain" when a domain is given.
std::string at_node(std::string_view user, std::string_view node, const std::string& domain)
{
    std::string address;
    address.reserve(user.size() + node.size() + domain.size() + 2);
    address += user;
    address += '@';
    address += node;
    if (!domain.empty()) {
        address += '.';
        address += domain;
    }
    return address;
}

// The address a text stands for, when it holds one; `name` gets a personal
// name found inside it ("Name <a@b>").
std::optional<std::string> address_in(std::string_view text, const std::string& domain,
                                      std::string& name);

// NODE::REST, A::B::REST: the user at the last node, or what the rest
// holds. Text that holds no address becomes the quoted user part at that node.
std::optional<std::string> decnet_address(std::string_view text, const std::string& domain,
                                          std::string& name)
{
    std::size_t colons = text.find("::");
    if (colons == std::string_view::npos || !is_vms_name(text.substr(0, colons)))
        return std::nullopt;
    std::string_view node = text.substr(0, colons);
    std::string_view rest = text.substr(colons + 2);
    while (true) {
        std::size_t next = rest.find("::");
        if (next == std::string_view::npos || !is_vms_name(rest.substr(0, next)))
            break;
        node = rest.substr(0, next);
        rest = rest.substr(next + 2);
    }
    if (is_vms_name(rest))
        return at_node(rest, node, domain);
    std::string inner = is_quoted(rest) ? unquoted(rest) : std::string(rest);
    if (auto address = address_in(inner, domain, name))
        return address;
    if (!is_ascii(inner) || inner.empty())
        return std::nullopt;
    return at_node(quoted_string(inner), node, domain);
}

std::optional<std::string> address_in(std::string_view text, const std::string& domain,
                                      std::string& name)
{
    text = trim(text);
    if (is_addr_spec(text))
        return std::string(text);
    // Name <a@b>
    if (!text.empty() && text.back() == '>') {
        std::size_t open = text.rfind('<');
        if (open != std::string_view::npos) {
            std::string found;
            auto inside = address_in(text.substr(open + 1, text.size() - open - 2), domain, found);
            if (inside) {
                std::string_view phrase = trim(text.substr(0, open));
                name = is_quoted(phrase) ? unquoted(phrase) : std::string(phrase);
                return inside;
            }
        }
    }
    // IN%"a@b", MX%"a@b", SMTP%"a@b": a mailer's prefix, the address quoted.
    if (std::size_t percent = text.find("%\""); percent != std::string_view::npos &&
                                                is_vms_name(text.substr(0, percent)) &&
                                                is_quoted(text.substr(percent + 1)))
        return address_in(unquoted(text.substr(percent + 1)), domain, name);
    // The Message Router's gateway: SMTP::host::user inside quotes, and the
    // older MRGATE!a@b@SMTP.
    if (text.size() > 6 && equal_ignoring_case(text.substr(0, 6), "SMTP::")) {
        std::string_view rest = text.substr(6);
        std::size_t last = rest.rfind("::");
        if (last != std::string_view::npos) {
            std::string address =
                std::string(rest.substr(last + 2)) + "@" + std::string(rest.substr(0, last));
            if (is_addr_spec(address))
                return address;
        }
    }
    if (text.size() > 12 && equal_ignoring_case(text.substr(0, 7), "MRGATE!") &&
        equal_ignoring_case(text.substr(text.size() - 5), "@SMTP") &&
        is_addr_spec(text.substr(7, text.size() - 12)))
        return std::string(text.substr(7, text.size() - 12));
    return decnet_address(text, domain, name);
}

// One element of the list: the address and a quoted personal name after it.
MailAddress element_address(std::string_view element, const std::string& domain)
{
    MailAddress made;
    std::string_view address = element;
    // A personal name: quoted text at the end, with blanks in front of it.
    if (!element.empty() && element.back() == '"') {
        for (std::size_t i = 0; i < element.size(); ++i) {
            if (element[i] != '"')
                continue;
            std::size_t end = quote_end(element, i);
            if (end == std::string_view::npos)
                break;
            if (end == element.size() - 1 && i > 0 &&
                (element[i - 1] == ' ' || element[i - 1] == '\t') &&
                !trim(element.substr(0, i)).empty()) {
                made.name = trim(unquoted(element.substr(i)));
                address = trim(element.substr(0, i));
                break;
            }
            i = end;
        }
    }
    std::string inner_name;
    if (auto found = address_in(address, domain, inner_name)) {
        made.addr_spec = *found;
    } else if (is_vms_name(address)) {
        made.addr_spec = at_node(address, no_node, "");
    } else if (is_ascii(address)) {
        made.addr_spec = at_node(quoted_string(address), no_node, "");
    } else {
        // Text outside ASCII cannot stand in an address: it is shown as the
        // name of one that holds none of it.
        made.addr_spec = at_node("unknown", no_node, "");
        inner_name = address;
    }
    if (made.name.empty())
        made.name = trim(inner_name);
    // A control character has no place in a name a client shows.
    for (char& c : made.name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    made.name = std::string(trim(made.name));
    return made;
}

// An RFC 2047 encoded word, "=?charset?B?text?=" or with Q.
bool is_encoded_word(std::string_view word)
{
    if (word.size() < 8 || word.substr(0, 2) != "=?" || word.substr(word.size() - 2) != "?=")
        return false;
    std::string_view inside = word.substr(2, word.size() - 4);
    std::size_t q1 = inside.find('?');
    if (q1 == 0 || q1 == std::string_view::npos || q1 + 2 >= inside.size() ||
        inside[q1 + 2] != '?' ||
        std::string_view("BbQq").find(inside[q1 + 1]) == std::string_view::npos)
        return false;
    for (char c : inside.substr(0, q1))
        if (!is_atext(c) || c == '=')
            return false;
    for (char c : inside.substr(q1 + 3))
        if (c <= ' ' || c >= 0x7F || c == '?')
            return false;
    return true;
}

// A name that a gateway passed on as encoded words (with plain words beside
// them): as it stands it reads as the name it encodes, and between quotes
// it would be text.
bool is_encoded_phrase(std::string_view name)
{
    bool encoded = false;
    for (std::size_t at = 0; at < name.size();) {
        std::size_t end = std::min(name.find(' ', at), name.size());
        std::string_view word = name.substr(at, end - at);
        if (is_encoded_word(word))
            encoded = true;
        else if (!is_dot_atom(word) || word.find('.') != std::string_view::npos)
            return false;
        at = end + 1;
    }
    return encoded;
}

} // namespace

bool is_addr_spec(std::string_view text)
{
    std::size_t at = text.rfind('@');
    if (at == std::string_view::npos)
        return false;
    std::string_view local = text.substr(0, at);
    return (is_dot_atom(local) || is_quoted_string(local)) && is_dot_atom(text.substr(at + 1));
}

std::vector<MailAddress> vms_addresses(std::string_view value, const std::string& domain)
{
    std::vector<MailAddress> addresses;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size() && value[i] == '"') {
            std::size_t end = quote_end(value, i);
            if (end != std::string_view::npos) {
                i = end;
                continue;
            }
        }
        if (i < value.size() && value[i] != ',')
            continue;
        std::string_view element = trim(value.substr(start, i - start));
        if (!element.empty())
            addresses.push_back(element_address(element, domain));
        start = i + 1;
    }
    return addresses;
}

void append_address_list(std::string& text, const std::vector<MailAddress>& addresses)
{
    const std::size_t start = text.size();
    std::size_t line_length = 0;
    std::string named; // "Name <user@host>", made in the same room each time
    for (const MailAddress& a : addresses) {
        std::string_view one = a.addr_spec;
        if (!a.name.empty()) {
            if (!is_ascii(a.name))
                named = encoded_words(a.name);
            else if (is_encoded_phrase(a.name))
                named = a.name;
            else
                named = quoted_string(a.name);
            named += " <";
            named += a.addr_spec;
            named += '>';
            one = named;
        }
        if (text.size() > start) {
            text += ',';
            if (line_length + one.size() > 72) {
                text += '\n';
                line_length = 0;
            }
            text += ' ';
        }
        text += one;
        std::size_t fold = one.rfind('\n');
        line_length =
            fold == std::string_view::npos ? line_length + one.size() + 2 : one.size() - fold;
    }
}

std::string address_list_text(const std::vector<MailAddress>& addresses)
{
    std::string text;
    append_address_list(text, addresses);
    return text;
}
