#include "server/http/proxy_header.h"

#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <netinet/in.h>
#include <string>

namespace parlonda {
namespace {

constexpr std::string_view kV1Signature = "PROXY ";
constexpr std::string_view kV2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::size_t kV2FixedBytes = 16;

ProxyHeader with(ProxyHeader::Status status, std::size_t length = 0)
{
    ProxyHeader header;
    header.status = status;
    header.length = length;
    return header;
}

// True when `bytes` could still grow into `signature`.
bool startsLike(std::string_view bytes, std::string_view signature)
{
    const std::size_t n = std::min(bytes.size(), signature.size());
    return bytes.substr(0, n) == signature.substr(0, n);
}

bool readPort(std::string_view text, std::uint16_t &port)
{
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0'))
        return false;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// "PROXY TCP4 SRC DST SPORT DPORT\r\n", or "PROXY UNKNOWN...\r\n".
ProxyHeader parseV1(std::string_view bytes)
{
    const std::size_t end = bytes.substr(0, kProxyV1MaxBytes).find("\r\n");
    if (end == std::string_view::npos) {
        if (bytes.size() >= kProxyV1MaxBytes)
            return with(ProxyHeader::Status::Malformed);
        // A bare LF or a NUL before the end never becomes a header.
        if (bytes.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos)
            return with(ProxyHeader::Status::Malformed);
        return with(ProxyHeader::Status::NeedMore);
    }
    const std::size_t length = end + 2;
    std::string_view line = bytes.substr(kV1Signature.size(), end - kV1Signature.size());

    // UNKNOWN may be followed by anything, which is ignored.
    if (line == "UNKNOWN" || line.starts_with("UNKNOWN "))
        return with(ProxyHeader::Status::Local, length);
    // Otherwise exactly five words, one space apart.
    std::array<std::string_view, 5> words{};
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::size_t space = line.find(' ');
        if ((space == std::string_view::npos) != (i + 1 == words.size()))
            return with(ProxyHeader::Status::Malformed);
        words[i] = line.substr(0, space);
        line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
    }

    int family = 0;
    if (words[0] == "TCP4")
        family = AF_INET;
    else if (words[0] == "TCP6")
        family = AF_INET6;
    else
        return with(ProxyHeader::Status::Malformed);

    ProxyHeader header = with(ProxyHeader::Status::Proxied, length);
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    const std::string source(words[1]);
    const std::string destination(words[2]);
    unsigned char scratch[sizeof(in6_addr)];
    if (!readPort(words[3], sourcePort) || !readPort(words[4], destinationPort) ||
        inet_pton(family, destination.c_str(), scratch) != 1)
        return with(ProxyHeader::Status::Malformed);
    if (family == AF_INET) {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&header.source);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(sourcePort);
        if (inet_pton(AF_INET, source.c_str(), &in4->sin_addr) != 1)
            return with(ProxyHeader::Status::Malformed);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&header.source);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(sourcePort);
        if (inet_pton(AF_INET6, source.c_str(), &in6->sin6_addr) != 1)
            return with(ProxyHeader::Status::Malformed);
    }
    return header;
}

// 12 bytes of signature, version and command, family and transport, the
// length of the rest (big-endian), then the addresses and extensions.
ProxyHeader parseV2(std::string_view bytes)
{
    if (bytes.size() < kV2FixedBytes)
        return with(ProxyHeader::Status::NeedMore);
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned versionCommand = byte(12);
    const unsigned familyTransport = byte(13);
    const std::size_t rest = std::size_t{byte(14)} << 8 | byte(15);
    const std::size_t length = kV2FixedBytes + rest;
    if ((versionCommand >> 4) != 2 || (versionCommand & 0xF) > 1 || length > kProxyV2MaxBytes)
        return with(ProxyHeader::Status::Malformed);
    if (bytes.size() < length)
        return with(ProxyHeader::Status::NeedMore);
    if ((versionCommand & 0xF) == 0) // LOCAL: whatever follows is ignored
        return with(ProxyHeader::Status::Local, length);

    const unsigned family = familyTransport >> 4;
    const unsigned transport = familyTransport & 0xF;
    if (family > 3 || transport > 2)
        return with(ProxyHeader::Status::Malformed);
    // UNSPEC, or a UNIX socket or a datagram: nothing this service can
    // count a client by; served under the balancer's address.
    if (family == 0 || family == 3 || transport != 1)
        return with(ProxyHeader::Status::Local, length);

    const unsigned char *addresses = reinterpret_cast<const unsigned char *>(bytes.data()) + 16;
    ProxyHeader header = with(ProxyHeader::Status::Proxied, length);
    if (family == 1) {
        if (rest < 12)
            return with(ProxyHeader::Status::Malformed);
        auto *in4 = reinterpret_cast<sockaddr_in *>(&header.source);
        in4->sin_family = AF_INET;
        std::memcpy(&in4->sin_addr, addresses, 4);
        std::memcpy(&in4->sin_port, addresses + 8, 2);
    } else {
        if (rest < 36)
            return with(ProxyHeader::Status::Malformed);
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&header.source);
        in6->sin6_family = AF_INET6;
        std::memcpy(&in6->sin6_addr, addresses, 16);
        std::memcpy(&in6->sin6_port, addresses + 32, 2);
    }
    return header;
}

} // namespace

ProxyHeader parseProxyHeader(std::string_view bytes)
{
    if (bytes.empty())
        return with(ProxyHeader::Status::NeedMore);
    if (startsLike(bytes, kV2Signature))
        return bytes.size() < kV2Signature.size() ? with(ProxyHeader::Status::NeedMore)
                                                  : parseV2(bytes);
    if (startsLike(bytes, kV1Signature))
        return bytes.size() < kV1Signature.size() ? with(ProxyHeader::Status::NeedMore)
                                                  : parseV1(bytes);
    return with(ProxyHeader::Status::Absent);
}

} // namespace parlonda
