// Where kestrel-mbx imap puts the messages: "imaps://USER@HOST[:PORT][/PREFIX]"
// (TLS from the start, port 993) or "imap://..." (port 143, TLS by STARTTLS
// before anything else is said, or none at all with --insecure-localhost).
#pragma once

#include <string>

struct ImapUrl {
    bool tls_at_once = true; // imaps
    std::string user;        // percent-decoded; may hold an "@"
    std::string host;        // a name, an IPv4 address or an IPv6 one without brackets
    unsigned port = 993;
    std::string prefix; // the folders' parent, "/" between its levels; may be empty
};

// Reads `text`; false with `problem` set when it is no such URL.
bool parse_imap_url(const std::string& text, ImapUrl& url, std::string& problem);

// Whether `text` looks meant as an IMAP URL at all.
bool is_imap_url(const std::string& text);
