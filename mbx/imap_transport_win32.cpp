// The connection to an IMAP server on Windows: a Winsock socket, and TLS of
// Schannel. Schannel is told to leave the server's certificate alone; this
// file checks it itself once the handshake is done, before anything else is
// sent: the chain against the system's trust store (or, with --cafile,
// against the CA certificates of that file only) and the host's name or
// address by the SSL policy of CryptoAPI.
#include "mbx/imap_transport.hpp"

#define SECURITY_WIN32
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

// A server that neither answers nor closes the connection (a link gone
// dead under a laptop's lid) ends the wait after this long.
constexpr int silence_seconds = 300;

// Room for the handshake's messages and for one TLS record with its header
// and trailer: a certificate chain may take more than one record.
constexpr std::size_t incoming_capacity = 64 * 1024;

// A PEM file of CA certificates larger than this is no such file.
constexpr std::streamoff cafile_limit = 4 * 1024 * 1024;

struct TlsSession {
    CredHandle credentials{};
    bool have_credentials = false;
    CtxtHandle context{};
    bool have_context = false;
    SecPkgContext_StreamSizes sizes{};
    // Bytes from the server not yet decrypted, and plain text decrypted but
    // not yet handed to the caller.
    std::vector<char> incoming;
    std::size_t incoming_used = 0;
    std::vector<char> plain;
    std::size_t plain_start = 0;
    std::vector<char> outgoing;
    bool closed_by_server = false;
};

TlsSession& session_of(ImapTransport& t)
{
    return *static_cast<TlsSession*>(t.tls);
}

SOCKET socket_of(const ImapTransport& t)
{
    return static_cast<SOCKET>(t.socket);
}

// What the system says of an error code of Winsock or of SSPI, or its
// number where it has no text for it.
std::string system_text(unsigned long code)
{
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 &&
           (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.'))
        --n;
    char number[32];
    std::snprintf(number, sizeof number, "error 0x%08lx", code);
    if (n == 0)
        return number;
    return std::string(text, n) + " (" + number + ")";
}

std::string socket_reason(int error)
{
    if (error == WSAETIMEDOUT || error == WSAEWOULDBLOCK)
        return "the server did not answer for " + std::to_string(silence_seconds / 60) + " minutes";
    if (error == WSAECONNREFUSED)
        return "Connection refused";
    if (error == WSAECONNRESET)
        return "Connection reset by peer";
    return system_text(static_cast<unsigned long>(error));
}

std::wstring wide(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), n);
    return text;
}

// The bytes of `host` when it is an IPv4 or IPv6 address, else none.
std::string address_bytes(const std::string& host)
{
    unsigned char address[16];
    if (inet_pton(AF_INET, host.c_str(), address) == 1)
        return std::string(reinterpret_cast<char*>(address), 4);
    if (inet_pton(AF_INET6, host.c_str(), address) == 1)
        return std::string(reinterpret_cast<char*>(address), 16);
    return std::string();
}

// Whether the certificate names `address` among its subject's other names,
// as a server reached by its address must (its common name counts for
// nothing then).
bool names_address(PCCERT_CONTEXT certificate, const std::string& address)
{
    PCERT_EXTENSION names =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                          certificate->pCertInfo->rgExtension);
    if (!names)
        return false;
    CERT_ALT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, names->Value.pbData,
                             names->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = info->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == address.size() &&
                std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(info);
    return found;
}

// Sends all `count` bytes on the socket. 0, or 1.
int send_all(ImapTransport& t, const char* bytes, std::size_t count)
{
    while (count > 0) {
        int piece = count > (1u << 30) ? (1 << 30) : static_cast<int>(count);
        int n = send(socket_of(t), bytes, piece, 0);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEINTR)
            continue;
        if (n <= 0) {
            t.problem = "cannot send to the server: " + socket_reason(WSAGetLastError());
            return 1;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Receives more of the server's bytes behind those the session holds: their
// count, 0 when the server closed the connection or the buffer is full, -1
// on failure (with `problem` set).
long receive_more(ImapTransport& t, TlsSession& s)
{
    if (s.incoming_used == s.incoming.size())
        return 0;
    for (;;) {
        std::size_t room = s.incoming.size() - s.incoming_used;
        int n = recv(socket_of(t), s.incoming.data() + s.incoming_used,
                     room > (1u << 30) ? (1 << 30) : static_cast<int>(room), 0);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEINTR)
            continue;
        if (n == SOCKET_ERROR) {
            t.problem = "cannot receive from the server: " + socket_reason(WSAGetLastError());
            return -1;
        }
        s.incoming_used += static_cast<std::size_t>(n);
        return n;
    }
}

// Keeps the `extra` last bytes of those received, the start of the next
// message, at the front.
void keep_extra(TlsSession& s, unsigned long extra)
{
    if (extra > s.incoming_used)
        extra = static_cast<unsigned long>(s.incoming_used);
    std::memmove(s.incoming.data(), s.incoming.data() + s.incoming_used - extra, extra);
    s.incoming_used = extra;
}

// The handshake, from its start or, when the server asks for it on an
// established session, again: tokens of InitializeSecurityContextW out,
// the server's messages in, until the session is up. 0, or 1.
int handshake(ImapTransport& t, TlsSession& s, const std::wstring& target, bool first)
{
    const unsigned long wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                 ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                 ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                 ISC_REQ_MANUAL_CRED_VALIDATION;
    wchar_t* name = target.empty() ? nullptr : const_cast<wchar_t*>(target.c_str());
    bool need_input = !first && s.incoming_used == 0;
    for (;;) {
        if (need_input) {
            long n = receive_more(t, s);
            if (n < 0)
                return 1;
            if (n == 0) {
                t.problem = s.incoming_used == s.incoming.size()
                                ? "TLS with the server failed: its handshake message is too large"
                                : "TLS with the server failed: the server closed the connection";
                return 1;
            }
        }
        SecBuffer in[2] = {};
        in[0].BufferType = SECBUFFER_TOKEN;
        in[0].pvBuffer = s.incoming.data();
        in[0].cbBuffer = static_cast<unsigned long>(s.incoming_used);
        in[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc input{SECBUFFER_VERSION, 2, in};
        SecBuffer out[2] = {};
        out[0].BufferType = SECBUFFER_TOKEN;
        out[1].BufferType = SECBUFFER_ALERT;
        SecBufferDesc output{SECBUFFER_VERSION, 2, out};
        unsigned long got = 0;
        bool start = first && !s.have_context;
        SECURITY_STATUS status = InitializeSecurityContextW(
            &s.credentials, start ? nullptr : &s.context, name, wanted, 0, 0,
            start ? nullptr : &input, 0, start ? &s.context : nullptr, &output, &got, nullptr);
        if (start && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK))
            s.have_context = true;
        // The token to send: the next message of the handshake, or on a
        // failure the alert that tells the server why.
        int not_sent = 0;
        for (SecBuffer& b : out)
            if (b.pvBuffer) {
                if (b.BufferType == SECBUFFER_TOKEN && b.cbBuffer > 0 && !not_sent)
                    not_sent = send_all(t, static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                FreeContextBuffer(b.pvBuffer);
            }
        if (not_sent && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED))
            return 1;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            need_input = true;
            continue;
        }
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
            if (start)
                s.incoming_used = 0;
            else if (in[1].BufferType == SECBUFFER_EXTRA)
                keep_extra(s, in[1].cbBuffer);
            else
                s.incoming_used = 0;
            if (status == SEC_E_OK)
                return 0;
            need_input = s.incoming_used == 0;
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            t.problem = "TLS with the server failed: the server asks for a client certificate";
            return 1;
        }
        t.problem =
            "TLS with the server failed: " + system_text(static_cast<unsigned long>(status));
        return 1;
    }
}

// The CA certificates of a PEM file, in a memory store. 0, or 1.
int load_cafile(ImapTransport& t, const std::string& cafile, HCERTSTORE& store)
{
    const std::string failure = "cannot read the CA certificates in " + cafile + ": ";
    std::ifstream in(std::filesystem::path(std::u8string(cafile.begin(), cafile.end())),
                     std::ios::binary);
    if (!in) {
        t.problem = failure + "cannot open it";
        return 1;
    }
    std::string text;
    char piece[8192];
    while (in.read(piece, sizeof piece) || in.gcount() > 0) {
        text.append(piece, static_cast<std::size_t>(in.gcount()));
        if (static_cast<std::streamoff>(text.size()) > cafile_limit) {
            t.problem = failure + "it is too large for a file of certificates";
            return 1;
        }
    }
    if (in.bad()) {
        t.problem = failure + "cannot read it";
        return 1;
    }
    store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (!store) {
        t.problem = failure + system_text(GetLastError());
        return 1;
    }
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    int count = 0;
    for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at)) {
        std::size_t stop = text.find(end, at);
        if (stop == std::string::npos)
            break;
        stop += end.size();
        DWORD size = 0;
        const char* pem = text.data() + at;
        DWORD length = static_cast<DWORD>(stop - at);
        at = stop;
        if (!CryptStringToBinaryA(pem, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                  nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(pem, length, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                                  nullptr, nullptr))
            continue;
        if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                             CERT_STORE_ADD_USE_EXISTING, nullptr))
            ++count;
    }
    if (count == 0) {
        t.problem = failure + "no certificates";
        return 1;
    }
    return 0;
}

std::string policy_reason(DWORD error, const std::string& host)
{
    switch (error) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
        return "it does not chain to a trusted CA";
    case static_cast<DWORD>(CERT_E_EXPIRED):
        return "it has expired or is not yet valid";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
        return "it is not for " + host;
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
        return "it is not for a server";
    case static_cast<DWORD>(CRYPT_E_REVOKED):
        return "it was revoked";
    default:
        return system_text(error);
    }
}

// What is wrong with a chain by its trust status, or nothing. With
// --cafile the root is the file's, which the system's store need not hold.
std::string chain_fault(DWORD status, bool roots_of_file)
{
    if (roots_of_file)
        status &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    // Revocation is not asked for, as on Linux.
    status &= ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                  CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (status == CERT_TRUST_NO_ERROR)
        return std::string();
    if (status & CERT_TRUST_IS_REVOKED)
        return "it was revoked";
    if (status & (CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_CTL_IS_NOT_TIME_VALID))
        return "it has expired or is not yet valid";
    if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
        return "its signature is not valid";
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        return "it is not for a server";
    if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
        return "it does not chain to a trusted CA";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(status));
    return std::string("its chain is not valid (trust status 0x") + hex + ")";
}

// Checks the server's certificate: the chain it builds to a root, and the
// host's name or address by the SSL policy. With `roots` (the CA
// certificates of --cafile), the chain must end at one of them, whatever
// the system trusts. 0, or 1.
int check_certificate(ImapTransport& t, TlsSession& s, const std::string& host, HCERTSTORE roots,
                      const std::string& cafile)
{
    const std::string untrusted = "the server's certificate is not trusted: ";
    PCCERT_CONTEXT server = nullptr;
    SECURITY_STATUS status =
        QueryContextAttributesW(&s.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
    if (status != SEC_E_OK || !server) {
        t.problem = untrusted + "the server showed none";
        return 1;
    }
    // The chain may go through the intermediate certificates the server
    // sent and, with --cafile, the file's.
    HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (extra) {
        if (server->hCertStore)
            CertAddStoreToCollection(extra, server->hCertStore, 0, 0);
        if (roots)
            CertAddStoreToCollection(extra, roots, 0, 0);
    }
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {server_auth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    int failed = 0;
    if (!CertGetCertificateChain(nullptr, server, nullptr, extra, &para, 0, nullptr, &chain)) {
        t.problem = untrusted + system_text(GetLastError());
        failed = 1;
    }
    // The chain's own verdict first: the SSL policy of some systems lets
    // an unknown root pass.
    if (!failed) {
        std::string fault = chain_fault(chain->TrustStatus.dwErrorStatus, roots != nullptr);
        if (!fault.empty()) {
            t.problem = untrusted + fault;
            failed = 1;
        }
    }
    if (!failed && roots) {
        // The root the chain ends at must be one of the file's: the system's
        // own roots count for nothing here.
        const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
        PCCERT_CONTEXT top = simple && simple->cElement > 0
                                 ? simple->rgpElement[simple->cElement - 1]->pCertContext
                                 : nullptr;
        PCCERT_CONTEXT match = nullptr;
        bool self_signed =
            top && CertCompareCertificateName(X509_ASN_ENCODING, &top->pCertInfo->Subject,
                                              &top->pCertInfo->Issuer);
        if (top && self_signed)
            match = CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, top,
                                               nullptr);
        if (!match) {
            t.problem = untrusted + "it does not chain to a CA of " + cafile;
            failed = 1;
        } else {
            CertFreeCertificateContext(match);
        }
    }
    if (!failed) {
        // A host name is the SSL policy's to check; an address is checked
        // here, as the policy of some systems knows no addresses.
        std::wstring name = wide(host);
        const std::string address = address_bytes(host);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = name.data();
        if (!address.empty())
            ssl.fdwChecks = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        // With --cafile the root is known to be the file's, which the
        // system's store need not hold.
        policy.dwFlags = roots ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS verdict{};
        verdict.cbSize = sizeof verdict;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
            t.problem = untrusted + system_text(GetLastError());
            failed = 1;
        } else if (verdict.dwError != 0) {
            t.problem = untrusted + policy_reason(verdict.dwError, host);
            failed = 1;
        } else if (!address.empty() && !names_address(server, address)) {
            t.problem = untrusted + "it is not for " + host;
            failed = 1;
        }
    }
    if (chain)
        CertFreeCertificateChain(chain);
    if (extra)
        CertCloseStore(extra, 0);
    CertFreeCertificateContext(server);
    return failed;
}

} // namespace

bool transport_has_tls(std::string&)
{
    return true;
}

int transport_connect(ImapTransport& t, const std::string& host, unsigned port)
{
    static bool started = false;
    if (!started) {
        WSADATA data;
        int failed = WSAStartup(MAKEWORD(2, 2), &data);
        if (failed) {
            t.problem = "cannot start Winsock: " + socket_reason(failed);
            return 1;
        }
        started = true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    int failed = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (failed) {
        t.problem = "cannot find the host " + host + ": " + socket_reason(failed);
        return 1;
    }
    int error = 0;
    for (addrinfo* a = found; a; a = a->ai_next) {
        SOCKET s = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            BOOL on = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            DWORD limit = silence_seconds * 1000;
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                       sizeof limit);
            setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                       sizeof limit);
            t.socket = static_cast<long long>(s);
            freeaddrinfo(found);
            return 0;
        }
        error = WSAGetLastError();
        closesocket(s);
    }
    freeaddrinfo(found);
    t.problem = "cannot connect to " + host + " port " + service + ": " + socket_reason(error);
    return 1;
}

int transport_start_tls(ImapTransport& t, const std::string& host, const std::string& cafile)
{
    HCERTSTORE roots = nullptr;
    if (!cafile.empty() && load_cafile(t, cafile, roots)) {
        if (roots)
            CertCloseStore(roots, 0);
        return 1;
    }
    TlsSession* s = new TlsSession;
    t.tls = s;
    s->incoming.resize(incoming_capacity);
    SCHANNEL_CRED wanted{};
    wanted.dwVersion = SCHANNEL_CRED_VERSION;
    wanted.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    // The certificate is checked here after the handshake, not by
    // Schannel; no client certificate is offered.
    wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    wchar_t package[] = UNISP_NAME_W;
    TimeStamp expiry;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &wanted, nullptr,
                                  nullptr, &s->credentials, &expiry);
    if (status != SEC_E_OK) {
        t.problem = "cannot set up TLS: " + system_text(static_cast<unsigned long>(status));
        if (roots)
            CertCloseStore(roots, 0);
        return 1;
    }
    s->have_credentials = true;
    // The server's name goes out for SNI; an address does not.
    const std::wstring target = address_bytes(host).empty() ? wide(host) : std::wstring();
    int failed = handshake(t, *s, target, true);
    if (!failed)
        failed = check_certificate(t, *s, host, roots, cafile);
    if (roots)
        CertCloseStore(roots, 0);
    if (failed)
        return 1;
    status = QueryContextAttributesW(&s->context, SECPKG_ATTR_STREAM_SIZES, &s->sizes);
    if (status != SEC_E_OK) {
        t.problem =
            "TLS with the server failed: " + system_text(static_cast<unsigned long>(status));
        return 1;
    }
    std::size_t record = s->sizes.cbHeader + s->sizes.cbMaximumMessage + s->sizes.cbTrailer;
    if (s->incoming.size() < record)
        s->incoming.resize(record);
    s->outgoing.resize(record);
    return 0;
}

int transport_write(ImapTransport& t, const char* bytes, std::size_t count)
{
    if (!t.tls)
        return send_all(t, bytes, count);
    TlsSession& s = session_of(t);
    while (count > 0) {
        std::size_t piece = count < s.sizes.cbMaximumMessage ? count : s.sizes.cbMaximumMessage;
        char* record = s.outgoing.data();
        std::memcpy(record + s.sizes.cbHeader, bytes, piece);
        SecBuffer b[4] = {};
        b[0].BufferType = SECBUFFER_STREAM_HEADER;
        b[0].pvBuffer = record;
        b[0].cbBuffer = s.sizes.cbHeader;
        b[1].BufferType = SECBUFFER_DATA;
        b[1].pvBuffer = record + s.sizes.cbHeader;
        b[1].cbBuffer = static_cast<unsigned long>(piece);
        b[2].BufferType = SECBUFFER_STREAM_TRAILER;
        b[2].pvBuffer = record + s.sizes.cbHeader + piece;
        b[2].cbBuffer = s.sizes.cbTrailer;
        b[3].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc message{SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS status = EncryptMessage(&s.context, 0, &message, 0);
        if (status != SEC_E_OK) {
            t.problem =
                "cannot send to the server: " + system_text(static_cast<unsigned long>(status));
            return 1;
        }
        if (send_all(t, record, b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer))
            return 1;
        bytes += piece;
        count -= piece;
    }
    return 0;
}

long transport_read(ImapTransport& t, char* into, std::size_t capacity)
{
    if (!t.tls) {
        for (;;) {
            int piece = capacity > (1u << 30) ? (1 << 30) : static_cast<int>(capacity);
            int n = recv(socket_of(t), into, piece, 0);
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAEINTR)
                continue;
            if (n == SOCKET_ERROR) {
                t.problem = "cannot receive from the server: " + socket_reason(WSAGetLastError());
                return -1;
            }
            return n;
        }
    }
    TlsSession& s = session_of(t);
    for (;;) {
        if (s.plain_start < s.plain.size()) {
            std::size_t n = s.plain.size() - s.plain_start;
            if (n > capacity)
                n = capacity;
            if (n > (1u << 30))
                n = 1u << 30;
            std::memcpy(into, s.plain.data() + s.plain_start, n);
            s.plain_start += n;
            return static_cast<long>(n);
        }
        if (s.closed_by_server)
            return 0;
        s.plain.clear();
        s.plain_start = 0;
        if (s.incoming_used > 0) {
            SecBuffer b[4] = {};
            b[0].BufferType = SECBUFFER_DATA;
            b[0].pvBuffer = s.incoming.data();
            b[0].cbBuffer = static_cast<unsigned long>(s.incoming_used);
            b[1].BufferType = SECBUFFER_EMPTY;
            b[2].BufferType = SECBUFFER_EMPTY;
            b[3].BufferType = SECBUFFER_EMPTY;
            SecBufferDesc message{SECBUFFER_VERSION, 4, b};
            SECURITY_STATUS status = DecryptMessage(&s.context, &message, 0, nullptr);
            if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED ||
                status == SEC_I_RENEGOTIATE) {
                unsigned long extra = 0;
                for (const SecBuffer& x : b) {
                    if (x.BufferType == SECBUFFER_DATA && x.cbBuffer > 0)
                        s.plain.assign(static_cast<const char*>(x.pvBuffer),
                                       static_cast<const char*>(x.pvBuffer) + x.cbBuffer);
                    if (x.BufferType == SECBUFFER_EXTRA)
                        extra = x.cbBuffer;
                }
                keep_extra(s, extra);
                if (status == SEC_I_CONTEXT_EXPIRED)
                    s.closed_by_server = true;
                // The server wants a new handshake (a TLS 1.2 HelloRequest):
                // its message is what follows, the plain text kept until
                // the session is up again.
                if (status == SEC_I_RENEGOTIATE && handshake(t, s, std::wstring(), false)) {
                    t.problem = "cannot receive from the server: " + t.problem;
                    return -1;
                }
                continue;
            }
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                t.problem = "cannot receive from the server: " +
                            system_text(static_cast<unsigned long>(status));
                return -1;
            }
        }
        long n = receive_more(t, s);
        if (n < 0)
            return -1;
        if (n == 0) {
            if (s.incoming_used == s.incoming.size()) {
                t.problem = "cannot receive from the server: a TLS record is too large";
                return -1;
            }
            // The connection closed without TLS's closing message, between
            // records or within one: the caller tells a cut from an end by
            // what it was waiting for.
            return 0;
        }
    }
}

void transport_close(ImapTransport& t)
{
    if (t.tls) {
        TlsSession* s = static_cast<TlsSession*>(t.tls);
        if (s->have_context)
            DeleteSecurityContext(&s->context);
        if (s->have_credentials)
            FreeCredentialsHandle(&s->credentials);
        delete s;
        t.tls = nullptr;
    }
    if (t.socket >= 0) {
        closesocket(socket_of(t));
        t.socket = -1;
    }
}
