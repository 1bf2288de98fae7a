#include "server/http/client_address.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <netinet/in.h>

namespace parlonda {
namespace {

// The address as 16 bytes (IPv4: its 4 bytes first) and whether it is IPv4.
bool addressBytes(const sockaddr *address, std::array<std::uint8_t, 16> &bytes, bool &v4)
{
    bytes.fill(0);
    if (address && address->sa_family == AF_INET) {
        std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, 4);
        v4 = true;
        return true;
    }
    if (address && address->sa_family == AF_INET6) {
        const in6_addr &in6 = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
        v4 = IN6_IS_ADDR_V4MAPPED(&in6);
        std::memcpy(bytes.data(), v4 ? in6.s6_addr + 12 : in6.s6_addr, v4 ? 4 : 16);
        return true;
    }
    return false;
}

std::optional<sockaddr_storage> numericAddress(std::string_view text)
{
    sockaddr_storage storage{};
    const std::string copy(text);
    auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    if (inet_pton(AF_INET, copy.c_str(), &in4->sin_addr) == 1)
        in4->sin_family = AF_INET;
    else if (inet_pton(AF_INET6, copy.c_str(), &in6->sin6_addr) == 1)
        in6->sin6_family = AF_INET6;
    else
        return std::nullopt;
    return storage;
}

bool isPort(std::string_view text)
{
    unsigned port = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), port);
    return !text.empty() && problem == std::errc() && end == text.data() + text.size() &&
           port <= 65535;
}

// An X-Forwarded-For entry: an address, also with a port ("192.0.2.7:4711")
// or in brackets ("[2001:db8::7]", "[2001:db8::7]:443"), as some proxies
// write them; the port is dropped.
std::optional<sockaddr_storage> forwardedAddress(std::string_view entry)
{
    if (entry.starts_with('[')) {
        const std::size_t close = entry.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        const std::string_view after = entry.substr(close + 1);
        if (!after.empty() && !(after.starts_with(':') && isPort(after.substr(1))))
            return std::nullopt;
        const std::optional<sockaddr_storage> address = numericAddress(entry.substr(1, close - 1));
        if (!address || address->ss_family != AF_INET6)
            return std::nullopt;
        return address;
    }
    // One colon: IPv4 with a port; more: IPv6 without brackets, no port.
    const std::size_t colon = entry.find(':');
    if (colon != std::string_view::npos && entry.find(':', colon + 1) == std::string_view::npos) {
        if (!isPort(entry.substr(colon + 1)))
            return std::nullopt;
        const std::optional<sockaddr_storage> address = numericAddress(entry.substr(0, colon));
        if (!address || address->ss_family != AF_INET)
            return std::nullopt;
        return address;
    }
    return numericAddress(entry);
}

} // namespace

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::string clientKey(const sockaddr *address)
{
    std::array<std::uint8_t, 16> bytes{};
    bool v4 = false;
    if (!addressBytes(address, bytes, v4))
        return {};
    return std::string(reinterpret_cast<const char *>(bytes.data()), v4 ? 4 : 8);
}

bool AddressRanges::add(std::string_view cidr, std::string &error)
{
    const std::size_t slash = cidr.find('/');
    const std::optional<sockaddr_storage> address = numericAddress(cidr.substr(0, slash));
    Range range{};
    if (!address ||
        !addressBytes(reinterpret_cast<const sockaddr *>(&*address), range.bytes, range.v4)) {
        error = std::string(cidr) + " is not a numeric IPv4 or IPv6 address or network";
        return false;
    }
    // An IPv4-mapped range (::ffff:10.0.0.0/104) is the IPv4 one it maps,
    // its prefix counted past the 96 bits of the mapping.
    const bool mapped = range.v4 && address->ss_family == AF_INET6;
    const unsigned least = mapped ? 96 : 0;
    const unsigned bits = range.v4 ? least + 32 : 128;
    range.prefix = bits;
    if (slash != std::string_view::npos) {
        const std::string_view length = cidr.substr(slash + 1);
        const auto [end, problem] =
            std::from_chars(length.data(), length.data() + length.size(), range.prefix);
        if (problem != std::errc() || end != length.data() + length.size() || length.empty() ||
            range.prefix < least || range.prefix > bits) {
            error = std::string(cidr) + ": the prefix length must be " + std::to_string(least) +
                    " to " + std::to_string(bits);
            return false;
        }
    }
    range.prefix -= least;
    m_ranges.push_back(range);
    return true;
}

bool AddressRanges::contains(const sockaddr *address) const
{
    std::array<std::uint8_t, 16> bytes{};
    bool v4 = false;
    if (!addressBytes(address, bytes, v4))
        return false;
    for (const Range &range : m_ranges) {
        if (range.v4 != v4)
            continue;
        const unsigned whole = range.prefix / 8;
        const unsigned rest = range.prefix % 8;
        if (std::memcmp(bytes.data(), range.bytes.data(), whole) != 0)
            continue;
        const auto mask = static_cast<std::uint8_t>(0xFF00 >> rest);
        if (rest == 0 || ((bytes[whole] ^ range.bytes[whole]) & mask) == 0)
            return true;
    }
    return false;
}

std::optional<sockaddr_storage> forwardedClient(std::string_view header,
                                                const AddressRanges &trusted)
{
    std::optional<sockaddr_storage> client;
    while (!trimmed(header).empty()) {
        const std::size_t comma = header.rfind(',');
        const std::string_view entry =
            trimmed(comma == std::string_view::npos ? header : header.substr(comma + 1));
        client = forwardedAddress(entry);
        if (!client || !trusted.contains(reinterpret_cast<const sockaddr *>(&*client)))
            return client;
        header = comma == std::string_view::npos ? std::string_view() : header.substr(0, comma);
    }
    return client;
}

} // namespace parlonda
