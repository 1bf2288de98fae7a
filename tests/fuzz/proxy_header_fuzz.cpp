// libFuzzer target: the PROXY protocol header parser reads the first bytes
// of every connection from a trusted balancer, and of any connection that
// claims to come through one.
#include "server/http/proxy_header.h"

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const parlonda::ProxyHeader header = parlonda::parseProxyHeader(bytes);
    using Status = parlonda::ProxyHeader::Status;
    if (header.status == Status::Proxied || header.status == Status::Local) {
        // A header is never longer than what was read, nor empty.
        if (header.length == 0 || header.length > size)
            __builtin_trap();
        // Its own bytes alone read the same.
        const parlonda::ProxyHeader alone =
            parlonda::parseProxyHeader(bytes.substr(0, header.length));
        if (alone.status != header.status || alone.length != header.length)
            __builtin_trap();
    }
    if (header.status == Status::Proxied && header.source.ss_family != AF_INET &&
        header.source.ss_family != AF_INET6)
        __builtin_trap();
    return 0;
}
