// The connection to an IMAP server on POSIX systems: a socket, and TLS of
// OpenSSL.
#include "mbx/imap_transport.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A server that neither answers nor closes the connection (a link gone
// dead under a laptop's lid) ends the wait after this long.
constexpr int silence_seconds = 300;

std::string system_reason(int error)
{
    if (error == EAGAIN || error == EWOULDBLOCK)
        return "the server did not answer for " + std::to_string(silence_seconds / 60) + " minutes";
    return std::strerror(error);
}

SSL* session_of(ImapTransport& t)
{
    return static_cast<SSL*>(t.tls);
}

// The reason OpenSSL gives for its last failure, or `otherwise`.
std::string tls_reason(const char* otherwise)
{
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return otherwise;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool is_ip_address(const std::string& host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), address) == 1;
}

} // namespace

bool transport_has_tls(std::string&)
{
    return true;
}

int transport_connect(ImapTransport& t, const std::string& host, unsigned port)
{
    // A server that closes the connection makes a write fail, not end the
    // process.
    std::signal(SIGPIPE, SIG_IGN);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    int failed = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (failed) {
        t.problem = std::string("cannot find the host ") + host + ": " + gai_strerror(failed);
        return 1;
    }
    int error = 0;
    for (addrinfo* a = found; a; a = a->ai_next) {
        int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            error = errno;
            continue;
        }
        if (connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            int on = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            timeval limit{silence_seconds, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            t.socket = s;
            freeaddrinfo(found);
            return 0;
        }
        error = errno;
        close(s);
    }
    freeaddrinfo(found);
    t.problem = "cannot connect to " + host + " port " + service + ": " + std::strerror(error);
    return 1;
}

int transport_start_tls(ImapTransport& t, const std::string& host, const std::string& cafile)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        t.problem = tls_reason("cannot set up TLS");
        return 1;
    }
    t.context = context;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    int loaded = cafile.empty() ? SSL_CTX_set_default_verify_paths(context)
                                : SSL_CTX_load_verify_locations(context, cafile.c_str(), nullptr);
    if (loaded != 1) {
        t.problem = (cafile.empty() ? std::string("cannot read the system's trust store: ")
                                    : "cannot read the CA certificates in " + cafile + ": ") +
                    tls_reason("no certificates");
        return 1;
    }
    SSL* tls = SSL_new(context);
    if (!tls) {
        t.problem = tls_reason("cannot set up TLS");
        return 1;
    }
    t.tls = tls;
    X509_VERIFY_PARAM* check = SSL_get0_param(tls);
    if (is_ip_address(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str());
    } else {
        X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(check, host.c_str(), 0);
        SSL_set_tlsext_host_name(tls, host.c_str());
    }
    SSL_set_fd(tls, static_cast<int>(t.socket));
    if (SSL_connect(tls) != 1) {
        long verdict = SSL_get_verify_result(tls);
        if (verdict != X509_V_OK)
            t.problem = std::string("the server's certificate is not trusted: ") +
                        X509_verify_cert_error_string(verdict);
        else
            t.problem =
                "TLS with the server failed: " + tls_reason("the server closed the connection");
        return 1;
    }
    return 0;
}

int transport_write(ImapTransport& t, const char* bytes, std::size_t count)
{
    while (count > 0) {
        long n;
        if (t.tls) {
            int piece = count > (1u << 30) ? (1 << 30) : static_cast<int>(count);
            errno = 0;
            n = SSL_write(session_of(t), bytes, piece);
            if (n <= 0) {
                int error = errno;
                t.problem =
                    "cannot send to the server: " + (error != 0 && ERR_peek_error() == 0
                                                         ? system_reason(error)
                                                         : tls_reason("the connection was closed"));
                return 1;
            }
        } else {
            n = send(static_cast<int>(t.socket), bytes, count, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                t.problem = "cannot send to the server: " + system_reason(errno);
                return 1;
            }
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return 0;
}

long transport_read(ImapTransport& t, char* into, std::size_t capacity)
{
    for (;;) {
        if (t.tls) {
            int piece = capacity > (1u << 30) ? (1 << 30) : static_cast<int>(capacity);
            errno = 0;
            int n = SSL_read(session_of(t), into, piece);
            if (n > 0)
                return n;
            int why = SSL_get_error(session_of(t), n);
            if (why == SSL_ERROR_ZERO_RETURN ||
                (why == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0))
                return 0;
            if (why == SSL_ERROR_SYSCALL && errno != 0) {
                t.problem = "cannot receive from the server: " + system_reason(errno);
                return -1;
            }
            t.problem = "cannot receive from the server: " + tls_reason("the connection was cut");
            return -1;
        }
        ssize_t n = recv(static_cast<int>(t.socket), into, capacity, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            t.problem = "cannot receive from the server: " + system_reason(errno);
            return -1;
        }
        return static_cast<long>(n);
    }
}

void transport_close(ImapTransport& t)
{
    if (t.tls) {
        SSL_free(session_of(t));
        t.tls = nullptr;
    }
    if (t.context) {
        SSL_CTX_free(static_cast<SSL_CTX*>(t.context));
        t.context = nullptr;
    }
    if (t.socket >= 0) {
        close(static_cast<int>(t.socket));
        t.socket = -1;
    }
}
