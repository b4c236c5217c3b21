// The connection to an IMAP server on Windows. TLS of Schannel is not yet
// part of this build: without it no credential may go out, so the imap
// command refuses to start and says why.
#include "mbx/imap_transport.hpp"

bool transport_has_tls(std::string& why)
{
    why = "imap is not available in this build: it has no TLS on Windows yet";
    return false;
}

int transport_connect(ImapTransport& t, const std::string&, unsigned)
{
    transport_has_tls(t.problem);
    return 1;
}

int transport_start_tls(ImapTransport& t, const std::string&, const std::string&)
{
    transport_has_tls(t.problem);
    return 1;
}

int transport_write(ImapTransport& t, const char*, std::size_t)
{
    transport_has_tls(t.problem);
    return 1;
}

long transport_read(ImapTransport& t, char*, std::size_t)
{
    transport_has_tls(t.problem);
    return -1;
}

void transport_close(ImapTransport& t)
{
    t.socket = -1;
}
