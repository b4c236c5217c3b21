// The IMAP protocol as kestrel-mbx speaks it (RFC 3501 and 9051): tagged
// commands, responses with their literals, literals sent either after the
// server's go-ahead or at once where it offers LITERAL+ (RFC 7888), and the
// modified UTF-7 of folder names. Every failure leaves its reason in
// `problem`: a NO or BAD is quoted as the server gave it, with any
// credential of the session blotted out.
#pragma once

#include "mbx/imap_transport.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// A response is read whole, literals included; a longer one is refused, so
// that a server cannot make memory grow without end.
inline constexpr std::size_t imap_response_limit = 1 << 24;

struct ImapResponse {
    std::string line; // the text, each literal left as its "{N}" marker
    std::vector<std::string> literals;
};

struct ImapSession {
    ImapTransport transport;
    std::string host; // as the user named it, for the messages
    std::vector<char> in;
    std::size_t in_start = 0, in_end = 0;
    std::string out; // what is yet to be sent
    unsigned next_tag = 1;
    std::string capabilities;         // " IMAP4REV1 LITERAL+ ... ", upper case
    std::vector<std::string> secrets; // never to appear in a message
    std::string problem;
    bool refused = false; // the last failure was the server's NO or BAD: the
                          // connection is sound
};

// Whether the server said it has `capability` (upper case, "LITERAL+").
bool has_capability(const ImapSession& s, const std::string& capability);
// Takes the capabilities from a response that lists them, untagged or in a
// response code; false when it lists none.
bool take_capabilities(ImapSession& s, const std::string& line);

// Queues bytes for the server; they go out when 256 KiB are queued and at
// imap_flush. 0, or 1.
int imap_send(ImapSession& s, const char* bytes, std::size_t count);
int imap_send(ImapSession& s, const std::string& text);
int imap_flush(ImapSession& s);

// Reads the next response. 0, or 1.
int imap_read_response(ImapSession& s, ImapResponse& response);

// A new tag, "K1", "K2", ...
std::string imap_new_tag(ImapSession& s);

// Reads responses up to the one tagged `tag`, giving each untagged one to
// `untagged` and answering each go-ahead "+" by `go_ahead` (0, or 1 when
// sending failed). 0 when the command ended OK, else 1 with `problem`
// naming `what` and quoting the server's answer.
int imap_finish(ImapSession& s, const std::string& tag, const std::string& what,
                const std::function<void(const ImapResponse&)>& untagged = nullptr,
                const std::function<int()>& go_ahead = nullptr);
// Reads responses up to the server's go-ahead "+" for a literal of the
// command tagged `tag`: 0 then; 1 when the command ended instead.
int imap_await_go_ahead(ImapSession& s, const std::string& tag, const std::string& what,
                        std::string* go_ahead_text = nullptr);
// Sends "TAG COMMAND" and reads its responses. 0, or 1.
int imap_command(ImapSession& s, const std::string& command, const std::string& what,
                 const std::function<void(const ImapResponse&)>& untagged = nullptr);

// `text` as a quoted string, or as a literal for what a quoted string cannot
// hold (bytes outside ASCII, line ends), sent at once with LITERAL+, else
// after the server's go-ahead for the command tagged `tag`. 0, or 1.
int imap_send_string(ImapSession& s, const std::string& tag, const std::string& text,
                     const std::string& what);
// `text` as a quoted string: only for text of printable ASCII.
std::string imap_quoted(const std::string& text);

// A folder name in UTF-8 as IMAP carries it: modified UTF-7 (RFC 3501
// 5.1.3). Bytes that are not UTF-8 are taken as Latin-1.
std::string modified_utf7(const std::string& utf8);

// `text` with every credential of the session replaced by "*****" and
// control characters by "?": what the server said, fit to be quoted.
std::string imap_shown(const ImapSession& s, const std::string& text);
