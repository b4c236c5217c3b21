// The addresses of a VAX MAIL "From:", "To:" or "CC:" line made into
// addresses that a mail client can show and reply to. VMS MAIL writes a
// sender or recipient as a user name (SMITH), a DECnet address (NODE::USER,
// A::B::USER), a gateway address with the internet address in quotes
// (IN%"a@b", MX%"a@b", SMTP%"a@b", NODE::"a@b", NODE::MRGATE::"SMTP::host::user",
// NODE::MRGATE!a@b@SMTP), or text a gateway passed on (NODE::"uunet!host!user");
// a quoted personal name may follow, and a line may list several, separated
// by commas.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct MailAddress {
    std::string name;      // the display name, UTF-8; empty: none
    std::string addr_spec; // "user@host", quoted where it must be
};

// The addresses of one line's value (UTF-8 text), in their order. DECnet nodes
// get ".DOMAIN" when `domain` is not empty. A user name without a node is a
// user of `node`, the node on which the line was written (the sender's for
// To and CC, the user's own, `user_node`, for From), or USER@localhost where
// that is not known; text that is no address keeps its characters as the quoted user
// part of an address at its node, or at that node or localhost where it
// names none ("@FRIENDS" gives "\"@FRIENDS\"@localhost"). The gateways'
// forms are read as their mailers wrote them: PMDF's IN%"..." and MX%"..."
// holding RFC 822 addresses (with comments, display names, source routes,
// several in one, "'" for a quote in PMDF's), the TCP/IP Services'
// SMTP%"..." (a cent sign for a quote), UUCP bang paths, "user at host",
// and the Message Router's MRGATE::"SMTP::host::user" and
// MRGATE!a@b@SMTP; an address behind the Message Router that is no
// Internet one (ALL-IN-1's DELTA::MRGATE::"A1::JONES") stays behind its
// gateway: "MRGATE::\"A1::JONES\""@DELTA, unless A1 is the user's node.
std::vector<MailAddress> vms_addresses(std::string_view value, const std::string& domain,
                                       std::string_view node = {}, std::string_view user_node = {});

// The same, element by element: the elements of a list value, each
// trimmed, the commas inside quotes passed over and empty ones left out
// (into `elements`, which keeps its room), and the addresses of one element,
// appended to `out`. The addresses of a value are those of its elements in
// their order.
void list_elements(std::string_view value, std::vector<std::string_view>& elements);
void element_addresses(std::string_view element, const std::string& domain, std::string_view node,
                       std::string_view user_node, std::vector<MailAddress>& out);

// A DECnet user, NODE::USER or A::B::USER: the user and its last node.
struct DecnetUser {
    std::string_view node;
    std::string_view name;
};

// The node that wrote a message's To and CC lines, from its From value:
// the last DECnet node in front of the sender (of GW::"a@b" the gateway's
// node GW, of A::B::USER B, of NODE::MRGATE::"..." NODE); empty when the
// sender has none (a user of the user's node, or IN%"a@b").
std::string_view sender_node(std::string_view value);
// The recipients of a To or CC value that are DECnet users, into `users`,
// which keeps its room from call to call.
void decnet_recipients(std::string_view value, std::vector<DecnetUser>& users);

// The header value: "Name <user@host>" or "user@host", separated by commas,
// a display name outside ASCII as encoded words.
std::string address_list_text(const std::vector<MailAddress>& addresses);
// The same appended to `text`, which keeps its room from value to value.
void append_address_list(std::string& text, const std::vector<MailAddress>& addresses);
// One address as the list shows it, into `shown`.
void show_address(const MailAddress& address, std::string& shown);
// Appends one shown address to a list that begins at `start` of `text`:
// after a comma and a blank, on a folded line of its own when the line
// would grow past 72 characters. `line_length` goes on from address to
// address; 0 for the first.
void append_shown_address(std::string& text, std::size_t start, std::size_t& line_length,
                          std::string_view shown);

// Whether `text` is an internet address, "local@domain", as a header holds
// one.
bool is_addr_spec(std::string_view text);
