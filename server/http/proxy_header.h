#pragma once

#include <cstddef>
#include <string_view>
#include <sys/socket.h>

namespace parlonda {

// The PROXY protocol header (versions 1 and 2) that a TCP load balancer
// (HAProxy's send-proxy-v2, nginx stream's proxy_protocol, cloud balancers)
// sends before the client's bytes, naming the client it connected for.
struct ProxyHeader
{
    enum class Status {
        // The bytes so far are the start of a header, or could be.
        NeedMore,
        // The bytes do not start with a header: the client's own bytes.
        Absent,
        // They start like a header but break its rules; the connection
        // cannot be trusted to mean anything.
        Malformed,
        // A header naming the client: `source` is set.
        Proxied,
        // A header that names no client: version 2's LOCAL command (the
        // balancer's own health check) or version 1's UNKNOWN. The
        // connection is served under the balancer's address.
        Local,
    };

    Status status = Status::NeedMore;
    // The header's length in bytes, for Proxied and Local: the client's own
    // bytes start there.
    std::size_t length = 0;
    // The client's address and port (AF_INET or AF_INET6), for Proxied.
    sockaddr_storage source{};
};

// Version 1's longest header ("PROXY TCP6 " and two full IPv6 addresses,
// two ports and CRLF); also how far a reader must look to tell any header.
constexpr std::size_t kProxyV1MaxBytes = 107;
// Version 2 headers carry optional extensions after the addresses; longer
// than this is taken as malformed rather than read.
constexpr std::size_t kProxyV2MaxBytes = 16 + 2048;

// Reads a header at the start of `bytes`: the first bytes a connection sent.
// Pure: call again with more bytes after NeedMore.
ProxyHeader parseProxyHeader(std::string_view bytes);

} // namespace parlonda
