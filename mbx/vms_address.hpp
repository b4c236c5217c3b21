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
// get ".DOMAIN" when `domain` is not empty. A user name without a node is one
// on the VAX itself, USER@localhost; text that is no address keeps its
// characters as the quoted user part of an address at its node, or at
// localhost where it names none ("@FRIENDS" gives "\"@FRIENDS\"@localhost").
std::vector<MailAddress> vms_addresses(std::string_view value, const std::string& domain);

// The header value: "Name <user@host>" or "user@host", separated by commas,
// a display name outside ASCII as encoded words.
std::string address_list_text(const std::vector<MailAddress>& addresses);
// The same appended to `text`, which keeps its room from value to value.
void append_address_list(std::string& text, const std::vector<MailAddress>& addresses);

// Whether `text` is an internet address, "local@domain", as a header holds
// one.
bool is_addr_spec(std::string_view text);
