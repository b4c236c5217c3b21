#include "mbx/imap_url.hpp"

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "%40" and the like made bytes again; false on a "%" without two hex digits
// and on a NUL, which no name can hold.
bool percent_decoded(const std::string& text, std::string& decoded)
{
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        int high = hex_value(text[i + 1]);
        int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

} // namespace

bool is_imap_url(const std::string& text)
{
    return text.rfind("imaps://", 0) == 0 || text.rfind("imap://", 0) == 0;
}

bool parse_imap_url(const std::string& text, ImapUrl& url, std::string& problem)
{
    url = ImapUrl();
    std::string rest;
    if (text.rfind("imaps://", 0) == 0) {
        rest = text.substr(8);
    } else if (text.rfind("imap://", 0) == 0) {
        rest = text.substr(7);
        url.tls_at_once = false;
        url.port = 143;
    } else {
        problem = "not an imaps:// or imap:// URL: " + text;
        return false;
    }
    std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    std::size_t at = authority.rfind('@');
    if (at == std::string::npos || at == 0) {
        problem = "no user name in " + text + " (imaps://USER@HOST)";
        return false;
    }
    std::string host_port = authority.substr(at + 1);
    if (!percent_decoded(authority.substr(0, at), url.user) || !percent_decoded(path, url.prefix)) {
        problem = "a \"%\" not followed by two hex digits in " + text;
        return false;
    }
    std::string port;
    if (!host_port.empty() && host_port[0] == '[') {
        std::size_t close = host_port.find(']');
        if (close == std::string::npos) {
            problem = "no \"]\" after the IPv6 address in " + text;
            return false;
        }
        url.host = host_port.substr(1, close - 1);
        std::string after = host_port.substr(close + 1);
        if (!after.empty() && after[0] != ':') {
            problem = "not a host and port: " + host_port;
            return false;
        }
        port = after.empty() ? "" : after.substr(1);
        if (after == ":")
            port.assign(1, ':');
    } else {
        std::size_t colon = host_port.find(':');
        url.host = host_port.substr(0, colon);
        if (colon != std::string::npos)
            port = host_port.substr(colon + 1);
        if (colon != std::string::npos && port.empty())
            port.assign(1, ':');
    }
    if (url.host.empty()) {
        problem = "no host in " + text;
        return false;
    }
    if (!port.empty()) {
        unsigned long number = 0;
        bool digits = port.size() <= 5;
        for (char c : port)
            if (c >= '0' && c <= '9')
                number = number * 10 + static_cast<unsigned long>(c - '0');
            else
                digits = false;
        if (!digits || number == 0 || number > 65535) {
            problem = "not a port number: " + port;
            return false;
        }
        url.port = static_cast<unsigned>(number);
    }
    return true;
}
