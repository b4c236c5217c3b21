#include "mbx/imap_credentials.hpp"

#include "mbx/platform.hpp"

#include <cstdlib>

namespace {

// The secret that a password or token command wrote: its first line's text,
// without the line end. 0, or 1 with `problem` set.
int secret_of_command(const std::string& command, std::string& secret, std::string& problem)
{
    if (run_secret_command(command, secret, problem))
        return 1;
    if (secret.size() > secret_output_limit) {
        secret.clear();
        problem = "the command wrote more than 64 KiB";
        return 1;
    }
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r'))
        secret.pop_back();
    if (secret.empty()) {
        problem = "the command wrote nothing";
        return 1;
    }
    return 0;
}

// The password or the token; 0, or 1 with `s.problem` set.
int fetch_secret(ImapSession& s, const ImapCredentialSource& source, const std::string& user,
                 std::string& secret)
{
    std::string problem;
    if (!source.token_command.empty()) {
        if (secret_of_command(source.token_command, secret, problem)) {
            s.problem = "no access token from --oauth2-token-command: " + problem;
            return 1;
        }
        return 0;
    }
    if (!source.password_command.empty()) {
        if (secret_of_command(source.password_command, secret, problem)) {
            s.problem = "no password from --password-command: " + problem;
            return 1;
        }
        return 0;
    }
    if (const char* given = std::getenv("KESTREL_IMAP_PASSWORD"); given && *given) {
        secret = given;
        return 0;
    }
    if (ask_secret("Password for " + user + " at " + s.host + ": ", secret, problem)) {
        s.problem =
            "no password: " + problem + " (set KESTREL_IMAP_PASSWORD or give --password-command)";
        return 1;
    }
    return 0;
}

int log_in_with_password(ImapSession& s, const std::string& user, const std::string& password)
{
    if (has_capability(s, "LOGINDISABLED")) {
        s.problem =
            "the server " + s.host + " takes no password on this connection (LOGINDISABLED)";
        return 1;
    }
    std::string tag = imap_new_tag(s);
    if (imap_send(s, tag + " LOGIN ") || imap_send_string(s, tag, user, "the login") ||
        imap_send(s, " ") || imap_send_string(s, tag, password, "the login") ||
        imap_send(s, "\r\n"))
        return 1;
    return imap_finish(s, tag, "the login");
}

int log_in_with_token(ImapSession& s, const std::string& user, const std::string& token,
                      unsigned port)
{
    std::string mechanism, initial;
    if (has_capability(s, "AUTH=OAUTHBEARER")) {
        mechanism = "OAUTHBEARER";
        initial = "n,a=" + user + ",\x01host=" + s.host + "\x01port=" + std::to_string(port) +
                  "\x01"
                  "auth=Bearer " +
                  token + "\x01\x01";
    } else if (has_capability(s, "AUTH=XOAUTH2")) {
        mechanism = "XOAUTH2";
        initial = "user=" + user +
                  "\x01"
                  "auth=Bearer " +
                  token + "\x01\x01";
    } else {
        s.problem =
            "the server " + s.host + " takes no OAuth 2 token (neither OAUTHBEARER nor XOAUTH2)";
        return 1;
    }
    std::string encoded = base64_of(initial);
    s.secrets.push_back(encoded);
    std::string tag = imap_new_tag(s);
    const std::string what = "the login by " + mechanism;
    if (has_capability(s, "SASL-IR")) {
        if (imap_send(s, tag + " AUTHENTICATE " + mechanism + " " + encoded + "\r\n"))
            return 1;
    } else if (imap_send(s, tag + " AUTHENTICATE " + mechanism + "\r\n") ||
               imap_await_go_ahead(s, tag, what) || imap_send(s, encoded + "\r\n")) {
        return 1;
    }
    // A refused token is answered by a "+" with the reason; the empty reply
    // to it ends the exchange with the server's NO.
    return imap_finish(s, tag, what, nullptr, [&s] { return imap_send(s, "\r\n"); });
}

} // namespace

std::string base64_of(const std::string& bytes)
{
    static const char letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                     static_cast<unsigned char>(bytes[i + 1]) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        encoded += letters[v >> 18];
        encoded += letters[(v >> 12) & 63];
        encoded += letters[(v >> 6) & 63];
        encoded += letters[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        encoded += letters[v >> 18];
        encoded += letters[(v >> 12) & 63];
        encoded += i + 1 < bytes.size() ? letters[(v >> 6) & 63] : '=';
        encoded += '=';
    }
    return encoded;
}

int imap_log_in(ImapSession& s, const ImapCredentialSource& source, const std::string& user,
                unsigned port)
{
    std::string secret;
    if (fetch_secret(s, source, user, secret))
        return 1;
    s.secrets.push_back(secret);
    int failed = source.token_command.empty() ? log_in_with_password(s, user, secret)
                                              : log_in_with_token(s, user, secret, port);
    return failed;
}
