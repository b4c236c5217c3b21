// The user's credential and the login with it: a password (from
// KESTREL_IMAP_PASSWORD, from --password-command or asked on the terminal)
// sent by LOGIN, or an OAuth 2 access token (from --oauth2-token-command)
// sent by AUTHENTICATE OAUTHBEARER (RFC 7628) or XOAUTH2. A credential is
// fetched only once the connection is encrypted and the server's
// certificate checked, and never appears in a message.
#pragma once

#include "mbx/imap_protocol.hpp"

#include <string>

struct ImapCredentialSource {
    std::string password_command;
    std::string token_command;
};

// Fetches the credential and logs in as `user`. 0, or 1 with `s.problem`
// set.
int imap_log_in(ImapSession& s, const ImapCredentialSource& source, const std::string& user,
                unsigned port);

// `bytes` in base64 (RFC 4648), padded.
std::string base64_of(const std::string& bytes);
