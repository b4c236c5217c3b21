// The connection to an IMAP server: a TCP socket of the platform and, over
// it, TLS of the platform (OpenSSL on Linux, Schannel on Windows), the
// server's certificate checked against the system's trust store, or against
// the CA certificates of one file only, and against the host's name or
// address. None of these calls prints anything: each failure leaves its
// reason in `problem`, for the caller to say.
#pragma once

#include <cstddef>
#include <string>

struct ImapTransport {
    long long socket = -1; // the platform's socket
    void* tls = nullptr;   // the platform's TLS session, once it is up
    void* context = nullptr;
    std::string problem; // why the last call failed
};

// Whether this build can speak TLS; when not, `why` says so.
bool transport_has_tls(std::string& why);

// Connects to `host` (a name or an address) at `port`. 0, or 1.
int transport_connect(ImapTransport& t, const std::string& host, unsigned port);
// Starts TLS on the connection and checks the server's certificate for
// `host`: against the CA certificates in `cafile` when it is not empty, else
// the system's. 0, or 1.
int transport_start_tls(ImapTransport& t, const std::string& host, const std::string& cafile);
// Sends all `count` bytes. 0, or 1.
int transport_write(ImapTransport& t, const char* bytes, std::size_t count);
// Receives at most `capacity` bytes: their count, 0 when the server closed
// the connection, -1 on failure.
long transport_read(ImapTransport& t, char* into, std::size_t capacity);
void transport_close(ImapTransport& t);
