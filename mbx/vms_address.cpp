#include "mbx/vms_address.hpp"

#include "mbx/ascii_case.hpp"
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

// Where the addresses of a line are read: the Internet domain of the DECnet
// nodes, the node of a user named without one and the user's own node
// (empty: not known).
struct Place {
    const std::string& domain;
    std::string_view node;
    std::string_view user_node;
};

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

// A user of the place's node, or of localhost where that is not known.
std::string at_home(std::string_view user, const Place& place)
{
    return place.node.empty() ? at_node(user, no_node, "")
                              : at_node(user, place.node, place.domain);
}

void add(std::vector<MailAddress>& out, std::string addr_spec, std::string name = {})
{
    out.push_back({std::move(name), std::move(addr_spec)});
}

// A UUCP bang path, host!...!user, as an Internet address: the user at the
// last host that is a domain name, the hops after it kept in front of the
// user (a!b.example!c!user is c!user@b.example); a path of UUCP names alone
// is read from its first host as RFC 976 reads it, a!b!user as
// b!user@a.UUCP.
std::optional<std::string> bang_path_address(std::string_view text)
{
    std::size_t last = text.rfind('!');
    if (last == std::string_view::npos || text.find('@') != std::string_view::npos ||
        !is_dot_atom(text) || text.front() == '!' || text.find("!!") != std::string_view::npos)
        return std::nullopt;
    std::string address;
    // The hosts from the last to the first: each ends at a "!".
    for (std::size_t host_end = last;;) {
        std::size_t host_start = text.rfind('!', host_end - 1);
        host_start = host_start == std::string_view::npos ? 0 : host_start + 1;
        std::string_view host = text.substr(host_start, host_end - host_start);
        if (host.find('.') != std::string_view::npos) {
            address = std::string(text.substr(host_end + 1)) + "@" + std::string(host);
            break;
        }
        if (host_start == 0) {
            std::size_t first = text.find('!');
            address = std::string(text.substr(first + 1)) + "@" +
                      std::string(text.substr(0, first)) + ".UUCP";
            break;
        }
        host_end = host_start - 1;
    }
    return is_addr_spec(address) ? std::optional(address) : std::nullopt;
}

// A bang path without a host that is a domain name.
bool is_uucp_path(std::string_view text)
{
    return text.find('!') != std::string_view::npos && text.find('.') == std::string_view::npos &&
           text.find('@') == std::string_view::npos && is_dot_atom(text) && text.front() != '!' &&
           text.back() != '!' && text.find("!!") == std::string_view::npos;
}

// One Internet address without its display name: user@host itself, after an
// RFC 822 source route (@relay,@relay2:user@host is user@host), the older
// "user at host", or a bang path.
std::optional<std::string> internet_addr_spec(std::string_view text)
{
    text = trim(text);
    if (!text.empty() && text.front() == '@') {
        std::size_t colon = text.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        text = text.substr(colon + 1);
    }
    if (is_addr_spec(text))
        return std::string(text);
    // user at host, as RFC 733 and the BITNET gateways wrote it
    std::size_t blank = text.find(' ');
    if (blank != std::string_view::npos && text.size() > blank + 4 &&
        equal_ignoring_case(text.substr(blank, 4), " at ")) {
        std::string address =
            std::string(text.substr(0, blank)) + "@" + std::string(trim(text.substr(blank + 4)));
        if (is_addr_spec(address))
            return address;
    }
    return bang_path_address(text);
}

// Whether " at " stands in the text, in any case.
bool has_word_at(std::string_view text)
{
    for (std::size_t blank = text.find(' '); blank != std::string_view::npos;
         blank = text.find(' ', blank + 1))
        if (text.size() > blank + 3 && equal_ignoring_case(text.substr(blank, 4), " at "))
            return true;
    return false;
}

// Where the part that opens at `open` with "(", "<" or a quote ends; npos
// when it never does. Comments nest; a backslash escapes the next character.
std::size_t part_end(std::string_view text, std::size_t open)
{
    const char close = text[open] == '(' ? ')' : text[open] == '<' ? '>' : '"';
    int depth = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            ++i;
        } else if (i > open && c == '"' && close != '"') {
            i = part_end(text, i);
            if (i == std::string_view::npos)
                return i;
        } else if (c == '(' && close == ')') {
            ++depth;
        } else if (c == close && (close != ')' || --depth == 0) && i > open) {
            return i;
        }
    }
    return std::string_view::npos;
}

// One address of an RFC 822 list: "Name <route-addr>", or an address with
// a comment that names its owner ("a@b (John)").
bool internet_address(std::string_view text, std::vector<MailAddress>& out)
{
    std::string rest, comment;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '(' && text[i] != '"' && text[i] != '<') {
            rest += text[i];
            continue;
        }
        std::size_t end = part_end(text, i);
        if (end == std::string_view::npos)
            return false;
        if (text[i] == '(') {
            if (comment.empty())
                comment = trim(text.substr(i + 1, end - i - 1));
        } else {
            rest += text.substr(i, end - i + 1);
        }
        i = end;
    }
    std::string_view kept = trim(rest);
    std::string name = comment;
    std::string_view address = kept;
    if (!kept.empty() && kept.back() == '>') {
        std::size_t open = kept.rfind('<');
        if (open == std::string_view::npos)
            return false;
        std::string_view phrase = trim(kept.substr(0, open));
        if (!phrase.empty())
            name = is_quoted(phrase) ? unquoted(phrase) : std::string(phrase);
        address = kept.substr(open + 1, kept.size() - open - 2);
    }
    auto found = internet_addr_spec(address);
    if (!found)
        return false;
    add(out, std::move(*found), std::move(name));
    return true;
}

// An RFC 822 list of addresses, as a gateway passed it on; nothing is
// added unless every one of them is an address.
bool internet_addresses(std::string_view text, std::vector<MailAddress>& out)
{
    const std::size_t before = out.size();
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && (text[i] == '"' || text[i] == '(' || text[i] == '<')) {
            i = part_end(text, i);
            if (i == std::string_view::npos)
                break;
            continue;
        }
        if (i < text.size() && text[i] != ',')
            continue;
        std::string_view part = trim(text.substr(start, i - start));
        // The commas of a source route, @a,@b:user@host, are the route's.
        if (i < text.size() && !part.empty() && part.front() == '@' &&
            part.find(':') == std::string_view::npos)
            continue;
        if (!part.empty() && !internet_address(part, out))
            break;
        start = i + 1;
        if (i == text.size()) {
            if (out.size() > before)
                return true;
            break;
        }
    }
    out.resize(before);
    return false;
}

std::string replaced(std::string_view text, std::string_view what, std::string_view by)
{
    std::string out;
    for (std::size_t at = 0;;) {
        std::size_t found = text.find(what, at);
        out += text.substr(at, found - at);
        if (found == std::string_view::npos)
            return out;
        out += by;
        at = found + what.size();
    }
}

bool addresses_in(std::string_view text, const Place& place, std::vector<MailAddress>& out);

// The Message Router's address behind the gateway MRGATE, on `gateway`
// (empty: the place's node): a user of another mail system, ALL-IN-1's
// A1::JONES, is reached through that gateway, the address at the gateway's
// node holding the route (MRGATE::"A1::JONES"); a mailbox on the user's
// own node is the VMS MAIL user there.
void message_router_address(std::string_view mrgate, std::string_view route,
                            std::string_view gateway, const Place& place,
                            std::vector<MailAddress>& out)
{
    std::string inner = is_quoted(route) ? unquoted(route) : std::string(route);
    std::size_t colons = inner.find("::");
    if (colons != std::string::npos && !place.user_node.empty() &&
        equal_ignoring_case(std::string_view(inner).substr(0, colons), place.user_node) &&
        is_vms_name(std::string_view(inner).substr(colons + 2))) {
        add(out, at_node(std::string_view(inner).substr(colons + 2),
                         std::string_view(inner).substr(0, colons), place.domain));
        return;
    }
    std::string local = quoted_string(std::string(mrgate) + "::" + std::string(route));
    add(out, gateway.empty() ? at_home(local, place) : at_node(local, gateway, place.domain));
}

// NODE::REST, A::B::REST: the user at the last node, or what the rest
// holds. Text that holds no address becomes the quoted user part at that
// node.
bool decnet_addresses(std::string_view text, const Place& place, std::vector<MailAddress>& out)
{
    std::size_t colons = text.find("::");
    if (colons == std::string_view::npos || !is_vms_name(text.substr(0, colons)))
        return false;
    std::string_view before_node; // the node in front of the last one
    std::string_view node = text.substr(0, colons);
    std::string_view rest = text.substr(colons + 2);
    while (true) {
        std::size_t next = rest.find("::");
        if (next == std::string_view::npos || !is_vms_name(rest.substr(0, next)))
            break;
        before_node = node;
        node = rest.substr(0, next);
        rest = rest.substr(next + 2);
    }
    if (is_vms_name(rest)) {
        add(out, at_node(rest, node, place.domain));
        return true;
    }
    std::string inner = is_quoted(rest) ? unquoted(rest) : std::string(rest);
    // A UUCP path of UUCP names alone, which the gateway on the node passed
    // on, is reached through that gateway.
    if (is_uucp_path(inner)) {
        add(out, at_node(inner, node, place.domain));
        return true;
    }
    // MRGATE::"SMTP::host::user" is an Internet address behind the Message
    // Router; any other address behind it stays behind the gateway.
    if (equal_ignoring_case(node, "MRGATE") && is_quoted(rest)) {
        if (internet_addresses(inner, out) ||
            (inner.size() > 6 && equal_ignoring_case(inner.substr(0, 6), "SMTP::") &&
             addresses_in(inner, place, out)))
            return true;
        message_router_address(node, rest, before_node, place, out);
        return true;
    }
    if (addresses_in(inner, place, out))
        return true;
    if (!is_ascii(inner) || inner.empty())
        return false;
    add(out, at_node(quoted_string(inner), node, place.domain));
    return true;
}

// Appends the addresses that `text` holds; false when it holds none.
bool addresses_in(std::string_view text, const Place& place, std::vector<MailAddress>& out)
{
    text = trim(text);
    if (text.empty())
        return false;
    // An Internet address has an "@", a bang path a "!", the older form " at ".
    if (text.find_first_of("@!") != std::string_view::npos || has_word_at(text)) {
        if (internet_addresses(text, out))
            return true;
    }
    // IN%"a@b", MX%"a@b", SMTP%"a@b", UUCP%"a!b!c": a mailer's prefix, the
    // address quoted, a quote inside doubled. PMDF also takes "'" for a
    // quote inside, the TCP/IP Services' SMTP a cent sign.
    if (std::size_t percent = text.find("%\""); percent != std::string_view::npos &&
                                                is_vms_name(text.substr(0, percent)) &&
                                                is_quoted(text.substr(percent + 1))) {
        std::string inner = unquoted(text.substr(percent + 1));
        if (equal_ignoring_case(text.substr(0, percent), "SMTP"))
            inner = replaced(inner, "\xC2\xA2", "\"");
        if (inner.find('\'') != std::string::npos &&
            internet_addresses(replaced(inner, "'", "\""), out))
            return true;
        if (internet_addresses(inner, out))
            return true;
        return addresses_in(inner, place, out);
    }
    // The Message Router's gateway: SMTP::host::user inside quotes, and the
    // older MRGATE!a@b@SMTP.
    if (text.size() > 6 && equal_ignoring_case(text.substr(0, 6), "SMTP::")) {
        std::string_view rest = text.substr(6);
        std::size_t last = rest.rfind("::");
        if (last != std::string_view::npos) {
            std::string address =
                std::string(rest.substr(last + 2)) + "@" + std::string(rest.substr(0, last));
            if (is_addr_spec(address)) {
                add(out, std::move(address));
                return true;
            }
        }
    }
    if (text.size() > 12 && equal_ignoring_case(text.substr(0, 7), "MRGATE!") &&
        equal_ignoring_case(text.substr(text.size() - 5), "@SMTP") &&
        is_addr_spec(text.substr(7, text.size() - 12))) {
        add(out, std::string(text.substr(7, text.size() - 12)));
        return true;
    }
    return decnet_addresses(text, place, out);
}

// The first word of a value: a DECnet address without the personal name
// after it.
std::string_view first_word(std::string_view text)
{
    text = trim(text);
    return text.substr(0, text.find_first_of(" \t"));
}

// NODE::USER, A::B::USER: the user and the last node.
bool decnet_user(std::string_view text, DecnetUser& user)
{
    std::size_t last = text.rfind("::");
    if (last == std::string_view::npos || !is_vms_name(text.substr(last + 2)))
        return false;
    for (std::size_t start = 0;;) {
        std::size_t end = text.find("::", start);
        if (!is_vms_name(text.substr(start, end - start)))
            return false;
        if (end == last) {
            user.node = text.substr(start, end - start);
            user.name = text.substr(last + 2);
            return true;
        }
        start = end + 2;
    }
}

// Calls `take` with each element of a list, the commas inside quotes
// passed over.
template <typename Take> void for_each_element(std::string_view value, Take&& take)
{
    std::size_t start = 0;
    for (std::size_t i = 0;; ++i) {
        while (i < value.size() && value[i] != ',' && value[i] != '"')
            ++i;
        if (i < value.size() && value[i] == '"') {
            // A quoted string's commas are its own; a quote without its
            // end is one more character.
            std::size_t end = quote_end(value, i);
            if (end != std::string_view::npos)
                i = end;
            continue;
        }
        std::string_view element = trim(value.substr(start, i - start));
        if (!element.empty())
            take(element);
        if (i == value.size())
            return;
        start = i + 1;
    }
}

// One element of the list: its addresses and a quoted personal name after
// them.
void addresses_of_element(std::string_view element, const Place& place,
                          std::vector<MailAddress>& out)
{
    std::string name;
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
                name = trim(unquoted(element.substr(i)));
                address = trim(element.substr(0, i));
                break;
            }
            i = end;
        }
    }
    const std::size_t before = out.size();
    if (!addresses_in(address, place, out)) {
        if (is_vms_name(address))
            add(out, at_home(address, place));
        else if (is_ascii(address))
            add(out, at_home(quoted_string(address), place));
        else // Text outside ASCII cannot stand in an address: it is shown
             // as the name of one that holds none of it.
            add(out, at_node("unknown", no_node, ""), std::string(address));
    }
    // The personal name belongs to the one address it follows.
    if (!name.empty() && out.size() == before + 1)
        out.back().name = name;
    for (std::size_t i = before; i < out.size(); ++i) {
        std::string& shown = out[i].name;
        // A control character has no place in a name a client shows.
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = ' ';
        shown = std::string(trim(shown));
    }
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

std::vector<MailAddress> vms_addresses(std::string_view value, const std::string& domain,
                                       std::string_view node, std::string_view user_node)
{
    std::vector<MailAddress> addresses;
    const Place place{domain, node, user_node};
    for_each_element(
        value, [&](std::string_view element) { addresses_of_element(element, place, addresses); });
    return addresses;
}

void list_elements(std::string_view value, std::vector<std::string_view>& elements)
{
    elements.clear();
    for_each_element(value, [&](std::string_view element) { elements.push_back(element); });
}

void element_addresses(std::string_view element, const std::string& domain, std::string_view node,
                       std::string_view user_node, std::vector<MailAddress>& out)
{
    addresses_of_element(element, Place{domain, node, user_node}, out);
}

std::string_view sender_node(std::string_view value)
{
    value = trim(value);
    std::string_view node, before;
    for (std::size_t colons = value.find("::");
         colons != std::string_view::npos && is_vms_name(value.substr(0, colons));
         colons = value.find("::")) {
        before = node;
        node = value.substr(0, colons);
        value.remove_prefix(colons + 2);
    }
    return equal_ignoring_case(node, "MRGATE") ? before : node;
}

void decnet_recipients(std::string_view value, std::vector<DecnetUser>& users)
{
    users.clear();
    for_each_element(value, [&](std::string_view element) {
        DecnetUser user;
        if (decnet_user(first_word(element), user))
            users.push_back(user);
    });
}

void show_address(const MailAddress& address, std::string& shown)
{
    if (address.name.empty()) {
        shown = address.addr_spec;
        return;
    }
    if (!is_ascii(address.name))
        shown = encoded_words(address.name);
    else if (is_encoded_phrase(address.name))
        shown = address.name;
    else
        shown = quoted_string(address.name);
    shown += " <";
    shown += address.addr_spec;
    shown += '>';
}

void append_shown_address(std::string& text, std::size_t start, std::size_t& line_length,
                          std::string_view shown)
{
    if (text.size() > start) {
        text += ',';
        if (line_length + shown.size() > 72) {
            text += '\n';
            line_length = 0;
        }
        text += ' ';
    }
    text += shown;
    // Folded within (encoded words) only now and then: the forward search
    // is the quick one.
    std::size_t fold =
        shown.find('\n') == std::string_view::npos ? std::string_view::npos : shown.rfind('\n');
    line_length =
        fold == std::string_view::npos ? line_length + shown.size() + 2 : shown.size() - fold;
}

void append_address_list(std::string& text, const std::vector<MailAddress>& addresses)
{
    const std::size_t start = text.size();
    std::size_t line_length = 0;
    std::string named; // "Name <user@host>", made in the same room each time
    for (const MailAddress& a : addresses) {
        std::string_view one = a.addr_spec;
        if (!a.name.empty()) {
            show_address(a, named);
            one = named;
        }
        append_shown_address(text, start, line_length, one);
    }
}

std::string address_list_text(const std::vector<MailAddress>& addresses)
{
    std::string text;
    append_address_list(text, addresses);
    return text;
}
